#!/bin/sh
# Cross builds the module for 64-bit Windows with MinGW-w64 and checks what was built:
# build-windows/Release/corvelle.node must be a PE DLL that exports the module entry,
# imports OstrelMessage5.dll, and takes Node's functions through the delay-load path for
# "node.exe" with the hook that binds them to the host process.
#
# Neither node.exe's import library nor the vendor's library is at hand here, so the
# script makes stub import libraries for both: node.exe's from the functions that Node's
# headers declare for addons, OstrelMessage5.dll's from the members that the interface
# header marks for import. Run after `npm ci` (the module needs node-addon-api).
# On Debian it installs what it lacks; run it again and it only rebuilds what changed.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
build="$root/build-windows"
imports="$build/imports"
. scripts/windows-common.sh

# MinGW-w64 GCC with the posix thread model (std::mutex) and its binutils (dlltool,
# objdump); clang reads the interface header; CMake and make build.
install_missing cross-windows g++-mingw-w64-x86-64-posix clang cmake make
node_include=$(node_headers cross-windows)

# node.exe: a delay-import library, so that calls go through the delay-load helper.
node_delaylib "$node_include" "$imports"

# OstrelMessage5.dll: an ordinary import library, from the header's syntax tree for the
# MinGW target (which also yields the mangled names), with the C++ headers of MinGW's GCC.
cxx_include=$($host-g++-posix -print-file-name=include/c++)
clang++ --target=$host -std=c++17 -nostdinc++ -isystem "$cxx_include" \
  -isystem "$cxx_include/$host" -fsyntax-only -Xclang -ast-dump=json \
  -x c++ ostrel/include/ostrel/OstrelMessage5.h > "$imports/OstrelMessage5.ast.json"
node scripts/cross-windows.js ostrel-def < "$imports/OstrelMessage5.ast.json" \
  > "$imports/OstrelMessage5.def"
$host-dlltool --input-def "$imports/OstrelMessage5.def" --dllname OstrelMessage5.dll \
  --output-lib "$imports/libOstrelMessage5.dll.a"

cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DNODE_INCLUDE_DIR="$node_include" \
  -DNODE_LIBRARY="$imports/libnode.delay.a" -DOSTREL_LIBRARY="$imports/libOstrelMessage5.dll.a"
cmake --build "$build" --parallel 2 --target corvelle

node scripts/cross-windows.js check $host-objdump "$build/Release/corvelle.node"
