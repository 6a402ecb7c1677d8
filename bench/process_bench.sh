#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The whole recorder process against the road of its frames, in one run.
# Runs the built recorder on the offscreen platform with the test-pattern
# device, in a private sandbox, for SPAN seconds (default 40) per scenario,
# after a warm-up of WARMUP seconds (default 5):
#   a  one camera, 640x480, saving every 100 ms: overlay, static file, archive
#   b  four multiplexed cameras at 100 ms, 320x240, the same saving
#   c  one camera, 1920x1080, saving once a second, window hidden (-m)
#   e  scenario a twice in one run: events all off (no hook, no MQTT, the
#      event log unusable) and all on (a hook run for every edge, MQTT to a
#      mosquitto broker on loopback, the log), with the CPU per saved frame
#      of both and their ratio
#   w  scenario a with the web server on: the same run with 0, 1 and 20
#      clients streaming camera A's MJPEG (bench/web_load.py), then the
#      requests per second for latest.jpg (Debian's wrk, installed here when
#      missing, with 8 connections for 10 s)
#   v  scenario a on a real driver: the kernel's vivid in the virtual
#      machine of scripts/vivid.sh, its webcam input in YUYV ("640x480 16
#      bit"), against the test pattern in the same format and the road, all
#      measured in that machine (emulated, so only the ratios mean much)
# and prints the process's CPU time per saved frame next to road_bench's
# whole road of one frame of the same size, with their ratios: the road in a
# tight loop (median of three repetitions, caches warm) and the road paced at
# 100 ms a frame (caches cold, as in the recorder); for c also the CPU per
# second as a share of one core.
# Scenario names on the command line choose which run (default: a b c).
# VISTREL_BIN names the program (default build/vistrel, built first);
# road_bench is taken from beside it. Files go under TMPDIR when set, else
# /dev/shm, as road_bench's do, so both pay the same file system.
# Prints figures only: it fails only when a run itself fails.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
SPAN="${SPAN:-40}"
WARMUP="${WARMUP:-5}"
scenarios=("$@")
[ ${#scenarios[@]} -gt 0 ] || scenarios=(a b c)

source "$here/../scripts/lib/recorder.sh"
recorder_binary
road="$(dirname "$VISTREL_BIN")/bench/road_bench"
[ -x "$road" ] || { echo "no road_bench beside $VISTREL_BIN (build the benchmarks)" >&2; exit 1; }
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ]; then export TMPDIR=/dev/shm; fi
hz="$(getconf CLK_TCK)"

# CPU time of one frame's road at WIDTHxHEIGHT in ms: the median of three
# runs of the road in a tight loop, then the road at 100 ms a frame.
road_ms() {
  "$road" --benchmark_filter="BM_FrameRoad(Paced)?/$1/$2(/|\$)" --benchmark_repetitions=3 \
    --benchmark_report_aggregates_only=true 2>/dev/null |
    awk -v hot="BM_FrameRoad/$1/$2_median" -v paced="BM_FrameRoadPaced/$1/$2/iterations:50_median" '
      function ms(v, unit) { return v * (unit == "ns" ? 1e-6 : unit == "us" ? 1e-3 : unit == "ms" ? 1 : 1000) }
      $1 == hot { h = ms($4, $5) } $1 == paced { p = ms($4, $5) } END { print h, p }'
}

# Seeds instance 1 for cameras $1 (letters) at $2 ms in format $3, each
# saving static and archive images with the overlay on, keeping an hour.
seed() {
  local letters="$1" speed="$2" format="$3" mux=0 view=1 i L
  [ ${#letters} -gt 1 ] && { mux=1; view=4; }
  reg_write_key "$SETTINGS_KEY" \
    "\"CamView\"=$(reg_le32 $view)" "\"Device\"=$(reg_le32 0)" "\"InputPin\"=$(reg_le32 0)" \
    "\"VideoFormat\"=\"$format\"" "\"VideoOn\"=$(reg_le32 1)" "\"MuxerSpeed\"=$(reg_le32 "$speed")" \
    "\"EnableMux\"=$(reg_le32 $mux)" "\"SaveEvery\"=$(reg_le32 "$speed")"
  for ((i = 0; i < ${#letters}; i++)); do
    L="${letters:i:1}"
    reg_write_key "$(camera_key "$L")" \
      "\"MuxerInputs\"=$(reg_le32 1)" "\"EnableOverlay\"=$(reg_le32 1)" \
      "\"EnableStaticSave\"=$(reg_le32 1)" "\"EnableArchving\"=$(reg_le32 1)" \
      "\"StaticPathFile\"=\"$HOME/Cameras/Cam1$L.jpg\"" "\"ArchivePath\"=\"$HOME/Cameras/Camera1$L/\"" \
      "\"Days\"=$(reg_le32 0)" "\"Hours\"=$(reg_le32 1)" "\"Minutes\"=$(reg_le32 0)"
    mkdir -p "$HOME/Cameras/Camera1$L"
  done
}

# The events of scenario e: EVENTS=on sets a hook for every edge and a
# broker; otherwise the event log is made unusable, so nothing is kept.
events_setup() {
  if [ "${EVENTS:-}" != on ]; then
    mkdir -p "$VISTREL_REGISTRY/events-1.sqlite" # a folder where the log would be
    return 0
  fi
  local port
  port="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
  printf 'listener %s 127.0.0.1\nallow_anonymous true\n' "$port" >"$SANDBOX/mosquitto.conf"
  [ "$(id -u)" = 0 ] && printf 'user root\n' >>"$SANDBOX/mosquitto.conf"
  mosquitto -c "$SANDBOX/mosquitto.conf" >>"$SANDBOX/mosquitto.log" 2>&1 &
  BROKER_PID=$!
  reg_write_key 'Software\Tallow Software\Vistrel\Camera1\Events' \
    '"MqttHost"="127.0.0.1"' "\"MqttPort\"=$(reg_le32 "$port")" '"Hook"="/bin/true %c %e %f"' \
    '"HookEvents"="motion-start,motion-end,camera-lost,camera-back,fault-start,fault-end,recorder-start,recorder-exit"'
}
events_teardown() {
  [ -n "${BROKER_PID:-}" ] || return 0
  kill -TERM "$BROKER_PID" 2>/dev/null || true
  wait "$BROKER_PID" 2>/dev/null || true
  BROKER_PID=""
}

images() { find "$HOME/Cameras" -name '*-Cam1?.jpg' -type f 2>/dev/null | wc -l; }
some_images() { [ "$(images)" -gt 0 ]; }

# run LETTERS SPEED FORMAT ARGS...: sets cpu_s (process CPU seconds over the
# span), frames (archive images saved in it), rss_kb (at the end).
run() {
  local letters="$1" speed="$2" format="$3"
  shift 3
  recorder_sandbox
  seed "$letters" "$speed" "$format"
  events_setup
  RECORDER_ARGS=("$@")
  "$VISTREL_BIN" "${RECORDER_ARGS[@]}" >>"$SANDBOX/recorder.log" 2>&1 &
  RECORDER_PID=$!
  recorder_ready || true
  WAIT_LIMIT=30 wait_until some_images || fail "no image within 30 s ($letters $format)"
  sleep "$WARMUP"
  local t0 n0 t1 n1
  t0="$(proc_cpu_ticks "$RECORDER_PID")"; n0="$(images)"
  sleep "$SPAN"
  t1="$(proc_cpu_ticks "$RECORDER_PID")"; n1="$(images)"
  rss_kb="$(proc_rss_kb "$RECORDER_PID")"
  recorder_alive || fail "the recorder died ($letters $format)"
  stop_recorder_cleanly
  events_teardown
  [ ${#failures[@]} -eq 0 ] || tail -20 "$SANDBOX/recorder.log"
  cpu_s="$(awk -v t=$((t1 - t0)) -v hz="$hz" 'BEGIN { printf "%.3f", t / hz }')"
  frames=$((n1 - n0))
  rm -rf "$SANDBOX"
}

report() { # label width height
  local hot paced per
  read -r hot paced < <(road_ms "$2" "$3")
  per="$(awk -v c="$cpu_s" -v n="$frames" 'BEGIN { printf "%.3f", (n > 0 ? c * 1000 / n : 0) }')"
  awk -v label="$1" -v n="$frames" -v span="$SPAN" -v cpu="$cpu_s" -v per="$per" -v hot="$hot" -v paced="$paced" -v rss="$rss_kb" 'BEGIN {
    printf "%s: %d frames in %d s, %s s CPU, %s kB resident\n", label, n, span, cpu, rss
    printf "  %.3f ms CPU per saved frame; road %.3f ms in a loop (%.2fx), %.3f ms at 100 ms a frame (%.2fx)\n",
      per, hot, (hot > 0 ? per / hot : 0), paced, (paced > 0 ? per / paced : 0) }'
}

# Scenario w: sets nothing; prints its own lines.
run_web() {
  local user=bench password="bench password" port viewers t0 n0 t1 n1 load per
  recorder_sandbox
  seed A 100 "640x480 24 bit"
  printf '%s\n' "$password" | "$VISTREL_BIN" --web-password >/dev/null 2>&1 || { fail "--web-password failed"; return; }
  port="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
  local web='Software\Tallow Software\Vistrel\Camera1\Web' hash
  hash="$(grep '^"PasswordHash"=' "$(reg_key_folder "$web")/values.reg")"
  reg_write_key "$web" "$hash" '"Enable"=dword:00000001' "\"Port\"=dword:$(printf %08x "$port")" "\"User\"=\"$user\""
  "$VISTREL_BIN" >>"$SANDBOX/recorder.log" 2>&1 &
  RECORDER_PID=$!
  WAIT_LIMIT=30 wait_until some_images || { fail "no image within 30 s (web)"; return; }
  sleep "$WARMUP"
  for viewers in 0 1 20; do
    load=""
    if [ "$viewers" -gt 0 ]; then
      python3 "$here/web_load.py" "$port" "$user" "$password" streams "$viewers" $((SPAN + 2)) >"$SANDBOX/load.out" &
      load=$!
      sleep 1
    fi
    t0="$(proc_cpu_ticks "$RECORDER_PID")"; n0="$(images)"
    sleep "$SPAN"
    t1="$(proc_cpu_ticks "$RECORDER_PID")"; n1="$(images)"
    [ -z "$load" ] || wait "$load" || fail "the load client failed ($viewers viewers)"
    per="$(awk -v t=$((t1 - t0)) -v hz="$hz" -v n=$((n1 - n0)) 'BEGIN { printf "%.3f", (n > 0 ? t * 1000 / hz / n : 0) }')"
    printf 'w (640x480, 100 ms, web on), %2d stream viewers: %d frames in %d s, %.3f ms CPU per saved frame%s\n' \
      "$viewers" $((n1 - n0)) "$SPAN" "$per" "$([ -z "$load" ] || awk '{ printf ", each viewer got %d to %d pictures", $2, $3 }' "$SANDBOX/load.out")"
  done
  if command -v wrk >/dev/null; then
    local cookie
    cookie="$(python3 "$here/web_load.py" "$port" "$user" "$password" cookie)"
    wrk -t2 -c8 -d10s -H "Cookie: $cookie" "http://127.0.0.1:$port/api/v1/cameras/A/latest.jpg" |
      awk '/Requests\/sec/ { printf "w: latest.jpg, wrk with 8 connections: %s requests per second\n", $2 }'
  else
    python3 "$here/web_load.py" "$port" "$user" "$password" latest 8 10 |
      awk '{ printf "w: latest.jpg, 8 Python connections: %s requests per second\n", $2 }'
  fi
  recorder_alive || fail "the recorder died (web)"
  stop_recorder_cleanly
  rm -rf "$SANDBOX"
}

trap 'kill_recorder; events_teardown; [ -n "${SANDBOX:-}" ] && rm -rf "$SANDBOX"; true' EXIT
for s in "${scenarios[@]}"; do
  case "$s" in
  a) run A 100 "640x480 24 bit"; report "a (one camera, 640x480, 100 ms)" 640 480 ;;
  b) run ABCD 100 "320x240 24 bit"; report "b (four cameras, 320x240, 100 ms)" 320 240 ;;
  c)
    run A 1000 "1920x1080 24 bit" -m
    report "c (one camera, 1920x1080, 1 s, hidden)" 1920 1080
    awk -v c="$cpu_s" -v s="$SPAN" 'BEGIN { printf "c: %.2f%% of one core\n", 100 * c / s }'
    ;;
  e)
    run A 100 "640x480 24 bit"; report "e off (one camera, 640x480, 100 ms, events off)" 640 480
    off_cpu="$cpu_s"; off_frames="$frames"
    EVENTS=on run A 100 "640x480 24 bit"; report "e on (the same, hook, MQTT and log on)" 640 480
    awk -v c0="$off_cpu" -v n0="$off_frames" -v c1="$cpu_s" -v n1="$frames" 'BEGIN {
      a = (n0 > 0 ? c0 * 1000 / n0 : 0); b = (n1 > 0 ? c1 * 1000 / n1 : 0)
      printf "e: %.3f ms per saved frame with events on, %.3f off: %.3fx\n", b, a, (a > 0 ? b / a : 0) }'
    ;;
  w)
    if ! command -v wrk >/dev/null; then
      (source "$here/../scripts/common.sh"; VISTREL_PACKAGES=(wrk); vistrel_install_deps) || true
    fi
    run_web
    ;;
  v)
    out="$(VIVID_BENCH="$SPAN" VIVID_RECORDER="$VISTREL_BIN" VIVID_DEVICES="$(dirname "$VISTREL_BIN")/vistrel-devices" \
      VIVID_TESTS="$(dirname "$VISTREL_BIN")/tests/vivid/vivid_tests" VIVID_ROAD="$road" \
      "$here/../scripts/vivid.sh" 2>&1)" || { echo "$out" | tail -20; fail "the vivid run failed"; continue; }
    awk -v span="$SPAN" -v hz="$hz" '
      /^bench device=/ { split($2, d, "="); split($3, t, "="); split($4, f, "="); ms[d[2]] = f[2] > 0 ? t[2] * 1000 / hz / f[2] : 0; n[d[2]] = f[2] }
      $1 == "BM_FrameRoad/640/480_median" { road = $4 * ($5 == "ns" ? 1e-6 : $5 == "us" ? 1e-3 : $5 == "ms" ? 1 : 1000) }
      END {
        printf "v (vivid YUYV 640x480, 100 ms, in the virtual machine): %d frames in %d s\n", n[0], span
        printf "  %.2f ms CPU per saved frame; the test pattern in the same format %.2f ms; road %.2f ms in a loop (%.2fx)\n",
          ms[0], ms[1], road, (road > 0 ? ms[0] / road : 0) }' <<<"$out"
    ;;
  *) echo "unknown scenario: $s" >&2; exit 2 ;;
  esac
done
report_run "PROCESS BENCHMARK FAILED" "process benchmark done"
