#!/bin/sh
# Installs what a fresh Debian machine lacks to build and test Corvelle: the compiler and
# CMake, Node.js with its headers, GoogleTest, sd-bus (libsystemd), the D-Bus daemon, and
# clang with libFuzzer's runtime for the fuzz targets (npm run fuzz).
set -eu
packages="build-essential cmake pkg-config clang-format git nodejs npm libnode-dev googletest libgtest-dev libgmock-dev libsystemd-dev dbus-daemon dbus-bin clang-14 libclang-rt-14-dev"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
# A Node.js installed outside Debian's packages (with its own headers) is used as it is.
if command -v node >/dev/null 2>&1; then
  prefix=$(node -p "require('path').join(process.execPath, '..', '..')")
  if [ -f "$prefix/include/node/node_api.h" ] || [ -f /usr/include/node/node_api.h ]; then
    missing=$(echo "$missing" | sed 's/ nodejs//; s/ npm//; s/ libnode-dev//')
  fi
fi
if [ -n "$missing" ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends $missing
fi
