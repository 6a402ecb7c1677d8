#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is missing, builds, and starts the recorder. Extra arguments
# go to the recorder (for example -m to start hidden in the tray).
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
vistrel_install_deps
vistrel_build --target vistrel
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display found: running on Qt's offscreen platform."
  export QT_QPA_PLATFORM=offscreen
fi
# First start: settings for instance 1 that record the first device (the
# built-in test pattern where there is no camera) into $HOME/Cameras. The
# program leaves existing settings untouched.
"$VISTREL_BUILD/vistrel" --seed-defaults >/dev/null
exec "$VISTREL_BUILD/vistrel" "$@"
