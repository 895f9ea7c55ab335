#!/usr/bin/env bash
# Builds the sdist, installs it into a fresh venv (which compiles it there,
# with build isolation fetching scikit-build-core), and runs a few of the
# Python tests against that install.
#
#   bash scripts/sdist-check.sh
#
# The sdist lands in build/sdist/, the venv in build/sdist-venv.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PYTHON=$("${PYTHON:-python3}" -c 'import sys; print(sys.executable)')
say() { echo "== [${SECONDS} s] $*"; }

TOOLS=$ROOT/build/tools
[ -x "$TOOLS/bin/python" ] || python3 -m venv "$TOOLS"
# -I: the work tree's own build/ folder is no package named build.
"$TOOLS/bin/python" -I -c 'import build.__main__' 2>/dev/null ||
  "$TOOLS/bin/python" -m pip install --quiet --disable-pip-version-check build

say "building the sdist"
rm -rf build/sdist
"$TOOLS/bin/python" -I -m build --sdist --outdir build/sdist . >/dev/null
sdist=$(ls build/sdist/*.tar.gz)
listing=$(tar tzf "$sdist")
say "sdist: $sdist ($(wc -l <<<"$listing") files)"
# What a source build needs, and nothing of the work tree's leftovers.
for needed in CMakeLists.txt pyproject.toml README.md LICENSE src/base/platform.cpp \
  src/module/exports.map python/orvex_tools/__init__.py python/orvex_chess-stubs/__init__.pyi; do
  grep -q "^[^/]*/$needed\$" <<<"$listing" || { echo "the sdist lacks $needed" >&2; exit 1; }
done
if grep -E '^[^/]*/build/|\.so$|__pycache__' <<<"$listing"; then
  echo "the sdist holds build output" >&2
  exit 1
fi

say "installing it into a fresh venv (a source build)"
rm -rf build/sdist-venv
"$PYTHON" -m venv build/sdist-venv
VENV=$ROOT/build/sdist-venv
"$VENV/bin/python" -m pip install --quiet --disable-pip-version-check "$sdist[test]"

say "Python tests against the install"
# From outside the work tree, so that only the installed package is found.
rm -rf build/sdist-tests
mkdir -p build/sdist-tests
cp -r tests build/sdist-tests/
cd build/sdist-tests
"$VENV/bin/python" -m pytest -p no:cacheprovider -n 2 -q \
  tests/python/test_perft.py tests/python/test_fen.py tests/python/test_module.py tests/python/test_cli.py \
  tests/python/test_typing.py
say "done: $sdist"
