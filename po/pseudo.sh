#!/bin/sh
# Makes the pseudo-translation of a template: every line of every text
# wrapped in brackets and made 40% longer, so that a run under it shows any
# text that misses the catalogue, and any layout too tight for a longer
# language.
#   po/pseudo.sh TEMPLATE.pot OUTPUT.po
set -eu
msgen "$1" |
  sed -e '/^#, fuzzy$/d' -e 's/charset=CHARSET/charset=UTF-8/' \
    -e 's/^"Plural-Forms: .*/"Plural-Forms: nplurals=2; plural=(n != 1);\\n"/' |
  msgfilter --keep-header -o "$2" awk '{
    n = int(length($0) * 0.4 + 0.99); pad = ""
    for (i = 0; i < n; i++) pad = pad "~"
    printf "%s[%s%s]", (NR > 1 ? "\n" : ""), $0, pad
  }'
