# Shared by scripts/cross-windows.sh and scripts/windows-runtime.sh, which source it from
# the repository's root (POSIX sh): the MinGW-w64 target, installing what Debian lacks,
# Node's headers, and the delay-import library of node.exe.

host=x86_64-w64-mingw32

# install_missing WHO PACKAGE...: installs the Debian packages of the list that are not
# installed yet.
install_missing() {
  who=$1
  shift
  missing=""
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
  done
  [ -n "$missing" ] || return 0
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "$who: installing$missing"
  $sudo apt-get update
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends $missing
}

# node_headers WHO: prints Node's include folder, found as the Linux build finds it.
node_headers() {
  command -v node >/dev/null 2>&1 || { echo "$1: node is needed (scripts/install-deps.sh)" >&2; return 1; }
  dir=$(node -p "require('path').join(process.execPath, '..', '..', 'include', 'node')")
  [ -f "$dir/node_api.h" ] || dir=/usr/include/node
  [ -f "$dir/node_api.h" ] || { echo "$1: Node's headers (node_api.h) not found" >&2; return 1; }
  echo "$dir"
}

# node_delaylib INCLUDE_DIR OUT_DIR: OUT_DIR/libnode.delay.a, the delay-import library of
# node.exe made from the functions that Node's headers declare for addons, so that calls
# go through the delay-load helper.
node_delaylib() {
  mkdir -p "$2"
  node scripts/cross-windows.js node-def "$1" > "$2/node.def"
  $host-dlltool --input-def "$2/node.def" --dllname node.exe --output-delaylib "$2/libnode.delay.a"
}
