#!/usr/bin/env bash
# Takes a picture of the main window: starts the program on a private X
# server (Xvfb) with its own empty settings folder, the Dummy audio back end
# and the NDI source on loopback, waits for the window, grabs it with
# ImageMagick's import and writes docs/main-window.png (or the path given).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${NDITABRIVO_BUILD_DIR:-$root/build}"
program="$build/NDITabrivo"
output="${1:-$root/docs/main-window.png}"
title="NDI Wendlor HX"

for tool in Xvfb import xwininfo; do
  command -v "$tool" >/dev/null || { echo "screenshot: $tool is missing (make deps installs it)" >&2; exit 1; }
done
if [ ! -x "$program" ]; then
  echo "screenshot: $program is missing; build it first with: make build" >&2
  exit 1
fi

free_display() {
  local n
  for n in $(seq 200 299); do
    if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then
      echo "$n"
      return 0
    fi
  done
  return 1
}

work="$(mktemp -d)"
xvfb_pid=""
app_pid=""
cleanup() {
  if [ -n "$app_pid" ]; then kill "$app_pid" 2>/dev/null || true; fi
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

n="$(free_display)" || { echo "screenshot: no free X display number" >&2; exit 1; }
Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
  [ -e "/tmp/.X11-unix/X$n" ] && break
  kill -0 "$xvfb_pid" 2>/dev/null || { echo "screenshot: Xvfb :$n did not start" >&2; exit 1; }
  sleep 0.05
done
export DISPLAY=":$n"

# A closed loopback port for the update check, so nothing leaves the machine.
XDG_CONFIG_HOME="$work" NDITABRIVO_AUDIO_BACKEND=dummy NDI_PORT=0 NDI_BIND=127.0.0.1 \
  NDITABRIVO_UPDATE_HOST=127.0.0.1:9 QT_QPA_PLATFORM=xcb "$program" >"$work/program.log" 2>&1 &
app_pid=$!

window=""
for _ in $(seq 200); do
  window="$(xwininfo -root -tree 2>/dev/null | awk -v t="\"$title\"" 'index($0, t) { print $1; exit }')"
  [ -n "$window" ] && break
  kill -0 "$app_pid" 2>/dev/null || { echo "screenshot: the program ended early:" >&2; cat "$work/program.log" >&2; exit 1; }
  sleep 0.1
done
[ -n "$window" ] || { echo "screenshot: no window titled \"$title\" appeared" >&2; exit 1; }
sleep 1  # let the first frames and the meter settle

mkdir -p "$(dirname "$output")"
import -window "$window" "$output"
echo "screenshot: wrote $output"
