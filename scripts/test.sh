#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds (warnings as errors) and runs every test. Run it as yourself: the
# missing packages of both lists are installed first (through sudo unless
# root), removing nothing. Extra arguments are handed to ctest.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/env.sh"
"$root/scripts/setup.sh" "$root/scripts/packages-run.txt" "$root/scripts/packages-test.txt"
tonra_as_invoking_user "$0" "$@"
"$root/scripts/build.sh" "$root/build" -DBUILD_TESTING=ON -DTONRA_BENCH=ON
# Each test program makes a session of its own (home, runtime directory,
# bus and sound servers) and removes it: yours is neither read nor written.
ctest --test-dir "$root/build" --no-tests=error --output-on-failure -j"$(nproc)" "$@"
