#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Measures the decode engine: its cost against a bare libmad loop, madplay
# and mpg123 on ALSA's null device, then the CPU share of one core while a
# private PulseAudio server with a null sink plays it in real time; then the
# delay from a mute to silence on the sink's monitor and the CPU share with
# the mixer group in software against the server's stream volume.
# Usage: scripts/bench-engine.sh [build directory] [seconds of real time]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
seconds=${2:-20}
bench=$build/bench/engine_bench
[ -x "$bench" ] || cmake --build "$build" --target engine_bench

"$bench"

work=$(mktemp -d)
export XDG_RUNTIME_DIR=$work/runtime
mkdir -m 700 "$XDG_RUNTIME_DIR"
pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no \
  -L "module-null-sink sink_name=bench norewinds=1" -L module-native-protocol-unix \
  >"$work/pulseaudio.log" 2>&1 &
server=$!
trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 50); do
  pactl info >/dev/null 2>&1 && break
  sleep 0.1
done
printf 'pcm.!default { type pulse device "bench" }\nctl.!default { type pulse }\n' >"$work/asound.conf"
ALSA_CONFIG_PATH=$work/asound.conf "$bench" --realtime "$seconds"
# Mute delay and CPU with the mixer group in software against the server's.
mute=$build/bench/mute_bench
[ -x "$mute" ] || cmake --build "$build" --target mute_bench
ALSA_CONFIG_PATH=$work/asound.conf "$mute" bench 50 "$seconds"
# Stop while the server freezes at that instant, against Stop while it answers.
stop=$build/bench/stop_bench
[ -x "$stop" ] || cmake --build "$build" --target stop_bench
"$stop" "$server" 10
# Jumps: how soon the sound of the new place is heard through the server.
seek=$build/bench/seek_bench
[ -x "$seek" ] || cmake --build "$build" --target seek_bench
ALSA_CONFIG_PATH=$work/asound.conf "$seek" --latency bench 20
