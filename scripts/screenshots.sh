#!/bin/sh
# Renders the graphical download window in each of its states on a private
# virtual display and saves the pictures under docs/: in English, and some
# states in German, Chinese and Arabic (right to left) under docs/<lang>/.
#
#   scripts/screenshots.sh [BUILD_DIR]
#
# BUILD_DIR (default: build) is configured if it is new; the snapshot
# tool is (re)built in it either way. Needs cmake, xvfb-run (xvfb) and
# the project's build dependencies, and Debian's locales (the locales are
# made in a temporary directory: no root needed).
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
docs=$root/docs

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build"
fi
cmake --build "$build" -j2 --target gtk_window_snapshot
tool=$(find "$build" -name gtk_window_snapshot -type f -perm -u+x | head -n 1)
[ -n "$tool" ] || { echo "gtk_window_snapshot was not built" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The demo's splash, wider than tall, so the pictures show how it is fitted
# into the 400x400 box.
cp "$root/demo/splash.png" "$work/splash.png"

mkdir -p "$docs"
# The virtual display has no window manager, so the pictures show the
# window's content without a title bar; the stock theme keeps them the same
# whatever the desktop of whoever runs this.
# shellcheck disable=SC2016  # the inner script expands its own arguments
GTK_THEME=Adwaita xvfb-run -a -s "-screen 0 1024x768x24" sh -c '
  tool=$1 docs=$2 splash=$3
  for state in downloading figures indeterminate connecting initializing failed try-again; do
    "$tool" "$state" "$docs/window-$state.png" "$splash"
  done
' screenshots "$tool" "$docs" "$work/splash.png"

# The other languages, each in a locale made for the run.
mkdir -p "$work/locales"
for lang in de_DE zh_CN ar_EG; do
  localedef -i "$lang" -f UTF-8 "$work/locales/$lang.UTF-8" >/dev/null 2>&1 ||
    [ -s "$work/locales/$lang.UTF-8/LC_CTYPE" ] || { echo "cannot make the locale $lang" >&2; exit 1; }
  mkdir -p "$docs/${lang%_*}"
  # shellcheck disable=SC2016
  LOCPATH=$work/locales LANG=$lang.UTF-8 GTK_THEME=Adwaita xvfb-run -a -s "-screen 0 1024x768x24" sh -c '
    tool=$1 docs=$2 splash=$3
    for state in figures updating waiting try-again failed; do
      "$tool" "$state" "$docs/window-$state.png" "$splash"
    done
  ' screenshots "$tool" "$docs/${lang%_*}" "$work/splash.png"
done

ls -l "$docs"/window-*.png "$docs"/*/window-*.png
