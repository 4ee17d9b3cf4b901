#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need; quiet and quick
# when everything is already there.
set -euo pipefail

packages=(
  build-essential cmake pkg-config clang libclang-rt-14-dev
  libx264-dev libyuv-dev libsoundio-dev libcurl4-openssl-dev
  qt6-base-dev qt6-base-dev-tools libqt6opengl6-dev
  libegl-dev libgl-dev libegl-mesa0 libgl1-mesa-dri libglx-mesa0
  libxcb1-dev libxcb-randr0-dev libxcb-shm0-dev libxcb-composite0-dev libxcb-xtest0-dev
  libxcb-image0-dev libxcb-xfixes0-dev libxcb-ewmh-dev libxcb-icccm4-dev
  nlohmann-json3-dev libgtest-dev libgmock-dev
  xvfb xauth x11-utils ffmpeg dbus dbus-x11 imagemagick
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
