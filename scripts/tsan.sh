#!/usr/bin/env bash
# Runs the threaded code under ThreadSanitizer: the C++ tests of the threaded
# engine (parallel_for, ParallelJob, parallel perft, threaded PGN reading), then
# the Python tests of the batch calls, of the many-position arrays and of the
# PGN reader (tests/python/test_batch.py, test_many_tensors.py, test_pgn.py)
# against modules built with -fsanitize=thread. Any report fails the run.
#
#   bash scripts/tsan.sh            # both
#   bash scripts/tsan.sh --cpp      # only the C++ tests
#   bash scripts/tsan.sh --python [pytest arguments]   # only the Python tests
#
# Everything is built with -DORVEX_TSAN=ON under build/tsan/: the C++ tests in
# build/tsan/cpp-tests, the extension module into a throwaway virtual
# environment build/tsan/venv (it sees the machine's packages, so run
# scripts/run-tests.sh once first for the test extras). The normally installed
# module is not touched. The interpreter itself is not instrumented: it runs
# with libtsan preloaded, which sees its locks (the interpreter lock among
# them) and checks every memory access of the module.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}

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
export TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1"

if [ "$run_cpp" = 1 ]; then
  if [ ! -f /usr/include/gtest/gtest.h ]; then
    echo "GoogleTest is missing: run scripts/run-tests.sh first (it installs it)." >&2
    exit 1
  fi
  echo "== C++ tests of the threaded engine under ThreadSanitizer"
  cmake -S . -B build/tsan/cpp-tests -DORVEX_BUILD_MODULE=OFF -DORVEX_BUILD_TESTS=ON \
    -DORVEX_TSAN=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
  cmake --build build/tsan/cpp-tests --parallel 2
  ctest --test-dir build/tsan/cpp-tests --output-on-failure \
    -R 'Parallel|PerftPieces|AvailableCores|ReadGames'
fi

if [ "$run_python" = 1 ]; then
  echo "== building the extension module under ThreadSanitizer into build/tsan/venv"
  VENV=build/tsan/venv
  [ -x "$VENV/bin/python" ] || "$PYTHON" -m venv --system-site-packages "$VENV"
  isolation=--no-build-isolation
  "$VENV/bin/python" -c "import scikit_build_core" 2>/dev/null || isolation=
  "$VENV/bin/python" -m pip install --quiet --disable-pip-version-check $isolation \
    --no-deps --force-reinstall -C cmake.define.ORVEX_TSAN=ON -C cmake.build-type=Debug \
    -C build-dir=build/tsan/wheel .

  module=$(LD_PRELOAD="$TSAN_LIB" "$VENV/bin/python" -c 'import orvex_chess; print(orvex_chess.__file__)')
  case "$module" in
    "$PWD/$VENV"/*) ;;
    *) echo "the instrumented module is not the one imported: $module" >&2; exit 1 ;;
  esac
  # grep reads all of ldd's output: with -q it could stop early and, under
  # pipefail, fail the check on ldd's broken pipe.
  if ! ldd "$module" | grep libtsan >/dev/null; then
    echo "$module is not built with ThreadSanitizer" >&2
    exit 1
  fi

  # --capture=sys: a report goes straight to stderr (it ends the process).
  # The reference-count and memory loops are left to scripts/sanitize.sh.
  echo "== Python batch, many-position and PGN tests under ThreadSanitizer ($module)"
  LD_PRELOAD="$TSAN_LIB" "$VENV/bin/python" -m pytest tests/python/test_batch.py \
    tests/python/test_many_tensors.py tests/python/test_pgn.py -p no:cacheprovider --capture=sys \
    -k "not keep_counts_and_memory" "$@"
fi
