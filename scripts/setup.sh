#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the Debian packages of the given lists that are missing:
#   scripts/setup.sh scripts/packages-run.txt [scripts/packages-test.txt]
# A line "a b | c d" wants a and b, or else c and d: nothing when either is
# installed, otherwise the first that installs without removing anything,
# one of which some part is installed first.
# Nothing installed is ever removed, and changed configuration files are
# kept: a package that would need a removal is left out, with one line that
# says which and why, the rest goes in, and the tests that need the package
# skip, saying so. Only this step needs root: as another user it asks sudo
# for apt-get.
set -euo pipefail

installed() {
  local p
  for p; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || return 1
  done
}

missing=() choices=()
while read -r line; do
  line=${line%%#*}
  [[ $line =~ [^[:space:]] ]] || continue
  if [[ $line == *"|"* ]]; then
    satisfied=0
    IFS='|' read -ra groups <<<"$line"
    for group in "${groups[@]}"; do
      # shellcheck disable=SC2086
      installed $group && satisfied=1
    done
    [ $satisfied -eq 1 ] || choices+=("$line")
  else
    for p in $line; do
      installed "$p" || missing+=("$p")
    done
  fi
done < <(cat "$@")
[ ${#missing[@]} -eq 0 ] && [ ${#choices[@]} -eq 0 ] && exit 0

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || {
    echo "missing packages: ${missing[*]} ${choices[*]}; install them as root" >&2
    exit 1
  }
  # sudo keeps no environment of ours: the variable goes through env.
  sudo=(sudo)
fi
apt=("${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get)
options=(-y --no-install-recommends --no-remove -o Dpkg::Options::=--force-confold)
"${apt[@]}" update

# A simulation needs no root. fits: whether these install without a
# removal; why_not: one line on the first that does not.
fits() { apt-get install -s "${options[@]}" "$@" >/dev/null 2>&1; }
why_not() {
  local out removed
  out=$(apt-get install -s "${options[@]}" "$@" 2>&1 || true)
  removed=$(sed -n '/^The following packages will be REMOVED:/,/^[^ ]/{/^ /p}' <<<"$out" | xargs)
  if [ -n "$removed" ]; then
    echo "installing it would remove $removed, which is installed"
  else
    grep '^E:' <<<"$out" | head -1 | sed 's/^E: //'
  fi
}

take=()
if [ ${#missing[@]} -gt 0 ] && fits "${missing[@]}"; then
  take=("${missing[@]}")
else
  for p in "${missing[@]}"; do
    if fits "${take[@]}" "$p"; then
      take+=("$p")
    else
      echo "setup: leaving out $p: $(why_not "${take[@]}" "$p")" >&2
    fi
  done
fi
for line in "${choices[@]}"; do
  IFS='|' read -ra listed <<<"$line"
  # A choice begun already comes first: beside a PipeWire that serves
  # PulseAudio's socket, a PulseAudio would compete for that socket.
  begun=() rest=()
  for group in "${listed[@]}"; do
    partly=0
    for p in $group; do
      installed "$p" && partly=1
    done
    if [ $partly -eq 1 ]; then begun+=("$group"); else rest+=("$group"); fi
  done
  groups=("${begun[@]}" "${rest[@]}")
  chosen=""
  for group in "${groups[@]}"; do
    # shellcheck disable=SC2086
    if fits "${take[@]}" $group; then
      chosen=$(xargs <<<"$group")
      # shellcheck disable=SC2206
      take+=($group)
      break
    fi
  done
  [ -n "$chosen" ] || echo "setup: leaving out all of $(xargs <<<"$line"): each would remove an installed package" >&2
done
[ ${#take[@]} -eq 0 ] && exit 0
echo "installing with ${sudo[*]:+${sudo[*]} }apt-get: ${take[*]}"
"${apt[@]}" install "${options[@]}" "${take[@]}"
