#!/usr/bin/env bash
# Installs everything the tests need (Qt, INN2, Xvfb, sharutils), builds
# Brivane with its tests and runs the whole suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh --test
# The integration tests run against INN2 on 127.0.0.1.
if [ -f tests/support/inn2.cpp ]; then bash tests/support/inn2-setup.sh; fi
# Everything a test needs is installed above: a test that finds it missing
# (INN2 not answering, say) fails instead of skipping.
export CI="${CI:-1}"
cmake -S . -B build-test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRIVANE_TESTS=ON
cmake --build build-test -j"$(nproc)"
cd build-test
# The INN2 fixture starts its news servers as root (they then run as the news
# user): a user's run goes through sudo for the tests alone.
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo -E"
$SUDO ctest --output-on-failure --no-tests=error --timeout 600 "$@"
