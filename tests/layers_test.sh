#!/usr/bin/env bash
# The source directories are layers, each including only those below it:
#   platform < util < display, agent < download < bootstrap
# (display and agent know nothing of each other). Prints every include that
# points sideways or upwards and fails on any.
set -u
cd "$(dirname "$0")/.."
rank() {
  case $1 in
    platform) echo 0 ;; util) echo 1 ;; display | agent) echo 2 ;;
    download) echo 3 ;; bootstrap) echo 4 ;; *) echo -1 ;;
  esac
}
bad=0
for file in $(git ls-files -- '*.cc' '*.h' 2>/dev/null || find . -name '*.cc' -o -name '*.h'); do
  case $file in *_test.cc | tests/* | tools/* | bench/*) continue ;; esac
  from=${file%%/*}
  [ "$(rank "$from")" -ge 0 ] || continue
  while read -r included; do
    to=${included%%/*}
    [ "$to" = "$from" ] && continue
    [ "$(rank "$to")" -ge 0 ] || continue
    if [ "$(rank "$to")" -ge "$(rank "$from")" ]; then
      echo "$file includes $included: $from may not depend on $to"
      bad=1
    fi
  done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file")
done
[ $bad -eq 0 ] && echo "layers: no include points upwards or sideways"
exit $bad
