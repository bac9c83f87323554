#!/bin/bash
# Builds the Debian package from the build tree with CPack and looks into it
# with dpkg-deb: the files, their owner, the dependencies that dpkg-shlibdeps
# computed (Qt 6 among them), the maintainer scripts and the paths the unit
# names for a /usr installation.
#   check_deb.sh BUILD_DIR
set -u
BUILD="$1"
. "$(dirname "$0")/lib.sh"

for tool in cpack dpkg-deb dpkg-shlibdeps; do
  command -v "$tool" >/dev/null || skip "$tool not installed (dpkg-dev; scripts/deps.sh installs it)"
done

TMP="$(mktemp -d)"
trap 'rm -rf "$TMP"' EXIT
cpack --config "$BUILD/CPackConfig.cmake" -G DEB -B "$TMP/out" >"$TMP/cpack.log" 2>&1 \
  || { cat "$TMP/cpack.log"; fail "cpack -G DEB failed"; }
debs=("$TMP"/out/pdulink_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { ls -l "$TMP/out"; fail "no single pdulink_*.deb"; }
deb="${debs[0]}"
ok "built $(basename "$deb")"

# --- contents
dpkg-deb -c "$deb" >"$TMP/list" || fail "dpkg-deb -c failed"
cat "$TMP/list"
has() { grep -q " \./$1\$" "$TMP/list" || fail "package lacks /$1"; }
for f in usr/bin/pdulink usr/bin/pdulink-pdu usr/bin/pdulink-phone usr/bin/pdulink-phonectl usr/bin/pdulink-web \
         usr/share/applications/pdulink.desktop \
         usr/share/icons/hicolor/scalable/apps/pdulink.svg \
         usr/share/icons/hicolor/48x48/apps/pdulink.png \
         usr/share/icons/hicolor/256x256/apps/pdulink.png \
         usr/share/man/man1/pdulink.1.gz usr/share/man/man1/pdulink-pdu.1.gz \
         usr/share/man/man1/pdulink-phone.1.gz usr/share/man/man1/pdulink-phonectl.1.gz \
         usr/share/man/man1/pdulink-web.1.gz usr/share/doc/pdulink/pdulink-web.conf.example \
         usr/share/doc/pdulink/pdulink.ini.example \
         usr/lib/systemd/system/pdulink@.service usr/lib/systemd/system/pdulink-web.service \
         usr/lib/sysusers.d/pdulink.conf usr/lib/tmpfiles.d/pdulink.conf; do
  has "$f"
done
grep -Eq ' \./usr/bin/(test_|bench_|fuzz_)' "$TMP/list" && fail "test or benchmark programs packaged"
grep -q '\./usr/include/' "$TMP/list" && fail "headers packaged"
grep -q '\./usr/lib/udev/' "$TMP/list" \
  && ! grep -q '^PDULINK_INSTALL_UDEV:BOOL=ON' "$BUILD/CMakeCache.txt" \
  && fail "udev rule packaged without PDULINK_INSTALL_UDEV"
awk '$2 != "root/root" { bad = 1; print "not root/root: " $0 } END { exit bad }' "$TMP/list" \
  || fail "files not owned by root"
awk '$1 ~ /^-/ && $6 ~ /^\.\/usr\/bin\// && $1 != "-rwxr-xr-x" { bad = 1; print } END { exit bad }' "$TMP/list" \
  || fail "a program is not mode 0755"
ok "contents"

# --- control: dependencies computed from the binaries
dpkg-deb -f "$deb" Package Version Architecture Depends >"$TMP/control" || fail "dpkg-deb -f failed"
cat "$TMP/control"
grep -qx 'Package: pdulink' "$TMP/control" || fail "package name"
grep -q '^Depends:.*libqt6widgets6' "$TMP/control" || fail "Depends lacks libqt6widgets6"
grep -q '^Depends:.*libqt6core6' "$TMP/control" || fail "Depends lacks libqt6core6"
grep -Eq '^Depends:.*libc6 \(>= [0-9]' "$TMP/control" || fail "Depends lacks a versioned libc6"
grep -q '^Depends:.*libstdc++6' "$TMP/control" || fail "Depends lacks libstdc++6"
ok "dependencies"

# --- maintainer scripts
dpkg-deb -e "$deb" "$TMP/control.d" || fail "dpkg-deb -e failed"
for script in postinst prerm postrm; do
  [ -x "$TMP/control.d/$script" ] || fail "$script missing or not executable"
  sh -n "$TMP/control.d/$script" || fail "$script: syntax error"
done
grep -q 'systemd-sysusers pdulink.conf' "$TMP/control.d/postinst" || fail "postinst does not create the user"
grep -q 'systemd-tmpfiles --create pdulink.conf' "$TMP/control.d/postinst" || fail "postinst does not create the directories"
ok "maintainer scripts"

# --- installed paths of a /usr installation
dpkg-deb -x "$deb" "$TMP/root" || fail "dpkg-deb -x failed"
unit="$TMP/root/usr/lib/systemd/system/pdulink@.service"
grep -qx 'ExecStart=/usr/bin/pdulink --headless /etc/pdulink/%i.ini' "$unit" \
  || fail "unit ExecStart: $(grep ExecStart= "$unit")"
grep -qx 'AssertPathExists=/etc/pdulink/%i.ini' "$unit" || fail "unit does not check /etc/pdulink/%i.ini"
grep -q '^d /etc/pdulink ' "$TMP/root/usr/lib/tmpfiles.d/pdulink.conf" || fail "tmpfiles lacks /etc/pdulink"
"$TMP/root/usr/bin/pdulink-pdu" --version | grep -q '^pdulink-pdu ' || fail "packaged pdulink-pdu does not run"
ok "unit and tmpfiles name /usr/bin and /etc/pdulink"
exit 0
