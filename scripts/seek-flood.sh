#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Jumps the real binary around a 10-minute song 1,000 times at random over
# the session bus (SetPosition, Seek), with a pause now and then, through a
# private PulseAudio server; then checks that the program still answers,
# that its descriptors and threads are as many as before, and that it ends
# with status 0 and no sanitizer report; a jump to the end then ends the song. Meant for the ASan/UBSan build
# (.ci/run's build-asan); bounded: it gives up after 120 s.
# Usage: scripts/seek-flood.sh [build directory] [jumps]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-asan}
jumps=${2:-1000}
tonra=$build/tonra
[ -x "$tonra" ] || { echo "no $tonra" >&2; exit 1; }

work=$(mktemp -d)
export XDG_RUNTIME_DIR=$work/runtime
mkdir -m 700 "$XDG_RUNTIME_DIR"
pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no \
  -L "module-null-sink sink_name=flood" -L module-native-protocol-unix >"$work/pulseaudio.log" 2>&1 &
server=$!
trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 50); do
  pactl info >/dev/null 2>&1 && break
  sleep 0.1
done
printf 'pcm.!default { type pulse device "flood" }\nctl.!default { type pulse }\n' >"$work/asound.conf"
export ALSA_CONFIG_PATH=$work/asound.conf QT_QPA_PLATFORM=offscreen
sox -q -n -r 44100 -c 2 -b 16 "$work/song.wav" synth 600 sine 300-3000 gain -8
lame --quiet -V 2 "$work/song.wav" "$work/song.mp3"
rm "$work/song.wav"

export TONRA=$tonra SONG=$work/song.mp3 JUMPS=$jumps LOG=$work/tonra.log
timeout 120 dbus-run-session -- bash -c '
set -u
mpris() { gdbus call --session -d org.mpris.MediaPlayer2.tonra -o /org/mpris/MediaPlayer2 -m "$@" >/dev/null; }
"$TONRA" "$SONG" 2>"$LOG" & pid=$!
for _ in $(seq 300); do [ "$(playerctl -p tonra status 2>/dev/null)" = Playing ] && break; sleep 0.1; done
[ "$(playerctl -p tonra status)" = Playing ] || { echo "never played"; exit 1; }
sleep 0.5
fds=$(ls /proc/$pid/fd | wc -l); threads=$(ls /proc/$pid/task | wc -l)
track=$(playerctl -p tonra metadata mpris:trackid)
length=$(playerctl -p tonra metadata mpris:length)
began=$(date +%s%N)
for i in $(seq "$JUMPS"); do
  case $((RANDOM % 10)) in
  0) mpris org.mpris.MediaPlayer2.Player.Seek -- $(( (RANDOM - 16384) * 1000 )) ;;
  1) mpris org.mpris.MediaPlayer2.Player.PlayPause ;;
  *) mpris org.mpris.MediaPlayer2.Player.SetPosition "$track" $(( (RANDOM * 32768 + RANDOM) % length )) ;;
  esac
done
echo "jumps=$JUMPS in $(( ($(date +%s%N) - began) / 1000000 )) ms"
[ "$(playerctl -p tonra status)" = Paused ] && mpris org.mpris.MediaPlayer2.Player.PlayPause
for _ in $(seq 50); do
  [ "$(ls /proc/$pid/fd | wc -l)" = "$fds" ] && [ "$(ls /proc/$pid/task | wc -l)" = "$threads" ] && break
  sleep 0.1
done
echo "descriptors $fds -> $(ls /proc/$pid/fd | wc -l), threads $threads -> $(ls /proc/$pid/task | wc -l)"
echo "position=$(playerctl -p tonra position)"
# To the end: the song ends as at its end (and, repeated, starts anew as a
# new track), and the program answers on.
mpris org.mpris.MediaPlayer2.Player.SetPosition "$track" "$length"
for _ in $(seq 100); do [ "$(playerctl -p tonra status)" = Stopped ] || [ "$(playerctl -p tonra metadata mpris:trackid)" != "$track" ] && break; sleep 0.1; done
echo "after the end: $(playerctl -p tonra status), track $track -> $(playerctl -p tonra metadata mpris:trackid 2>/dev/null)"
mpris org.mpris.MediaPlayer2.Quit
wait $pid; echo "exit=$?"
'
if grep -E "ERROR: (Address|Leak|Thread)Sanitizer|runtime error:" "$work/tonra.log"; then
  echo "sanitizer report above" >&2
  exit 1
fi
