# SPDX-License-Identifier: GPL-3.0-or-later
# The Debian package, built by `cpack -G DEB` in the build directory (or
# scripts/package.sh). Its dependencies are computed from the libraries the
# program links.
set(CPACK_PACKAGE_NAME tonra)
set(CPACK_PACKAGE_VENDOR "The Tonra developers")
set(CPACK_PACKAGE_CONTACT "The Tonra developers <developers@tonra.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "small and fast desktop player for MP3 and MP2 files")
set(CPACK_PACKAGE_DESCRIPTION
  "Tonra plays MPEG audio files (layers I, II and III) through ALSA's default
device. One window holds the transport buttons, a progress bar, mute and
volume, and a playlist that shows the artist and title of each song's ID3
tag. Whole directory trees are searched for songs in the background.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${PROJECT_HOMEPAGE_URL}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# ALSA's plugins carry the sound to PulseAudio or PipeWire on a desktop.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libasound2-plugins")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
