#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the Debian packages of the given lists that are missing:
#   scripts/setup.sh scripts/packages-run.txt [scripts/packages-test.txt]
# Only this step needs root: as another user it asks sudo for apt-get.
set -euo pipefail
mapfile -t wanted < <(cat "$@" | sed 's/#.*//' | grep -v '^\s*$')
missing=()
for p in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
apt=(apt-get)
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "missing packages: ${missing[*]}; install them as root" >&2; exit 1; }
  apt=(sudo apt-get)
fi
echo "installing with ${apt[*]}: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${apt[@]}" update
"${apt[@]}" install -y --no-install-recommends "${missing[@]}"
