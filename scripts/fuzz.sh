#!/usr/bin/env bash
# Builds the libFuzzer harnesses of the core (fuzz/) with clang and runs each
# one for a bounded time.
#
#   bash scripts/fuzz.sh [seconds per harness, default 60] [harness ...]
#
# Harnesses: fen, move_text, sequence, board_bytes, san, pgn. Each starts from its seed corpus in
# fuzz/corpus/<harness>/; what it finds on the way is kept in
# build/fuzz/corpus/<harness>/ (the seeds in the repository are not touched),
# and an input that crashes is written to build/fuzz/artifacts/. The run fails
# on the first crash, leak or broken check.
set -euo pipefail
# Each "==" line starts with the seconds since this script started.
cd "$(dirname "$0")/.."

SECONDS_EACH=${1:-60}
shift || true
HARNESSES=("$@")
[ ${#HARNESSES[@]} -gt 0 ] || HARNESSES=(fen move_text sequence board_bytes san pgn)

CXX_FUZZ=${CXX_FUZZ:-}
if [ -z "$CXX_FUZZ" ]; then
  for candidate in clang++ clang++-14; do
    if command -v "$candidate" >/dev/null; then CXX_FUZZ=$candidate; break; fi
  done
fi
# A clang without its runtime (libclang-rt) compiles the harnesses and fails to
# link them: check that a fuzzer links, not only that a compiler is there.
fuzzer_links() {
  [ -n "$CXX_FUZZ" ] || return 1
  local dir
  dir=$(mktemp -d)
  printf '%s\n' '#include <cstddef>' '#include <cstdint>' \
    'extern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }' >"$dir/probe.cpp"
  "$CXX_FUZZ" -fsanitize=fuzzer,address,undefined "$dir/probe.cpp" -o "$dir/probe" >/dev/null 2>&1
  local status=$?
  rm -rf "$dir"
  return $status
}
if ! fuzzer_links; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    echo "== [${SECONDS} s] installing clang and libFuzzer (clang-14, libclang-rt-14-dev)"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-14 libclang-rt-14-dev >/dev/null
    command -v "${CXX_FUZZ:-none}" >/dev/null || CXX_FUZZ=clang++-14
  else
    echo "clang or its fuzzer runtime is missing: install them with 'sudo apt-get install clang-14 libclang-rt-14-dev'." >&2
    exit 1
  fi
fi

BUILD=build/fuzz
echo "== [${SECONDS} s] building the fuzz harnesses with $CXX_FUZZ"
cmake -S . -B "$BUILD" -DCMAKE_CXX_COMPILER="$CXX_FUZZ" -DCMAKE_BUILD_TYPE=Debug \
  -DORVEX_BUILD_MODULE=OFF -DORVEX_BUILD_TESTS=OFF -DORVEX_FUZZ=ON >/dev/null
targets=()
for h in "${HARNESSES[@]}"; do targets+=("fuzz_$h"); done
cmake --build "$BUILD" --parallel 2 --target "${targets[@]}"

mkdir -p "$BUILD/artifacts"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
for h in "${HARNESSES[@]}"; do
  mkdir -p "$BUILD/corpus/$h"
  log="$BUILD/fuzz_$h.log"
  echo "== [${SECONDS} s] fuzz_$h for ${SECONDS_EACH}s"
  status=0
  "$BUILD/fuzz/fuzz_$h" -max_total_time="$SECONDS_EACH" -max_len=512 -timeout=20 \
    -dict=fuzz/orvex.dict -print_final_stats=1 -artifact_prefix="$BUILD/artifacts/$h-" \
    "$BUILD/corpus/$h" "fuzz/corpus/$h" >"$log" 2>&1 || status=$?
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || true)
  corpus=$(ls "$BUILD/corpus/$h" | wc -l)
  if [ "$status" != 0 ]; then
    tail -n 60 "$log" >&2
    echo "fuzz_$h failed (exit $status); the input is in $BUILD/artifacts/, the log in $log" >&2
    exit 1
  fi
  echo "   ${runs:-?} inputs run, $corpus inputs in $BUILD/corpus/$h"
done
echo "== [${SECONDS} s] done"
