#!/usr/bin/env bash
# Installs orvex_chess with its test extras into the interpreter that runs this
# script ($PYTHON, else python3: the active virtual environment's, or the
# system's), then runs the C++ tests and the whole Python suite.
#
#   bash scripts/run-tests.sh [pytest arguments]
#
# One Release build, build/release-<python>/, makes both the installed module
# and the C++ tests, so the core is compiled once for both.
set -euo pipefail
# Each "==" line starts with the seconds since this script started.
cd "$(dirname "$0")/.."
PYTHON=$("${PYTHON:-python3}" -c 'import sys; print(sys.executable)')

if [ ! -f /usr/include/gtest/gtest.h ]; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    echo "== [${SECONDS} s] installing GoogleTest (libgtest-dev)"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
  else
    echo "GoogleTest is missing: install it with 'sudo apt-get install libgtest-dev' and run this again." >&2
    exit 1
  fi
fi

BUILD=build/release-$("$PYTHON" -c 'import sys; print(sys.implementation.cache_tag)')
echo "== [${SECONDS} s] building and installing orvex_chess with its test extras into $PYTHON (build in $BUILD)"
"$PYTHON" -m pip install --quiet --disable-pip-version-check \
  -C cmake.define.ORVEX_BUILD_TESTS=ON -C build-dir="$BUILD" ".[test]"

echo "== [${SECONDS} s] C++ tests"
ctest --test-dir "$BUILD" --output-on-failure --parallel 2
# A parameterised suite without a name generator gets numbered cases: give it
# one (case_name in tests/cpp/test_support.h), so that names stay the same
# from build to build and -R can pick them.
if ctest --test-dir "$BUILD" -N | grep -E '^ *Test +#[0-9]+: .*/[0-9]+$' >&2; then
  echo "these C++ cases are numbered, not named" >&2
  exit 1
fi

# The test files are shared out over the cores (pytest-xdist, at most four
# processes; each file stays in one); "-n 0" among the arguments runs them all
# in this process, as --pdb needs.
echo "== [${SECONDS} s] Python tests"
"$PYTHON" -m pytest tests/python -n auto --maxprocesses 4 --dist loadfile "$@"
echo "== [${SECONDS} s] done"
