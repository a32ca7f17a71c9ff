#!/bin/sh
# Renders the graphical download window in each of its states on a private
# virtual display and saves the pictures under docs/.
#
#   scripts/screenshots.sh [BUILD_DIR]
#
# BUILD_DIR (default: build-gtk) is configured if it is new; the snapshot
# tool is (re)built in it either way. Needs cmake, xvfb-run (xvfb) and
# convert (imagemagick).
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-gtk}
docs=$root/docs

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build"
fi
cmake --build "$build" -j2 --target gtk_window_snapshot
tool=$(find "$build" -name gtk_window_snapshot -type f -perm -u+x | head -n 1)
[ -n "$tool" ] || { echo "gtk_window_snapshot was not built" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A splash of the kind a product ships: wider than tall, so the window
# shows how it is fitted into the 400x400 box.
convert -size 800x500 gradient:'#1d4e89'-'#59a5d8' \
  -gravity center -font DejaVu-Sans-Bold -pointsize 72 -fill white \
  -annotate 0 'Korvex' "$work/splash.png"

mkdir -p "$docs"
# The virtual display has no window manager, so the pictures show the
# window's content without a title bar; the stock theme keeps them the same
# whatever the desktop of whoever runs this.
GTK_THEME=Adwaita xvfb-run -a -s "-screen 0 1024x768x24" sh -c '
  tool=$1 docs=$2 splash=$3
  for state in downloading indeterminate failed initializing; do
    "$tool" "$state" "$docs/window-$state.png" "$splash"
  done
' screenshots "$tool" "$docs" "$work/splash.png"

ls -l "$docs"/window-*.png
