#!/usr/bin/env bash
# Installs what is missing, builds with AddressSanitizer and UndefinedBehaviorSanitizer,
# and runs every test. Tests that cannot run under the sanitizers carry the CTest label
# "nosanitize" and run from a plain build. "./test.sh tsan" runs them under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")"
./tools/install-deps.sh locales clang libclang-rt-14-dev

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
# Some tests read and write numbers under a locale whose decimal separator is a comma.
if ! locale -a 2>/dev/null | grep -qix 'de_DE\.utf-\?8'; then
  if grep -q '^# *de_DE.UTF-8 UTF-8' /etc/locale.gen; then
    $sudo sed -i 's/^# *de_DE.UTF-8 UTF-8/de_DE.UTF-8 UTF-8/' /etc/locale.gen
  else
    echo 'de_DE.UTF-8 UTF-8' | $sudo tee -a /etc/locale.gen >/dev/null
  fi
  $sudo locale-gen >/dev/null
fi

jobs=$(nproc)

# "./test.sh tsan": the same tests under ThreadSanitizer instead (a build of its own).
if [ "${1:-}" = "tsan" ]; then
  cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVILMO_TSAN=ON \
    -DVILMO_SHARED_LIBS=ON -DVILMO_BUILD_BENCH=OFF >/dev/null
  cmake --build build/tsan -j"$jobs"
  export TSAN_OPTIONS="suppressions=$PWD/tools/tsan.supp second_deadlock_stack=1"
  export QT_QPA_PLATFORM=offscreen
  exec ctest --test-dir build/tsan -j"$jobs" --output-on-failure -LE nosanitize
fi

# The module libraries are shared here, so that linking the test programs stays cheap; the
# benchmarks are only compiled in this build, never run.
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVILMO_SANITIZE=ON \
  -DVILMO_SHARED_LIBS=ON >/dev/null
cmake --build build/asan -j"$jobs"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export QT_QPA_PLATFORM=offscreen
ctest --test-dir build/asan -j"$jobs" --output-on-failure -LE nosanitize

if ! ctest --test-dir build/asan -N -L nosanitize | grep -q "Total Tests: 0"; then
  cmake -S . -B build/plain -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVILMO_SANITIZE=OFF \
    -DVILMO_SHARED_LIBS=ON -DVILMO_BUILD_BENCH=OFF >/dev/null
  cmake --build build/plain -j"$jobs"
  ctest --test-dir build/plain -j"$jobs" --output-on-failure -L nosanitize
fi
