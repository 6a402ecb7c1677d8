# SPDX-License-Identifier: GPL-3.0-or-later
# shellcheck shell=bash
# Shared by run.sh and test.sh: install what is missing, then configure and build.
set -euo pipefail

VISTREL_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VISTREL_BUILD="${VISTREL_BUILD:-$VISTREL_ROOT/build}"

# What building and running the recorder needs (the build configures the
# tests and benchmarks too, hence their libraries).
VISTREL_PACKAGES=(
  cmake ninja-build g++ pkg-config ccache
  qt6-base-dev libjpeg62-turbo-dev libv4l-dev libyuv-dev
  libavcodec-dev libavformat-dev libswscale-dev libavutil-dev zlib1g-dev
  libmicrohttpd-dev libgnutls28-dev libsodium-dev
  libsqlite3-dev libmosquitto-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  fonts-dejavu-core
)
# What only the tests use: locales, a fake clock, a desktop with a tray,
# archive and package tools, the benchmarks' ffmpeg baseline, the web
# server's clients (Python's http.client and ssl), the network cameras'
# stream servers (GStreamer's RTSP server through Debian's python3 with
# H.264, H.265 and JPEG encoders), a real MQTT broker and session bus for
# the events, and a real browser for the web pages.
VISTREL_TEST_PACKAGES=(
  dpkg-dev fonts-dejavu-extra locales
  libfaketime
  xvfb openbox trayer xdotool x11-utils wmctrl
  unzip ffmpeg
  python3
  python3-gi gir1.2-gst-rtsp-server-1.0 gstreamer1.0-plugins-base
  gstreamer1.0-plugins-good gstreamer1.0-plugins-ugly gstreamer1.0-plugins-bad
  mosquitto mosquitto-clients dbus-daemon
  chromium chromium-driver python3-selenium
)

vistrel_install_deps() {
  local missing=()
  local p
  for p in "${VISTREL_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing missing packages: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  # Through env: sudo does not pass a variable set in front of it.
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
}

# The sanitizer build has its own folder and configuration (sanitize.sh).
vistrel_build() {
  local werror="${VISTREL_WERROR:-OFF}"
  cmake -S "$VISTREL_ROOT" -B "$VISTREL_BUILD" -G Ninja \
    -DVISTREL_WERROR="$werror" -DVISTREL_SANITIZE=OFF >/dev/null
  cmake --build "$VISTREL_BUILD" "$@"
}
