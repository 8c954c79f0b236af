#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian package as a user would, with GoogleTest out of sight
# (installing must not need it), and checks what it holds, what it depends
# on, its hardening, its desktop entry and metainfo as installed, and
# lintian's verdict.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$root/build-package
rm -f "$build/CMakeCache.txt" "$build"/tonra_*.deb
"$root/scripts/package.sh" "$build" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON
grep -qx 'BUILD_TESTING:BOOL=OFF' "$build/CMakeCache.txt" || { echo "tests configured without GoogleTest" >&2; exit 1; }
deb=$(ls "$build"/tonra_*.deb)
fail() { echo "package: $*" >&2; exit 1; }

contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
wanted=(./usr/bin/tonra ./usr/share/applications/org.tonra.Tonra.desktop
  ./usr/share/metainfo/org.tonra.Tonra.metainfo.xml ./usr/share/man/man1/tonra.1.gz
  ./usr/share/doc/tonra/copyright ./usr/share/doc/tonra/changelog.gz)
for icon in "$root"/data/icons/hicolor/*/apps/tonra.*; do
  wanted+=("./usr/share/icons/hicolor/${icon#"$root"/data/icons/hicolor/}")
done
for f in "${wanted[@]}"; do
  grep -qxF "$f" <<<"$contents" || fail "no $f"
done
depends=$(dpkg-deb -f "$deb" Depends)
[ -n "$depends" ] || fail "no Depends line"
for lib in libmad0 libasound2 libqt6core6 libqt6gui6 libqt6widgets6; do
  grep -qw "$lib" <<<"$depends" || fail "Depends lacks $lib: $depends"
done
[ "$(dpkg-deb -f "$deb" Section)" = sound ] || fail "not in section sound"

unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg -x "$deb" "$unpacked"
# Debian's hardening, as hardening-check sees it: bound at load time
# (BIND_NOW) with read-only relocations, position independent, and with the
# stack protector's check in use.
program=$unpacked/usr/bin/tonra
# Read whole first: grep -q would stop reading early and, under pipefail,
# fail the pipe.
dynamic=$(readelf -dW "$program") headers=$(readelf -hlW "$program") symbols=$(readelf -sW --dyn-syms "$program")
grep -qE '\(BIND_NOW\)|\(FLAGS(_1)?\).* NOW' <<<"$dynamic" || fail "not linked with -z now (BIND_NOW)"
grep -q GNU_RELRO <<<"$headers" || fail "no read-only relocations (RELRO)"
grep -qE 'Type:[[:space:]]+DYN' <<<"$headers" || fail "not a position-independent executable"
grep -q __stack_chk_fail <<<"$symbols" || fail "no stack protector"
desktop-file-validate "$unpacked"/usr/share/applications/org.tonra.Tonra.desktop
appstreamcli validate --no-net "$unpacked"/usr/share/metainfo/org.tonra.Tonra.metainfo.xml
env -u DISPLAY -u WAYLAND_DISPLAY "$unpacked"/usr/bin/tonra --help >/dev/null
lintian --fail-on error "$deb"
echo "package: $(basename "$deb") checked"
