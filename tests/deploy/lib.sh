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
