#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the built program into a temporary prefix and checks that every
# file lands in its usual place and that the installed program runs: it
# seeds its settings, records, finds its manual and stops cleanly on SIGTERM,
# and that the templated unit's commands run the instance they name.
# Then builds the Debian package and checks its files, its maintainer, its
# licence, its dependencies and that the program unpacked from it runs.
# Usage: install_check.sh BUILD_DIR
set -euo pipefail
build="$(cd "${1:?usage: install_check.sh BUILD_DIR}" && pwd)"
work="$(mktemp -d "${TMPDIR:-/tmp}/vistrel-install.XXXXXX")"
pid=""
trap '[ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null; rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/vistrel bin/vistrel-devices bin/vistrel-export share/doc/vistrel/vistrel.mht share/doc/vistrel/copyright \
         share/applications/vistrel.desktop \
         share/icons/hicolor/scalable/apps/vistrel.svg share/icons/hicolor/64x64/apps/vistrel.png \
         lib/systemd/user/vistrel.service lib/systemd/user/vistrel@.service; do
  [ -f "$prefix/$f" ] || fail "not installed: $f"
done
[ -x "$prefix/bin/vistrel" ] || fail "the program is not executable"
grep -qx 'Exec=vistrel' "$prefix/share/applications/vistrel.desktop" || fail "the desktop entry does not start vistrel"
grep -qx 'Icon=vistrel' "$prefix/share/applications/vistrel.desktop" || fail "the desktop entry has no icon"

unit="$prefix/lib/systemd/user/vistrel.service"
grep -qx "ExecStart=$prefix/bin/vistrel -m" "$unit" || fail "the unit does not start the installed program"
# The longest exit: two worker waits of 90 s each, then the save.
timeout_s="$(sed -n 's/^TimeoutStopSec=\([0-9]*\)$/\1/p' "$unit")"
[ -n "$timeout_s" ] && [ "$timeout_s" -gt 180 ] || fail "TimeoutStopSec=${timeout_s:-unset} does not cover two 90 s waits and the save"

# The licence in Debian's machine-readable copyright format: its format line,
# and every file under GPL-3.0-or-later, whose text it carries.
check_copyright() { # file label
  [ "$(head -1 "$1")" = "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" ] \
    || fail "$2: the copyright file is not in the machine-readable format"
  grep -qx 'Files: \*' "$1" && grep -qx 'Copyright: The Vistrel developers' "$1" \
    && grep -qx 'License: GPL-3.0-or-later' "$1" || fail "$2: the copyright file does not put every file under GPL-3.0-or-later"
  grep -q '^ version 3 can be found in "/usr/share/common-licenses/GPL-3".$' "$1" \
    || fail "$2: the copyright file does not carry the licence's text"
}
check_copyright "$prefix/share/doc/vistrel/copyright" "install"

template="$prefix/lib/systemd/user/vistrel@.service"
grep -qx "ExecStart=$prefix/bin/vistrel -m --instance %i" "$template" || fail "the templated unit does not start instance %i"
grep -qx "TimeoutStopSec=$timeout_s" "$template" || fail "the templated unit does not wait as long as the other"

# Runs a program from an install in a private home and store; exec, so that
# a run started in the background is the program itself.
run_private() { # program args...
  exec env HOME="$work/home" VISTREL_REGISTRY="$work/store" XDG_CONFIG_HOME="$work/home/.config" \
    QT_QPA_PLATFORM=offscreen VISTREL_NO_V4L2=1 "$@"
}
# Seeds, records, stops on SIGTERM with status 0; the static file shows it recorded.
check_runs() { # program label
  rm -rf "$work/home" "$work/store"
  mkdir -p "$work/home"
  (run_private "$1" --seed-defaults >/dev/null) || { fail "$2: --seed-defaults failed"; return; }
  run_private "$1" >"$work/run.log" 2>&1 &
  pid=$!
  local waited=0
  while [ ! -s "$work/home/Cameras/Cam1A.jpg" ] && [ "$waited" -lt 600 ] && kill -0 "$pid" 2>/dev/null; do
    sleep 0.1; waited=$((waited + 1))
  done
  [ -s "$work/home/Cameras/Cam1A.jpg" ] || fail "$2: the installed program recorded nothing"
  kill -TERM "$pid" 2>/dev/null || true
  local status=0
  wait "$pid" || status=$?
  pid=""
  [ "$status" -eq 0 ] || { fail "$2: stopped with status $status"; cat "$work/run.log"; }
  (run_private "$(dirname "$1")/vistrel-devices") | grep -q "Vistrel Test Pattern" || fail "$2: vistrel-devices lists no device"
  (run_private "$(dirname "$1")/vistrel-export" --help) | grep -q "^usage: vistrel-export" || fail "$2: vistrel-export does not run"
}
check_runs "$prefix/bin/vistrel" "install"

# The templated unit's commands for vistrel@2, as systemd runs them: they
# seed and record instance 2 (its files, its lock), not the lowest free one.
check_template() { # unit label
  rm -rf "$work/home" "$work/store"
  mkdir -p "$work/home"
  local pre start
  pre="$(sed -n 's/^ExecStartPre=//p' "$1" | sed 's/%i/2/g')"
  start="$(sed -n 's/^ExecStart=//p' "$1" | sed 's/%i/2/g')"
  # shellcheck disable=SC2086 # the unit's command lines, split as systemd splits them
  (run_private $pre | grep -q "instance 2") || { fail "$2: $pre does not seed instance 2"; return; }
  # shellcheck disable=SC2086
  run_private $start >"$work/run.log" 2>&1 &
  pid=$!
  local waited=0
  while [ ! -s "$work/home/Cameras/Cam2A.jpg" ] && [ "$waited" -lt 600 ] && kill -0 "$pid" 2>/dev/null; do
    sleep 0.1; waited=$((waited + 1))
  done
  [ -s "$work/home/Cameras/Cam2A.jpg" ] || fail "$2: instance 2 recorded nothing"
  kill -TERM "$pid" 2>/dev/null || true
  local status=0
  wait "$pid" || status=$?
  pid=""
  [ "$status" -eq 0 ] || { fail "$2: instance 2 stopped with status $status"; cat "$work/run.log"; }
}
check_template "$template" "templated unit"

# The Debian package, built from the same build.
(cd "$build" && cpack -G DEB -B "$work/package" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack -G DEB failed"; }
deb="$(ls "$work"/package/vistrel_*.deb 2>/dev/null | head -1)"
if [ -n "$deb" ]; then
  maintainer="$(dpkg-deb -f "$deb" Maintainer)"
  [[ "$maintainer" == "The Vistrel developers <"*"@"*">" && "$maintainer" != *localhost* ]] \
    || fail "the package's maintainer is not the project: $maintainer"
  depends="$(dpkg-deb -f "$deb" Depends)"
  for lib in libqt6widgets6 libjpeg62-turbo libv4l-0 libyuv0; do
    [[ "$depends" == *"$lib"* ]] || fail "the package does not depend on $lib ($depends)"
  done
  dpkg-deb -x "$deb" "$work/root"
  [ -f "$work/root/usr/lib/systemd/user/vistrel.service" ] || fail "the package has no systemd unit"
  grep -qx 'ExecStart=/usr/bin/vistrel -m' "$work/root/usr/lib/systemd/user/vistrel.service" \
    || fail "the package's unit does not start /usr/bin/vistrel"
  grep -qx 'ExecStart=/usr/bin/vistrel -m --instance %i' "$work/root/usr/lib/systemd/user/vistrel@.service" \
    || fail "the package's templated unit does not start /usr/bin/vistrel as instance %i"
  [ -f "$work/root/usr/share/doc/vistrel/vistrel.mht" ] || fail "the package has no manual"
  check_copyright "$work/root/usr/share/doc/vistrel/copyright" "package"
  check_runs "$work/root/usr/bin/vistrel" "package"
else
  fail "no package was built"
fi

[ "$failures" -eq 0 ] || { echo "$failures install check(s) failed"; exit 1; }
echo "install check passed"
