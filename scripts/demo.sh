#!/usr/bin/env bash
# Builds everything, then runs the img3d tool's demo: a synthetic phantom
# segmented end to end, with a report and a picture.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
echo "demo: building the library, tests, examples and tool in build/default (a few minutes the first time)"
cmake -S . -B build/default -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
# Ninja's own progress: one line per step, or one updating line on a terminal.
cmake --build build/default
echo
build/default/tools/img3d/img3d demo -o build/img3d-demo
echo "picture: build/img3d-demo/preview.png"
