#!/bin/sh
# An install to another prefix than the configured one must give a
# korvane.pc that points into that prefix: a program built with its flags
# compiles, links and runs.
set -eu
build="$1"
command -v pkg-config >/dev/null || { echo "pkg-config missing: skipped"; exit 0; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/elsewhere" >/dev/null
pc=$(find "$work/elsewhere" -name korvane.pc)
printf '#include <korvane.h>\nint main(void) { return korvane_dim() == 256 ? 0 : 1; }\n' > "$work/use.c"
# shellcheck disable=SC2046
cc "$work/use.c" -o "$work/use" $(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --cflags --libs korvane)
LD_LIBRARY_PATH="$work/elsewhere/lib:$work/elsewhere/lib64" "$work/use"
echo "korvane.pc points into $work/elsewhere"
