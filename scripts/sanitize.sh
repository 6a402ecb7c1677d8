#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds everything with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer, runs every test, and runs each libFuzzer
# harness for a bounded time (VISTREL_FUZZ_SECONDS, default 20) from its
# seed corpus under tests/fuzz/corpus.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
VISTREL_PACKAGES+=("${VISTREL_TEST_PACKAGES[@]}" clang-14 libclang-rt-14-dev)
vistrel_install_deps

build="${VISTREL_ASAN_BUILD:-$VISTREL_ROOT/build-asan}"
CC=clang-14 CXX=clang++-14 cmake -S "$VISTREL_ROOT" -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVISTREL_SANITIZE=ON -DVISTREL_FUZZ=ON -DVISTREL_BENCHMARKS=OFF \
  -DVISTREL_WERROR="${VISTREL_WERROR:-OFF}" \
  -DVISTREL_FUZZ_SECONDS="${VISTREL_FUZZ_SECONDS:-20}" >/dev/null
cmake --build "$build"

cd "$build"
export QT_QPA_PLATFORM=offscreen
# Leaks are reported by the tests' own fixtures where they matter; the
# sanitizer's leak report mostly lists caches of the uninstrumented Qt and
# fontconfig libraries, so it is off here.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
ctest --output-on-failure -j"$(nproc)" "$@"
