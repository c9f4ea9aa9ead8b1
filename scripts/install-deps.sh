#!/bin/sh
# Installs what a Debian or Ubuntu machine lacks, with apt-get (through sudo when not root).
#
#   scripts/install-deps.sh          the developers' set: building and testing Corvelle.
#                                    The compiler and CMake, Node.js with its headers,
#                                    GoogleTest, sd-bus (libsystemd), the D-Bus daemon,
#                                    clang-format, clang with libFuzzer's runtime (npm run
#                                    fuzz), and the linux-arm64 cross build and its check:
#                                    Debian's cross compiler, libsystemd and the C++ library
#                                    for arm64 (the arm64 architecture is added to dpkg) and
#                                    qemu-user.
#   scripts/install-deps.sh --user   a user's source build only: the compiler, CMake, make,
#                                    pkg-config, libsystemd's headers (Node's headers when the
#                                    installed Node has none), and dbus-daemon for the
#                                    private bus of `corvelle start`.
set -eu
case "${1:-}" in
  --user) set_name=user ;;
  "") set_name=developer ;;
  *) echo "usage: $0 [--user]" >&2; exit 2 ;;
esac

user_packages="cmake make g++ pkg-config libsystemd-dev dbus-daemon"
developer_packages="build-essential cmake pkg-config clang-format git googletest libgtest-dev libgmock-dev libsystemd-dev dbus-daemon dbus-bin clang-14 libclang-rt-14-dev qemu-user g++-aarch64-linux-gnu libsystemd-dev:arm64 libstdc++6:arm64"
node_packages="nodejs npm libnode-dev"
if [ "$set_name" = user ]; then packages="$user_packages"; else packages="$developer_packages"; fi

# A Node.js installed outside Debian's packages (with its own headers) is used as it is.
node_has_headers=no
if command -v node >/dev/null 2>&1; then
  prefix=$(node -p "require('path').join(process.execPath, '..', '..')")
  if [ -f "$prefix/include/node/node_api.h" ] || [ -f /usr/include/node/node_api.h ]; then
    node_has_headers=yes
  fi
fi
[ "$node_has_headers" = yes ] || packages="$packages $node_packages"

missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  # The arm64 packages of the cross build need the architecture in dpkg's list.
  case "$missing" in
    *:arm64*)
      dpkg --print-foreign-architectures | grep -qx arm64 || $sudo dpkg --add-architecture arm64 ;;
  esac
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends $missing
fi
