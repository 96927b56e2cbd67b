#!/bin/sh
# Builds the Debian package with CPack into a scratch directory and checks
# its control data and contents with dpkg-deb: the binary, the unit (Type=
# notify, ExecStart= naming /usr/bin/tavrelh5 and the settings file, the logs
# writable), the settings file as a conffile keeping 14 days of logs, the
# manual page, which must say what --help says, the docs, copyright and
# changelog, the dashboard, the maintainer scripts that create the user and
# the log directory and leave a purge nothing of the unit's links (run for
# real by check-install.sh), the run-time dependencies, one version in
# package, changelog and binary, and lintian without errors, warnings or
# missing hardening when the build has Debian's hardening flags (skipped,
# with a line saying so, without lintian; the page's rendering likewise
# without groff). Exits 77 (skipped) without dpkg-deb.
#
#   check-package.sh BUILD_DIR [hardened|unhardened]
set -eu
build=$1
hardened=${2:-hardened}
# shellcheck source=tests/deploy/lib.sh
. "$(dirname "$0")/lib.sh"
require_tool dpkg-deb
make_work tavrel-deb
fail() { echo "FAIL: $*"; exit 1; }

make_package "$build"

dpkg-deb -I "$deb" >"$work/info"
dpkg-deb -c "$deb" >"$work/contents"
grep -q '^ Package: tavrelh5$' "$work/info" || fail "package name"
grep -q '^ Depends:.*adduser' "$work/info" || fail "no dependency on adduser"
grep -q '^ Depends:.*libssl3' "$work/info" || fail "no dependency on libssl3"
conf=/etc/tavrelh5/Tavrel.ini
doc=/usr/share/doc/tavrelh5
for path in ./usr/bin/tavrelh5 ./usr/lib/systemd/system/tavrelh5.service ".$conf" \
            ./usr/share/tavrelh5/Tavrel.ini.example ./usr/share/tavrelh5/grafana-dashboard.json \
            ".$doc/README.md" ".$doc/copyright" ".$doc/changelog.Debian.gz" \
            ./usr/share/man/man8/tavrelh5.8.gz; do
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
# The logs go to /var/log/tavrelh5 (the home's Log points there) and are
# kept 14 days, not for ever.
grep -q '^ReadWritePaths=-\{0,1\}/var/log/tavrelh5$' "$unit" ||
  fail "the packaged unit cannot write /var/log/tavrelh5"
cmp -s "$work/root$conf" "$work/root/usr/share/tavrelh5/Tavrel.ini.example" ||
  fail "$conf is not the example"
keep=$(awk '/^\[/ { section = $0 } section == "[Log]" && /^KeepDays=/ { print substr($0, 10) }' \
  "$work/root$conf")
[ "$keep" = 14 ] || fail "$conf does not set [Log] KeepDays=14: \"$keep\""
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
grep -q 'kill -USR2 "$pid"' "$work/control/postinst" ||
  fail "postinst hands nothing over on upgrade"
grep -q 'try-restart tavrelh5' "$work/control/postinst" ||
  fail "postinst restarts nothing on an upgrade from a version without the hand-over"
grep -q '^logs=/var/log/tavrelh5$' "$work/control/postinst" || fail "postinst makes no /var/log/tavrelh5"
# The unit's links are recorded at configure and removed on purge, also those
# `systemctl enable` made.
grep -q 'deb-systemd-helper update-state tavrelh5.service' "$work/control/postinst" ||
  fail "postinst records no links of the unit for a purge"
grep -q 'deb-systemd-helper purge tavrelh5.service' "$work/control/postrm" ||
  fail "postrm leaves the unit's links on purge"
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

# The manual page says what --help says: every line's words, in order (a
# heading's ":" and the "Usage:" aside), and groff finds nothing wrong in it.
"$work/root/usr/bin/tavrelh5" --help >"$work/help"
if command -v groff >/dev/null 2>&1; then
  gzip -dc "$work/root/usr/share/man/man8/tavrelh5.8.gz" >"$work/tavrelh5.8"
  LC_ALL=C groff -man -Tascii -ww -rLL=300n -P-cbou "$work/tavrelh5.8" >"$work/man.txt" \
    2>"$work/groff.log"
  [ ! -s "$work/groff.log" ] || { cat "$work/groff.log"; fail "groff warns about the manual page"; }
  awk '
    function norm(w) { w = tolower(w); gsub(/:/, "", w); return w }
    FNR == NR {
      if (FNR == 1) sub(/^Usage:/, "")
      if ((k = split($0, w)) == 0) next
      size[++lines] = k
      text[lines] = $0
      for (j = 1; j <= k; j++) want[lines, j] = norm(w[j])
      next
    }
    { k = split($0, w); for (j = 1; j <= k; j++) page[++words] = norm(w[j]) }
    END {
      at = 1
      for (l = 1; l <= lines; l++) {
        for (start = at; start + size[l] - 1 <= words; start++) {
          for (j = 1; j <= size[l] && page[start + j - 1] == want[l, j]; j++) {}
          if (j > size[l]) break
        }
        if (start + size[l] - 1 > words) { print "not in the page, or not in order: " text[l]; bad = 1 }
        else at = start + size[l]
      }
      exit bad
    }' "$work/help" "$work/man.txt" || fail "the manual page does not say what --help says"
else
  echo "groff not installed: the manual page's text not checked against --help"
fi

if command -v lintian >/dev/null 2>&1; then
  # Errors and warnings fail the check, and so does missing hardening, which
  # lintian reports as information; the other information is shown.
  lintian --no-cfg --display-info "$deb" 2>&1 | grep -v '^running with root privileges' \
    >"$work/lintian.log" || true
  cat "$work/lintian.log"
  if grep -q '^[EW]: ' "$work/lintian.log"; then
    fail "lintian reports errors or warnings"
  fi
  if [ "$hardened" != hardened ]; then
    echo "a build without Debian's hardening flags (sanitizers, debug, TAVREL_HARDENING=OFF): lintian's hardening tags allowed"
  elif grep -q ': hardening-no-' "$work/lintian.log"; then
    fail "the binary lacks Debian's hardening flags"
  fi
else
  echo "lintian not installed: its check skipped (scripts/install-deps.sh test installs it)"
fi
echo "PASS: $(basename "$deb") (version $version)"
