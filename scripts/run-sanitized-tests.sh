#!/usr/bin/env bash
# The whole test suite built with AddressSanitizer and UndefinedBehaviorSanitizer
# into build-asan/. Any memory error, leak or undefined behaviour fails its test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# -O1 keeps the instrumented suite quick enough while the reports keep their lines.
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
  -DVELMORA_SANITIZE=ON -DVELMORA_BUILD_TESTS=ON -DVELMORA_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan -j "$(nproc)"

export QT_QPA_PLATFORM=offscreen
# Leaks are reported too (Qt and fontconfig leave none at exit on the offscreen
# platform, so no suppression list is needed). Child processes the tests start,
# the converter and velmora-erase, inherit these and fail their callers the same way.
export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1:strict_init_order=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
# The libFuzzer test builds its own sanitized target with clang; running it here
# again would only double the time.
ctest --test-dir build-asan --output-on-failure -j "$(nproc)" -LE fuzz
