#!/bin/sh
# Whether catalogue $1 holds every text of template $2, each translated but
# the standard button words, which the desktop's own catalogue gives.
#   po/check.sh LANG.po TEMPLATE.pot
set -eu
msgcmp --use-untranslated "$1" "$2"
left=$( (msgattrib --untranslated --no-obsolete "$1"; msgattrib --only-fuzzy --no-obsolete "$1") |
  sed -n 's/^msgid "\(..*\)"$/\1/p' | sort | tr '\n' ' ')
[ "$left" = "_Cancel _Close " ] || { echo "$1: not translated: $left" >&2; exit 1; }
