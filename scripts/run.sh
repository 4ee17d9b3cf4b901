#!/usr/bin/env bash
# Starts the program from the build directory on the user's X display. On a
# machine without a display it first starts a private Xvfb for it, so that the
# stream can still be watched with ndi-recv.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${NDITABRIVO_BUILD_DIR:-$root/build}"
program="$build/NDITabrivo"
port="${NDI_PORT:-5960}"

if [ ! -x "$program" ]; then
  echo "run: $program is missing; build it first with: make build" >&2
  exit 1
fi

free_display() {
  local n
  for n in $(seq 90 199); do
    if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then
      echo "$n"
      return 0
    fi
  done
  return 1
}

xvfb_pid=""
stop_xvfb() {
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
}

start_private_display() {
  command -v Xvfb >/dev/null || { echo "run: no DISPLAY and no Xvfb (make deps installs it)" >&2; exit 1; }
  local n
  n="$(free_display)" || { echo "run: no free X display number" >&2; exit 1; }
  Xvfb ":$n" -screen 0 1920x1080x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  trap stop_xvfb EXIT
  for _ in $(seq 100); do
    [ -e "/tmp/.X11-unix/X$n" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || { echo "run: Xvfb :$n did not start" >&2; exit 1; }
    sleep 0.05
  done
  export DISPLAY=":$n"
  # A machine without a display seldom has a sound server either.
  export NDITABRIVO_AUDIO_BACKEND="${NDITABRIVO_AUDIO_BACKEND:-dummy}"
  echo "run: no DISPLAY set; started a private X server (Xvfb) on :$n, 1920x1080, pid $xvfb_pid."
  echo "run: press Ctrl+C to stop the program; the private X server stops with it"
  echo "run: (or stop the X server alone with: kill $xvfb_pid)."
}

if [ -z "${DISPLAY:-}" ]; then
  start_private_display
fi

if [ "$port" = "0" ]; then
  echo "run: NDI source \"NDI Wendlor HX\" on the free port printed below; watch it with:"
  port="PORT"
else
  echo "run: NDI source \"NDI Wendlor HX\" on port $port; watch it with:"
fi
echo "run:   $build/ndi-recv --host 127.0.0.1 --port $port --video - | ffplay -f h264 -"
"$program" && status=0 || status=$?
exit "$status"
