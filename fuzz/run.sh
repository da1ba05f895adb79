#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, ASan, UBSan) and runs each
# for a bounded time. Not part of ctest.
#   fuzz/run.sh [seconds per target]      (default 60)
# BRIVANE_FUZZ_DIR: where to build and keep the corpora (default build-fuzz).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
secs=${1:-60}
out=${BRIVANE_FUZZ_DIR:-$root/build-fuzz}
mkdir -p "$out"

cxx=$(command -v clang++ || command -v clang++-14)
qt_flags=$(pkg-config --cflags Qt6Core)
qt_libs=$(pkg-config --libs Qt6Core)
flags=(-std=c++20 -g -O1 -fPIC -fno-omit-frame-pointer
       -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
       -I"$root/src/core")
core=(src/core/run/filters.cpp src/core/run/files.cpp
      src/core/preview/workfile.cpp src/core/preview/decoder.cpp src/core/preview/mimename.cpp
      src/core/shell/frontend.cpp src/core/shell/textutil.cpp)

for t in fuzz_overview fuzz_workfile; do
  echo "== building $t"
  # shellcheck disable=SC2086
  "$cxx" "${flags[@]}" $qt_flags "fuzz/$t.cpp" "${core[@]}" $qt_libs -o "$out/$t"
done

# Seeds: a few well-formed inputs so the fuzzer starts inside the formats.
seeds="$out/seeds"
mkdir -p "$seeds/fuzz_overview" "$seeds/fuzz_workfile"
printf '4711\tpic01.jpg (1/1)\tJoe [x] <joe@x.org>\tdate\t<id@x>\t\t50000\t700\tXref: h a:1 b:2\n' \
  > "$seeds/fuzz_overview/1"
printf '12\tMy holiday - beach.JPG (3/5) "a.b.gif"\tO'"'"'Brien|x\t\t\t\t2047\t9\t\n' \
  > "$seeds/fuzz_overview/2"
head -c 600 /dev/urandom > "$out/seed.bin"
{ printf 'Subject: x\r\n\r\n'; uuencode "$out/seed.bin" pic.jpg; } > "$seeds/fuzz_workfile/uu"
{ printf 'Content-Type: image/jpeg; name="x.jpg"\r\n\r\n/9j/'; base64 "$out/seed.bin"; printf '\r\n--b--\r\n'; } \
  > "$seeds/fuzz_workfile/mime"
{ printf 'begin 644 a.jpg  \r\n--- CUT HERE ---\r\n'; uuencode "$out/seed.bin" a | sed -n '2,4p'; printf '`\r\nend\r\n'; } \
  > "$seeds/fuzz_workfile/cut"

status=0
for t in fuzz_overview fuzz_workfile; do
  corpus="$out/corpus/$t"
  mkdir -p "$corpus"
  echo "== running $t for ${secs}s"
  if ! (cd "$out" && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
        "./$t" -max_total_time="$secs" -max_len=65536 -timeout=10 -rss_limit_mb=4096 \
        -print_final_stats=1 "$corpus" "$seeds/$t" 2>&1 | tee "$out/$t.log" | grep -E '^(#[0-9]+ +DONE|==|SUMMARY|INFO: Running|stat::number_of_executed_units|stat::peak_rss)'); then
    :
  fi
  if grep -qE 'ERROR: (AddressSanitizer|libFuzzer)|runtime error:|SUMMARY: ' "$out/$t.log"; then
    echo "!! $t found a problem, see $out/$t.log"
    status=1
  fi
done
exit $status
