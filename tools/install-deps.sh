#!/usr/bin/env bash
# Installs the Debian packages the build and tests need (and any named as arguments), only
# those that are missing, so that a second run asks apt for nothing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev qt6-image-formats-plugins
  libheif-dev libpoppler-cpp-dev libzip-dev
  libcurl4-openssl-dev libplist-dev nlohmann-json3-dev libicu-dev libssl-dev zlib1g-dev
  libsqlite3-dev libnanopb-dev nanopb protobuf-compiler python3-protobuf
  libcpp-httplib-dev xvfb
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
