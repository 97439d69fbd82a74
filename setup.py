"""The korvane Python package, built by the project's CMake build.

build_ext configures CMake for the running interpreter, builds only the
extension target (korvane_python: the library, linked statically, and the
bindings) in Release, and takes the package directory CMake assembles
(the extension beside python/korvane's files) into the wheel. Needs CMake,
a C++20 compiler, pybind11's CMake files and the interpreter's headers;
nothing is downloaded.

setuptools' build tree goes to a temporary directory, so a build leaves the
source tree as it was (apart from korvane.egg-info); give
`build --build-base DIR` to keep it, and with it CMake's, for rebuilds.
"""
import atexit
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

try:
    from setuptools.command.build import build
except ImportError:  # setuptools before 62.4
    from distutils.command.build import build

ROOT = Path(__file__).resolve().parent


def project_version():
    match = re.search(r"project\(korvane VERSION ([0-9.]+)", (ROOT / "CMakeLists.txt").read_text())
    return match.group(1)


def pybind11_cmake_dir():
    """pybind11's CMake files: the pybind11 Python package's when it is
    installed, else the system's, else left to CMake's own search."""
    try:
        import pybind11
        return pybind11.get_cmake_dir()
    except ImportError:
        pass
    system = Path("/usr/lib/cmake/pybind11")
    return str(system) if system.is_dir() else None


class BuildOutsideTheTree(build):
    def finalize_options(self):
        if self.build_base == "build":  # not given: the default
            self.build_base = tempfile.mkdtemp(prefix="korvane-build-")
            atexit.register(shutil.rmtree, self.build_base, ignore_errors=True)
        super().finalize_options()


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        cmake_dir = Path(self.build_temp).resolve() / "cmake"
        cmake_dir.mkdir(parents=True, exist_ok=True)
        configure = [
            "cmake", "-S", str(ROOT), "-B", str(cmake_dir),
            "-DCMAKE_BUILD_TYPE=Release",
            f"-DPython_EXECUTABLE={sys.executable}",
            "-DKORVANE_BUILD_PYTHON=ON", "-DKORVANE_PYTHON_REQUIRED=ON",
            "-DKORVANE_BUILD_TESTS=OFF", "-DKORVANE_BUILD_BENCH=OFF",
            "-DKORVANE_BUILD_TOOLS=OFF", "-DKORVANE_BUILD_FUZZ=OFF",
        ]
        pybind11_dir = pybind11_cmake_dir()
        if pybind11_dir:
            configure.append(f"-Dpybind11_DIR={pybind11_dir}")
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", str(cmake_dir), "--config", "Release", "--target", "korvane_python",
                        "--parallel", jobs], check=True)

        # The package directory as CMake assembled it, extension included.
        built = cmake_dir / "python" / "korvane"
        target = Path(self.get_ext_fullpath(ext.name))
        shutil.copytree(built, target.parent, dirs_exist_ok=True,
                        ignore=shutil.ignore_patterns("__pycache__"))
        if not target.exists():
            raise RuntimeError(f"CMake built no {target.name} in {built}")


setup(
    version=project_version(),
    packages=["korvane"],
    package_dir={"korvane": "python/korvane"},
    package_data={"korvane": ["*.pyi", "py.typed"]},
    ext_modules=[CMakeExtension("korvane._korvane")],
    cmdclass={"build": BuildOutsideTheTree, "build_ext": CMakeBuild},
    zip_safe=False,
)
