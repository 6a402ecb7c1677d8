#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs the built recorder for DURATION seconds (default 60) on the offscreen
# platform, in its own temporary settings, home and runtime folders, on the
# test-pattern device: four multiplexed cameras A to D at 100 ms, overlay,
# static saving and archiving on, one-minute retention. Samples the process
# every few seconds, stops it with SIGTERM and checks:
#   - the process lived to the end and exited with status 0;
#   - each camera's "LastArchiveSize" equals its archive files on disk;
#   - no final JPEG is partial, and no temporary file is left behind;
#   - resident memory grew by at most RSS_BOUND_KB (default 16384) and open
#     descriptors by at most FD_BOUND (default 4) after the warm-up sample.
# Prints images written per camera, memory and descriptors at start and end,
# and CPU seconds per saved image. VISTREL_BIN names the program to run;
# without it the program is built first.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
DURATION="${1:-60}"
RSS_BOUND_KB="${RSS_BOUND_KB:-16384}"
FD_BOUND="${FD_BOUND:-4}"
SAMPLE_SECONDS="${SAMPLE_SECONDS:-3}"

source "$here/lib/recorder.sh"
recorder_binary

recorder_sandbox
# Runs on every exit, a passed run's too: nothing here may fail the run.
trap 'kill_recorder; rm -rf "$SANDBOX" 2>/dev/null || true' EXIT
letters=ABCD
seed_recorder "$letters" 100 1

declare -A seen=() # every archive name seen in any sample: images written
note_archives() {
  local f
  for f in "$HOME"/Cameras/Camera1?/*-Cam1?.jpg; do
    [ -e "$f" ] && seen["$f"]=1
  done
  return 0
}

start_recorder
recorder_ready || true # the first sample shows the recorder running, not the bare fork
start_ticks=""; start_rss=""; start_fds=""; start_seen=0
warm_rss=""; warm_fds=""
end_rss=""; end_fds=""; end_ticks=""
t0=$SECONDS
warmup=$(( DURATION / 4 < 10 ? DURATION / 4 : 10 ))
while [ $((SECONDS - t0)) -lt "$DURATION" ]; do
  if ! recorder_alive; then
    fail "the recorder died after $((SECONDS - t0)) s"
    break
  fi
  rss="$(proc_rss_kb "$RECORDER_PID")"; fds="$(proc_fds "$RECORDER_PID")"; ticks="$(proc_cpu_ticks "$RECORDER_PID")"
  first=""; [ -z "$start_rss" ] && { first=1; start_rss=$rss; start_fds=$fds; start_ticks=$ticks; }
  if [ -z "$warm_rss" ] && [ $((SECONDS - t0)) -ge "$warmup" ]; then warm_rss=$rss; warm_fds=$fds; fi
  end_rss=$rss; end_fds=$fds; end_ticks=$ticks
  note_archives
  # CPU is measured from this first sample on: so are the images it is shared by.
  [ -n "$first" ] && start_seen=${#seen[@]}
  sleep "$SAMPLE_SECONDS"
done

if recorder_alive; then
  end_ticks="$(proc_cpu_ticks "$RECORDER_PID")" # up to the stop, as the images counted
  stop_recorder_cleanly
fi
note_archives

hz="$(getconf CLK_TCK)"
total_written=0
echo "Soak of $DURATION s, four multiplexed cameras at 100 ms, one-minute retention"
for ((i = 0; i < ${#letters}; i++)); do
  L="${letters:i:1}"
  written=0
  for f in "${!seen[@]}"; do [[ "$f" == *"-Cam1$L.jpg" ]] && written=$((written + 1)); done
  total_written=$((total_written + written))
  on_disk="$(archive_count "$L")"
  saved="$(reg_read_le32 "$(camera_key "$L")" LastArchiveSize)"
  echo "camera $L: $written archive images written, $on_disk on disk, LastArchiveSize ${saved:-missing}"
  [ "$written" -gt 0 ] || fail "camera $L wrote no archive image"
  check_archive_size "$L"
  jpeg_whole "$HOME/Cameras/Cam1$L.jpg" || fail "camera $L: the static file is missing or not a whole JPEG"
done

check_saved_images

echo "resident memory: ${start_rss:-?} kB at start, ${warm_rss:-?} kB after warm-up, ${end_rss:-?} kB at end (bound +$RSS_BOUND_KB kB)"
echo "open descriptors: ${start_fds:-?} at start, ${warm_fds:-?} after warm-up, ${end_fds:-?} at end (bound +$FD_BOUND)"
if [ -n "$warm_rss" ] && [ -n "$end_rss" ]; then
  [ $((end_rss - warm_rss)) -le "$RSS_BOUND_KB" ] || fail "resident memory grew by $((end_rss - warm_rss)) kB"
  [ $((end_fds - warm_fds)) -le "$FD_BOUND" ] || fail "open descriptors grew by $((end_fds - warm_fds))"
fi
span_written=$((total_written - start_seen))
if [ "$span_written" -gt 0 ] && [ -n "$end_ticks" ]; then
  cpu_s="$(awk -v t=$((end_ticks - start_ticks)) -v hz="$hz" 'BEGIN {printf "%.2f", t / hz}')"
  per_image="$(awk -v t=$((end_ticks - start_ticks)) -v hz="$hz" -v n="$span_written" 'BEGIN {printf "%.6f", t / hz / n}')"
  echo "CPU: $cpu_s s for $span_written saved frames (static and archive), $per_image s per frame"
  bench="$(dirname "$VISTREL_BIN")/bench/road_bench"
  if [ -x "$bench" ]; then
    bare="$("$bench" --benchmark_filter='BM_BareEncode/320/240$' 2>/dev/null \
            | awk '$1 == "BM_BareEncode/320/240" { print $4 * ($5 == "ns" ? 1e-9 : $5 == "us" ? 1e-6 : $5 == "ms" ? 1e-3 : 1) }' | head -1 || true)"
    if [ -n "$bare" ]; then
      awk -v p="$per_image" -v b="$bare" 'BEGIN {printf "one bare libjpeg-turbo encode of a 320x240 frame: %.6f s CPU; a soak frame costs %.1fx that\n", b, p / b}'
    fi
  fi
fi

report_run "SOAK FAILED" "soak passed"
