#!/usr/bin/env bash
# Runs the end-to-end suite of a Linux build against the Windows executables
# of a mingw-w64 build, under Wine.
# Usage: tests/windows_check.sh <linux build folder> <windows bin folder>
#
# Left out under Wine: tests that drive a tool on a Unix pseudo-terminal
# (names with "Terminal"); a Windows console is no pty, and Wine's console
# redraws every character with escape sequences. Every test's virtual
# boards and images lie in a folder whose name code page 1252 lacks.
set -euo pipefail
linux_build=$(cd "$1" && pwd)
win_bin=$(cd "$2" && pwd)
e2e="$linux_build/test_bin/e2e_test"
[ -x "$e2e" ] || { echo "windows-check: no end-to-end test binary at $e2e" >&2; exit 1; }
for exe in riffa_sim.exe libriffa_sim.dll; do
  [ -f "$win_bin/$exe" ] || { echo "windows-check: $win_bin/$exe is missing" >&2; exit 1; }
done
. "$(dirname "$0")/wine_env.sh"
wine_start "$(dirname "$win_bin")/wineprefix"
export ZEDA_TEST_RUNNER=wine
export ZEDA_TEST_TOOL_DIR="$win_bin"
export ZEDA_TEST_TOOL_SUFFIX=.exe
export ZEDA_TEST_CRLF=1
export LC_ALL=C.UTF-8
export TMPDIR="$(dirname "$win_bin")/windows-check-tmp/Zażółć gęślą"
rm -rf "$(dirname "$TMPDIR")"
mkdir -p "$TMPDIR"
# Let Wine finish starting up before many tools start at once: a first start
# that races others can hang.
wine "$win_bin/riffa_sim.exe" help >/dev/null

filter=${ZEDA_WINDOWS_FILTER:--*Terminal*}
shards=${JOBS:-$(nproc 2>/dev/null || echo 2)}
logs="$(dirname "$win_bin")/windows-check-logs"
rm -rf "$logs"
mkdir -p "$logs"
pids=()
for ((i = 0; i < shards; i++)); do
  GTEST_TOTAL_SHARDS=$shards GTEST_SHARD_INDEX=$i \
    "$e2e" --gtest_filter="$filter" --gtest_color=no >"$logs/shard$i.log" 2>&1 &
  pids+=($!)
done
failed=0
for pid in "${pids[@]}"; do
  wait "$pid" || failed=1
done

count() { sed -n "s/^\[ *$1 *\] \([0-9]*\) tests\{0,1\}[,.].*/\1/p" "$logs"/shard*.log | awk '{n += $1} END {print n + 0}'; }
passed=$(count PASSED)
skipped=$(count SKIPPED)
ran=$(sed -n 's/^\[==========\] \([0-9]*\) tests\{0,1\} from .* ran\..*/\1/p' "$logs"/shard*.log | awk '{n += $1} END {print n + 0}')
total=$("$e2e" --gtest_list_tests | grep -c '^  ' || true)
if [ $failed -ne 0 ] || [ "$ran" -eq 0 ]; then
  grep -hv '^\[ *\(RUN\|OK\) *\]' "$logs"/shard*.log >&2
  failed=1
fi
echo "windows-check: $passed of $ran end-to-end tests passed with the Windows executables under Wine;" \
  "$skipped skipped themselves, $((total - ran)) of $total left out by the filter $filter (logs in $logs)"
grep -h '^\[  SKIPPED \] [A-Za-z].* ms)$' "$logs"/shard*.log | sed 's/^/  /' || true
exit $failed
