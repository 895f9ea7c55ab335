#!/usr/bin/env bash
# Installs orvex_chess with its test extras, then runs the C++ and the Python tests.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}

if [ ! -f /usr/include/gtest/gtest.h ]; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    echo "== installing GoogleTest (libgtest-dev)"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
  else
    echo "GoogleTest is missing: install it with 'sudo apt-get install libgtest-dev' and run this again." >&2
    exit 1
  fi
fi

echo "== building and installing orvex_chess with its test extras"
"$PYTHON" -m pip install --quiet --disable-pip-version-check ".[test]"

echo "== C++ tests"
cmake -S . -B build/cpp-tests -DORVEX_BUILD_MODULE=OFF -DORVEX_BUILD_TESTS=ON \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/cpp-tests --parallel 2
ctest --test-dir build/cpp-tests --output-on-failure

echo "== Python tests"
"$PYTHON" -m pytest tests/python "$@"
