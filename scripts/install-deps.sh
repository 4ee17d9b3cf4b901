#!/usr/bin/env bash
# Installs the Debian packages that `make run` and `make test` need; quiet and
# quick (one dpkg query) when everything is already there.
#
#   scripts/install-deps.sh          what `make run` and `make test` need
#   scripts/install-deps.sh format   and clang-format, for `make format`
#   scripts/install-deps.sh fuzz     and clang with libFuzzer, for `make fuzz`
#
# Without root and without sudo it names the missing packages and stops.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config
  libx264-dev libyuv-dev libsoundio-dev libpulse-dev libcurl4-openssl-dev
  qt6-base-dev qt6-base-dev-tools
  libegl-dev libgl-dev libegl-mesa0 libgl1-mesa-dri libglx-mesa0
  libxcb1-dev libxcb-randr0-dev libxcb-shm0-dev libxcb-composite0-dev
  libxcb-xtest0-dev libxcb-xfixes0-dev libxcb-render0-dev libxcb-damage0-dev
  libxcb-res0-dev
  nlohmann-json3-dev libgtest-dev
  # run on a machine without a display (a private X server and a test
  # pattern on it), and test
  xvfb xauth x11-utils x11-xserver-utils ffmpeg dbus-daemon pulseaudio pulseaudio-utils
  # a compositing manager that the X11 tests start and stop beside the program,
  # and a window manager that stacks windows as a user's desktop does
  xcompmgr openbox
)

for extra in "$@"; do
  case "$extra" in
    format) packages+=(clang-format) ;;
    fuzz) packages+=(clang libclang-rt-14-dev) ;;
    *) echo "install-deps: unknown group '$extra' (known: format, fuzz)" >&2; exit 2 ;;
  esac
done

installed="$(dpkg-query -W -f='${Package} ${Status}\n' "${packages[@]}" 2>/dev/null || true)"
missing=()
for p in "${packages[@]}"; do
  grep -qx "$p install ok installed" <<<"$installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "install-deps: these Debian packages are missing; install them as root:" >&2
    echo "  apt-get install ${missing[*]}" >&2
    exit 1
  fi
  SUDO=(sudo)
fi
echo "install-deps: installing ${missing[*]}"
"${SUDO[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${SUDO[@]}" apt-get install -y -qq --no-install-recommends \
  "${missing[@]}" >/dev/null
