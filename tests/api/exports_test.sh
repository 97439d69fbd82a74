#!/bin/sh
# The shared library must export exactly the korvane_ functions of the header:
# the core ones and those of the later sections.
set -eu
lib="$1"
exported=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtWwDdBbRrVvIi]$/ {print $3}' | sort)
extra=$(printf '%s\n' "$exported" | grep -v '^korvane_' || true)
if [ -n "$extra" ]; then
    echo "unexpected exported symbols:"; printf '%s\n' "$extra"; exit 1
fi
count=$(printf '%s\n' "$exported" | grep -c '^korvane_' || true)
echo "exported korvane_ functions: $count"
[ "$count" -eq 28 ]
