#!/usr/bin/env bash
# Builds the library and runs the example host on a synthetic phantom.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build/default -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/default >/dev/null
build/default/examples/phantom_stats
