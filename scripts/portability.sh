#!/usr/bin/env bash
# Builds the library beyond Linux and GCC, as far as this machine can, and
# runs the C++ tests where it can run them:
#
#   clang     clang with libc++: the core and the C++ tests build warning-free
#             and pass
#   aarch64   aarch64 Linux (g++-aarch64-linux-gnu): the C++ tests run under
#             qemu-user
#   windows   64-bit Windows (mingw-w64): the C++ tests run under wine
#   macos     aarch64-macos and x86_64-macos with zig's compiler: the core and
#             the extension modules compile (there is no macOS to run them on)
#
#   bash scripts/portability.sh [PART ...]      all four when none is named
#
# As root it installs the Debian packages it needs (once: apt-get update
# first), and zig from PyPI into a venv in build/tools. GoogleTest is built
# from Debian's sources (/usr/src/googletest) with each compiler. A compiler
# warning in the library's or the tests' own files fails the part. Each build lives in
# build/port-<part>/ and is reused by the next run.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PARTS=("$@")
[ ${#PARTS[@]} -gt 0 ] || PARTS=(clang aarch64 windows macos)
GTEST_SOURCE=/usr/src/googletest

say() { echo "== [${SECONDS} s] $*"; }

# Installs the Debian packages named (as root, with apt-get) unless each of
# the commands or files after "--" is already there.
updated=0
need() {
  local packages=() have=1 arg seen=0
  for arg in "$@"; do
    if [ "$arg" = -- ]; then seen=1; continue; fi
    if [ $seen = 0 ]; then packages+=("$arg"); continue; fi
    if [[ $arg == /* ]]; then [ -e "$arg" ] || have=0; else command -v "$arg" >/dev/null || have=0; fi
  done
  [ $have = 1 ] && return 0
  if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null; then
    echo "missing: install ${packages[*]} (Debian packages) and run this again" >&2
    exit 1
  fi
  if [ $updated = 0 ]; then
    say "apt-get update"
    apt-get update -qq
    updated=1
  fi
  say "installing ${packages[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${packages[@]}" >/dev/null
}

# Configures and builds the core and the C++ tests in build/port-NAME with
# the CMake arguments given, and fails on any warning outside GoogleTest.
build_tests() {
  local name=$1 dir=build/port-$1 log
  shift
  log=$dir/build.log
  say "$name: configuring and building in $dir"
  mkdir -p "$dir"
  if ! cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DORVEX_BUILD_TESTS=ON -DORVEX_BUILD_MODULE=OFF \
    -DORVEX_GTEST_SOURCE="$GTEST_SOURCE" -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST \
    "$@" >"$dir/configure.log" 2>&1; then
    tail -40 "$dir/configure.log" >&2
    echo "$name: CMake failed (log in $dir/configure.log)" >&2
    exit 1
  fi
  if ! cmake --build "$dir" --parallel 2 --target orvex_core_tests >"$log" 2>&1; then
    tail -40 "$log" >&2
    echo "$name: the build failed (log in $log)" >&2
    exit 1
  fi
  # Warnings placed in the library's or the tests' own files (GoogleTest's
  # sources, built with the project's warning flags, have some of their own).
  if grep -E "^($ROOT/)?(src|tests|bench)/[^:]*:[0-9]+:([0-9]+:)? warning:" "$log" >&2; then
    echo "$name: the build has warnings (log in $log)" >&2
    exit 1
  fi
}

# Runs the C++ tests of build/port-NAME, through the command given before
# the program (an emulator, or nothing), from the tests' folder.
run_tests() {
  local name=$1 program
  shift
  program=$ROOT/build/port-$name/tests/cpp/orvex_core_tests
  [ -f "$program" ] || program=$program.exe
  say "$name: C++ tests${*:+ under $*}"
  (cd "build/port-$name" && "$@" "$program" --gtest_brief=1)
}

part_clang() {
  need clang libc++-dev libc++abi-dev googletest -- clang++ /usr/include/c++/v1 "$GTEST_SOURCE"
  build_tests clang -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS=-stdlib=libc++
  run_tests clang
}

part_aarch64() {
  need g++-aarch64-linux-gnu qemu-user googletest -- aarch64-linux-gnu-g++ qemu-aarch64 "$GTEST_SOURCE"
  build_tests aarch64 -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchains/aarch64-linux-gnu.cmake"
  run_tests aarch64 qemu-aarch64 -L /usr/aarch64-linux-gnu
}

part_windows() {
  need g++-mingw-w64-x86-64 wine64 googletest -- x86_64-w64-mingw32-g++-posix wine "$GTEST_SOURCE"
  build_tests windows -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchains/mingw-w64-x86_64.cmake"
  # Wine keeps its prefix under build/ and says nothing of its own start-up.
  export WINEPREFIX=$ROOT/build/port-windows/wine WINEDEBUG=-all
  run_tests windows wine
}

# The core and the binding, one file at a time, compiled for each macOS
# target with zig's clang and its bundled macOS headers; the binding against
# this machine's CPython headers (only the platform differs).
part_macos() {
  local tools=build/tools zig python_include target source out
  if [ ! -x "$tools/bin/python" ]; then
    say "macos: making $tools with ziglang"
    python3 -m venv "$tools"
  fi
  "$tools/bin/python" -c 'import ziglang' 2>/dev/null ||
    "$tools/bin/python" -m pip install --quiet --disable-pip-version-check ziglang
  zig=("$tools/bin/python" -m ziglang)
  python_include=$(python3 -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
  for target in aarch64-macos x86_64-macos; do
    out=build/port-macos/$target
    mkdir -p "$out"
    say "macos: compiling for $target"
    # Every source file the build lists, each compiled to an object file.
    sed -n 's|^ *\(src/[a-z_/]*\.cpp\)$|\1|p' CMakeLists.txt |
      while read -r source; do printf '%s\0' "$source"; done |
      xargs -0 -P 2 -I{} sh -c '
        source=$1; shift; out=$1; shift
        "$@" -c -std=c++20 -O1 -Wall -Wextra -Werror -fvisibility=hidden -Isrc -I"'"$python_include"'" \
          "$source" -o "$out/$(echo "$source" | tr / _).o"' sh {} "$out" "${zig[@]}" c++ -target "$target"
    say "macos: $target: $(ls "$out" | wc -l) files compiled"
  done
}

for part in "${PARTS[@]}"; do
  case $part in
    clang | aarch64 | windows | macos) "part_$part" ;;
    *)
      echo "unknown part '$part': choose among clang aarch64 windows macos" >&2
      exit 2
      ;;
  esac
done
say "done: ${PARTS[*]}"
