#!/usr/bin/env bash
# Takes a picture of the main window: starts the program on a private X
# server (xvfb-run) with its own empty settings folder, the Dummy audio back
# end and the NDI source on loopback, waits for the window, grabs it with
# ImageMagick's import and writes docs/main-window.png (or the path given).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${NDITABRIVO_BUILD_DIR:-$root/build}"
program="$build/NDITabrivo"
output="$(realpath -m "${1:-$root/docs/main-window.png}")"

for tool in xvfb-run import xwininfo; do
  command -v "$tool" >/dev/null || { echo "screenshot: $tool is missing (make deps installs it)" >&2; exit 1; }
done
if [ ! -x "$program" ]; then
  echo "screenshot: $program is missing; build it first with: make build" >&2
  exit 1
fi
mkdir -p "$(dirname "$output")"

# Runs on the private display (the script calls itself there): the program
# in the background, then the grab.
grab() {
  local program="$1" output="$2" title="NDI Wendlor HX" window=""
  # Global, for the exit trap.
  work="$(mktemp -d)"
  # A closed loopback port for the update check, so nothing leaves the machine.
  XDG_CONFIG_HOME="$work" NDITABRIVO_AUDIO_BACKEND=dummy NDI_PORT=0 NDI_BIND=127.0.0.1 \
    NDITABRIVO_UPDATE_HOST=127.0.0.1:9 QT_QPA_PLATFORM=xcb "$program" >"$work/program.log" 2>&1 &
  app_pid=$!
  trap 'kill "$app_pid" 2>/dev/null || true; rm -rf "$work"' EXIT
  for _ in $(seq 200); do
    window="$(xwininfo -root -tree 2>/dev/null | awk -v t="\"$title\"" 'index($0, t) { print $1; exit }')"
    [ -n "$window" ] && break
    kill -0 "$app_pid" 2>/dev/null || { echo "screenshot: the program ended early:" >&2; cat "$work/program.log" >&2; exit 1; }
    sleep 0.1
  done
  [ -n "$window" ] || { echo "screenshot: no window titled \"$title\" appeared" >&2; exit 1; }
  sleep 1  # let the first frames settle
  import -window "$window" "$output"
}
if [ "${NDITABRIVO_SCREENSHOT_GRAB:-}" = 1 ]; then
  grab "$program" "$output"
  exit 0
fi
NDITABRIVO_SCREENSHOT_GRAB=1 NDITABRIVO_BUILD_DIR="$build" \
  xvfb-run -a -s "-screen 0 1280x800x24 -nolisten tcp" "${BASH_SOURCE[0]}" "$output"
echo "screenshot: wrote $output"
