#!/bin/sh
# The window in every state and every language the program ships, and in
# its pseudo-translation (each text bracketed, 40% longer, its letters
# accented): every text shows whole; every line is translated (none reads
# as in English); under the pseudo-translation no plain letter is left but
# in the host and folder the state names, so no text bypasses the
# catalogue; the right-to-left language mirrors the window.
#   languages_test.sh SNAPSHOT_TOOL LOCALES_DIR   (on a display)
set -u
tool=$1
export LOCPATH=$2 GTK_THEME=Adwaita
states="downloading figures stalled indeterminate connecting waiting updating initializing
  failed try-again busy unsigned no-space"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
host=downloads.example.com folder=/home/someone/.cache/a-rather-long-product-name/installer
fail=0
problem() { echo "$*" >&2; fail=1; }
for language in C de_DE fr_FR es_ES ru_RU zh_CN ar_EG pseudo; do
  case $language in
    C) lang=C.UTF-8 catalogue= ;;
    pseudo) lang=en_US.UTF-8 catalogue=en@pseudo ;;
    *) lang=$language.UTF-8 catalogue= ;;
  esac
  # The states at once (each its own window), then their findings in turn.
  for state in $states; do
    LANG=$lang LANGUAGE=$catalogue "$tool" "$state" --check >"$work/$language.$state" &
  done
  wait
  for state in $states; do
    seen=$work/$language.$state
    ! grep -q '^clipped' "$seen" || problem "$language $state: cut short:" "$(grep '^clipped' "$seen")"
    direction=$(sed -n 's/^direction\t//p' "$seen")
    [ "$direction" = "$([ "$language" = ar_EG ] && echo rtl || echo ltr)" ] ||
      problem "$language $state: direction $direction"
    [ "$language" = C ] && continue
    texts=$(grep -v '^direction' "$seen" | cut -f2-)
    english=$(grep -v '^direction' "$work/C.$state" | cut -f2-)
    same=$(printf '%s\n' "$texts" | grep -Fx -e "$english")
    [ -z "$same" ] || problem "$language $state: left in English: $same"
    [ "$language" = pseudo ] || continue
    # The host and the folder are the run's own, not the catalogue's words.
    unmarked=$(printf '%s\n' "$texts" | sed -e "s|$host||g" -e "s|$folder||g" | grep '[A-Za-z]')
    [ -z "$unmarked" ] || problem "$state: outside the catalogue: $unmarked"
  done
done
exit $fail
