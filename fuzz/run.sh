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

# The NNTP client needs its meta-object code and Qt's network module.
echo "== building fuzz_nntpclient"
moc=$(pkg-config --variable=libexecdir Qt6Core 2>/dev/null)/moc
[ -x "$moc" ] || moc=/usr/lib/qt6/libexec/moc
"$moc" -I"$root/src/core" src/core/session/nntpclient.h -o "$out/moc_nntpclient.cpp"
net_flags=$(pkg-config --cflags Qt6Network)
net_libs=$(pkg-config --libs Qt6Network)
# shellcheck disable=SC2086
"$cxx" "${flags[@]}" $net_flags -I"$root/src/core/session" fuzz/fuzz_nntpclient.cpp \
  src/core/session/nntpclient.cpp src/core/session/linestore.cpp src/core/session/serveraddress.cpp \
  "$out/moc_nntpclient.cpp" $net_libs -o "$out/fuzz_nntpclient"

# Seeds: a few well-formed inputs so the fuzzer starts inside the formats.
seeds="$out/seeds"
mkdir -p "$seeds/fuzz_overview" "$seeds/fuzz_workfile" "$seeds/fuzz_nntpclient"
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
# With CR LF, as articles come: full-length lines are taken in bulk.
{ printf 'Subject: x\r\n\r\n'; uuencode "$out/seed.bin" pic.jpg | sed 's/$/\r/'; } > "$seeds/fuzz_workfile/uucrlf"

# A whole conversation, one reply per piece (0xFE between them): greeting,
# mode, login, group, a 480 with a second login, the overview format, an
# overview, an article, one sent ahead, one sent ahead and passed over, the
# list, quit.
{
  sep=$'\xfe'
  for r in '200 hello' '200 reader' '381 more' '281 ok' '211 3 1 3 alt.test' '480 log in' '381 more' '281 ok' \
           '215 fmt\r\nSubject:\r\nFrom:\r\nDate:\r\nMessage-ID:\r\nReferences:\r\nBytes:\r\nLines:\r\nXref:full\r\n.' \
           '224 over\r\n1\tpic.jpg (1/1)\ta@b\td\t<1@x>\t\t900\t12\tXref: h alt.test:1\r\n.' \
           '220 1 <1@x>\r\nSubject: x\r\n\r\n..dot\r\nbegin 644 a.jpg\r\n.' \
           '220 2 <2@x>\r\n\r\nbody\r\n.' '220 3 <3@x>\r\n\r\n.' \
           '215 list\r\nalt.test 3 1 y\r\n.' '205 bye'; do
    printf '%b\r\n%s' "$r" "$sep"
  done
} > "$seeds/fuzz_nntpclient/talk"

status=0
# The decoders once more at each narrower vector level.
for run in fuzz_overview fuzz_workfile fuzz_workfile:ssse3 fuzz_workfile:none fuzz_nntpclient; do
  t=${run%%:*}
  level=${run#"$t"}
  level=${level#:}
  corpus="$out/corpus/$t"
  mkdir -p "$corpus"
  log="$out/$t${level:+-$level}.log"
  echo "== running $t${level:+ (BRIVANE_SIMD=$level)} for ${secs}s"
  if ! (cd "$out" && BRIVANE_SIMD=$level ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
        "./$t" -max_total_time="$secs" -max_len=65536 -timeout=10 -rss_limit_mb=4096 \
        -print_final_stats=1 "$corpus" "$seeds/$t" 2>&1 | tee "$log" | grep -E '^(#[0-9]+ +DONE|==|SUMMARY|INFO: Running|stat::number_of_executed_units|stat::peak_rss)'); then
    :
  fi
  if grep -qE 'ERROR: (AddressSanitizer|libFuzzer)|runtime error:|SUMMARY: ' "$log"; then
    echo "!! $t found a problem, see $log"
    status=1
  fi
done
exit $status
