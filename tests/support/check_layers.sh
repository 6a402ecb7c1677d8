#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Folder dependencies point one way: common <- settings <- capture, pipeline,
# display, archive, events <- options, tray, review, web, resources <- app. Fails when a source
# folder includes a header of a folder to its right, or of a folder this
# list does not know yet.
set -euo pipefail
src="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../src" && pwd)"
declare -A layer=(
  [common]=0 [settings]=1
  [capture]=2 [pipeline]=2 [display]=2 [archive]=2 [events]=2
  [options]=3 [tray]=3 [review]=3 [web]=3 [resources]=3
  [app]=4
)
bad=0
for dir in "$src"/*/; do
  folder="$(basename "$dir")"
  if [ -z "${layer[$folder]+set}" ]; then
    echo "src/$folder has no place in the folder order: add it to ${BASH_SOURCE[0]}"
    bad=1
    continue
  fi
  while IFS=: read -r file line target; do
    used="${target%%/*}"
    [ -n "${layer[$used]+set}" ] || continue # a header of the folder's own generated files
    if [ "${layer[$used]}" -gt "${layer[$folder]}" ]; then
      echo "${file#"$src"/}:$line includes $target, from a folder above src/$folder"
      bad=1
    fi
  done < <(grep -rnoE '^#include "[a-z_]+/[^"]+"' "$dir" | sed -E 's/#include "([^"]+)"/\1/' || true)
done
[ "$bad" -eq 0 ] && echo "every folder includes only its own and lower folders"
exit "$bad"
