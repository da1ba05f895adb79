#!/bin/bash
# Builds and runs the download-run benchmark against a loopback INN2:
# 10,000 headers of which 1,000 are ~100 KB pictures, the run against a
# minimal raw NNTP client fetching the same overview and articles.
#   bench/run_bench.sh [BUILD_DIR] [bench_run options]
# The articles are posted once and used by every measurement. Each round
# times the run, then both raw clients (--rounds R, default 3), and the best
# and median are printed. All of it is done twice: with the program home and
# download folder in the default temporary folder and on tmpfs (/dev/shm),
# since creating and deleting many files costs very differently on the two.
# A last pass runs through the main window (drawn offscreen without a display).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build-bench}
[ $# -gt 0 ] && shift

"$here/tests/support/inn2-setup.sh" --configure >/dev/null 2>&1 || "$here/tests/support/inn2-setup.sh"
[ -f "$build/CMakeCache.txt" ] || cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target bench_run -j2 >/dev/null

out=$(mktemp)
trap 'rm -f "$out"' EXIT
echo "== posting and first measurement (TMPDIR=${TMPDIR:-/tmp})"
/usr/bin/time -v "$build/bench/bench_run" "$@" 2> >(grep -E 'Maximum resident|Elapsed' >&2) | tee "$out"
group=$(sed -n 's/^posted .* to \([^ ]*\) in .*/\1/p' "$out")
# Articles of an earlier call, named with --group, serve the later passes too.
prev=""
for a in "$@"; do
    [ "$prev" = "--group" ] && group=$a
    prev=$a
done
if [ -n "$group" ] && [ -d /dev/shm ]; then
    echo "== same articles, program home and pictures on tmpfs"
    TMPDIR=/dev/shm "$build/bench/bench_run" --group "$group" "$@" | grep -v '^posted'
    echo "== same articles on tmpfs, the run in the main window (preview on)"
    TMPDIR=/dev/shm "$build/bench/bench_run" --group "$group" --window "$@" | grep -v '^posted'
fi
