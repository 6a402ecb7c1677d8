#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The recorder on a real X desktop: Xvfb, the openbox window manager and the
# trayer notification area, driven as a user would with xdotool and wmctrl.
#   - started with -m, the window stays hidden and the tray icon is there;
#     a double click on the icon brings the window back;
#   - the maximise request steps to the four-camera view, leaves the window
#     unmaximised and no larger than that view, and the grown window stays
#     on the screen;
#   - with no notification area, -m starts the window minimised;
#   - SIGTERM ends every run with status 0.
# Exit 77 means skipped (no X server could be started).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$here/lib/recorder.sh"
recorder_binary
recorder_sandbox
unset QT_QPA_PLATFORM

DESKTOP_PIDS=()
cleanup() {
  set +e
  kill_recorder
  local pid
  for pid in "${DESKTOP_PIDS[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  rm -rf "$SANDBOX"
  return 0
}
trap cleanup EXIT

# An X server on a display number it picks itself.
exec 3< <(Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp 2>"$SANDBOX/xvfb.log")
read -r -t 20 display <&3 || { echo "SKIPPED: Xvfb did not start: $(cat "$SANDBOX/xvfb.log")"; exit 77; }
DESKTOP_PIDS+=("$(pgrep -n -x Xvfb)")
export DISPLAY=":$display"
openbox >"$SANDBOX/openbox.log" 2>&1 &
DESKTOP_PIDS+=($!)
wm_up() { xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"; }
WAIT_LIMIT=20 wait_until wm_up || { fail "openbox did not start"; report_run "DESKTOP CHECK FAILED" ""; }
start_tray() {
  trayer --edge bottom --align right --widthtype pixel --width 120 --heighttype pixel --height 24 \
    >"$SANDBOX/trayer.log" 2>&1 &
  TRAY_PID=$!
  DESKTOP_PIDS+=("$TRAY_PID")
}

main_window() { xdotool search --name '^Vistrel 1   $' 2>/dev/null | head -1 || true; }
window_known() { [ -n "$(main_window)" ]; }
map_state() { xwininfo -id "$1" | sed -n 's/^ *Map State: //p'; }
viewable() { [ "$(map_state "$W")" = IsViewable ]; }
iconic() { xprop -id "$W" WM_STATE 2>/dev/null | grep -q "Iconic"; }
# Our icon in the notification area: the vistrel window inside trayer's
# panel, looked for in the panel's own subtree only (the windows listed
# after that subtree are other top-level windows, ours among them).
# Prints its id and the centre of its place on the screen.
icon_in_panel() {
  xwininfo -root -tree | awk '
    /"panel": \("panel" "trayer"\)/ { depth = match($0, /[^ ]/); next }
    depth && NF && match($0, /[^ ]/) <= depth { exit }
    depth && /"vistrel": \("vistrel" "vistrel"\)/ {
      split($NF, a, "+"); split($(NF - 1), s, "[x+]"); print $1, a[2] + int(s[1] / 2), a[3] + int(s[2] / 2); exit }'
}
# The icon is there to click once trayer has mapped it and stopped moving
# it: trayer docks it at the panel's corner first and moves it to its slot
# a moment later, and a click in between lands on the empty panel.
icon_there() {
  local first id
  first="$(icon_in_panel)"
  [ -n "$first" ] || return 1
  id="${first%% *}"
  [ "$(map_state "$id")" = IsViewable ] || return 1
  sleep 0.5
  [ "$(icon_in_panel)" = "$first" ]
}
icon_centre() { icon_in_panel | cut -d' ' -f2-; }
# x y width height of the window's frame, from the client geometry and the frame extents.
frame_of() {
  local x y w h left right top bottom
  read -r x y w h < <(xwininfo -id "$1" | awk '/Absolute upper-left X/ {x=$NF} /Absolute upper-left Y/ {y=$NF}
    /^ *Width/ {w=$NF} /^ *Height/ {h=$NF} END {print x, y, w, h}')
  read -r left right top bottom < <(xprop -id "$1" _NET_FRAME_EXTENTS | sed 's/.*= //; s/,//g')
  echo $((x - left)) $((y - top)) $((w + left + right)) $((h + top + bottom))
}
client_width() { xwininfo -id "$W" | awk '/^ *Width/ {print $NF}'; }
not_maximised() { ! xprop -id "$W" _NET_WM_STATE | grep -q MAXIMIZED; }

step() { echo "-- $*"; }
seed_recorder A 1000 1

step "started with -m beside a notification area"
start_tray
start_recorder
recorder_ready || true
WAIT_LIMIT=30 wait_until icon_there || fail "no icon in the notification area"
W="$(main_window)"
[ -n "$W" ] && viewable && fail "the window shows although started with -m"
if icon_there; then
  read -r ix iy < <(icon_centre)
  xdotool mousemove "$ix" "$iy" click --repeat 2 --delay 80 1
  WAIT_LIMIT=10 wait_until window_known || fail "a double click on the icon did not bring the window back"
  W="$(main_window)"
fi
if [ -n "$W" ]; then
  WAIT_LIMIT=10 wait_until viewable || fail "the restored window is not shown"

  step "maximise request near the bottom of the screen"
  single_width="$(client_width)"
  xdotool windowmove "$W" 100 300
  sleep 0.5
  wmctrl -i -r "$W" -b add,maximized_vert,maximized_horz
  # Watched while it happens: the window must never take the whole screen.
  widest=0
  for ((i = 0; i < 40; i++)); do
    width="$(client_width)"
    [ "$width" -gt "$widest" ] && widest="$width"
    sleep 0.02
  done
  [ "$widest" -lt 1000 ] || fail "the window was maximised on its way to the next view ($widest wide)"
  grown() { [ "$(client_width)" -gt "$single_width" ] && not_maximised; }
  WAIT_LIMIT=10 wait_until grown || fail "the maximise request did not step to the four-camera view"
  # The caption and everything inside the border must be on the screen (the
  # window manager's resize grip below may not be: Qt does not count it).
  on_screen() {
    read -r fx fy fw fh < <(frame_of "$W")
    read -r cx cy cw ch < <(xwininfo -id "$W" | awk '/Absolute upper-left X/ {x=$NF} /Absolute upper-left Y/ {y=$NF}
      /^ *Width/ {w=$NF} /^ *Height/ {h=$NF} END {print x, y, w, h}')
    [ "$fy" -ge 0 ] && [ "$fx" -ge 0 ] && [ $((cy + ch)) -le 768 ] && [ $((cx + cw)) -le 1024 ]
  }
  WAIT_LIMIT=5 wait_until on_screen \
    || fail "the four-camera window is off the screen: ${cw}x${ch} inside at $cx,$cy, frame at $fx,$fy"
  [ "$fw" -lt 1000 ] || fail "the window was maximised (${fw} wide)"
fi
stop_recorder_cleanly

step "started with -m where there is no notification area"
kill "$TRAY_PID"; wait "$TRAY_PID" 2>/dev/null || true
start_recorder
recorder_ready || true
WAIT_LIMIT=30 wait_until window_known || fail "no main window without a notification area"
W="$(main_window)"
if [ -n "$W" ]; then
  WAIT_LIMIT=10 wait_until iconic || fail "without a notification area the window did not start minimised"
fi
stop_recorder_cleanly

report_run "DESKTOP CHECK FAILED" "desktop check passed"
