#!/bin/bash
# Configures and builds everything (tool, demo, tests, benchmarks) in build/.
# Extra arguments go to the configure step, e.g.
#   scripts/build.sh -DFW_SERVER_BASE_URL=http://fw.example.org/data
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
cmake --build build --parallel "$(nproc)"
