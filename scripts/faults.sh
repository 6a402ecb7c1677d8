#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Fault runs of the built recorder: scripts/faults.sh NAME, with NAME one of
#   full-disk        the archive folder on a full filesystem (a small tmpfs;
#                    skipped where mounting is not allowed), then enlarged
#   read-only        the archive folder made read-only, then writable again
#   deleted-folder   the archive folder deleted while recording
#   missing-folder   settings written by a script, naming folders never made
#   outside-removal  most of the archive removed by hand while recording
#   garbled-settings the settings store truncated, garbled, with \r\r\n line
#                    ends, oversized and headerless before start
#   read-only-settings the settings keys made read-only while recording
#   clock-back-small the wall clock stepped back by less than the retention
#   clock-back-large the wall clock stepped back an hour, far more than it
#   full-disk-static the static file on a filesystem with neither room nor
#                    inodes left (a small tmpfs), then enlarged
#   stray-entries    folders and links named like images, and the newest
#                    images a power cut left empty or torn
#   clock-1970       a clock that starts at 1970 (a board without a
#                    real-time clock): times of fewer than ten digits
#   floor-fill       a small tmpfs filled by another program while recording
#                    with a floor: the oldest images make room, foreign files,
#                    links, subfolders and kept images stay
#   floor-none-left  the same with nothing of ours left to delete: the camera
#                    is not recording until the other file goes
#   floor-two-instances two recorders keeping their floor on one small tmpfs
#   floor-cap        a camera's archive brought under its MaxArchiveMB
# Every run passes when the recorder keeps running and keeps processing
# frames (its static file keeps being rewritten, or, where it cannot be,
# stays the last good picture), no partial JPEG exists
# under a final name, the static file stays whole, archiving resumes by
# itself once the fault is gone (the recorder makes a missing folder again),
# a saving failure is said once on standard error when it starts and once
# when it ends, the recorder stops cleanly on SIGTERM, every settings file
# is whole, and (but for garbled settings) "LastArchiveSize" equals the
# files on disk. A save of the settings that fails is said on standard
# error and makes the exit status 1. Exit 77 means skipped.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
NAME="${1:?usage: faults.sh full-disk|read-only|deleted-folder|missing-folder|outside-removal|garbled-settings|read-only-settings|clock-back-small|clock-back-large|full-disk-static|stray-entries|clock-1970|floor-fill|floor-none-left|floor-two-instances|floor-cap}"

source "$here/lib/recorder.sh"
recorder_binary

recorder_sandbox
MOUNTED=""
FILLER=""
FILLING="$SANDBOX/filling" # the filler runs while this file exists
# Killing the filler's shell would leave a writer it started running, to
# fill the enlarged filesystem or keep the mount busy: the loop ends itself.
# While the filesystem is still small its last writer ends at once, on ENOSPC.
stop_filler() {
  [ -n "$FILLER" ] || return 0
  rm -f "$FILLING"
  wait "$FILLER" 2>/dev/null || true
  FILLER=""
}
SECOND_PID="" # a second instance (floor-two-instances)
# Runs on every exit, a passed run's too: nothing here may fail the run.
cleanup() {
  set +e
  stop_filler
  kill_recorder
  if [ -n "$SECOND_PID" ]; then kill -KILL "$SECOND_PID" 2>/dev/null; wait "$SECOND_PID" 2>/dev/null; fi
  if [ -n "$MOUNTED" ]; then
    umount "$MOUNTED" 2>/dev/null || umount -l "$MOUNTED" 2>/dev/null
  fi
  chmod -R u+rwX "$SANDBOX" 2>/dev/null
  rm -rf "$SANDBOX" 2>/dev/null
  return 0
}
trap cleanup EXIT

ARCHIVE="$HOME/Cameras/Camera1A"
STATIC="$HOME/Cameras/Cam1A.jpg"
step() { echo "-- $*"; }

# One camera at 100 ms (SaveEvery), archiving with one-minute retention.
seed_one() { seed_recorder A 100 1; }

# The free space to keep (KeepFreeMB), added to the seeded process key.
seed_floor() { # MB
  printf '"KeepFreeMB"=%s\n' "$(reg_le32 "$1")" >>"$(reg_key_folder "$SETTINGS_KEY")/values.reg"
}

# Mounts a tmpfs of that size over the cameras folder (static files and
# archives), or skips the run where mounting is not allowed.
mount_cameras() { # size
  if ! mount -t tmpfs -o "size=$1,mode=0755" tmpfs "$HOME/Cameras" 2>/dev/null; then
    echo "SKIPPED: mounting a tmpfs is not allowed here (needs root and mount rights)"
    exit 77
  fi
  MOUNTED="$HOME/Cameras"
}
cameras_avail_kb() { df -k --output=avail "$HOME/Cameras" | tail -1 | tr -d ' '; }
# Bytes of the camera's archive images.
archive_bytes() { # letter [instance]
  { find "$HOME/Cameras/Camera${2:-1}$1" -maxdepth 1 -type f -name "*-Cam${2:-1}$1.jpg" -printf '%s\n' 2>/dev/null || true; } |
    awk '{ s += $1 } END { print s + 0 }'
}
# A small whole JPEG, of about $2 bytes.
small_jpeg() { # file [bytes]
  { printf '\xff\xd8'; head -c "${2:-2}" /dev/zero; printf '\xff\xd9'; } >"$1"
}
# Fills the cameras folder's filesystem with one file of another program.
fill_with_outside() { # file
  cat /dev/zero >"$1" 2>/dev/null || true
}

archive_at_least() { [ "$(archive_count A)" -ge "$1" ]; }
archive_above() { [ "$(archive_count A)" -gt "$1" ]; }
archive_fs_full() { [ "$(df -k --output=avail "$ARCHIVE" | tail -1)" -eq 0 ]; }
# Appends zeros to a file beside the images until the filesystem is full.
fill_up() { cat /dev/zero >>"$ARCHIVE/filler.bin" 2>/dev/null || true; }

started_recording() {
  WAIT_LIMIT=30 wait_until test -s "$STATIC" || { fail "no static file after start"; return 1; }
  WAIT_LIMIT=30 wait_until archive_at_least 3 || { fail "no archive images after start"; return 1; }
}

# The recorder is alive and still rewrites its static file.
still_processing() {
  recorder_alive || { fail "the recorder died ($1)"; return 1; }
  local before; before="$(file_mtime "$STATIC")"
  WAIT_LIMIT=10 wait_until file_changed_since "$STATIC" "$before" || fail "the static file stopped changing ($1)"
  jpeg_whole "$STATIC" || fail "the static file is not a whole JPEG ($1)"
}

archive_resumes() {
  local before; before="$(archive_count A)"
  WAIT_LIMIT=20 wait_until archive_above "$before" || fail "archiving did not resume ($1)"
}

no_archive_growth_for() { # seconds
  local before; before="$(archive_count A)"
  sleep "$1"
  [ "$(archive_count A)" -eq "$before" ] || fail "archive images appeared while the fault lasted"
}

# Archive names of camera A, oldest first by the time and number they carry.
archive_names_oldest_first() {
  { cd "$ARCHIVE" 2>/dev/null && ls -1 -- *-Cam1A.jpg 2>/dev/null || true; } |
    awk '{ dash = index($0, "-"); print substr($0, 1, 10), substr($0, 11, dash - 11) + 0, $0 }' |
    sort -k1,1n -k2,2n | awk '{ print $3 }'
}

# COUNT small whole JPEGs named as saved AGE seconds ago and after, one a second.
prefill_archive() { # count age
  mkdir -p "$ARCHIVE"
  local now i; now="$(date +%s)"
  for ((i = 0; i < $1; i++)); do
    printf '\xff\xd8\xff\xd9' >"$ARCHIVE/$((now - $2 + i))0-Cam1A.jpg"
  done
}

# How many of the named images are gone.
gone_count() { # names...
  local f n=0
  for f in "$@"; do [ -e "$ARCHIVE/$f" ] || n=$((n + 1)); done
  echo "$n"
}
at_least_gone() { # count names...
  local want="$1"; shift
  [ "$(gone_count "$@")" -ge "$want" ]
}

# Lines of the recorder's standard error that match.
log_lines() { grep -c -- "$1" "$SANDBOX/recorder.log" 2>/dev/null || true; }
logged() { [ "$(log_lines "$1")" -gt 0 ]; }

# Saving into the archive (or, with "static", the static file) failed, and
# worked again: each said exactly once.
said_once_each() { # what [static]
  local failing again starts='is not recording: ' ends='is recording again'
  if [ "${2:-}" = static ]; then starts='cannot update its static file: ' ends='updates its static file again'; fi
  failing="$(log_lines "camera A $starts")"
  again="$(log_lines "camera A $ends")"
  [ "$failing" -eq 1 ] || fail "$1: the saving failure was said $failing times on standard error, not once"
  [ "$again" -eq 1 ] || fail "$1: the end of the saving failure was said $again times on standard error, not once"
}

# Permissions do not bind root: as root the recorder runs as an unprivileged
# user. That user may not reach the build folder (a clone under a 0700 home):
# it runs a copy in the sandbox, which needs nothing else from the build.
run_unprivileged() {
  [ "$(id -u)" -eq 0 ] || return 0
  install -m 0755 "$VISTREL_BIN" "$SANDBOX/vistrel"
  VISTREL_BIN="$SANDBOX/vistrel"
  chown -R 65534:65534 "$SANDBOX"
  chmod 0755 "$SANDBOX"
  RECORDER_PREFIX=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  if ! "${RECORDER_PREFIX[@]}" test -x "$VISTREL_BIN"; then
    echo "SKIPPED: user 65534 cannot reach the sandbox $SANDBOX (set TMPDIR to a folder it can enter)"
    exit 77
  fi
}

# Each named camera's key file, not a key file, was kept aside once, byte for
# byte (the original copied to $SANDBOX/original-<letter>), and said once.
kept_aside_once() { # letters...
  local letter folder kept
  for letter in "$@"; do
    folder="$(reg_key_folder "$(camera_key "$letter")")"
    mapfile -t kept < <(find "$folder" -maxdepth 1 -name 'values.reg.unreadable-*')
    if [ ${#kept[@]} -ne 1 ]; then
      fail "camera $letter: ${#kept[@]} kept-aside key files, not 1: $(ls "$folder")"
    elif ! cmp -s "${kept[0]}" "$SANDBOX/original-$letter"; then
      fail "camera $letter: the kept-aside key file differs from the original"
    fi
    [ "$(log_lines "MuxedCam$letter/values.reg could not be read")" -eq 1 ] ||
      fail "camera $letter: keeping its key file aside was not said exactly once on standard error"
  done
}

# Runs the recorder on a fake wall clock whose offset from the real one is
# read from the file $1 at every look; the monotonic clock stays real.
fake_clock() { # offset-file
  local lib="" candidate
  for candidate in /usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1 /usr/lib/*/faketime/libfaketimeMT.so.1; do
    [ -e "$candidate" ] && { lib="$candidate"; break; }
  done
  if [ -z "$lib" ]; then
    echo "SKIPPED: libfaketime is not installed (Debian package libfaketime)"
    exit 77
  fi
  RECORDER_PREFIX=(env LD_PRELOAD="$lib" FAKETIME_TIMESTAMP_FILE="$1" FAKETIME_NO_CACHE=1 DONT_FAKE_MONOTONIC=1 FAKETIME_DONT_FAKE_MONOTONIC=1)
}

finish() { # check-counters: yes|no
  stop_recorder_cleanly
  check_saved_images
  settings_whole || fail "a settings file is not whole"
  if [ "$1" = yes ]; then check_archive_size A; fi
}

case "$NAME" in
full-disk)
  mkdir -p "$ARCHIVE"
  if ! mount -t tmpfs -o size=64k,mode=0755 tmpfs "$ARCHIVE" 2>/dev/null; then
    echo "SKIPPED: mounting a tmpfs is not allowed here (needs root and mount rights)"
    exit 77
  fi
  MOUNTED="$ARCHIVE"
  seed_one
  seed_floor 0 # no floor: a full disk stops the archive until there is room
  start_recorder
  recorder_ready || true
  step "recording into a 64 kB archive filesystem"
  started_recording || true
  # "Nearly full" is not full: an image smaller than the pages left would
  # still fit. A filler takes every free page, and keeps taking the pages a
  # failed write frees again, for as long as the fault lasts.
  step "filling the rest of the filesystem"
  fill_up
  touch "$FILLING"
  ( while [ -e "$FILLING" ]; do fill_up; sleep 0.05; done ) &
  FILLER=$!
  # A write of the recorder may free pages for a moment before the filler
  # takes them again: full is waited for, not sampled once.
  WAIT_LIMIT=10 wait_until archive_fs_full || fail "the archive filesystem could not be filled"
  still_processing "archive filesystem full"
  no_archive_growth_for 2
  stop_filler
  step "enlarging the filesystem"
  mount -o remount,size=8m "$ARCHIVE"
  archive_resumes "after the filesystem was enlarged"
  still_processing "after the filesystem was enlarged"
  finish yes
  said_once_each "full disk"
  ;;
read-only)
  seed_one
  run_unprivileged
  start_recorder
  recorder_ready || true
  started_recording || true
  step "archive folder read-only"
  chmod 0555 "$ARCHIVE"
  sleep 0.5
  no_archive_growth_for 2
  still_processing "archive folder read-only"
  step "archive folder writable again"
  chmod 0755 "$ARCHIVE"
  archive_resumes "after the folder became writable"
  finish yes
  said_once_each "read-only folder"
  ;;
deleted-folder)
  seed_one
  start_recorder
  recorder_ready || true
  started_recording || true
  step "archive folder deleted"
  # One rename takes the folder away at once; removing it in place could race
  # the recorder creating a temporary file in it (rm then fails on ENOTEMPTY).
  mv "$ARCHIVE" "$SANDBOX/gone"
  rm -rf "$SANDBOX/gone" 2>/dev/null || true
  step "the recorder makes it again at its next save"
  WAIT_LIMIT=20 wait_until archive_at_least 3 || fail "no archive images after the folder was deleted"
  still_processing "archive folder deleted"
  finish yes
  ;;
missing-folder)
  # Settings as a script writes them: folders named, never made.
  seed_one
  STATIC="$HOME/Cameras/never/made/Cam1A.jpg"
  rmdir "$ARCHIVE"
  reg_write_key "$(camera_key A)" \
    "\"MuxerInputs\"=$(reg_le32 1)" \
    "\"EnableStaticSave\"=$(reg_le32 1)" \
    "\"EnableArchving\"=$(reg_le32 1)" \
    "\"StaticPathFile\"=\"$STATIC\"" \
    "\"ArchivePath\"=\"$ARCHIVE/\"" \
    "\"Minutes\"=$(reg_le32 1)"
  start_recorder
  recorder_ready || true
  step "static file and archive in folders that do not exist"
  started_recording || true
  still_processing "folders made by the recorder"
  finish yes
  ;;
outside-removal)
  seed_one
  # 570 older images already in the archive: with 600 allowed (one minute at
  # 100 ms) the recorder deletes one image for every new one within seconds.
  prefill_archive 570 2000
  start_recorder
  recorder_ready || true
  started_recording || true
  WAIT_LIMIT=30 wait_until archive_at_least 600 || fail "the archive never reached its retention"
  step "all but the newest 60 images removed by hand"
  mapfile -t names < <(archive_names_oldest_first)
  for ((i = 0; i < ${#names[@]} - 60; i++)); do rm -f "$ARCHIVE/${names[i]}"; done
  left="$(archive_count A)"
  # The archive grows back, one image per save, instead of losing every new one.
  samples=() lowest="$left"
  grew_back() {
    local n; n="$(archive_count A)"
    samples+=("$n"); [ "$n" -lt "$lowest" ] && lowest="$n"
    [ "$n" -ge $((left + 30)) ]
  }
  WAIT_LIMIT=30 wait_until grew_back || fail "the archive did not grow back after the removal (samples: ${samples[*]:0:40} ...)"
  echo "images after the removal, every 0.1 s: ${samples[*]:0:80}"
  [ "$lowest" -ge $((left - 5)) ] || fail "images were deleted after the removal: $left left, $lowest at the lowest"
  still_processing "after the removal"
  finish yes
  ;;
garbled-settings)
  seed_one
  process="$(reg_key_folder "$SETTINGS_KEY")/values.reg"
  camera="$(reg_key_folder "$(camera_key A)")/values.reg"
  step "process key cut mid-line, camera key with garbage lines between good ones"
  head -c 150 "$process" >"$process.cut" && mv "$process.cut" "$process"
  {
    head -n 4 "$camera"
    printf '"Broken"=hex:zz,\x01\x02\n\xff\xfe garbage line\n"Half'
    printf '\n'
    tail -n +5 "$camera"
  } >"$camera.bad" && mv "$camera.bad" "$camera"
  # A temporary file left by a crash in the middle of a save.
  printf 'leftover' >"$(dirname "$camera")/.values.reg.999.1.tmp"
  SETTINGS_IGNORE=".values.reg.999.1.tmp"
  step "camera B's key with \\r\\r\\n line ends; C's of 17 MB, D's without its header, E's mostly garbage"
  reg_write_key "$(camera_key B)" "\"Minutes\"=$(reg_le32 7)" "\"JpegQuality\"=$(reg_le32 33)"
  sed -i 's/$/\r\r/' "$(reg_key_folder "$(camera_key B)")/values.reg"
  reg_write_key "$(camera_key C)" "\"Minutes\"=$(reg_le32 8)"
  (yes '"Note"="seventeen megabytes of one value"' || true) | head -n 480000 \
    >>"$(reg_key_folder "$(camera_key C)")/values.reg"
  reg_write_key "$(camera_key D)" "\"Minutes\"=$(reg_le32 9)"
  sed -i 1d "$(reg_key_folder "$(camera_key D)")/values.reg"
  reg_write_key "$(camera_key E)" "\"Minutes\"=$(reg_le32 10)" "garbage" "\"Bad\"=hex:zz"
  for letter in C D E; do cp "$(reg_key_folder "$(camera_key $letter)")/values.reg" "$SANDBOX/original-$letter"; done
  start_recorder
  recorder_ready || true
  sleep 3 # it reads its settings after taking the lock: give it time on them
  recorder_alive || fail "the recorder died on garbled settings"
  finish no
  # The good values of every readable key were saved back; only C, D and E
  # were kept aside, and that was said once, also after a second run.
  keys_as_expected() { # run
    [ "$(reg_read_le32 "$(camera_key A)" Minutes)" = 1 ] ||
      fail "$1 run: camera A's values around its garbage lines were lost"
    [ "$(reg_read_le32 "$(camera_key B)" Minutes)" = 7 ] && [ "$(reg_read_le32 "$(camera_key B)" JpegQuality)" = 33 ] ||
      fail "$1 run: camera B's values with \\r\\r\\n line ends were lost"
    [ -z "$(find "$(reg_key_folder "$SETTINGS_KEY")" "$(reg_key_folder "$(camera_key A)")" \
      "$(reg_key_folder "$(camera_key B)")" -name '*unreadable*')" ] || fail "$1 run: a readable key file was kept aside"
    kept_aside_once C D E
  }
  keys_as_expected first
  step "a second start on the settings the first one saved"
  start_recorder
  recorder_ready || true
  sleep 3
  recorder_alive || fail "the recorder died on its own saved settings"
  finish no
  keys_as_expected second
  ;;
read-only-settings)
  seed_one
  run_unprivileged
  keys="$VISTREL_REGISTRY/HKEY_LOCAL_MACHINE"
  start_recorder
  recorder_ready || true
  started_recording || true
  step "settings keys made read-only while recording; the save at exit fails"
  find "$keys" -type d -exec chmod 0555 {} +
  sums_before="$(find "$keys" -type f -exec md5sum {} + | sort)"
  status=0
  stop_recorder 60 || status=$?
  [ "$status" -eq 1 ] || fail "the recorder exited with status $status after its settings save failed, not 1"
  [ "$(log_lines 'Vistrel 1: settings not saved: .*: Permission denied')" -eq 1 ] ||
    fail "the failed settings save was not said once on standard error"
  [ "$(find "$keys" -type f -exec md5sum {} + | sort)" = "$sums_before" ] || fail "a read-only key file changed"
  step "keys writable again: the next exit saves"
  find "$keys" -type d -exec chmod 0755 {} +
  said="$(log_lines 'settings not saved')"
  start_recorder
  recorder_ready || true
  still_processing "after the keys became writable"
  finish yes
  [ "$(log_lines 'settings not saved')" -eq "$said" ] || fail "a save to writable keys was said to fail"
  ;;
clock-back-small|clock-back-large)
  offset_file="$SANDBOX/faketime"
  fake_clock "$offset_file"
  # Small: back 60 s with two minutes kept, so the images from before the
  # step are still the newest footage. Large: back an hour with one minute kept.
  if [ "$NAME" = clock-back-small ]; then minutes=2 back=60; else minutes=1 back=3600; fi
  kept=$((minutes * 600))
  seed_recorder A 100 "$minutes"
  # Older images, thirty short of the retention: the recorder starts deleting
  # within a few seconds, once it has saved thirty of its own.
  prefill_archive $((kept - 30)) 5000
  echo "+0" >"$offset_file"
  start_recorder
  recorder_ready || true
  started_recording || true
  WAIT_LIMIT=30 wait_until archive_at_least "$kept" || fail "the archive never reached its retention"
  # The images of the last 20 s before the step: what someone looks for.
  step_time="$(date +%s)"
  mapfile -t recent < <(archive_names_oldest_first | awk -v t="$step_time" '{ s = substr($0, 1, 10) + 0; if (s >= t - 20) print }')
  [ "${#recent[@]}" -ge 10 ] || fail "too few images before the clock step (${#recent[@]})"
  step "clock stepped back $back s, $minutes min kept"
  echo "-$back" >"$offset_file"
  # The order of deletion is settled when the folder is listed: at start, as
  # after a power cut that the clock correction came with.
  step "recorder restarted on the stepped clock"
  stop_recorder_cleanly
  start_recorder
  recorder_ready || true
  mapfile -t before_step < <(archive_names_oldest_first)
  # Thirty deletions after the step, then see which images went.
  WAIT_LIMIT=30 wait_until at_least_gone 30 "${before_step[@]}" || fail "fewer than 30 images deleted after the step"
  recent_gone="$(gone_count "${recent[@]}")"
  echo "images of the last 20 s before the step deleted: $recent_gone of ${#recent[@]}"
  if [ "$NAME" = clock-back-small ]; then
    [ "$recent_gone" -eq 0 ] || fail "retention deleted $recent_gone of the ${#recent[@]} newest images from before the step"
  fi
  # Images named after the step carry times $back s back: the newest images.
  mapfile -t after_step < <(cd "$ARCHIVE" && ls | awk -v t="$((step_time - back))" '{ s = substr($0, 1, 10) + 0; if (s >= t - 5 && s <= t + 60) print }')
  [ "${#after_step[@]}" -ge 10 ] || fail "too few images after the clock step (${#after_step[@]})"
  WAIT_LIMIT=30 wait_until at_least_gone 60 "${before_step[@]}" || fail "fewer than 60 images deleted after the step"
  [ "$(gone_count "${after_step[@]}")" -eq 0 ] || fail "retention deleted images saved after the step"
  still_processing "after the clock step"
  finish yes
  ;;
full-disk-static)
  statics="$HOME/Cameras/static"
  STATIC="$statics/Cam1A.jpg"
  mkdir -p "$statics"
  if ! mount -t tmpfs -o size=64k,nr_inodes=16,mode=0755 tmpfs "$statics" 2>/dev/null; then
    echo "SKIPPED: mounting a tmpfs is not allowed here (needs root and mount rights)"
    exit 77
  fi
  MOUNTED="$statics"
  seed_recorder A 100 1 "$statics"
  # The last good picture (a small whole JPEG) with neither a page nor an
  # inode left beside it: no temporary can be made, and a new picture
  # written over it would not fit.
  printf '\xff\xd8\xff\xd9' >"$STATIC"
  cp "$STATIC" "$SANDBOX/last-good.jpg"
  cat /dev/zero >"$statics/filler.bin" 2>/dev/null || true
  i=0
  while touch "$statics/inode$i" 2>/dev/null; do i=$((i + 1)); done
  start_recorder
  recorder_ready || true
  step "static file on a filesystem with no room left"
  WAIT_LIMIT=30 wait_until archive_at_least 3 || fail "no archive images after start"
  WAIT_LIMIT=10 wait_until logged 'camera A cannot update its static file: ' || fail "the static file's failure was not said"
  # Ten more frames, each a save of the static file that cannot be made.
  before="$(archive_count A)"
  WAIT_LIMIT=20 wait_until archive_above $((before + 10)) || fail "the recorder stopped saving archive images"
  cmp -s "$STATIC" "$SANDBOX/last-good.jpg" || fail "the last good static picture was overwritten on a full filesystem"
  jpeg_whole "$STATIC" || fail "the static file is not a whole JPEG on a full filesystem"
  step "enlarging the filesystem"
  mount -o remount,size=8m,nr_inodes=1024 "$statics"
  still_processing "after the filesystem was enlarged"
  finish yes
  said_once_each "full disk under the static file" static
  ;;
stray-entries)
  seed_one # 600 images kept
  now="$(date +%s)"
  # 600 folders and links named like images, older than any image: no
  # images, so they neither count toward the 600 nor are ever deleted. The
  # links point to files outside the folder (made in one go by cp -s, which
  # names each link as its target) and to /etc/passwd.
  strays=()
  for ((i = 0; i < 600; i++)); do strays+=("$((now - 9000 + i))0-Cam1A.jpg"); done
  (cd "$ARCHIVE" && mkdir -- "${strays[@]:0:300}")
  mkdir "$SANDBOX/outside"
  for name in "${strays[@]:300:295}"; do printf '\xff\xd8\xff\xd9' >"$SANDBOX/outside/$name"; done
  cp -s "$SANDBOX/outside/"* "$ARCHIVE/"
  for name in "${strays[@]:595}"; do ln -s /etc/passwd "$ARCHIVE/$name"; done
  # Twenty whole images, then what a power cut left of the three newest:
  # renamed into place with no data, with the size but not the data, cut short.
  whole=()
  for ((i = 0; i < 20; i++)); do
    whole+=("$((now - 100 + i))0-Cam1A.jpg")
    printf '\xff\xd8\xff\xd9' >"$ARCHIVE/${whole[i]}"
  done
  torn=("$((now - 10))0-Cam1A.jpg" "$((now - 9))0-Cam1A.jpg" "$((now - 8))0-Cam1A.jpg")
  : >"$ARCHIVE/${torn[0]}"
  head -c 6000 /dev/zero >"$ARCHIVE/${torn[1]}"
  { printf '\xff\xd8\xff\xe0'; head -c 5000 /dev/zero | tr '\0' 'U'; } >"$ARCHIVE/${torn[2]}"
  start_recorder
  recorder_ready || true
  step "torn images removed at start; folders and links left alone"
  WAIT_LIMIT=20 wait_until at_least_gone 3 "${torn[@]}" || fail "images a power cut left torn are still there"
  WAIT_LIMIT=30 wait_until archive_at_least 60 || fail "the archive does not grow: $(archive_count A) images"
  [ "$(gone_count "${whole[@]}")" -eq 0 ] || fail "whole images were deleted with the archive below its retention"
  left=0
  for name in "${strays[@]}"; do [ -e "$ARCHIVE/$name" ] || [ -L "$ARCHIVE/$name" ] && left=$((left + 1)); done
  [ "$left" -eq 600 ] || fail "$((600 - left)) of the folders and links named like images went"
  [ "$(ls "$SANDBOX/outside" | wc -l)" -eq 295 ] || fail "targets of links were deleted"
  still_processing "among folders and links"
  finish yes
  ;;
clock-1970)
  # A board without a real-time clock, a day and 13600 s after its clock
  # started at 1970: times of six digits, and the images of the seconds
  # before with five.
  start=100000
  offset_file="$SANDBOX/faketime"
  fake_clock "$offset_file"
  echo "$((start - $(date +%s)))" >"$offset_file"
  seed_recorder A 200 1 # 300 images kept
  old=()
  for ((i = 0; i < 285; i++)); do
    old+=("$((start - 285 + i))0-Cam1A.jpg")
    printf '\xff\xd8\xff\xd9' >"$ARCHIVE/${old[i]}"
  done
  # Names of seven digits and more: the recorder's own.
  own_names() { ls "$ARCHIVE" | awk '/-Cam1A\.jpg$/ && index($0, "-") > 7'; }
  own_at_least() { [ "$(own_names | wc -l)" -ge "$1" ]; }
  start_recorder
  recorder_ready || true
  step "recording on a clock at 1970"
  WAIT_LIMIT=30 wait_until own_at_least 10 || fail "the recorder saved no images on a clock at 1970"
  # The order of deletion is settled when the folder is listed: at start.
  step "recorder restarted with its own images in the folder"
  stop_recorder_cleanly
  mapfile -t own < <(own_names)
  start_recorder
  recorder_ready || true
  WAIT_LIMIT=30 wait_until at_least_gone 20 "${old[@]}" "${own[@]}" || fail "fewer than 20 images deleted"
  [ "$(gone_count "${own[@]}")" -eq 0 ] || fail "the recorder's own images were deleted before older ones"
  # Oldest first: what is left of the older images is their newest part.
  mapfile -t present < <(ls "$ARCHIVE")
  declare -A here=()
  for name in "${present[@]}"; do here["$name"]=1; done
  seen=""
  for name in "${old[@]}"; do
    if [ -n "${here[$name]:-}" ]; then seen=1; elif [ -n "$seen" ]; then fail "$name deleted before older images"; break; fi
  done
  still_processing "on a clock at 1970"
  finish yes
  ;;
floor-fill)
  mount_cameras 4m
  seed_recorder A 100 10 # a retention that deletes nothing here: only the floor does
  seed_floor 1
  now="$(date +%s)"
  # Files the recorder did not write, older than any image of its own: a
  # link named like an image to a file outside, an image-named file in a
  # subfolder, and a name of the pattern that the recorder never makes.
  mkdir -p "$SANDBOX/outside" "$ARCHIVE/sub"
  link_name="$((now - 5000))0-Cam1A.jpg"
  small_jpeg "$SANDBOX/outside/target.jpg"
  ln -s "$SANDBOX/outside/target.jpg" "$ARCHIVE/$link_name"
  sub_name="$((now - 5001))0-Cam1A.jpg"
  small_jpeg "$ARCHIVE/sub/$sub_name"
  odd_name="0$((now - 5002))0-Cam1A.jpg"
  small_jpeg "$ARCHIVE/$odd_name"
  # 1.2 MB of older images, as an earlier run saved them.
  for ((i = 0; i < 300; i++)); do small_jpeg "$ARCHIVE/$((now - 2000 + i))0-Cam1A.jpg" 4096; done
  start_recorder
  recorder_ready || true
  started_recording || true
  step "recording into a 4 MB filesystem with a floor of 1 MB"
  WAIT_LIMIT=30 wait_until archive_at_least 330 || fail "the archive did not grow"
  # The oldest image of ours is also kept (as the review window's Keep does).
  mapfile -t before_fill < <(archive_names_oldest_first | grep -v -e "^$link_name\$" -e "^$odd_name\$")
  mkdir -p "$ARCHIVE/Kept"
  ln "$ARCHIVE/${before_fill[0]}" "$ARCHIVE/Kept/${before_fill[0]}"
  images_before="$(archive_count A)"
  step "another program fills the filesystem ($images_before images, $(archive_bytes A) bytes of archive)"
  fill_with_outside "$HOME/Cameras/outside.bin"
  outside_size="$(stat -c %s "$HOME/Cameras/outside.bin")"
  filled_at="$(date +%s)"
  # Room comes back as the oldest images go; then recording goes on.
  room_again() { [ "$(cameras_avail_kb)" -ge 512 ]; }
  WAIT_LIMIT=20 wait_until room_again || fail "no room was made: $(cameras_avail_kb) kB free"
  newer_than_fill() { archive_names_oldest_first | awk -v t="$filled_at" '{ if (substr($0, 1, 10) + 0 > t + 1) n++ } END { exit !(n >= 30) }'; }
  WAIT_LIMIT=30 wait_until newer_than_fill || fail "recording did not go on after the filesystem was filled"
  images_after="$(archive_count A)"
  echo "images kept: $images_before before the filesystem was filled, $images_after after"
  # Oldest first: what went is the oldest part of what was there.
  mapfile -t present < <(ls "$ARCHIVE")
  declare -A here=()
  for name in "${present[@]}"; do here["$name"]=1; done
  seen="" went=0
  for name in "${before_fill[@]}"; do
    if [ -n "${here[$name]:-}" ]; then seen=1; elif [ -n "$seen" ]; then fail "$name deleted before older images"; break; else went=$((went + 1)); fi
  done
  [ "$went" -gt 0 ] || fail "no image was deleted to make room"
  [ "$(stat -c %s "$HOME/Cameras/outside.bin")" = "$outside_size" ] || fail "the outside file changed"
  [ -L "$ARCHIVE/$link_name" ] || fail "the link named like an image was deleted"
  [ -e "$SANDBOX/outside/target.jpg" ] || fail "the link's target was deleted"
  [ -e "$ARCHIVE/sub/$sub_name" ] || fail "the image-named file in a subfolder was deleted"
  [ -e "$ARCHIVE/$odd_name" ] || fail "a name the recorder never makes was deleted"
  [ -e "$ARCHIVE/Kept/${before_fill[0]}" ] || fail "the kept image was deleted"
  [ "$(log_lines 'is not recording')" -eq 0 ] || fail "the camera stopped recording although room could be made"
  [ "$(log_lines 'deleting archive images beyond their retention')" -eq 1 ] ||
    fail "the floor deleting beyond the retention was not said once"
  still_processing "after the filesystem was filled"
  finish yes
  ;;
floor-none-left)
  mount_cameras 4m
  seed_one
  seed_floor 3 # more than the recorder's images can ever give back
  start_recorder
  recorder_ready || true
  started_recording || true
  step "another program fills a 4 MB filesystem kept 3 MB free"
  fill_with_outside "$HOME/Cameras/outside.bin"
  WAIT_LIMIT=20 wait_until logged 'camera A is not recording: disk full: [0-9]* MB free, floor 3 MB' ||
    fail "the camera was not said to stop recording with the disk full"
  WAIT_LIMIT=20 wait_until test "$(archive_count A)" -eq 0 || fail "images of ours were left with the disk below its floor"
  no_archive_growth_for 2
  still_processing "nothing of ours left to delete"
  step "the other program's file removed"
  rm -f "$HOME/Cameras/outside.bin"
  WAIT_LIMIT=10 wait_until archive_at_least 5 || fail "recording did not resume once there was room"
  WAIT_LIMIT=10 wait_until logged 'camera A is recording again' || fail "recording again was not said"
  finish yes
  said_once_each "nothing left to delete"
  ;;
floor-two-instances)
  mount_cameras 4m
  seed_one
  seed_floor 1
  # Another program's 2 MB: what is left above the floor fills in seconds.
  head -c $((2 * 1024 * 1024)) /dev/zero >"$HOME/Cameras/outside.bin"
  # Instance 2: the same camera settings under its own keys and folders.
  for key in Settings MuxedCamA; do
    src="$(reg_key_folder "Software\\Tallow Software\\Vistrel\\Camera1\\$key")"
    dst="$(reg_key_folder "Software\\Tallow Software\\Vistrel\\Camera2\\$key")"
    mkdir -p "$dst"
    sed -e 's/\\Camera1\\/\\Camera2\\/' -e 's/Camera1A/Camera2A/' -e 's/Cam1A/Cam2A/' "$src/values.reg" >"$dst/values.reg"
  done
  mkdir -p "$HOME/Cameras/Camera2A"
  start_recorder
  recorder_ready || true
  FIRST_PID="$RECORDER_PID"
  start_recorder
  SECOND_PID="$RECORDER_PID"
  RECORDER_PID="$FIRST_PID"
  count2() { { find "$HOME/Cameras/Camera2A" -maxdepth 1 -type f -name '*-Cam2A.jpg' 2>/dev/null || true; } | wc -l; }
  step "two instances on a 4 MB filesystem, each keeping 1 MB free"
  below_floor_reached() { [ "$(cameras_avail_kb)" -le 1300 ]; }
  WAIT_LIMIT=60 wait_until below_floor_reached || fail "the filesystem never came near the floor: $(cameras_avail_kb) kB free"
  # Both keep recording at the floor for ten seconds, in which they write
  # more than was left: new images keep coming for each, and the floor holds.
  newest() { ls "$1" 2>/dev/null | grep -e "$2" | sort | tail -1; }
  n1="$(newest "$ARCHIVE" -Cam1A.jpg)" n2="$(newest "$HOME/Cameras/Camera2A" -Cam2A.jpg)"
  lowest="$(cameras_avail_kb)"
  for ((i = 0; i < 100; i++)); do
    avail="$(cameras_avail_kb)"
    [ "$avail" -lt "$lowest" ] && lowest="$avail"
    sleep 0.1
  done
  [ "$lowest" -ge 700 ] || fail "the floor of 1 MB did not hold: $lowest kB free at the lowest"
  [ "$(newest "$ARCHIVE" -Cam1A.jpg)" \> "$n1" ] || fail "instance 1 stopped recording at the floor"
  [ "$(newest "$HOME/Cameras/Camera2A" -Cam2A.jpg)" \> "$n2" ] || fail "instance 2 stopped recording at the floor"
  echo "at the floor: $(archive_count A) images of instance 1, $(count2) of instance 2, $(cameras_avail_kb) kB free"
  [ "$(count2)" -ge 20 ] && [ "$(archive_count A)" -ge 20 ] || fail "an instance kept almost nothing"
  [ "$(log_lines 'is not recording')" -eq 0 ] || fail "a camera stopped recording"
  kill -TERM "$SECOND_PID" 2>/dev/null
  wait "$SECOND_PID" || fail "instance 2 exited with status $?"
  SECOND_PID=""
  finish yes
  ;;
floor-cap)
  seed_one
  printf '"MaxArchiveMB"=%s\n' "$(reg_le32 1)" >>"$(reg_key_folder "$(camera_key A)")/values.reg"
  # 300 older images of 10 kB: 3 MB, three times the cap.
  now="$(date +%s)"
  for ((i = 0; i < 300; i++)); do small_jpeg "$ARCHIVE/$((now - 1000 + i))0-Cam1A.jpg" 10240; done
  newest_old="$((now - 1000 + 299))0-Cam1A.jpg"
  start_recorder
  recorder_ready || true
  step "a 3 MB archive capped at 1 MB"
  under_cap() { [ "$(archive_bytes A)" -le $((1024 * 1024)) ]; }
  WAIT_LIMIT=20 wait_until under_cap || fail "the archive was not brought under its cap: $(archive_bytes A) bytes"
  [ -e "$ARCHIVE/$newest_old" ] || fail "the newest of the older images went before older ones"
  started_recording || true
  # Recording on, it stays under the cap, but for the images of the last tick.
  for ((i = 0; i < 20; i++)); do
    bytes="$(archive_bytes A)"
    [ "$bytes" -le $((1024 * 1024 + 64 * 1024)) ] || { fail "the archive grew over its cap: $bytes bytes"; break; }
    sleep 0.1
  done
  still_processing "under the cap"
  finish yes
  ;;
*)
  echo "unknown fault run: $NAME" >&2
  exit 2
  ;;
esac

report_run "FAULT RUN $NAME FAILED" "fault run $NAME passed"
