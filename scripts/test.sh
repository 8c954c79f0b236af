#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds and runs every test. Run it as yourself: the missing packages of
# both lists are installed first (through sudo unless root). Extra arguments
# are handed to ctest.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/env.sh"
"$root/scripts/setup.sh" "$root/scripts/packages-run.txt" "$root/scripts/packages-test.txt"
tonra_as_invoking_user "$0" "$@"
"$root/scripts/build.sh" "$root/build" -DBUILD_TESTING=ON -DTONRA_BENCH=ON
# The tests start their own X and sound servers: a private runtime
# directory unless the caller gives one.
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d)}
chmod 700 "$XDG_RUNTIME_DIR"
ctest --test-dir "$root/build" --no-tests=error --output-on-failure -j"$(nproc)" "$@"
