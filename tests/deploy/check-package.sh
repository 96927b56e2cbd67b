#!/bin/sh
# Builds the Debian package with CPack into a scratch directory and checks
# its control data and contents with dpkg-deb: the binary, the unit (Type=
# notify, ExecStart= naming /usr/bin/tavrelh5 and the settings file), the
# settings file as a conffile, the docs, copyright and changelog, the
# dashboard, the maintainer scripts that create the user, the run-time
# dependencies, one version in package, changelog and binary, and lintian
# without errors (that part skipped, with a line saying so, without lintian).
# Exits 77 (skipped) without dpkg-deb.
#
#   check-package.sh BUILD_DIR
set -eu
build=$1
# shellcheck source=tests/deploy/lib.sh
. "$(dirname "$0")/lib.sh"
require_tool dpkg-deb
make_work tavrel-deb
fail() { echo "FAIL: $*"; exit 1; }

cpack --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || { cat "$work/cpack.log"; fail "no package written"; }

dpkg-deb -I "$deb" >"$work/info"
dpkg-deb -c "$deb" >"$work/contents"
grep -q '^ Package: tavrelh5$' "$work/info" || fail "package name"
grep -q '^ Depends:.*adduser' "$work/info" || fail "no dependency on adduser"
grep -q '^ Depends:.*libssl3' "$work/info" || fail "no dependency on libssl3"
conf=/etc/tavrelh5/Tavrel.ini
doc=/usr/share/doc/tavrelh5
for path in ./usr/bin/tavrelh5 ./usr/lib/systemd/system/tavrelh5.service ".$conf" \
            ./usr/share/tavrelh5/Tavrel.ini.example ./usr/share/tavrelh5/grafana-dashboard.json \
            ".$doc/README.md" ".$doc/copyright" ".$doc/changelog.Debian.gz"; do
  grep -q " $path\$" "$work/contents" || fail "$path missing from the package"
done
# Nothing outside /usr but the settings: no build paths, no test programs.
if awk '{print $6}' "$work/contents" | grep -v '^\./usr/' |
   grep -v -x -e '\./' -e '\./etc/' -e '\./etc/tavrelh5/' -e "\.$conf"; then
  fail "files outside /usr and $conf"
fi
# The settings may hold the console token: not readable by everyone, even
# before postinst gives them to the service's group.
grep " \.$conf\$" "$work/contents" | grep -q '^-rw-r----- root/root ' ||
  fail "$conf is not -rw-r----- root/root: $(grep " \.$conf\$" "$work/contents")"

dpkg-deb -x "$deb" "$work/root"
unit=$work/root/usr/lib/systemd/system/tavrelh5.service
grep -qx "ExecStart=/usr/bin/tavrelh5 --config $conf" "$unit" ||
  fail "the packaged unit does not start /usr/bin/tavrelh5 --config $conf: $(grep '^ExecStart=' "$unit")"
grep -qx 'Type=notify' "$unit" || fail "the packaged unit is not Type=notify"
grep -qx 'NotifyAccess=main' "$unit" || fail "the packaged unit lacks NotifyAccess=main"
# The service cannot change its own settings: /etc stays read-only for it.
grep -qx 'ProtectSystem=strict' "$unit" || fail "the packaged unit is not ProtectSystem=strict"
for path in $(sed -n 's/^ReadWritePaths=//p' "$unit"); do
  case $conf/ in
    "${path%/}"/*) fail "$conf is writable by the service (ReadWritePaths=$path)" ;;
  esac
done
cmp -s "$work/root$conf" "$work/root/usr/share/tavrelh5/Tavrel.ini.example" ||
  fail "$conf is not the example"
head -n 1 "$work/root$doc/copyright" |
  grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
  fail "copyright is not in the machine-readable format"
if command -v python3 >/dev/null 2>&1; then
  python3 -m json.tool "$work/root/usr/share/tavrelh5/grafana-dashboard.json" >/dev/null ||
    fail "the dashboard is not JSON"
fi

dpkg-deb -e "$deb" "$work/control"
for script in postinst prerm postrm; do
  [ -x "$work/control/$script" ] || fail "no executable $script"
  sh -n "$work/control/$script" || fail "$script does not parse"
done
grep -q 'adduser --system' "$work/control/postinst" || fail "postinst creates no user"
grep -q 'try-restart tavrelh5' "$work/control/postinst" || fail "postinst restarts nothing on upgrade"
[ "$(cat "$work/control/conffiles")" = "$conf" ] ||
  fail "conffiles is not just $conf: $(cat "$work/control/conffiles")"

# One version: the package's (less its Debian revision), the changelog's
# top entry and the binary's --version.
version=$(dpkg-deb -f "$deb" Version)
changelog=$(gzip -dc "$work/root$doc/changelog.Debian.gz" | head -n 1)
case $changelog in
  "tavrelh5 ($version) "*) ;;
  *) fail "the changelog's top entry is not $version: $changelog" ;;
esac
binary=$("$build/tavrelh5" --version | head -n 1)
[ "$binary" = "tavrelh5 ${version%-*}" ] ||
  fail "the package's version $version does not match the binary's \"$binary\""

if command -v lintian >/dev/null 2>&1; then
  # Errors fail the check; warnings are shown.
  lintian --no-cfg "$deb" >"$work/lintian.log" 2>&1 || true
  cat "$work/lintian.log"
  if grep -q '^E: ' "$work/lintian.log"; then
    fail "lintian reports errors"
  fi
else
  echo "lintian not installed: its check skipped (scripts/install-deps.sh test installs it)"
fi
echo "PASS: $(basename "$deb") (version $version)"
