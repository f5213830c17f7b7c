#!/usr/bin/env bash
# Counts the tests of the ctest runs kept in a folder and names each skipped one with its reason.
# For each run NAME the folder holds NAME.log (ctest's console output) and NAME.last.log (the
# run's Testing/Temporary/LastTest.log, which keeps the output of every test, skipped ones too).
# The last line is "N passed, N failed, N skipped"; a skipped test does not count as passed.
set -euo pipefail
logs=${1:?usage: test-summary.sh LOG-FOLDER}

# The reason a test gave for its skip, from its output in LastTest.log: GoogleTest's message
# after "Skipped", QtTest's SKIP line, or else the last line the test wrote.
skip_reason() {
  local test=$1 last=$2
  [[ -f $last ]] || { echo "no log"; return; }
  awk -v test="$test" '
    $0 ~ /^[0-9]+\/[0-9]+ Test: / { inside = (substr($0, index($0, ": ") + 2) == test); next }
    !inside { next }
    /^<end of output>$/ { inside = 0; next }
    /^(Output:|-+)$/ { next }
    /: Skipped$/ { in_gtest = 1; next }
    in_gtest && /^\[  SKIPPED \]/ { in_gtest = 0; if (gtest == "") gtest = "no reason given"; next }
    in_gtest { gtest = gtest (gtest == "" ? "" : " ") $0; next }
    /^SKIP +: / { qt = $0; sub(/^SKIP +: /, "", qt); next }
    NF { last_line = $0 }
    END { print (gtest != "" ? gtest : qt != "" ? qt : last_line != "" ? last_line : "no output") }
  ' "$last"
}

passed=0 failed=0 skipped=0
for log in "$logs"/*.log; do
  [[ $log == *.last.log ]] && continue
  run=$(basename "$log" .log)
  total=$(sed -n 's/.*tests passed, \([0-9]*\) tests failed out of \([0-9]*\).*/\2/p' "$log")
  run_failed=$(sed -n 's/.*tests passed, \([0-9]*\) tests failed out of \([0-9]*\).*/\1/p' "$log")
  # "The following tests did not run:" lists lines "<tab> 12 - Name (Skipped)".
  mapfile -t not_run < <(awk '/^The following tests did not run:/ { on = 1; next }
                               on && /^\t/ { sub(/^\t *[0-9]+ - /, ""); print; next } on { exit }' \
    "$log")
  for entry in "${not_run[@]}"; do
    test=${entry% (*}
    echo "skipped in $run: $test: $(skip_reason "$test" "$logs/$run.last.log")"
  done
  passed=$((passed + ${total:-0} - ${run_failed:-0} - ${#not_run[@]}))
  failed=$((failed + ${run_failed:-0}))
  skipped=$((skipped + ${#not_run[@]}))
done
echo "$passed passed, $failed failed, $skipped skipped"
