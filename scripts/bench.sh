#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds and runs every benchmark; each prints its figures and its ratio to a
# baseline measured in the same run.
# Usage: scripts/bench.sh [build directory]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
"$root/scripts/build.sh" "$build" -DTONRA_BENCH=ON
export QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d)}
chmod 700 "$XDG_RUNTIME_DIR"
for b in id3 playlist selector; do
  echo "== $b"
  "$build/bench/${b}_bench"
done
echo "== seek"
corpus=$(mktemp -d)
python3 "$root/tests/make-attack-corpus.py" "$corpus" >/dev/null
"$build/bench/seek_bench" "$corpus"
rm -rf "$corpus"
echo "== engine"
"$root/scripts/bench-engine.sh" "$build"
