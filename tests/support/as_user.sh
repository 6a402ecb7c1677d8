#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs a test binary as a user that file modes bind. As root, the binary is
# copied into a private folder that user can enter (the build folder may sit
# under a home that is closed to others) and runs there as uid and gid 65534
# with its own home and temporary folder; as anyone else it simply runs.
set -euo pipefail
binary="$1"
shift
if [ "$(id -u)" -ne 0 ]; then
  exec "$binary" "$@"
fi
box="$(mktemp -d /tmp/vistrel-as-user.XXXXXX)"
trap 'rm -rf "$box"' EXIT
install -m 0755 "$binary" "$box/$(basename "$binary")"
mkdir "$box/home" "$box/tmp"
chown 65534:65534 "$box/home" "$box/tmp"
chmod 0755 "$box"
status=0
setpriv --reuid=65534 --regid=65534 --clear-groups \
  env HOME="$box/home" TMPDIR="$box/tmp" XDG_RUNTIME_DIR= "$box/$(basename "$binary")" "$@" || status=$?
exit "$status"
