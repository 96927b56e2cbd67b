#!/bin/sh
# Installs the build into a scratch prefix with `cmake --install` and checks
# what lands there: the binary, its manual page, the example configuration,
# the settings file (<prefix>/etc/tavrelh5/Tavrel.ini for any prefix but
# /usr), the dashboard, and the systemd unit, which systemd's own parser
# must accept without a single complaint (it warns about unknown or
# malformed settings but still exits 0), which is Type=notify, and whose
# ExecStart= names the installed binary and settings file. Exits 77
# (skipped) without systemd-analyze.
#
#   check-unit.sh BUILD_DIR
set -eu
build=$1
# shellcheck source=tests/deploy/lib.sh
. "$(dirname "$0")/lib.sh"
require_tool systemd-analyze
make_work tavrel-unit
prefix=$work/usr

cmake --install "$build" --prefix "$prefix" >"$work/install.log"
unit=$prefix/lib/systemd/system/tavrelh5.service
conf=$prefix/etc/tavrelh5/Tavrel.ini
for f in "$prefix/bin/tavrelh5" "$unit" "$prefix/share/tavrelh5/Tavrel.ini.example" "$conf" \
         "$prefix/share/tavrelh5/grafana-dashboard.json" \
         "$prefix/share/doc/tavrelh5/copyright" "$prefix/share/doc/tavrelh5/changelog.Debian.gz" \
         "$prefix/share/man/man8/tavrelh5.8.gz"; do
  [ -e "$f" ] || { echo "FAIL: not installed: $f"; cat "$work/install.log"; exit 1; }
done
grep -qx "ExecStart=$prefix/bin/tavrelh5 --config $conf" "$unit" ||
  { echo "FAIL: ExecStart= does not name the installed binary and settings:"; grep '^ExecStart=' "$unit"; exit 1; }
grep -qx 'Type=notify' "$unit" || { echo "FAIL: the unit is not Type=notify"; exit 1; }

# The working directory must stay writable under ProtectSystem=strict, and
# the descriptor limit must hold 1000 clients with room to spare.
home=$(sed -n 's/^WorkingDirectory=//p' "$unit")
grep -qx "ReadWritePaths=$home" "$unit" ||
  { echo "FAIL: the home $home is not in ReadWritePaths="; exit 1; }
files=$(sed -n 's/^LimitNOFILE=//p' "$unit")
[ "${files:-0}" -ge 2048 ] || { echo "FAIL: LimitNOFILE=$files is too low for 1000 clients"; exit 1; }

if ! systemd-analyze verify "$unit" >"$work/verify.log" 2>&1 || [ -s "$work/verify.log" ]; then
  echo "FAIL: systemd-analyze verify:"
  cat "$work/verify.log"
  exit 1
fi
echo "PASS: unit, binary, settings and example installed; systemd-analyze verify is silent"
