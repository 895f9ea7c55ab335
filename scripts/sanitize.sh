#!/usr/bin/env bash
# Runs the C++ tests and the whole Python test suite under AddressSanitizer,
# LeakSanitizer and UndefinedBehaviorSanitizer.
#
#   bash scripts/sanitize.sh            # C++ tests, then pytest tests/python
#   bash scripts/sanitize.sh --cpp      # only the C++ tests
#   bash scripts/sanitize.sh --python [pytest arguments]   # only the Python suite
#
# Everything is built with -DORVEX_SANITIZE=ON under build/asan/: the C++ tests
# in build/asan/cpp-tests, the extension module into a throwaway virtual
# environment build/asan/venv (it sees the machine's packages, so run
# scripts/run-tests.sh once first for the test extras). The normally installed
# module is not touched.
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
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}

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

SUPPRESSIONS=$PWD/scripts/lsan-suppressions.txt
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1
export LSAN_OPTIONS=suppressions=$SUPPRESSIONS:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

if [ "$run_cpp" = 1 ]; then
  if [ ! -f /usr/include/gtest/gtest.h ]; then
    echo "GoogleTest is missing: run scripts/run-tests.sh first (it installs it)." >&2
    exit 1
  fi
  echo "== C++ tests under sanitizers"
  cmake -S . -B build/asan/cpp-tests -DORVEX_BUILD_MODULE=OFF -DORVEX_BUILD_TESTS=ON \
    -DORVEX_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
  cmake --build build/asan/cpp-tests --parallel 2
  ctest --test-dir build/asan/cpp-tests --output-on-failure --parallel 2
fi

if [ "$run_python" = 1 ]; then
  echo "== building the extension module under sanitizers into build/asan/venv"
  VENV=build/asan/venv
  [ -x "$VENV/bin/python" ] || "$PYTHON" -m venv --system-site-packages "$VENV"
  # The machine's scikit-build-core builds it when there is one; else pip
  # fetches the build backend as for a normal install.
  isolation=--no-build-isolation
  "$VENV/bin/python" -c "import scikit_build_core" 2>/dev/null || isolation=
  "$VENV/bin/python" -m pip install --quiet --disable-pip-version-check $isolation \
    --no-deps --force-reinstall -C cmake.define.ORVEX_SANITIZE=ON -C cmake.build-type=Debug \
    -C build-dir=build/asan/wheel .

  # Started with ORVEX_SANITIZE_PARENT set, the first interpreter (pytest)
  # keeps the options it was started with and hands its children the same
  # ones without the leak check.
  SITE=$("$VENV/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
  cat >"$SITE/orvex_sanitize_children.pth" <<'EOF'
import os; os.environ.pop("ORVEX_SANITIZE_PARENT", None) and os.environ.update(ASAN_OPTIONS=os.environ["ASAN_OPTIONS"].replace("detect_leaks=1", "detect_leaks=0"))
EOF

  export LD_PRELOAD="$ASAN_LIB:$UBSAN_LIB"
  export PYTHONMALLOC=malloc
  module=$("$VENV/bin/python" -c 'import orvex_chess; print(orvex_chess.__file__)')
  case "$module" in
    "$PWD/$VENV"/*) ;;
    *) echo "the sanitized module is not the one imported: $module" >&2; exit 1 ;;
  esac
  if ! ldd "$module" | grep -q libasan; then
    echo "$module is not built with AddressSanitizer" >&2
    exit 1
  fi

  echo "== Python tests under sanitizers ($module)"
  ORVEX_SANITIZE_PARENT=1 "$VENV/bin/python" -m pytest tests/python -p no:cacheprovider "$@"
fi
