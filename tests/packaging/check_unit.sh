#!/bin/bash
# The service files as systemd's own tools read them: the template unit passes
# "systemd-analyze verify" (with its manual page found), "systemd-analyze
# security" rates its sandbox at an exposure of 2.0 or less (of 10), and the
# sysusers and tmpfiles files create the user (in dialout) and the
# directories with their owners and modes in a scratch root. Skipped where
# systemd is not installed.
#   check_unit.sh BUILD_DIR
set -u
BUILD="$1"
. "$(dirname "$0")/lib.sh"

for tool in systemd-analyze systemd-sysusers systemd-tmpfiles; do
  command -v "$tool" >/dev/null || skip "$tool not installed (systemd)"
done

install_to_temp_prefix
unit="$P/lib/systemd/system/pdulink@.service"

# --- verify: syntax, the program exists, Documentation=man:pdulink(1) resolves
MANPATH="$P/share/man" SYSTEMD_LOG_LEVEL=notice \
  systemd-analyze verify "$unit" >"$TMP/verify" 2>&1
status=$?
cat "$TMP/verify"
[ $status -eq 0 ] || fail "systemd-analyze verify failed"
[ -s "$TMP/verify" ] && fail "systemd-analyze verify complains"
# An instance is what systemctl starts: pdulink@modem1.
MANPATH="$P/share/man" systemd-analyze verify "$P/lib/systemd/system/pdulink@modem1.service" \
  >"$TMP/verify1" 2>&1 || { cat "$TMP/verify1"; fail "verify pdulink@modem1 failed"; }
# The web service, with its settings file in place.
web="$P/lib/systemd/system/pdulink-web.service"
mkdir -p "$P/etc/pdulink" && cp "$P/share/doc/pdulink/pdulink-web.conf.example" "$P/etc/pdulink/web.conf"
MANPATH="$P/share/man" SYSTEMD_LOG_LEVEL=notice systemd-analyze verify "$web" >"$TMP/verifyweb" 2>&1
status=$?
cat "$TMP/verifyweb"
[ $status -eq 0 ] || fail "systemd-analyze verify pdulink-web.service failed"
[ -s "$TMP/verifyweb" ] && fail "systemd-analyze verify complains about pdulink-web.service"
ok "systemd-analyze verify"

# --- readiness and watchdog: the gateway notifies, a hang or a stuck
# dialogue gets the unit restarted, a bad configuration (78) does not.
for line in Type=notify WatchdogSec= Restart=on-failure RestartPreventExitStatus=78; do
  grep -q "^$line" "$unit" || fail "pdulink@.service lacks $line"
done
ok "Type=notify with a watchdog"

# --- the sandbox
systemd-analyze security --offline=true --threshold=20 "$unit" >"$TMP/security" 2>&1
status=$?
tail -n 1 "$TMP/security"
if [ $status -ne 0 ]; then
  if grep -q -- '--offline' "$TMP/security"; then
    echo "(this systemd-analyze cannot rate a unit file offline)"
  else
    grep '✗' "$TMP/security"
    fail "sandbox exposure above 2.0"
  fi
fi
systemd-analyze security --offline=true --threshold=20 "$web" >"$TMP/securityweb" 2>&1
status=$?
tail -n 1 "$TMP/securityweb"
if [ $status -ne 0 ] && ! grep -q -- '--offline' "$TMP/securityweb"; then
  grep '✗' "$TMP/securityweb"
  fail "pdulink-web sandbox exposure above 2.0"
fi
ok "sandbox"

# --- user and directories in a scratch root
R="$TMP/root"
mkdir -p "$R/etc"
printf 'root:x:0:0:root:/root:/bin/sh\n' >"$R/etc/passwd"
printf 'root:x:0:\ndialout:x:20:\n' >"$R/etc/group"
systemd-sysusers --root="$R" "$P/lib/sysusers.d/pdulink.conf" >"$TMP/sysusers" 2>&1 \
  || { cat "$TMP/sysusers"; fail "systemd-sysusers failed"; }
uid="$(awk -F: '$1 == "pdulink" { print $3 }' "$R/etc/passwd")"
gid="$(awk -F: '$1 == "pdulink" { print $3 }' "$R/etc/group")"
[ -n "$uid" ] && [ -n "$gid" ] || fail "no user or group pdulink"
[ "$uid" -lt 1000 ] || fail "pdulink is not a system user (uid $uid)"
awk -F: '$1 == "pdulink" { exit !($7 ~ /nologin$/) }' "$R/etc/passwd" || fail "pdulink can log in"
awk -F: '$1 == "dialout" { exit !($4 ~ /(^|,)pdulink(,|$)/) }' "$R/etc/group" \
  || fail "pdulink is not in group dialout"

# Paths inside the scratch root: the entry names $P/etc/pdulink for this prefix.
systemd-tmpfiles --root="$R" --create "$P/lib/tmpfiles.d/pdulink.conf" >"$TMP/tmpfiles" 2>&1 \
  || { cat "$TMP/tmpfiles"; fail "systemd-tmpfiles failed"; }
expect() {  # path mode uid gid
  [ -d "$R$1" ] || fail "$1 not created"
  got="$(stat -c '%a %u %g' "$R$1")"
  [ "$got" = "$2 $3 $4" ] || fail "$1 is '$got', expected '$2 $3 $4'"
}
expect "$P/etc/pdulink" 750 0 "$gid"
expect /var/lib/pdulink 755 0 0
expect /var/log/pdulink 755 0 0
expect /var/spool/pdulink 2770 "$uid" "$gid"
ok "user pdulink in dialout, directories with owners and modes"
exit 0
