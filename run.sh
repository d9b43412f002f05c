#!/usr/bin/env bash
# Installs what is missing, builds the application and starts it.
set -euo pipefail
cd "$(dirname "$0")"
./tools/install-deps.sh

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVILMO_SANITIZE=OFF >/dev/null
cmake --build build/release -j"$(nproc)"
app=build/release/vilmo/vilmo
if [ -x "$app" ]; then
  exec "$app" "$@"
fi
echo "The application is not built yet: only the libraries and their tests exist so far."
