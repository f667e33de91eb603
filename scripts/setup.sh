#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need; quick when all are present.
set -euo pipefail
packages=(
  build-essential cmake pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libgtest-dev libgmock-dev libbenchmark-dev libgif-dev libdeflate-dev libjpeg62-turbo-dev libexiv2-dev
  qt6-image-formats-plugins libheif-dev
  fonts-liberation2 xvfb xauth
  clang-14 libclang-rt-14-dev clang-format-14
  xdotool xclip libimage-exiftool-perl icc-profiles-free
  dosfstools fusefat libjpeg-turbo-progs
  desktop-file-utils appstream dpkg-dev file lintian mailcap xdg-utils man-db
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
