# SPDX-License-Identifier: GPL-3.0-or-later
# shellcheck shell=bash
# Helpers for scripts that run the built recorder in a private sandbox of
# folders: seeding settings, starting and stopping it, and checking files.
# Sourced by soak.sh and the fault runs.

# VISTREL_BIN names the program to run; without it the program is built
# (installing what is missing) and build/vistrel is used.
recorder_binary() {
  [ -n "${VISTREL_BIN:-}" ] && return 0
  source "$(dirname "${BASH_SOURCE[0]}")/../common.sh"
  VISTREL_PACKAGES+=("${VISTREL_TEST_PACKAGES[@]}")
  vistrel_install_deps
  vistrel_build --target vistrel
  VISTREL_BIN="$VISTREL_BUILD/vistrel"
}

# Sets up $SANDBOX with its own home, settings store (which also holds the
# instance lock files) and runtime folder.
recorder_sandbox() {
  SANDBOX="$(mktemp -d "${TMPDIR:-/tmp}/vistrel-run.XXXXXX")"
  export HOME="$SANDBOX/home"
  export VISTREL_REGISTRY="$SANDBOX/registry"
  export XDG_RUNTIME_DIR="$SANDBOX/xdg"
  export QT_QPA_PLATFORM=offscreen
  export VISTREL_NO_V4L2=1
  mkdir -p "$HOME/Cameras" "$VISTREL_REGISTRY" "$XDG_RUNTIME_DIR"
  chmod 0700 "$XDG_RUNTIME_DIR"
}

# What failed in this run, each said as it is found and again at the end.
failures=()
fail() { failures+=("$*"); echo "FAIL: $*"; }

# Ends the run: with failures, lists them under $1 with the recorder's last
# output and exits 1; without, prints $2.
report_run() { # heading-when-failed line-when-passed
  if [ ${#failures[@]} -gt 0 ]; then
    echo "$1:"
    printf '  - %s\n' "${failures[@]}"
    [ -n "${SANDBOX:-}" ] && { echo "--- recorder output ---"; tail -20 "$SANDBOX/recorder.log" || true; }
    exit 1
  fi
  echo "$2"
}

# Four little-endian bytes of a 32-bit number, as a REGEDIT4 hex: list.
reg_le32() {
  local v=$(( $1 & 0xffffffff ))
  printf 'hex:%02x,%02x,%02x,%02x' $((v & 255)) $(((v >> 8) & 255)) $(((v >> 16) & 255)) $(((v >> 24) & 255))
}

reg_key_folder() { # key path with backslashes
  printf '%s/HKEY_LOCAL_MACHINE/%s' "$VISTREL_REGISTRY" "${1//\\//}"
}

# reg_write_key 'Software\...\Settings' '"Name"=value' ...
reg_write_key() {
  local key="$1"; shift
  local folder; folder="$(reg_key_folder "$key")"
  mkdir -p "$folder"
  {
    printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\%s]\n' "$key"
    local line
    for line in "$@"; do printf '%s\n' "$line"; done
  } >"$folder/values.reg"
}

# The 32-bit value of a 4-byte binary value in a key file, or empty.
reg_read_le32() {
  local file name="$2" hex
  file="$(reg_key_folder "$1")/values.reg"
  hex="$(grep -i "^\"$name\"=hex:" "$file" 2>/dev/null | head -1 | sed 's/^[^:]*://' | tr -d '\r' || true)"
  # Anything but four bytes (a value cut short by a fault) reads as missing.
  [[ "$hex" =~ ^[0-9a-fA-F]{2}(,[0-9a-fA-F]{2}){3}$ ]] || return 0
  IFS=, read -r b0 b1 b2 b3 <<<"$hex"
  echo $(( 0x$b0 | (0x$b1 << 8) | (0x$b2 << 16) | (0x$b3 << 24) ))
}

SETTINGS_KEY='Software\Tallow Software\Vistrel\Camera1\Settings'
camera_key() { printf 'Software\\Tallow Software\\Vistrel\\Camera1\\MuxedCam%s' "$1"; }

# Seeds instance 1: the test-pattern device at 320x240 24 bit, capture on,
# cameras $1 (letters, e.g. ABCD) multiplexed at $2 ms when more than one,
# overlay, static saving and archiving on, retention $3 minutes, static
# files in folder $4 (default $HOME/Cameras).
seed_recorder() {
  local letters="$1" speed="$2" minutes="$3" statics="${4:-$HOME/Cameras}"
  local mux=0; [ ${#letters} -gt 1 ] && mux=1
  local view=1; [ ${#letters} -gt 1 ] && view=4
  reg_write_key "$SETTINGS_KEY" \
    "\"CamView\"=$(reg_le32 $view)" \
    "\"Device\"=$(reg_le32 0)" \
    "\"InputPin\"=$(reg_le32 0)" \
    "\"VideoFormat\"=\"320x240 24 bit\"" \
    "\"VideoOn\"=$(reg_le32 1)" \
    "\"MuxerSpeed\"=$(reg_le32 "$speed")" \
    "\"EnableMux\"=$(reg_le32 $mux)" \
    "\"SaveEvery\"=$(reg_le32 "$speed")"
  local i letter
  for ((i = 0; i < ${#letters}; i++)); do
    letter="${letters:i:1}"
    reg_write_key "$(camera_key "$letter")" \
      "\"MuxerInputs\"=$(reg_le32 1)" \
      "\"EnableOverlay\"=$(reg_le32 1)" \
      "\"EnableStaticSave\"=$(reg_le32 1)" \
      "\"EnableArchving\"=$(reg_le32 1)" \
      "\"StaticPathFile\"=\"$statics/Cam1$letter.jpg\"" \
      "\"ArchivePath\"=\"$HOME/Cameras/Camera1$letter/\"" \
      "\"Days\"=$(reg_le32 0)" \
      "\"Hours\"=$(reg_le32 0)" \
      "\"Minutes\"=$(reg_le32 "$minutes")"
    mkdir -p "$HOME/Cameras/Camera1$letter"
  done
}

# Starts the recorder hidden in the background; sets RECORDER_PID.
# RECORDER_PREFIX (an array) may name a command to run it under, such as
# setpriv to drop root, or env with LD_PRELOAD.
start_recorder() {
  ${RECORDER_PREFIX[@]+"${RECORDER_PREFIX[@]}"} "$VISTREL_BIN" -m >>"$SANDBOX/recorder.log" 2>&1 &
  RECORDER_PID=$!
}

# Sends SIGTERM and waits (at most $1 seconds, default 30); returns its exit status.
stop_recorder() {
  local limit="${1:-30}" waited=0
  kill -TERM "$RECORDER_PID" 2>/dev/null || true
  while kill -0 "$RECORDER_PID" 2>/dev/null && [ "$waited" -lt $((limit * 10)) ]; do
    sleep 0.1; waited=$((waited + 1))
  done
  if kill -0 "$RECORDER_PID" 2>/dev/null; then
    echo "recorder did not stop within ${limit}s" >&2
    kill -KILL "$RECORDER_PID" 2>/dev/null || true
  fi
  local status=0
  wait "$RECORDER_PID" || status=$?
  RECORDER_PID=""
  return "$status"
}

recorder_alive() { [ -n "${RECORDER_PID:-}" ] && kill -0 "$RECORDER_PID" 2>/dev/null; }

# True while the recorder holds its instance lock file open. Seen through its
# descriptors, never probed with flock: a probe would take instance 1 itself.
recorder_holds_lock() {
  local lock link
  lock="$(readlink -f "$VISTREL_REGISTRY")/instance-1.lock"
  for link in /proc/"$RECORDER_PID"/fd/*; do
    [ "$(readlink "$link" 2>/dev/null)" = "$lock" ] && return 0
  done
  return 1
}
recorder_up_or_gone() { ! recorder_alive || recorder_holds_lock; }

# Waits (at most 60 s) until the recorder started by start_recorder is up.
# It installs its SIGTERM handling before it takes its instance lock; a
# SIGTERM before that would end it with status 143 instead of a clean stop.
recorder_ready() {
  WAIT_LIMIT=60 wait_until recorder_up_or_gone || true
  recorder_alive || { fail "the recorder ended while starting"; return 1; }
  recorder_holds_lock || { fail "the recorder did not take its instance lock within 60 s"; return 1; }
}

# Kills a recorder still running (on any exit of the script) and waits for
# it, so no file of the sandbox is held open afterwards. Never with an empty
# pid: "kill 0" would take the whole process group, test runner included.
kill_recorder() {
  [ -n "${RECORDER_PID:-}" ] || return 0
  kill -KILL "$RECORDER_PID" 2>/dev/null || true
  wait "$RECORDER_PID" 2>/dev/null || true
  RECORDER_PID=""
  return 0
}

# True when the file is a whole JPEG: starts with SOI and ends with EOI.
jpeg_whole() {
  local head tail
  head="$(head -c 2 "$1" 2>/dev/null | od -An -tx1 | tr -d ' \n')"
  tail="$(tail -c 2 "$1" 2>/dev/null | od -An -tx1 | tr -d ' \n')"
  [ "$head" = "ffd8" ] && [ "$tail" = "ffd9" ]
}

# Prints every final JPEG under the cameras folder that is not whole. A soak
# leaves hundreds of images: their first and last two bytes are read in one
# pass each rather than with a few processes per file.
partial_jpegs() {
  local files=() heads tails i f
  mapfile -d '' files < <(find "$HOME/Cameras" -name '*.jpg' ! -name '.*' -type f -print0 2>/dev/null)
  [ ${#files[@]} -gt 0 ] || return 0
  heads="$(printf '%s\0' "${files[@]}" | xargs -0 head -q -c 2 -- 2>/dev/null | od -An -tx1 -v | tr -d ' \n' || true)"
  tails="$(printf '%s\0' "${files[@]}" | xargs -0 tail -q -c 2 -- 2>/dev/null | od -An -tx1 -v | tr -d ' \n' || true)"
  # A file shorter than two bytes (or one that could not be read) shifts
  # the rest: then every file is looked at on its own.
  if [ ${#heads} -ne $((4 * ${#files[@]})) ] || [ ${#tails} -ne $((4 * ${#files[@]})) ]; then
    for f in "${files[@]}"; do jpeg_whole "$f" || echo "$f"; done
    return 0
  fi
  for ((i = 0; i < ${#files[@]}; i++)); do
    [ "${heads:i*4:4}" = ffd8 ] && [ "${tails:i*4:4}" = ffd9 ] || echo "${files[i]}"
  done
}

# 0 while the folder is missing (a fault run deletes it), never a failure.
archive_count() { # letter
  { find "$HOME/Cameras/Camera1$1" -maxdepth 1 -type f -name "*-Cam1$1.jpg" 2>/dev/null || true; } | wc -l
}

# End-of-run checks of soak.sh and the fault runs, each said through fail.

# Stops the recorder with SIGTERM (waiting at most 60 s); it must exit with 0.
stop_recorder_cleanly() {
  local status=0
  stop_recorder 60 || status=$?
  [ "$status" -eq 0 ] || fail "the recorder exited with status $status after SIGTERM"
}

# No partial JPEG under a final name, no temporary image file left behind.
check_saved_images() {
  local partial leftover
  partial="$(partial_jpegs)"
  [ -z "$partial" ] || fail "partial JPEGs under final names: $partial"
  leftover="$(find "$HOME/Cameras" -name '.*.tmp-*' 2>/dev/null || true)"
  [ -z "$leftover" ] || fail "temporary image files left behind: $leftover"
}

# The camera's stored "LastArchiveSize" equals its archive files on disk.
check_archive_size() { # letter
  local saved on_disk
  saved="$(reg_read_le32 "$(camera_key "$1")" LastArchiveSize)"
  on_disk="$(archive_count "$1")"
  [ "${saved:-x}" = "$on_disk" ] || fail "camera $1: LastArchiveSize ${saved:-missing} but $on_disk archive files on disk"
}

# Waits until "$@" succeeds, at most $WAIT_LIMIT seconds (default 20).
wait_until() {
  local limit="${WAIT_LIMIT:-20}" i=0
  while ! "$@"; do
    [ "$i" -ge $((limit * 10)) ] && return 1
    sleep 0.1; i=$((i + 1))
  done
}

# Empty (or 0 descriptors) once the process is gone, never a failure: a
# recorder dying between two samples must be reported, not end the script.
proc_rss_kb() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status" 2>/dev/null || true; }
proc_fds() { { ls "/proc/$1/fd" 2>/dev/null || true; } | wc -l; }
proc_cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || true; }

# Every key file of the store is whole: it starts with the REGEDIT4 header,
# ends with a line break, and no temporary file of the store is left (but
# SETTINGS_IGNORE, one a test planted).
settings_whole() {
  local f bad=0
  while IFS= read -r -d '' f; do
    [ "$(head -c 8 "$f")" = "REGEDIT4" ] || { echo "not a key file: $f"; bad=1; }
    [ -z "$(tail -c 1 "$f")" ] || { echo "cut short: $f"; bad=1; }
  done < <(find "$VISTREL_REGISTRY" -name values.reg -print0)
  if [ -n "$(find "$VISTREL_REGISTRY" -name '*.tmp' ! -name "${SETTINGS_IGNORE:-none}" 2>/dev/null)" ]; then
    echo "temporary key files left behind"; bad=1
  fi
  return "$bad"
}

file_mtime() { stat -c %y "$1" 2>/dev/null || true; } # empty while missing

# True once the file's modification time differs from $2.
file_changed_since() { [ "$(file_mtime "$1")" != "$2" ]; }
