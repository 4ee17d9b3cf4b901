#!/usr/bin/env bash
# Starts the program from the build directory on the user's X display. On a
# machine without a display it first starts a private Xvfb for it, with a
# moving test pattern on it, so that the stream shows something and can still
# be watched with ndi-recv.
#
# Ctrl+C (or SIGTERM, SIGHUP) stops the program the way closing its window
# does, with SIGTERM, so that it saves its settings; once it has ended, the
# test pattern and the private X server are stopped too.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${NDITABRIVO_BUILD_DIR:-$root/build}"
program="$build/NDITabrivo"

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

# Helpers run in sessions of their own (setsid), so that the terminal's
# Ctrl+C reaches only this script, which stops them in order.
xvfb_pid=""
pattern_pid=""
stop_helpers() {
  local pid
  for pid in $pattern_pid $xvfb_pid; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
}

start_private_display() {
  command -v Xvfb >/dev/null || { echo "run: no DISPLAY and no Xvfb (make deps installs it)" >&2; exit 1; }
  local n
  n="$(free_display)" || { echo "run: no free X display number" >&2; exit 1; }
  setsid Xvfb ":$n" -screen 0 1920x1080x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  trap stop_helpers EXIT
  for _ in $(seq 100); do
    [ -e "/tmp/.X11-unix/X$n" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || { echo "run: Xvfb :$n did not start" >&2; exit 1; }
    sleep 0.05
  done
  export DISPLAY=":$n"
  # A machine without a display seldom has a sound server either.
  export NDITABRIVO_AUDIO_BACKEND="${NDITABRIVO_AUDIO_BACKEND:-dummy}"
  echo "run: no DISPLAY set; started a private X server (Xvfb) on :$n, 1920x1080, pid $xvfb_pid."
  start_test_pattern
  echo "run: Ctrl+C stops the program (its settings saved), then the private X server."
}

# Something to watch behind the main window: ffmpeg's moving test pattern,
# filling the screen. Started first, so the main window opens in front of it.
start_test_pattern() {
  command -v ffplay >/dev/null || { echo "run: no ffplay (make deps installs ffmpeg); the screen stays black"; return 0; }
  SDL_AUDIODRIVER=dummy setsid ffplay -loglevel error -nostats -an -noborder -left 0 -top 0 \
    -x 1920 -y 1080 -window_title "Test pattern" -f lavfi -i "testsrc2=size=1920x1080:rate=30" \
    </dev/null >/dev/null 2>&1 &
  pattern_pid=$!
  # Windows stack in the order they are mapped (there is no window manager):
  # wait for the pattern's window before the program opens its own.
  for _ in $(seq 100); do
    xwininfo -root -tree 2>/dev/null | grep -q '"Test pattern"' && break
    kill -0 "$pattern_pid" 2>/dev/null || { echo "run: the test pattern did not start"; return 0; }
    sleep 0.05
  done
  echo "run: a moving test pattern (ffplay, pid $pattern_pid) fills the private screen."
}

if [ -z "${DISPLAY:-}" ]; then
  start_private_display
fi

# The port is known only once the program listens: when the one asked for
# (NDI_PORT, else 5960) is taken, it takes another and names it. Its standard
# output passes through here unchanged, and its line naming the port is
# followed by the command that watches that port.
announce_watch_command() {
  # Ctrl+C is for the program, which then quits and saves; its last lines
  # still come through here.
  trap '' INT HUP
  local line
  while IFS= read -r line || [ -n "$line" ]; do
    printf '%s\n' "$line" || true
    case "$line" in
      'NDI source "NDI Wendlor HX" on TCP port '*)
        printf 'run: watch it with:\nrun:   %s --host 127.0.0.1 --port %s --video - | ffplay -f h264 -\n' \
          "$build/ndi-recv" "${line##* }" || true
        ;;
    esac
  done
}

echo "run: starting the NDI source \"NDI Wendlor HX\"; the command to watch it follows once it listens."
exec {program_out}> >(announce_watch_command)
reader_pid=$!
setsid "$program" >&"$program_out" &
program_pid=$!
exec {program_out}>&-
stop_program() { kill -TERM "$program_pid" 2>/dev/null || true; }
trap stop_program INT TERM HUP
# A trapped signal interrupts wait; wait again until the program has ended.
while kill -0 "$program_pid" 2>/dev/null; do
  wait "$program_pid" || true
done
wait "$program_pid" && status=0 || status=$?
wait "$reader_pid" 2>/dev/null || true
exit "$status"
