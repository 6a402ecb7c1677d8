#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The capture code on a real V4L2 driver: boots Debian's own kernel in a
# small QEMU machine (TCG: KVM cannot boot it on these machines), loads the
# kernel's virtual video driver vivid with a webcam, a TV tuner, an S-Video
# and an HDMI input, and runs inside it the listing tool, the capture tests
# of tests/vivid and the recorder itself against /dev/video0. The guest
# prints everything on its serial console; this script reads it and decides.
#
# The programs come from VIVID_RECORDER, VIVID_DEVICES and VIVID_TESTS
# (default: the build folder, built first); the extracted kernel and the
# console log live in VIVID_CACHE (default build/vivid). Exit 77: the
# machine cannot run the virtual machine (the reason is printed).
# VIVID_BENCH=SECONDS runs only the benchmark of bench/process_bench.sh in
# the guest (road_bench from VIVID_ROAD, default beside the recorder).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

source "$here/common.sh"
if [ -z "${VIVID_TESTS:-}" ]; then
  vistrel_install_deps
  vistrel_build --target vistrel vistrel-devices vivid_tests ${VIVID_BENCH:+road_bench}
fi
RECORDER="${VIVID_RECORDER:-$VISTREL_BUILD/vistrel}"
DEVICES="${VIVID_DEVICES:-$VISTREL_BUILD/vistrel-devices}"
TESTS="${VIVID_TESTS:-$VISTREL_BUILD/tests/vivid/vivid_tests}"
CACHE="${VIVID_CACHE:-$VISTREL_BUILD/vivid}"
VIVID_OPTIONS="n_devs=1 node_types=0x1 num_inputs=4 input_types=0xe4"

skip() { echo "SKIPPED: $*"; exit 77; }
started=$SECONDS

VISTREL_PACKAGES=(qemu-system-x86 linux-image-amd64 busybox-static cpio kmod xz-utils zstd)
vistrel_install_deps || skip "the packages for the virtual machine cannot be installed"
command -v qemu-system-x86_64 >/dev/null || skip "qemu-system-x86_64 is missing"

# The newest installed kernel that has vivid.
kernel=""
for image in $(ls -v /boot/vmlinuz-* 2>/dev/null); do
  version="${image#/boot/vmlinuz-}"
  if modprobe -S "$version" --show-depends vivid >/dev/null 2>&1; then kernel="$version"; fi
done
[ -n "$kernel" ] || skip "no installed kernel has the vivid module"

# QEMU boots an uncompressed kernel through its PVH entry point, faster than
# the compressed image: extracted once and kept.
mkdir -p "$CACHE"
vmlinux="$CACHE/vmlinux-$kernel"
if [ ! -s "$vmlinux" ]; then
  image="/boot/vmlinuz-$kernel"
  for kind in xz zstd gzip; do
    case $kind in
    xz) magic='\xFD7zXZ\x00'; unpack="xz -dc" ;;
    zstd) magic='\x28\xB5\x2F\xFD'; unpack="zstd -dcq" ;;
    gzip) magic='\x1F\x8B\x08'; unpack="gzip -dc" ;;
    esac
    for offset in $(LC_ALL=C grep -obUaP "$magic" "$image" 2>/dev/null | cut -d: -f1); do
      tail -c +$((offset + 1)) "$image" | $unpack >"$vmlinux.tmp" 2>/dev/null || true
      if [ "$(head -c 4 "$vmlinux.tmp" 2>/dev/null | od -An -tx1 | tr -d ' ')" = "7f454c46" ]; then
        mv "$vmlinux.tmp" "$vmlinux"
        break 2
      fi
    done
  done
  rm -f "$vmlinux.tmp"
  [ -s "$vmlinux" ] || skip "the kernel cannot be extracted from $image"
fi

# The initramfs: busybox, the modules in dependency order, the programs
# with every library they load, Qt's offscreen platform and the fonts.
root="$CACHE/root"
rm -rf "$root"
mkdir -p "$root"/{bin,dev,proc,sys,tmp,etc,vivid/bin,vivid/modules}
cp /bin/busybox "$root/bin/busybox"
cp "$here/vivid/init" "$root/init"
echo "root:x:0:0::/tmp:/bin/sh" >"$root/etc/passwd"
echo "root:x:0:" >"$root/etc/group"
: >"$root/vivid/modules.order"
while read -r verb path _; do
  [ "$verb" = insmod ] || continue
  name="$(basename "$path")"
  case "$name" in
  *.ko.xz) xz -dc "$path" >"$root/vivid/modules/${name%.xz}"; name="${name%.xz}" ;;
  *.ko.zst) zstd -dcq "$path" >"$root/vivid/modules/${name%.zst}"; name="${name%.zst}" ;;
  *) cp "$path" "$root/vivid/modules/$name" ;;
  esac
  args=""
  [ "$name" = vivid.ko ] && args="$VIVID_OPTIONS"
  echo "$name $args" >>"$root/vivid/modules.order"
done < <(modprobe -S "$kernel" --show-depends vivid)

copy_libraries() { # binary...
  local file lib
  for file in "$@"; do
    for lib in $(ldd "$file" | grep -o '/[^ ]*'); do
      [ -e "$root$lib" ] && continue
      mkdir -p "$root$(dirname "$lib")"
      cp -L "$lib" "$root$lib"
    done
  done
}
programs=("$RECORDER" "$DEVICES" "$TESTS")
if [ -n "${VIVID_BENCH:-}" ]; then
  ROAD="${VIVID_ROAD:-$(dirname "$RECORDER")/bench/road_bench}"
  programs+=("$ROAD")
  echo "$VIVID_BENCH" >"$root/vivid/bench"
fi
for program in "${programs[@]}"; do
  [ -x "$program" ] || { echo "FAIL: $program is not built"; exit 1; }
  cp "$program" "$root/vivid/bin/"
done
copy_libraries "${programs[@]}"
qt_plugins="$(dirname "$(find /usr/lib -path '*qt6/plugins/platforms/libqoffscreen.so' | head -1)")"
[ -d "$qt_plugins" ] || { echo "FAIL: Qt's offscreen platform plugin is missing"; exit 1; }
mkdir -p "$root$qt_plugins"
cp "$qt_plugins/libqoffscreen.so" "$root$qt_plugins/"
copy_libraries "$qt_plugins/libqoffscreen.so"
mkdir -p "$root/usr/share/fonts/truetype"
cp -rL /usr/share/fonts/truetype/dejavu "$root/usr/share/fonts/truetype/"
cp -rL /etc/fonts "$root/etc/"
(cd "$root" && find . | cpio -o -H newc --quiet) >"$CACHE/initramfs.cpio"

console="$CACHE/console.log"
echo "Booting $kernel with vivid under QEMU (TCG)..."
set +e
timeout 600 qemu-system-x86_64 -machine pc,accel=tcg -cpu max -smp 2 -m 2048 \
  -display none -monitor none -serial "file:$console" -no-reboot \
  -kernel "$vmlinux" -initrd "$CACHE/initramfs.cpio" \
  -append "console=ttyS0 panic=-1 quiet loglevel=3" </dev/null
qemu_rc=$?
set -e
tr -d '\r' <"$console" | sed 's/\x1b\[[0-9;]*m//g' >"$console.txt"
mv "$console.txt" "$console"

failures=()
fail() { failures+=("$*"); echo "FAIL: $*"; }
section() { sed -n "/^=== vivid $1 ===\$/,/^=== vivid $1 rc=/p" "$console"; }

[ "$qemu_rc" -eq 0 ] || fail "the virtual machine did not power off by itself (QEMU status $qemu_rc)"
grep -q '^=== vivid insmod' "$console" && fail "a module did not load: $(grep '^=== vivid insmod' "$console")"

if [ -n "${VIVID_BENCH:-}" ]; then
  # Printed for bench/process_bench.sh, which turns it into its figures.
  section bench
  grep -q '^=== vivid bench rc=0 ===$' "$console" || fail "the benchmark did not finish in the guest"
  [ ${#failures[@]} -eq 0 ] || { printf '  - %s\n' "${failures[@]}"; tail -40 "$console"; exit 1; }
  exit 0
fi

devices="$(section devices)"
echo "--- vistrel-devices in the guest ---"
echo "$devices"
expect_device_line() { grep -qxF -- "$1" <<<"$devices" || fail "vistrel-devices does not list: $1"; }
expect_device_line "device 0: vivid"
expect_device_line "  format: 320x180 16 bit"
expect_device_line "  format: 640x480 24 bit"
expect_device_line "  format: 1920x1080 32 bit"
expect_device_line "  input: 0: Video Parallel Digital"
expect_device_line "  input: 1: Video Tuner"
expect_device_line "  input: 2: S-Video"
expect_device_line "  input: 3: Video Serial Digital"
expect_device_line "  standards: Auto, PAL, NTSC, SECAM"
grep -q '^=== vivid devices rc=0 ===$' "$console" || fail "vistrel-devices failed"

unprivileged="$(section unprivileged)"
echo "--- vistrel-devices as a user without access to /dev/video0 ---"
grep '^device' <<<"$unprivileged" || true
grep -qxF "device 0: vivid-000-vid-cap (/dev/video0: no permission to open; is the user in the video group?)" \
  <<<"$unprivileged" || fail "a device the user may not open is not listed with the reason"
grep -qxF "device 1: Vistrel Test Pattern" <<<"$unprivileged" || fail "the test pattern moved to another number"

tests="$(section tests)"
echo "--- capture tests in the guest ---"
grep -E '^(\[ +(OK|FAILED|SKIPPED|PASSED) +\]|vivid: )' <<<"$tests" || true
grep -q '^=== vivid tests rc=0 ===$' "$console" || fail "the capture tests failed (see $console)"
grep -q '^\[  SKIPPED \]' <<<"$tests" && fail "capture tests were skipped: vivid was not found in the guest"
grep -qE '^\[  PASSED  \] [0-9]+ tests?\.$' <<<"$tests" || fail "the capture tests did not finish"

if [ ${#failures[@]} -gt 0 ]; then
  echo "vivid run failed after $((SECONDS - started)) s:"
  printf '  - %s\n' "${failures[@]}"
  echo "--- end of the guest console ---"
  tail -40 "$console"
  exit 1
fi
echo "vivid run passed in $((SECONDS - started)) s"
