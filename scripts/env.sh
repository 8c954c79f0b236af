# SPDX-License-Identifier: GPL-3.0-or-later
# Sourced by run.sh and test.sh: who builds and runs, and in which session.

# Started through sudo, everything after the package step runs as the user
# who asked (so that build/ stays theirs and the player reaches their sound
# server): the script starts again as that user with the given arguments.
tonra_as_invoking_user() {
  if [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_USER:-}" ] && [ "$SUDO_USER" != root ]; then
    exec runuser -u "$SUDO_USER" -- "$@"
  fi
}

# The sound server's socket lives in the session's runtime directory: a set
# XDG_RUNTIME_DIR is kept as it is. Unset (after sudo or su, or in a bare
# container) it becomes the user's own login directory when there is one,
# else a fresh private one. Sound settings (PULSE_SERVER, ALSA_CONFIG_PATH
# and the like) are never touched.
tonra_runtime_dir() {
  if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    local own
    own=/run/user/$(id -u)
    if [ -d "$own" ] && [ -O "$own" ]; then
      XDG_RUNTIME_DIR=$own
    else
      XDG_RUNTIME_DIR=$(mktemp -d)
    fi
  fi
  export XDG_RUNTIME_DIR
}
