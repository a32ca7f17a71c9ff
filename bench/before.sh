# shellcheck shell=bash
# Sourced by bench/run.sh with BENCH_ROWS=before and BEFORE=<revision>: the
# program at that revision against this one, runs alternating, on rows 1, 3,
# 4 and 6 (512 MiB download to the agent's end, cache hit, peak memory, the
# realistic agent on loopback). Uses run.sh's helpers.

# shellcheck source=bench/realistic-agent.sh
. "$top/bench/realistic-agent.sh"
[ -n "${BEFORE:-}" ] || { echo "BEFORE: the revision to measure against" >&2; exit 2; }
before_rev=$(git -C "$top" rev-parse --short "$BEFORE")
before_src=$work/before-$before_rev
if [ ! -x "$before_src/build/setup" ]; then
  rm -rf "$before_src" && git -C "$top" worktree prune
  git -C "$top" worktree add --detach "$before_src" "$before_rev" >/dev/null
  build_setup "$before_src"
fi
mkdir -p "$work/before-bundle"
cp "$before_src/build/setup" "$work/before-bundle/" && : >"$work/before-bundle/bundle.zip"
make_agent "$work/www/agent-$BIG_MB.zip" "$BIG_MB"
make_realistic_agent "$work/www/realistic.zip"

for run in $(seq 1 "$RUNS"); do
  echo "before: run $run of $RUNS" >&2
  for side in bundle before-bundle; do
    forget_cache
    results[big_$side]+="$(setup_run "$base/agent-$BIG_MB.zip" "$side")"$'\n'
    results[hit_$side]+="$(setup_run "$base/agent-$BIG_MB.zip" "$side")"$'\n'
    forget_cache
    results[real_$side]+="$(setup_run "$base/realistic.zip" "$side")"$'\n'
  done
done
forget_cache
mb() { printf '%s' "${results[$1]}" | field "$2" | median; }
kib() { awk -v k="$1" 'BEGIN {printf "%.1f MiB", k / 1024}'; }
echo
echo "This build against $before_rev, same server and files; median of $RUNS alternating runs."
echo
echo "| benchmark | this build | $before_rev | ratio |"
echo "|---|---|---|---|"
row() {
  local now was
  now=$(mb "$2_bundle" "$3") was=$(mb "$2_before-bundle" "$3")
  echo "| $1 | $now $4 ($(spread "$2_bundle" "$3")) | $was $4 ($(spread "$2_before-bundle" "$3")) | $(ratio "$now" "$was") |"
}
row "1. download road, $BIG_MB MiB, to the agent's end" big 1 s
row "3. cache hit, $BIG_MB MiB agent cached" hit 1 s
echo "| 4. peak resident memory, $BIG_MB MiB download | $(kib "$(mb big_bundle 2)") | $(kib "$(mb big_before-bundle 2)") | $(ratio "$(mb big_bundle 2)" "$(mb big_before-bundle 2)") |"
row "6. realistic agent on loopback, fresh cache, to the agent's end" real 1 s
failures=$(printf '%s' "${results[big_bundle]}${results[hit_bundle]}${results[real_bundle]}${results[big_before-bundle]}${results[hit_before-bundle]}${results[real_before-bundle]}" | field 4 | grep -vc '^0$' || true)
echo
echo "Runs that did not exit 0: $failures."
