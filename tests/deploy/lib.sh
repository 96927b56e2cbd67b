# shellcheck shell=sh
# Sourced by the deploy checks.

# Ends the check as skipped (77) when `$1` is not installed.
require_tool() {
  if ! command -v "$1" >/dev/null 2>&1; then
    echo "$1 not available: skipped"
    exit 77
  fi
}

# Sets `work` to a new scratch directory named after `$1`, removed on exit.
make_work() {
  work=$(mktemp -d "${TMPDIR:-/tmp}/$1.XXXXXX")
  trap 'rm -rf "$work"' EXIT
}

# Builds the Debian package of the build directory `$1` with CPack into
# `$work` and sets `deb` to it; ends the check as failed when it cannot.
make_package() {
  cpack --config "$1/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; echo "FAIL: cpack"; exit 1; }
  deb=$(ls "$work"/*.deb 2>/dev/null | head -n 1)
  [ -n "$deb" ] || { cat "$work/cpack.log"; echo "FAIL: no package written"; exit 1; }
}
