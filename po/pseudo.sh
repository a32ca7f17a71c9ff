#!/bin/sh
# Makes the pseudo-translation of a template: every line of every text
# bracketed and made 40% longer, its letters swapped for accented ones
# (format directives kept), so that a run under it shows a text that
# misses the catalogue as plain ASCII letters, and any layout too tight for
# a longer language.
#   po/pseudo.sh TEMPLATE.pot OUTPUT.po
set -eu
msgen "$1" |
  sed -e '/^#, fuzzy$/d' -e 's/charset=CHARSET/charset=UTF-8/' \
    -e 's/^"Plural-Forms: .*/"Plural-Forms: nplurals=2; plural=(n != 1);\\n"/' |
  msgfilter --keep-header -o "$2" awk '
    BEGIN {
      split("a b c d e f g h i j k l m n o p q r s t u v w x y z", plain, " ")
      split("á ƀ ç đ é ƒ ĝ ĥ í ĵ ķ ĺ ɱ ñ ó þ ʠ ŕ š ţ ú ṽ ŵ ẋ ý ž", small, " ")
      split("Á Ɓ Ç Đ É Ƒ Ĝ Ĥ Í Ĵ Ķ Ĺ Ṁ Ñ Ó Ƥ Ǫ Ŕ Š Ţ Ú Ṽ Ŵ Ẋ Ý Ž", large, " ")
      for (k = 1; k <= 26; k++) { swap[plain[k]] = small[k]; swap[toupper(plain[k])] = large[k] }
    }
    {
      out = ""
      for (i = 1; i <= length($0); i++) {
        c = substr($0, i, 1)
        if (c == "%") {  # %%, %s, %d, %ld, %2$s: as they are
          j = i + 1
          while (j < length($0) && substr($0, j, 1) ~ /[0-9$l.]/) j++
          out = out substr($0, i, j - i + 1); i = j
        } else {
          out = out (c in swap ? swap[c] : c)
        }
      }
      n = int(length($0) * 0.4 + 0.99); pad = ""
      for (k = 0; k < n; k++) pad = pad "~"
      printf "%s[%s%s]", (NR > 1 ? "\n" : ""), out, pad
    }'
