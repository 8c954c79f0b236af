#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Screenshot of the playlist with a dozen tagged songs and the marker beside
# the one playing (the last argument, listed first, starts by itself):
#   scripts/playlist-screenshot.sh OUT.png
# The songs are made here: sine tones from sox and lame, each with an ID3
# version 1 tag appended. A PulseAudio null sink paces playback in real time,
# so the song is still playing when the picture is taken.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "$1")
work=$(mktemp -d)
pulse=""
trap '[ -n "$pulse" ] && kill "$pulse" 2>/dev/null; rm -rf "$work"' EXIT

songs=(
  "Ada Lovelace|Notes on the Engine"
  "The Difference Engines|Column of Figures"
  "Grace Hopper|Nanosecond Waltz"
  "Björk|Jóga"
  "Beyoncé|Déjà Vu|latin-1"
  "Alan Turing Quartet|Halting Problem"
  "Hedy Lamarr|Frequency Hopping"
  "Claude Shannon|Bits of Information"
  "The Punch Cards|Eighty Columns"
  "Margaret Hamilton|Priority Display"
  "Dennis Ritchie|Hello, World"
  "Katherine Johnson|Trajectory"
)
args=()
for i in "${!songs[@]}"; do
  IFS='|' read -r artist title encoding <<<"${songs[$i]}"
  name=$(printf '%02d.mp3' $((i + 1)))
  sox -q -n -r 22050 -c 1 -b 16 "$work/tone.wav" synth 120 sine $((220 + 40 * i)) gain -12
  lame --quiet -m m -b 32 "$work/tone.wav" "$work/$name"
  # Tags hold bytes as stored: UTF-8 here, Latin-1 where the entry says so.
  python3 - "$work/$name" "$artist" "$title" "${encoding:-utf-8}" <<'EOF'
import sys
path, encoding = sys.argv[1], sys.argv[4]
artist, title = sys.argv[2].encode(encoding), sys.argv[3].encode(encoding)
field = lambda b, n: b[:n].ljust(n, b"\0")
tag = b"TAG" + field(title, 30) + field(artist, 30) + field(b"Screenshots", 30) + b"2024" + field(b"", 30) + b"\x0c"
open(path, "ab").write(tag)
EOF
  args+=("$work/$name")
done
rm -f "$work/tone.wav"

mkdir -m 700 "$work/run"
pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no \
  -L "module-null-sink sink_name=tonra" \
  -L "module-native-protocol-unix auth-anonymous=1 socket=$work/run/native" >/dev/null 2>&1 &
pulse=$!
for _ in $(seq 50); do [ -S "$work/run/native" ] && break; sleep 0.1; done
printf 'pcm.!default { type pulse server "unix:%s" }\nctl.!default { type pulse server "unix:%s" }\n' \
  "$work/run/native" "$work/run/native" >"$work/asound.conf"

ALSA_CONFIG_PATH=$work/asound.conf HOME=$work SCREENSHOT_DELAY=2 SCREENSHOT_CROP=${SCREENSHOT_CROP:-640x420+10+10} \
  "$root/scripts/screenshot.sh" "$out" -w640 -h420 "${args[@]}"
