#!/usr/bin/env bash
# Builds the Debian package of a built tree with cpack, unpacks it into a
# throw-away root and checks its files, units and maintainer scripts; then
# runs the packaged moorsetup into that root as the post-install step would.
#   deb_package_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:?build folder}" && pwd)
command -v cpack >/dev/null && command -v dpkg-deb >/dev/null || { echo "skipped: needs cpack and dpkg-deb"; exit 77; }
work=$(mktemp -d /tmp/hvm-deb-XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --build "$build" --target package_files >/dev/null
(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/out/halvenmoor_*.deb)
dpkg-deb -f "$deb" Package | grep -qx halvenmoor || fail "package name"
dpkg-deb -f "$deb" Depends | grep -q fuse3 || fail "dependencies"
root=$work/root
dpkg -x "$deb" "$root"

for f in usr/bin/quenlode usr/bin/moorgate usr/bin/moorsites usr/bin/moorshell usr/bin/moorquick \
         usr/bin/moorsetup usr/lib/libmoorlib.so usr/lib/libmoorlangde.so usr/lib/libmoorlanghu.so \
         usr/lib/systemd/system/quenlode.service usr/lib/systemd/user/moorgate.service \
         usr/share/applications/halvenmoor.desktop \
         usr/share/kio/servicemenus/halvenmoor-moorshell.desktop \
         usr/share/kio/servicemenus/halvenmoor-moorquick.desktop \
         usr/share/nemo/actions/halvenmoor-moorshell-lock.nemo_action; do
  [ -e "$root/$f" ] || fail "missing /$f"
done
grep -qx 'ExecStart=/usr/bin/quenlode' "$root/usr/lib/systemd/system/quenlode.service" || fail "driver unit"
grep -qx 'DeviceAllow=/dev/fuse rw' "$root/usr/lib/systemd/system/quenlode.service" || fail "driver unit hardening"
grep -qx 'ExecStart=/usr/bin/moorgate' "$root/usr/lib/systemd/user/moorgate.service" || fail "agent unit"
grep -q '"/usr/bin/moorshell" lock %F' "$root/usr/share/kio/servicemenus/halvenmoor-moorshell.desktop" \
  || fail "Dolphin actions call the installed program"
! grep -rq "$build" "$root/usr/share" "$root/usr/lib/systemd" || fail "build paths in packaged files"

# The maintainer scripts run moorsetup after installing and before removing.
dpkg-deb -e "$deb" "$work/control"
grep -q '/usr/bin/moorsetup' "$work/control/postinst" || fail "postinst runs moorsetup"
grep -q 'moorsetup --uninstall' "$work/control/prerm" || fail "prerm undoes moorsetup"
[ -x "$work/control/postinst" ] || fail "postinst is executable"

# The packaged programs find their libraries where the package puts them.
usage=$("$root/usr/bin/moorshell" 2>&1 || true)
grep -q usage <<<"$usage" || fail "packaged moorshell does not run: $usage"
env -u HALVENMOOR_MACHINE_REG "$root/usr/bin/moorsetup" --no-start --root "$root" --bindir /usr/bin \
  || fail "packaged moorsetup into the root"
[ -f "$root/etc/systemd/system/quenlode.service" ] || fail "moorsetup wrote no unit"
grep -q 'WebDAV File System' "$root/etc/halvenmoor/system.reg" || fail "moorsetup recorded no service"
echo "package ok: $(basename "$deb")"
