#!/usr/bin/env bash
# The command-line watch on the demo as a logging script runs it: the LM75 of
# the demo's Orvane3 every 10 ms for 60 s (6,001 samples, the last planned at
# 60 s), each answer report of the simulated adapter taking 1 ms as on
# full-speed USB, so that a poll (pointer write and read) takes about 2 ms.
#
#   bench/cli/bench_cli_watch.sh [build dir] [seconds]   (default: build, 60)
#
# Needs jq (a Debian package). Prints the rate achieved, the slots skipped,
# how late the samples began against their planned times (the slot of the
# grid k x 10 ms they belong to): the last one, the mean and the worst, and
# the two polls that came closest.
# The goal is a last sample at most 2 ms off its planned time; the script
# exits with 1 when it is missed.
set -euo pipefail

here=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
seconds=${2:-60}
demo="$build/cli/pellan-i2c-cli-demo"
interval_ms=10
goal_ms=2

command -v jq >/dev/null || { echo "bench_cli_watch.sh: jq is missing (apt install jq)" >&2; exit 2; }
[ -x "$demo" ] || { echo "bench_cli_watch.sh: build $demo first (cmake --build $build --target pellan-i2c-cli-demo)" >&2; exit 2; }

samples=$((seconds * 1000 / interval_ms + 1))
out=$(mktemp)
trap 'rm -f "$out"' EXIT
started=$(date +%s%N)
PELLAN_SIM_REPORT_DELAY_US=1000 "$demo" -a OR3-100042 --json watch 0x48 2 --register 0 \
    --format s16be --shift 7 --scale 0.5 --unit °C --interval "${interval_ms}ms" \
    --samples "$samples" >"$out"
ended=$(date +%s%N)

# seconds is the time since the first poll began, to the microsecond. A poll
# never begins before its slot, so a sample belongs to the slot at or before
# it (give or take the microsecond of rounding).
jq -rs --argjson interval "$interval_ms" --argjson goal "$goal_ms" \
    --argjson wall "$(((ended - started) / 1000000))" '
    def slot: (.seconds * 1000 + 0.001) / $interval | floor;
    def late: .seconds * 1000 - slot * $interval;
    (map(late)) as $late
    | (.[-1] | slot) as $slot
    | "samples: \(length) in \(.[-1].seconds) s (process \($wall / 1000) s), \(map(select(.ok | not)) | length) failed",
      "rate: \((length - 1) / .[-1].seconds * 100 | round / 100) samples/s (planned \(1000 / $interval)); slots skipped: \($slot - (length - 1))",
      "late against the plan: last \($late[-1] * 1000 | round / 1000) ms, mean \($late | add / length * 1000 | round / 1000) ms, worst \($late | max * 1000 | round / 1000) ms",
      "closest polls: \([range(1; length) as $i | .[$i].seconds - .[$i - 1].seconds] | min * 1000000 | round / 1000) ms apart (never below half the interval, \($interval / 2) ms)",
      "drift of the last sample: \($late[-1] | fabs * 1000 | round / 1000) ms (goal <= \($goal) ms)"
' "$out"
jq -se --argjson interval "$interval_ms" --argjson goal "$goal_ms" '
    .[-1].seconds * 1000 | . - ((. + 0.001) / $interval | floor) * $interval | fabs <= $goal
' "$out" >/dev/null
