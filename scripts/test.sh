#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is missing, builds everything and runs every test.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
VISTREL_PACKAGES+=("${VISTREL_TEST_PACKAGES[@]}")
vistrel_install_deps
vistrel_build
cd "$VISTREL_BUILD"
export QT_QPA_PLATFORM=offscreen
ctest --output-on-failure -j"$(nproc)" "$@"
