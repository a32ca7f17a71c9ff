#!/bin/sh
# Runs COMMAND... as a Wayland client of a private, headless weston: one
# output of 1024x768 at scale 2 (2048x1536 pixels), its desktop shell with
# the panel, no animations, screenshots allowed (--debug). Exits 77, which
# the test runner counts as skipped, where weston is missing or cannot run.
#   under_weston.sh COMMAND...
set -u
if ! command -v weston >/dev/null; then
  echo "SKIP: no weston (Debian package weston)"
  exit 77
fi
dir=$(mktemp -d "${TMPDIR:-/tmp}/weston.XXXXXX") || exit 1
weston=
trap '[ -z "$weston" ] || kill "$weston" 2>/dev/null; wait; rm -rf "$dir"' EXIT
trap 'exit 1' INT TERM HUP
cat >"$dir/weston.ini" <<INI
[core]
idle-time=0
[shell]
startup-animation=none
animation=none
close-animation=none
INI
XDG_RUNTIME_DIR=$dir weston --config="$dir/weston.ini" --backend=headless-backend.so --use-pixman \
  --width=1024 --height=768 --scale=2 --socket=wayland-test --debug --log="$dir/weston.log" &
weston=$!
for _ in $(seq 1 100); do
  [ -S "$dir/wayland-test" ] && break
  kill -0 "$weston" 2>/dev/null || break
  sleep 0.05
done
if [ ! -S "$dir/wayland-test" ]; then
  echo "SKIP: weston did not start headless: $(tail -n 1 "$dir/weston.log" 2>/dev/null)"
  exit 77
fi
env -u DISPLAY XDG_RUNTIME_DIR="$dir" WAYLAND_DISPLAY=wayland-test GDK_BACKEND=wayland "$@"
