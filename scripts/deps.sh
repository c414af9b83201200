#!/usr/bin/env bash
# Installs the Debian packages the build, the station and the tests need, when missing.
# The README's dependency table says what each one is for.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  qt6-base-dev fonts-dejavu-core
  zlib1g-dev
  libgtest-dev libgmock-dev
  lrzsz socat zip unzip libarchive-tools python3
  clang libclang-rt-14-dev
  netcat-openbsd
  nlohmann-json3-dev libsimdjson-dev libcli11-dev
  chromium
  help2man man-db lintian dpkg-dev
  systemd logrotate
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
