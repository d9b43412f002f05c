#!/usr/bin/env bash
# Installs what is missing, builds the application and starts it. Without a configured naming
# service it starts a local stand-in for it (see the README's Configuration section).
set -euo pipefail
cd "$(dirname "$0")"
# The language list names each language in its own script: without a font that has CJK
# glyphs the Chinese entry is drawn as empty boxes. A small one is added only when no font
# on the machine covers Chinese.
fonts=()
if [ -z "$(fc-list :lang=zh family 2>/dev/null)" ]; then
  fonts+=(fonts-wqy-microhei)
fi
./tools/install-deps.sh "${fonts[@]}"

# Only what is started here: the application and the naming service's stand-in.
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVILMO_SANITIZE=OFF \
  -DVILMO_BUILD_TESTS=OFF >/dev/null
cmake --build build/release -j"$(nproc)" --target vilmo vilmo-naming-stand-in
app=build/release/vilmo/vilmo

# The address in Info.plist counts as configured unless it is the shipped placeholder
# (a host under .invalid, which never resolves).
plist_url=$(sed -n '/<key>VilmoNamingServiceURL<\/key>/{n;s/.*<string>\(.*\)<\/string>.*/\1/p;}' \
  vilmo/Resources/Info.plist)
stand_in=build/release/tests/support/vilmo-naming-stand-in
if [ -n "${VILMO_NAMING_SERVICE_URL:-}" ] ||
  { [ -n "$plist_url" ] && [[ ! "$plist_url" =~ \.invalid(:[0-9]+)?/*$ ]]; }; then
  exec "$app" "$@"
fi

# The stand-in prints its address first, then serves until it is stopped (or this script ends).
exec {stand_in_output}< <(exec "$stand_in")
stand_in_pid=$!
trap 'kill "$stand_in_pid" 2>/dev/null || true' EXIT
if ! read -r -t 10 url <&"$stand_in_output"; then
  echo "The naming service's local stand-in did not start."
  exit 1
fi
export VILMO_NAMING_SERVICE_URL="$url"
echo "No naming service configured: using the local stand-in at $url, which proposes names by simple rules."
status=0
"$app" "$@" || status=$?
exit "$status"
