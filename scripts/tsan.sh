#!/usr/bin/env bash
# Runs the threaded code under ThreadSanitizer: the C++ tests of the threaded
# engine (parallel_for, ParallelJob, parallel perft, threaded PGN reading), then
# the Python tests that tests/python/conftest.py marks "tsan" (the batch calls,
# the many-position arrays and the PGN reader on more than one thread) against
# modules built with -fsanitize=thread. Any report fails the run.
#
#   bash scripts/tsan.sh            # both
#   bash scripts/tsan.sh --cpp      # only the C++ tests
#   bash scripts/tsan.sh --python [pytest arguments]   # only the Python tests
#
# pytest arguments replace the selection ("-m tsan").
#
# One build, build/tsan/, holds the C++ tests and the two extension modules,
# all compiled with -DORVEX_TSAN=ON, so the core is compiled once for both.
# The modules are installed into build/tsan/site and put first on PYTHONPATH;
# the tests run with the interpreter that runs this script ($PYTHON, else
# python3: the one of the active virtual environment), which must have the
# test extras (scripts/run-tests.sh installs them). The normally installed
# module is not touched. The interpreter itself is not instrumented: it runs
# with libtsan preloaded, which sees its locks (the interpreter lock among
# them) and checks every memory access of the modules.
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

TSAN_LIB=$(gcc -print-file-name=libtsan.so)
if [ ! -e "$TSAN_LIB" ]; then
  echo "ThreadSanitizer runtime $TSAN_LIB not found (gcc's libtsan is needed)" >&2
  exit 1
fi
if [ ! -f /usr/include/gtest/gtest.h ]; then
  echo "GoogleTest is missing: run scripts/run-tests.sh first (it installs it)." >&2
  exit 1
fi

BUILD=build/tsan
SITE=$BUILD/site
echo "== [${SECONDS} s] building the C++ tests and the extension modules under ThreadSanitizer into $BUILD"
cmake -S . -B "$BUILD" -DORVEX_BUILD_TESTS=ON -DORVEX_BUILD_MODULE=ON \
  -DPython_EXECUTABLE="$PYTHON" -DORVEX_TSAN=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
targets=()
[ "$run_cpp" = 1 ] && targets+=(orvex_core_tests)
[ "$run_python" = 1 ] && targets+=(orvex_chess orvex_pgn orvex_env)
cmake --build "$BUILD" --parallel 2 --target "${targets[@]}"

export TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1"

if [ "$run_cpp" = 1 ]; then
  echo "== [${SECONDS} s] C++ tests of the threaded engine under ThreadSanitizer"
  ctest --test-dir "$BUILD" --output-on-failure \
    -R 'Parallel|PerftPieces|AvailableCores|ReadGames'
fi

if [ "$run_python" = 1 ]; then
  rm -rf "$SITE"
  cmake --install "$BUILD" --prefix "$SITE" >/dev/null
  export PYTHONPATH=$PWD/$SITE${PYTHONPATH:+:$PYTHONPATH}
  module=$(LD_PRELOAD="$TSAN_LIB" "$PYTHON" -c 'import orvex_chess; print(orvex_chess.__file__)')
  case "$module" in
    "$PWD/$SITE"/*) ;;
    *) echo "the instrumented module is not the one imported: $module" >&2; exit 1 ;;
  esac
  # grep reads all of ldd's output: with -q it could stop early and, under
  # pipefail, fail the check on ldd's broken pipe.
  if ! ldd "$module" | grep libtsan >/dev/null; then
    echo "$module is not built with ThreadSanitizer" >&2
    exit 1
  fi

  # --capture=sys: a report goes straight to stderr (it ends the process).
  [ $# -gt 0 ] || set -- tests/python -m tsan
  echo "== [${SECONDS} s] Python tests under ThreadSanitizer ($module, with $PYTHON): $*"
  LD_PRELOAD="$TSAN_LIB" "$PYTHON" -m pytest -p no:cacheprovider --capture=sys "$@"
fi
echo "== [${SECONDS} s] done"
