#!/usr/bin/env bash
# Runs the C++ tests and the memory-sensitive part of the Python suite under
# AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer.
#
#   bash scripts/sanitize.sh            # C++ tests, then the Python tests marked "asan"
#   bash scripts/sanitize.sh --cpp      # only the C++ tests
#   bash scripts/sanitize.sh --python [pytest arguments]   # only the Python tests
#
# The Python tests are those that tests/python/conftest.py marks "asan" (the
# batch calls, pickles, the PGN reader, the arrays, the leak loops, bad input):
# pytest arguments replace that selection, so `--python tests/python` runs the
# whole suite.
#
# One build, build/asan/, holds the C++ tests and the two extension modules,
# all compiled with -DORVEX_SANITIZE=ON, so the core is compiled once for
# both. The modules are installed into build/asan/site and put first on
# PYTHONPATH; the tests run with the interpreter that runs this script
# ($PYTHON, else python3: the one of the active virtual environment), which
# must have the test extras (scripts/run-tests.sh installs them). The normally
# installed module is not touched.
#
# The pytest process runs with the sanitizer runtimes preloaded, the
# interpreter's allocator replaced by malloc (PYTHONMALLOC=malloc) so that
# every object is tracked, and leak detection on; any report fails the run.
# Processes that the tests start (the orvex-chess command, mypy, git) keep the
# memory-error and undefined-behaviour checks but not the leak check at exit:
# those programs leave memory behind on purpose when they exit, a daemon
# progress thread makes CPython skip freeing its state, and every module path
# they use runs in the pytest process as well.
set -euo pipefail
# Each "==" line starts with the seconds since this script started.
cd "$(dirname "$0")/.."
PYTHON=$("${PYTHON:-python3}" -c 'import sys; print(sys.executable)')

run_cpp=1
run_python=1
case "${1:-}" in
  --cpp) run_python=0; shift ;;
  --python) run_cpp=0; shift ;;
esac

ASAN_LIB=$(gcc -print-file-name=libasan.so)
UBSAN_LIB=$(gcc -print-file-name=libubsan.so)
for lib in "$ASAN_LIB" "$UBSAN_LIB"; do
  if [ ! -e "$lib" ]; then
    echo "sanitizer runtime $lib not found (gcc's libasan and libubsan are needed)" >&2
    exit 1
  fi
done
if [ ! -f /usr/include/gtest/gtest.h ]; then
  echo "GoogleTest is missing: run scripts/run-tests.sh first (it installs it)." >&2
  exit 1
fi

BUILD=build/asan
SITE=$BUILD/site
echo "== [${SECONDS} s] building the C++ tests and the extension modules under sanitizers into $BUILD"
cmake -S . -B "$BUILD" -DORVEX_BUILD_TESTS=ON -DORVEX_BUILD_MODULE=ON \
  -DPython_EXECUTABLE="$PYTHON" -DORVEX_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
targets=()
[ "$run_cpp" = 1 ] && targets+=(orvex_core_tests)
[ "$run_python" = 1 ] && targets+=(orvex_chess orvex_pgn orvex_env)
cmake --build "$BUILD" --parallel 2 --target "${targets[@]}"

SUPPRESSIONS=$PWD/scripts/lsan-suppressions.txt
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1
export LSAN_OPTIONS=suppressions=$SUPPRESSIONS:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

if [ "$run_cpp" = 1 ]; then
  echo "== [${SECONDS} s] C++ tests under sanitizers"
  ctest --test-dir "$BUILD" --output-on-failure --parallel 2
fi

if [ "$run_python" = 1 ]; then
  rm -rf "$SITE"
  cmake --install "$BUILD" --prefix "$SITE" >/dev/null
  export PYTHONPATH=$PWD/$SITE${PYTHONPATH:+:$PYTHONPATH}
  module=$(LD_PRELOAD="$ASAN_LIB:$UBSAN_LIB" ASAN_OPTIONS=detect_leaks=0 \
    "$PYTHON" -c 'import orvex_chess; print(orvex_chess.__file__)')
  case "$module" in
    "$PWD/$SITE"/*) ;;
    *) echo "the sanitized module is not the one imported: $module" >&2; exit 1 ;;
  esac
  # ldd without the preload, which it would list; grep reads all of ldd's
  # output: with -q it could stop early and, under pipefail, fail the check on
  # ldd's broken pipe.
  if ! ldd "$module" | grep libasan >/dev/null; then
    echo "$module is not built with AddressSanitizer" >&2
    exit 1
  fi
  export LD_PRELOAD="$ASAN_LIB:$UBSAN_LIB"
  export PYTHONMALLOC=malloc

  [ $# -gt 0 ] || set -- tests/python -m asan
  echo "== [${SECONDS} s] Python tests under sanitizers ($module, with $PYTHON): $*"
  # The sanitizers read their options when the process starts: the pytest
  # process keeps the leak check, and what it starts gets the options without.
  "$PYTHON" -c '
import os, sys
os.environ["ASAN_OPTIONS"] = os.environ["ASAN_OPTIONS"].replace("detect_leaks=1", "detect_leaks=0")
import pytest
sys.exit(pytest.main(sys.argv[1:]))' -p no:cacheprovider "$@"
fi
echo "== [${SECONDS} s] done"
