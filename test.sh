#!/usr/bin/env bash
# Installs what is missing, builds with AddressSanitizer and UndefinedBehaviorSanitizer,
# and runs every test. Tests that cannot run under the sanitizers carry the CTest label
# "nosanitize" and run from a plain build.
set -euo pipefail
cd "$(dirname "$0")"
./tools/install-deps.sh

jobs=$(nproc)
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVILMO_SANITIZE=ON >/dev/null
cmake --build build/asan -j"$jobs"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export QT_QPA_PLATFORM=offscreen
ctest --test-dir build/asan -j"$jobs" --output-on-failure --timeout 120 -LE nosanitize

if ! ctest --test-dir build/asan -N -L nosanitize | grep -q "Total Tests: 0"; then
  cmake -S . -B build/plain -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVILMO_SANITIZE=OFF >/dev/null
  cmake --build build/plain -j"$jobs"
  ctest --test-dir build/plain -j"$jobs" --output-on-failure --timeout 120 -L nosanitize
fi
