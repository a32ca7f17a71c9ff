# shellcheck shell=bash
# Sourced by bench/run.sh (alone with BENCH_ROWS=many): agents made of many
# small files, unpacked from beside the program, against one plain unzip +
# sh, in wall time and in CPU time (the program's and every unzip's). unzip
# compares each entry with each member name it is given, so member lists
# over many entries would cost entries x names; past a budget the program
# hands such archives to one unzip. Uses run.sh's helpers.

# |count| files of 60 to 250 bytes, 500 to a directory, deflated.
make_many_agent() {
  local zip=$1 count=$2 dir=$work/many-src
  [ -s "$zip" ] && return 0
  echo "making $zip" >&2
  rm -rf "$dir" && mkdir -p "$dir"
  printf 'exit 0\n' >"$dir/install"
  python3 - "$dir" "$count" <<'PY'
import os, random, sys
root, count = sys.argv[1], int(sys.argv[2])
rng = random.Random(count)
for i in range(count - 1):
    d = os.path.join(root, 'lib', 'd%03d' % (i // 500))
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, 'f%06d.js' % i), 'w') as f:
        f.write(''.join(rng.choice('abcdefghij(){};\n ') for _ in range(rng.randint(60, 250))))
PY
  (cd "$dir" && zip -q -r -X "$zip" install lib)
  rm -rf "$dir"
}

many_counts=${MANY_COUNTS:-"600 2400 30400 100000"}
for count in $many_counts; do
  mkdir -p "$work/many-$count"
  make_many_agent "$work/many-$count/InstallAgent.zip" "$count"
  cp "$top/build/setup" "$work/many-$count/" && : >"$work/many-$count/bundle.zip"
done
sync
for run in $(seq 1 "$RUNS"); do
  echo "many files: run $run of $RUNS" >&2
  for count in $many_counts; do
    results[many_setup_$count]+="$(settle; "$measure" -- "$work/many-$count/setup")"$'\n'
    rm -rf "$D"
    # The program removes its work directory too.
    results[many_hand_$count]+="$(settle; "$measure" -- sh -c "unzip -qq -o '$work/many-$count/InstallAgent.zip' -d '$D' && sh '$D/install' -installbundle '$work/many-$count/bundle.zip' && rm -rf '$D'")"$'\n'
  done
done
mm() { printf '%s' "${results[$1]}" | field "$2" | median; }
echo
echo "Agents of many small files beside the program (local road); median of $RUNS alternating runs."
echo
echo "| benchmark | setup | baseline (unzip + sh + rm -rf) | ratio | goal |"
echo "|---|---|---|---|---|"
for count in $many_counts; do
  ws=$(mm "many_setup_$count" 1) wh=$(mm "many_hand_$count" 1)
  cs=$(mm "many_setup_$count" 5) ch=$(mm "many_hand_$count" 5)
  echo "| 8. $count entries, wall | ${ws} s | ${wh} s | $(ratio "$ws" "$wh") | report |"
  echo "| 8a. $count entries, CPU of the program and its unzips | ${cs} s | ${ch} s | $(ratio "$cs" "$ch") | report |"
done
failures=$(for count in $many_counts; do printf '%s' "${results[many_setup_$count]}"; done | field 4 | grep -vc '^0$' || true)
echo
echo "Runs of setup that did not exit 0: $failures."
