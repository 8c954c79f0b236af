#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds and starts the player with the given arguments (songs and window
# options). Run it as yourself: the missing packages of
# scripts/packages-run.txt are installed first (through sudo unless root),
# the build is yours, and the player runs in your session.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/env.sh"
"$root/scripts/setup.sh" "$root/scripts/packages-run.txt"
tonra_as_invoking_user "$0" "$@"
"$root/scripts/build.sh" "$root/build" -DBUILD_TESTING=OFF -DTONRA_BENCH=OFF
tonra_runtime_dir
exec "$root/build/tonra" "$@"
