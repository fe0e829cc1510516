#!/usr/bin/env bash
# Installs the Debian packages the build needs, only when one is missing.
set -euo pipefail
# dpkg-dev and file: the .deb's dependencies (dpkg-shlibdeps); desktop-file-utils and
# appstream: the install test's validators; libsodium-dev and pkgconf: the secure channel.
pkgs=(cmake ninja-build g++ qt6-base-dev libgl-dev libgtest-dev libbenchmark-dev
  libsodium-dev pkgconf dpkg-dev file desktop-file-utils appstream "$@")
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi
