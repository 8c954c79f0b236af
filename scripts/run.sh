#!/usr/bin/env bash
# On a fresh Debian 12 machine, as root: installs what is missing, builds and
# starts the player with the given arguments (songs and window options).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build" -DBUILD_TESTING=OFF
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d)}
chmod 700 "$XDG_RUNTIME_DIR"
exec "$root/build/tonra" "$@"
