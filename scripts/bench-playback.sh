#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# What playing a song costs through the sound server: Tonra against
# `mpg123 -o pulse` (the baseline), each playing the same 128 kbps stereo
# song into a private PulseAudio server's null sink, alternated, for
# SECONDS_MEASURED (30 unless told) after a few seconds to settle. Prints
# each run's CPU time (the scheduler's count, in milliseconds, and the share
# of a core) and wake-ups (context switches of all its threads) per second,
# and Tonra's ratios to the baseline's medians.
# Usage: scripts/bench-playback.sh [build directory] [rounds]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
rounds=${2:-2}
seconds=${SECONDS_MEASURED:-30}
settle=3
for tool in pulseaudio pactl mpg123 lame sox; do
  command -v "$tool" >/dev/null || { echo "bench-playback: needs $tool" >&2; exit 1; }
done
[ -x "$build/tonra" ] || "$root/scripts/build.sh" "$build"

dir=$(mktemp -d)
server=
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT
export HOME=$dir XDG_RUNTIME_DIR=$dir PULSE_SERVER=unix:$dir/native QT_QPA_PLATFORM=offscreen
unset DBUS_SESSION_BUS_ADDRESS TONRA_AUDIO
pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no \
  -L "module-null-sink sink_name=bench" \
  -L "module-native-protocol-unix auth-anonymous=1 socket=$dir/native" >"$dir/server.log" 2>&1 &
server=$!
for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
pactl info >/dev/null

length=$((seconds + settle + 10))
sox -n -r 44100 -c 2 "$dir/song.wav" synth "$length" sine 440 sine 554
lame --quiet -b 128 "$dir/song.wav" "$dir/song.mp3"

# CPU time in microseconds and context switches of every thread of a process.
ticks() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{n += $1} END {printf "%d", n / 1000}'; }
switches() { cat /proc/"$1"/task/*/status 2>/dev/null | awk '/ctxt_switches/ {n += $2} END {print n}'; }

# measure NAME COMMAND...: prints "NAME cpu-ms wakeups-per-second".
measure() {
  local name=$1
  shift
  "$@" >/dev/null 2>&1 &
  local pid=$!
  sleep "$settle"
  local t0 s0 t1 s1
  t0=$(ticks "$pid"); s0=$(switches "$pid")
  sleep "$seconds"
  t1=$(ticks "$pid"); s1=$(switches "$pid")
  kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null || true
  echo "$name $(((t1 - t0) / 1000)) $(((s1 - s0) / seconds))"
}

results=$dir/results
: >"$results"
for r in $(seq "$rounds"); do
  measure tonra "$build/tonra" "$dir/song.mp3" | tee -a "$results"
  measure mpg123 mpg123 -q -o pulse "$dir/song.mp3" | tee -a "$results"
done

awk -v seconds="$seconds" '
  { ticks[$1] = ticks[$1] " " $2; wake[$1] = wake[$1] " " $3 }
  function median(list,   a, n, i, j, t) {
    n = split(list, a, " ")
    for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
    return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
  }
  END {
    for (p in ticks)
      printf "%-7s CPU ms:%s (median %.1f, %.2f %% of a core); wake-ups/s:%s\n", p, ticks[p], median(ticks[p]),
             median(ticks[p]) / seconds / 10, wake[p]
    printf "ratio tonra / mpg123 -o pulse: CPU %.2f, wake-ups %.2f\n",
           median(ticks["tonra"]) / median(ticks["mpg123"]), median(wake["tonra"]) / median(wake["mpg123"])
  }' "$results"
