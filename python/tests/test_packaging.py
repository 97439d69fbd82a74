"""The package as pip users get it: a wheel built offline from this source
tree, installed into a fresh virtual environment, imported and used there.
Builds the library from scratch, so it takes minutes; CI runs it once."""
import importlib.util
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]

USE = textwrap.dedent("""
    import os, sys
    import numpy as np, korvane
    package = os.path.dirname(korvane.__file__)
    assert package.startswith(sys.prefix), package  # the installed copy, not a build tree
    assert {"py.typed", "_korvane.pyi", "_progress.py"} <= set(os.listdir(package))
    vectors = np.random.default_rng(0).standard_normal((500, 32), dtype=np.float32)
    index = korvane.Index(dim=32, metric="l2")
    index.add(vectors, progress=lambda done, total: None)
    ids, scores = index.search(vectors[:3], k=2)
    assert ids[:, 0].tolist() == [0, 1, 2] and (scores[:, 0] > scores[:, 1]).all(), (ids, scores)
    print(korvane.__version__)
""")


@pytest.mark.skipif(not all(importlib.util.find_spec(m) for m in ("build", "ensurepip", "setuptools", "wheel")),
                    reason="needs python3-build, python3-venv, python3-setuptools and python3-wheel")
def test_the_wheel_builds_offline_and_works_in_a_fresh_venv(tmp_path):
    # Nothing of a build tree may leak in: no PYTHONPATH, and run outside the source tree.
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME")}
    dist, venv = tmp_path / "dist", tmp_path / "env"
    subprocess.run([sys.executable, "-m", "build", "--wheel", "--no-isolation", "--outdir", str(dist), str(ROOT)],
                   check=True, env=env, cwd=tmp_path, stdout=subprocess.DEVNULL)
    wheels = list(dist.glob("korvane-*.whl"))
    assert len(wheels) == 1, wheels
    # numpy comes from the system's packages; nothing is fetched.
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], check=True, env=env)
    python = str(venv / "bin" / "python")
    subprocess.run([python, "-m", "pip", "install", "--no-index", "--quiet", str(wheels[0])],
                   check=True, env=env, cwd=tmp_path)
    used = subprocess.run([python, "-c", USE], check=True, env=env, cwd=tmp_path, capture_output=True, text=True)
    assert used.stdout.strip() == wheels[0].name.split("-")[1]
