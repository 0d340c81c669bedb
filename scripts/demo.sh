#!/usr/bin/env bash
# Builds the library and the img3d tool, then runs the tool's demo: a
# synthetic phantom segmented end to end, with a report and a picture.
# Only the tool's target is built, so the first run takes well under a
# minute; build/default stays an ordinary build folder (the tests, examples
# and benchmarks build there with `cmake --build build/default`).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
echo "demo: building the library and the tool in build/default"
# An existing folder keeps the options it was configured with.
[ -f build/default/CMakeCache.txt ] || cmake -S . -B build/default -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
# Ninja's own progress: one line per step, or one updating line on a terminal.
cmake --build build/default --target img3d_tool
echo
build/default/tools/img3d/img3d demo -o build/img3d-demo
echo "picture: build/img3d-demo/preview.png"
