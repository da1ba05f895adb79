#!/usr/bin/env bash
# Installs the build dependencies, builds Brivane and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRIVANE_TESTS=OFF
cmake --build build -j"$(nproc)"
exec ./build/src/gui/brivane "$@"
