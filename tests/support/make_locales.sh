#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Makes the locales the tests switch to (a decimal comma, other names of
# days and a 24-hour clock) from the system's locale sources into $1, so
# they exist whatever the machine has generated. Tests find them through
# LOCPATH.
set -euo pipefail
dir="$1"
mkdir -p "$dir"
for locale in de_DE fr_FR; do
  [ -e "$dir/$locale.UTF-8/LC_NUMERIC" ] && continue
  # Warnings about the sources end localedef with status 1; the files are
  # still written, and their presence is what counts.
  localedef -c -i "$locale" -f UTF-8 "$dir/$locale.UTF-8" || true
  [ -e "$dir/$locale.UTF-8/LC_NUMERIC" ] || { echo "cannot make the locale $locale.UTF-8 (Debian package locales)" >&2; exit 1; }
done
