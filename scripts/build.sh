#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Configures and builds into the given directory (default build/), with
# warnings as errors; extra arguments go to cmake's configure step (after
# ours, so -DTONRA_WERROR=OFF there wins).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build}
shift || true
cmake -S "$root" -B "$dir" -G Ninja -DTONRA_WERROR=ON "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"
