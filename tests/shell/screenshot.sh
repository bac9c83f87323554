#!/bin/bash
# Starts pdulink in a real X server (Xvfb), takes a screenshot of the screen
# and checks that the window was drawn. The picture stays in the build tree
# (screenshot-window.png) for people to look at.
set -euo pipefail
bin="$1"
out="$2"
command -v xvfb-run >/dev/null || { echo "SKIP: xvfb-run not installed"; exit 77; }
command -v import >/dev/null || { echo "SKIP: imagemagick not installed"; exit 77; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
printf '[Main]\r\nComPort=3\r\nBaudRate=57600\r\nLogDir=/var/spool/sms\r\n' > "$work/shot.ini"
cd "$work"
# The real X11 platform, whatever the test environment chose.
export QT_QPA_PLATFORM=xcb
xvfb-run -a -s "-screen 0 900x600x24" bash -c '
  "$0" shot.ini & pid=$!
  found=0
  for i in $(seq 1 300); do
    sleep 0.2
    if xwininfo -root -tree 2>/dev/null | grep -q "pdulink - SMS gateway"; then found=1; break; fi
  done
  [ $found = 1 ] || { echo "the window did not appear"; kill -TERM $pid; exit 1; }
  sleep 2
  import -window root "$1"
  kill -TERM $pid
  wait $pid
' "$bin" "$out"
colours=$(identify -format '%k' "$out")
echo "screenshot $out: $colours colours"
[ "$colours" -gt 50 ]
