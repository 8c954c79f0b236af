#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Takes the screenshots of the menus and the dialogs under a private X server,
# with openbox framing the windows (when it is installed) so that their title
# bars show the program's icon:
#   scripts/screenshots.sh [OUTDIR]      (default: docs/)
# Writes menu-file.png, menu-help.png, menu-playlist.png, aboutbox.png and
# preferences.png.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/docs}
bin=${TONRA_BINARY:-$root/build/tonra}
mkdir -p "$out"
tmp=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true; rm -rf "$tmp"' EXIT

# Xvfb chooses a free display and names it on its standard output.
Xvfb -displayfd 1 -noreset -screen 0 640x480x24 -nolisten tcp >"$tmp/display" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do [ -s "$tmp/display" ] && break; sleep 0.1; done
export DISPLAY=:$(cat "$tmp/display") XDG_RUNTIME_DIR=$tmp/run
mkdir -m 700 "$XDG_RUNTIME_DIR"
if command -v openbox >/dev/null; then
  openbox --sm-disable >/dev/null 2>&1 &
  pids+=($!)
  sleep 0.5
fi

QT_QPA_PLATFORM=xcb "$bin" -x10 -y10 >/dev/null 2>&1 &
pids+=($!)
# The visible window of that title (Qt's hidden leader window is named too).
window() {
  local w=""
  for _ in $(seq 100); do
    w=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -1) && [ -n "$w" ] && break
    sleep 0.1
  done
  [ -n "$w" ] || { echo "no window $1" >&2; exit 1; }
  echo "$w"
}
id=$(window '^Tonra$')
sleep 1
# Where the inside of the window is (xdotool's geometry is off under a frame).
X=$(xwininfo -id "$id" | awk '/Absolute upper-left X/ {print $4}')
Y=$(xwininfo -id "$id" | awk '/Absolute upper-left Y/ {print $4}')

shoot() { sleep 0.5; import -window root -crop "$2" +repage "$out/$1"; }
shoot_window() {
  local w
  w=$(window "$2")
  sleep 0.5
  import -frame -window "$w" "$out/$1"
}
close_popup() { xdotool key Escape; sleep 0.3; }
click_at() { xdotool mousemove "$((X + $1))" "$((Y + $2))" click "$3"; }

# The menu buttons sit in the menu bar at 24,4 and 71,4; the playlist below.
click_at 40 14 1
shoot menu-file.png 420x340+0+0
close_popup
click_at 90 14 1
shoot menu-help.png 420x340+0+0
close_popup
click_at 150 110 3
shoot menu-playlist.png 420x340+0+0
close_popup

click_at 90 14 1
sleep 0.3
xdotool key a
shoot_window aboutbox.png '^About Tonra\.\.\.$'
xdotool key Escape
sleep 0.3

# "Preferences" has no key letter: up from the bottom of the File menu.
xdotool windowactivate --sync "$id" 2>/dev/null || xdotool windowfocus --sync "$id"
xdotool key alt+f
sleep 0.3
xdotool key Up Up Return
shoot_window preferences.png '^Tonra Preferences$'
