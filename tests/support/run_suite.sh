#!/usr/bin/env bash
# Runs the tests of one GoogleTest binary in one process: the board's
# programs, not the test processes, are what the suites spend their time on.
# Should that process die before it has run them all (a crash, an abort),
# each of its tests is run again on its own, so that no test's end can hide
# another's result.
#
#   run_suite.sh BINARY
set -uo pipefail
binary=$1
"$binary"
status=$?
if [ "$status" -le 1 ]; then
  exit "$status" # 0: every test passed; 1: GoogleTest has listed the failures
fi
echo "run_suite: $(basename "$binary") ended with status $status; running each of its tests on its own" >&2
failures=0
suite=""
while IFS= read -r line; do
  case $line in
    "  "*) name=${line#  }; name=${name%%  *}
           "$binary" --gtest_filter="$suite$name" >/dev/null 2>&1 || { echo "run_suite: FAILED $suite$name" >&2; failures=$((failures + 1)); } ;;
    *) suite=${line%%  *} ;;
  esac
done < <("$binary" --gtest_list_tests)
echo "run_suite: $failures test(s) failed on their own" >&2
exit 1
