#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian package with Debian's build flags (hardening included):
#   scripts/package.sh [build directory] [cmake arguments...]
# (default build-package/); the .deb lands in the build directory. Run it as
# yourself: the missing packages of scripts/packages-run.txt and
# scripts/packages-package.txt (dpkg-dev and file) are installed first
# (through sudo unless root), as scripts/run.sh does.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/env.sh"
"$root/scripts/setup.sh" "$root/scripts/packages-run.txt" "$root/scripts/packages-package.txt"
tonra_as_invoking_user "$0" "$@"
# Without them the package would lack its Depends line and its hardening,
# or CPack would fail only at the end.
for tool in dpkg-buildflags:dpkg-dev dpkg-shlibdeps:dpkg-dev file:file; do
  command -v "${tool%%:*}" >/dev/null ||
    { echo "package: ${tool%%:*} is missing: install ${tool#*:} (scripts/setup.sh could not)" >&2; exit 1; }
done
build=${1:-$root/build-package}
shift || true
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cppflags=$(dpkg-buildflags --get CPPFLAGS)
cxxflags="$(dpkg-buildflags --get CXXFLAGS) $cppflags"
cflags="$(dpkg-buildflags --get CFLAGS) $cppflags"
ldflags=$(dpkg-buildflags --get LDFLAGS)
CXXFLAGS=$cxxflags CFLAGS=$cflags LDFLAGS=$ldflags \
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_INSTALL_PREFIX=/usr "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
(cd "$build" && cpack -G DEB)
