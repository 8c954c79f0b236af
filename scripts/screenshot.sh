#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Takes a screenshot of the player's main window under a private X server:
#   scripts/screenshot.sh OUT.png [tonra arguments...]
# With SCREENSHOT_KEYS set, xdotool types those keys into the window first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$1; shift
bin=${TONRA_BINARY:-$root/build/tonra}
display=:$((90 + RANDOM % 9))
Xvfb "$display" -noreset -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $tonra $xvfb 2>/dev/null || true' EXIT
for _ in $(seq 50); do xdpyinfo -display "$display" >/dev/null 2>&1 && break; sleep 0.1; done
export DISPLAY=$display XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d)}
chmod 700 "$XDG_RUNTIME_DIR"
QT_QPA_PLATFORM=xcb "$bin" -x10 -y10 "$@" &
tonra=$!
id=""
for _ in $(seq 100); do id=$(xdotool search --name '^Tonra' 2>/dev/null | head -1) && [ -n "$id" ] && break; sleep 0.1; done
sleep "${SCREENSHOT_DELAY:-1}"
if [ -n "${SCREENSHOT_KEYS:-}" ]; then
  xdotool windowactivate --sync "$id" 2>/dev/null || true
  # shellcheck disable=SC2086
  xdotool key --window "$id" ${SCREENSHOT_KEYS}
  sleep 0.5
fi
/usr/bin/import -window "${SCREENSHOT_WINDOW:-root}" -display "$display" -crop "${SCREENSHOT_CROP:-420x330+0+0}" +repage "$out"
