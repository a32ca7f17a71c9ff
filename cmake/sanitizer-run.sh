#!/bin/sh
# For a build with AddressSanitizer and UndefinedBehaviorSanitizer: runs a
# test program with every sanitizer error fatal (an abort), for it and for
# the programs it starts, which inherit the options. AddressSanitizer's and
# LeakSanitizer's reports are written to files in DIR, so that a report from
# a child whose exit status a test does not look at still counts. GCC's UBSan
# runtime ignores log_path and writes to standard error: the test programs
# fail on those themselves (the integration harness reads every started
# program's standard error).
#   sanitizer-run.sh DIR PROGRAM [ARGS...]   runs PROGRAM
#   sanitizer-run.sh DIR --reset             empties DIR, before the tests
#   sanitizer-run.sh DIR --check             prints every report, fails on any
# Options already in ASAN_OPTIONS, UBSAN_OPTIONS or LSAN_OPTIONS come after
# these and win (detect_leaks=0, say, to look past a leak).
set -eu
dir=$1
shift
case ${1-} in
  --reset)
    rm -rf "$dir"
    mkdir -p "$dir"
    ;;
  --check)
    found=0
    for report in "$dir"/*; do
      [ -f "$report" ] || continue
      found=$((found + 1))
      echo "== $report"
      cat "$report"
    done
    if [ "$found" -ne 0 ]; then
      echo "$found sanitizer report(s) in $dir"
      exit 1
    fi
    echo "no sanitizer reports in $dir"
    ;;
  *)
    # The directory must exist before a report is written: a sanitizer that
    # cannot open its log file dies without the report.
    mkdir -p "$dir"
    common="halt_on_error=1:abort_on_error=1:log_path=$dir/report"
    ASAN_OPTIONS="$common:detect_leaks=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
    UBSAN_OPTIONS="$common:print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
    # Without print_suppressions=0 a clean run would still write a report
    # file, the list of suppressions it used.
    LSAN_OPTIONS="suppressions=$(dirname "$0")/lsan-suppressions.txt:print_suppressions=0${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
    export ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS
    exec "$@"
    ;;
esac
