#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
vistrel_install_deps
vistrel_build
cd "$VISTREL_BUILD"
export QT_QPA_PLATFORM=offscreen
ctest --output-on-failure -j"$(nproc)" "$@"
