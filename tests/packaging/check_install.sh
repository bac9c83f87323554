#!/bin/bash
# Installs the build tree into a temporary prefix and checks what a user gets:
# the programs run from there, the desktop entry validates, every manual page
# renders without a warning, the icon has its sizes, the example
# configuration explains every key that --help and the manual page document,
# and the udev rule stays out unless asked for.
#   check_install.sh BUILD_DIR
set -u
BUILD="$1"
. "$(dirname "$0")/lib.sh"

for tool in desktop-file-validate man groff gzip; do
  command -v "$tool" >/dev/null || skip "$tool not installed (scripts/deps.sh installs it)"
done

install_to_temp_prefix

# --- the tree
for f in bin/pdulink bin/pdulink-pdu bin/pdulink-phone bin/pdulink-phonectl bin/pdulink-web; do
  [ -x "$P/$f" ] || fail "$f missing or not executable"
done
for f in share/applications/pdulink.desktop \
         share/icons/hicolor/scalable/apps/pdulink.svg \
         share/icons/hicolor/48x48/apps/pdulink.png \
         share/icons/hicolor/256x256/apps/pdulink.png \
         share/man/man1/pdulink.1.gz share/man/man1/pdulink-pdu.1.gz \
         share/man/man1/pdulink-phone.1.gz share/man/man1/pdulink-phonectl.1.gz \
         share/man/man1/pdulink-web.1.gz \
         share/doc/pdulink/pdulink.ini.example share/doc/pdulink/pdulink-web.conf.example \
         lib/systemd/system/pdulink@.service lib/systemd/system/pdulink-web.service \
         lib/sysusers.d/pdulink.conf lib/tmpfiles.d/pdulink.conf; do
  [ -s "$P/$f" ] || fail "$f missing or empty"
done
[ -e "$P/lib/udev/rules.d/60-pdulink-modem.rules" ] \
  && fail "udev rule installed without PDULINK_INSTALL_UDEV"
cmake --install "$BUILD" --prefix "$P" --component udev >/dev/null 2>&1 \
  || fail "cmake --install --component udev failed"
grep -q 'ENV{ID_MM_DEVICE_IGNORE}="1"' "$P/lib/udev/rules.d/60-pdulink-modem.rules" \
  || fail "udev rule (component udev) missing or without ID_MM_DEVICE_IGNORE"
ok "tree complete; udev rule only on request"

# --- the installed programs run
version="$("$P/bin/pdulink" --version)" || fail "pdulink --version failed"
[[ "$version" =~ ^pdulink\ [0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "pdulink --version: '$version'"
for tool in pdulink-pdu pdulink-phone pdulink-phonectl pdulink-web; do
  "$P/bin/$tool" --version | grep -q "^$tool " || fail "$tool --version"
done
"$P/bin/pdulink" --bogus >/dev/null 2>&1
[ $? -eq 2 ] || fail "pdulink with an unknown option does not exit with 2"
ok "installed programs run ($version)"

# --- desktop entry
desktop-file-validate "$P/share/applications/pdulink.desktop" >"$TMP/dfv" 2>&1
[ -s "$TMP/dfv" ] && { cat "$TMP/dfv"; fail "desktop-file-validate complains"; }
grep -q '^Icon=pdulink$' "$P/share/applications/pdulink.desktop" || fail "desktop entry names another icon"
ok "desktop entry valid"

# --- icon: PNG of the size its directory says, and an SVG drawing
png_size() {  # width x height from the IHDR chunk
  od -An -tu1 -j16 -N8 "$1" | awk '{printf "%dx%d", $1*16777216+$2*65536+$3*256+$4, $5*16777216+$6*65536+$7*256+$8}'
}
for size in 48 256; do
  f="$P/share/icons/hicolor/${size}x${size}/apps/pdulink.png"
  [ "$(od -An -tx1 -N8 "$f" | tr -d ' \n')" = "89504e470d0a1a0a" ] || fail "$f is not a PNG"
  [ "$(png_size "$f")" = "${size}x${size}" ] || fail "$f is $(png_size "$f"), not ${size}x${size}"
done
grep -q '<svg ' "$P/share/icons/hicolor/scalable/apps/pdulink.svg" || fail "the SVG icon holds no <svg>"
ok "icons"

# --- manual pages: man and groff without a single warning
for page in "$P"/share/man/man1/*.1.gz; do
  name="$(basename "$page" .1.gz)"
  LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" >"$TMP/man.out" 2>"$TMP/man.err" \
    || fail "man -l $name failed"
  [ -s "$TMP/man.err" ] && { cat "$TMP/man.err"; fail "man -l $name warns"; }
  zcat "$page" | groff -ww -z -man 2>"$TMP/groff.err"
  [ -s "$TMP/groff.err" ] && { cat "$TMP/groff.err"; fail "groff warns on $name"; }
  grep -q "^NAME" "$TMP/man.out" && grep -q "^SYNOPSIS" "$TMP/man.out" \
    || fail "$name has no NAME or SYNOPSIS section"
  grep -q "^EXIT STATUS" "$TMP/man.out" || fail "$name has no EXIT STATUS section"
  grep -q "@PDULINK_VERSION@" "$TMP/man.out" && fail "$name: version not filled in"
done
ok "manual pages render without warnings"

# --- every key: explained in the example, documented by --help and man page
example="$P/share/doc/pdulink/pdulink.ini.example"
keys="ComPort BaudRate AutoConnect AutoRead PollingInt LogDir DOSCodepage RTS DTR
AutoSend WatchInt WatchDir BatteryCheck SoundMode Append2FileSMSIN OffLineMode
DetectSendOptions InCalls SaveCalls q_mode SimCheck Pin SignalInt FastMode
LongSms MaxParts LongSmsRef16 JoinParts JoinTimeout ShiftTables Utf8Files MatchReports Indications
OnReceived OnSent OnFailed OnCall OnReport OnAlarm HookTimeout StoreAlarm ReplyTimeout
Spool GatewayName"
help="$("$P/bin/pdulink" --help)" || fail "pdulink --help failed"
zcat "$P/share/man/man1/pdulink.1.gz" >"$TMP/pdulink.1"
for key in $keys; do
  # The key's line (active, or commented out like Pin) stands in a paragraph
  # that a comment explains.
  awk -v key="$key" '
    /^[ \t\r]*$/ { explained = 0; next }
    $0 ~ "^;?" key "=" { found = 1; if (!explained) bad = 1; next }
    /^;/ { explained = 1 }
    END { exit !(found && !bad) }' "$example" || fail "example: $key missing or without a comment"
  grep -q "$key=" <<<"$help" || fail "--help does not document $key"
  grep -q "$key=" "$TMP/pdulink.1" || fail "manual page does not document $key"
done
# ...and the example sets nothing that is not a key
for key in $(sed -n '/^\[Main\]/,/^\[/{s/^\([A-Za-z_0-9]*\)=.*/\1/p}' "$example"); do
  grep -qw "$key" <<<"$keys" || fail "example sets unknown key $key"
done
grep -q '^\[Ports\]' "$example" || fail "example has no [Ports] section"
for cmd in /connect /disconnect /abort /exit /list /delete /send /status /help; do
  grep -q -- "$cmd" <<<"$help" || fail "--help does not list $cmd"
  grep -q -- "^\\.B[IR]* $cmd" "$TMP/pdulink.1" || fail "manual page does not list $cmd"
done
grep -q "Exit status" <<<"$help" || fail "--help has no exit status"
awk 'length > 80 { exit 1 }' <<<"$help" || fail "--help has lines over 80 columns"
ok "every key and command documented"

# --- the unit and the tmpfiles entry name this prefix
unit="$P/lib/systemd/system/pdulink@.service"
grep -qx "ExecStart=$P/bin/pdulink --headless $P/etc/pdulink/%i.ini" "$unit" \
  || fail "unit's ExecStart does not name the installed program: $(grep ExecStart= "$unit")"
grep -q "^d $P/etc/pdulink " "$P/lib/tmpfiles.d/pdulink.conf" \
  || fail "tmpfiles entry does not create $P/etc/pdulink"
grep -q '@PDULINK_' "$unit" "$P/lib/tmpfiles.d/pdulink.conf" && fail "placeholder left in unit or tmpfiles"
ok "unit names the installed program"
exit 0
