#!/bin/sh
# Builds the Debian package with CPack into a scratch directory and checks
# its control data and contents with dpkg-deb: the binary, the unit (whose
# ExecStart= names /usr/bin/tavrelh5), the example configuration, the
# maintainer scripts that create the user, and the run-time dependencies.
# Exits 77 (skipped) without dpkg-deb.
#
#   check-package.sh BUILD_DIR
set -eu
build=$1
if ! command -v dpkg-deb >/dev/null 2>&1; then
  echo "dpkg-deb not available: skipped"
  exit 77
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/tavrel-deb.XXXXXX")
trap 'rm -rf "$work"' EXIT
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
for path in ./usr/bin/tavrelh5 ./usr/lib/systemd/system/tavrelh5.service \
            ./usr/share/tavrelh5/Tavrel.ini.example ./usr/share/doc/tavrelh5/README.md; do
  grep -q " $path\$" "$work/contents" || fail "$path missing from the package"
done
# Nothing outside /usr: no build paths, no test programs.
if awk '{print $6}' "$work/contents" | grep -v '^\./usr/' | grep -v '^\./$'; then
  fail "files outside /usr"
fi
dpkg-deb -x "$deb" "$work/root"
grep -qx 'ExecStart=/usr/bin/tavrelh5' "$work/root/usr/lib/systemd/system/tavrelh5.service" ||
  fail "the packaged unit does not start /usr/bin/tavrelh5"
dpkg-deb -e "$deb" "$work/control"
for script in postinst prerm postrm; do
  [ -x "$work/control/$script" ] || fail "no executable $script"
  sh -n "$work/control/$script" || fail "$script does not parse"
done
grep -q 'adduser --system' "$work/control/postinst" || fail "postinst creates no user"
echo "PASS: $(basename "$deb")"
