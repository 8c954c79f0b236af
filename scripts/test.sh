#!/usr/bin/env bash
# On a fresh Debian 12 machine, as root: installs what is missing, builds and
# runs every test. Extra arguments are handed to ctest.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build" -DBUILD_TESTING=ON
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d)}
chmod 700 "$XDG_RUNTIME_DIR"
ctest --test-dir "$root/build" --no-tests=error --output-on-failure -j"$(nproc)" "$@"
