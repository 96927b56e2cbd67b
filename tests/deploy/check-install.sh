#!/bin/sh
# Installs the Debian package with dpkg, enables the service, removes,
# reinstalls and purges it, and checks what each step leaves: the user, the
# home with Log pointing to /var/log/tavrelh5 (tavrelh5:adm, 2750, writable
# by the service's user), logs of an older layout kept as Log.old, the unit's
# links recorded for deb-systemd-helper, a removal's mask, a reinstall
# enabling again, and after a purge no link, no mask, no logs, no home, no
# settings. All of it runs in a private mount namespace whose /etc, /usr and
# /var are overlays on a scratch tmpfs and whose /run is empty: the host's
# files never change and its systemd, if any, is never asked. Exits 77
# (skipped) where that cannot be made (not root, no unshare or overlayfs, no
# systemctl) or when the host has tavrelh5 installed.
#
#   check-install.sh BUILD_DIR
set -eu
build=$1
# shellcheck source=tests/deploy/lib.sh
. "$(dirname "$0")/lib.sh"
require_tool dpkg-deb
require_tool unshare
require_tool systemctl
if [ "$(id -u)" != 0 ]; then
  echo "not root: skipped"
  exit 77
fi
if dpkg-query -W -f='${Status}' tavrelh5 2>/dev/null | grep -q 'installed'; then
  echo "tavrelh5 is installed on this host: skipped"
  exit 77
fi
make_work tavrel-install
make_package "$build"

mkdir "$work/ns"
# The namespace's side: sets the overlays up (exit 77 when it cannot), then
# runs the steps.
cat >"$work/steps.sh" <<'EOF'
set -eu
work=$1
deb=$2
mount -t tmpfs tmpfs "$work/ns" 2>/dev/null || { echo "no tmpfs in a mount namespace: skipped"; exit 77; }
for dir in etc usr var; do
  mkdir "$work/ns/$dir" "$work/ns/$dir.work"
  mount -t overlay overlay -o "lowerdir=/$dir,upperdir=$work/ns/$dir,workdir=$work/ns/$dir.work" "/$dir" \
    2>/dev/null || { echo "no overlayfs: skipped"; exit 77; }
done
mount -t tmpfs tmpfs /run

fail() { echo "FAIL: $*"; exit 1; }
dpkg_do() {
  dpkg --no-triggers "$@" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg $*"; }
}
home=/var/lib/tavrelh5
logs=/var/log/tavrelh5
wants=/etc/systemd/system/multi-user.target.wants/tavrelh5.service
mask=/etc/systemd/system/tavrelh5.service
state=/var/lib/systemd/deb-systemd-helper-enabled/tavrelh5.service.dsh-also
gone() {
  for path in "$wants" "$mask" "$state" "$logs" "$home" /etc/tavrelh5; do
    if [ -e "$path" ] || [ -L "$path" ]; then fail "$path left after $1"; fi
  done
}

# A home of a version that wrote its logs there.
mkdir -p "$home/Log/7303"
echo old >"$home/Log/7303/Error_20261201_001.txt"
dpkg_do -i "$deb"
getent passwd tavrelh5 >/dev/null || fail "no user tavrelh5"
[ "$(stat -c '%U:%G %a' "$logs")" = "tavrelh5:adm 2750" ] ||
  fail "$logs is $(stat -c '%U:%G %a' "$logs"), not tavrelh5:adm 2750"
[ -L "$home/Log" ] && [ "$(readlink "$home/Log")" = "$logs" ] ||
  fail "$home/Log does not point to $logs: $(ls -ld "$home/Log")"
runuser -u tavrelh5 -- test -w "$home/Log/" || fail "the service's user cannot write $home/Log/"
[ "$(cat "$home/Log.old/7303/Error_20261201_001.txt")" = old ] || fail "the old logs are not in $home/Log.old"
grep -qx "$wants" "$state" || fail "the unit's link is not recorded for a purge: $(cat "$state")"
[ ! -e "$wants" ] || fail "a first install enabled the service"

systemctl enable tavrelh5.service >"$work/systemctl.log" 2>&1 ||
  { cat "$work/systemctl.log"; fail "systemctl enable"; }
[ -L "$wants" ] || fail "systemctl enable made no $wants"
dpkg_do -r tavrelh5
[ "$(readlink "$mask")" = /dev/null ] || fail "the removal did not mask the unit"
[ -d "$logs" ] || fail "the removal took the logs"
dpkg_do -i "$deb"
[ ! -e "$mask" ] && [ ! -L "$mask" ] || fail "the reinstall left the unit masked"
[ -L "$wants" ] || fail "the reinstall did not enable again what was enabled"
dpkg_do -P tavrelh5
gone "dpkg -r, dpkg -i, dpkg -P"

# What an operator does: install, enable, purge.
dpkg_do -i "$deb"
systemctl enable tavrelh5.service >"$work/systemctl.log" 2>&1 ||
  { cat "$work/systemctl.log"; fail "systemctl enable"; }
dpkg_do -P tavrelh5
gone "systemctl enable; dpkg -P"
getent passwd tavrelh5 >/dev/null || fail "the purge removed the user"
echo "PASS: install, enable, remove, reinstall and purge leave what they should"
EOF

rc=0
unshare --mount --propagation private --fork sh "$work/steps.sh" "$work" "$deb" || rc=$?
# unshare itself fails (1) where mount namespaces are not allowed.
if [ "$rc" = 1 ] && ! unshare --mount true 2>/dev/null; then
  echo "no mount namespace: skipped"
  exit 77
fi
exit "$rc"
