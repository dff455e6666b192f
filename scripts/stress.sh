#!/usr/bin/env bash
# Runs the GUI, accessibility, device and Python tests again and again:
# first three times each on an idle machine, one test at a time, as on a
# fast developer machine; then in rounds while busy loops keep every core
# loaded, as on a shared build machine or a CI runner. The two find
# different races.
#
#   scripts/stress.sh [rounds] [build dir]
#
# rounds: how often the loaded tests run (20 by default); stops at the first
# round that fails. The build dir (default: build) must hold a build with
# tests. Each loaded round is a ctest run of its own, so that every test
# starts from a fresh private home, as in a normal run.
set -euo pipefail

rounds=${1:-20}
build=${2:-$(cd "$(dirname "$0")/.." && pwd)/build}
cores=$(nproc)

if ! [[ $rounds =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: $0 [rounds] [build dir]" >&2
    exit 2
fi
if [ ! -f "$build/CTestTestfile.cmake" ]; then
    echo "no tests in $build: build it first (./pellan build)" >&2
    exit 2
fi

labels='gui|a11y|device|python'
log=$(mktemp)
loops=()
stop_loops() {
    local pid
    for pid in "${loops[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    wait "${loops[@]}" 2>/dev/null || true
    rm -f "$log"
}
# The loops end however the run ends: passed, failed or interrupted.
trap stop_loops EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

echo "== idle: the gui, a11y, device and python tests, each up to 3 times, one at a time"
start=$SECONDS
if ! ctest --test-dir "$build" --output-on-failure --parallel 1 --repeat until-fail:3 \
    -L "$labels" >"$log" 2>&1; then
    cat "$log"
    echo "stress: the idle repeat failed" >&2
    exit 1
fi
count=$(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$log")
echo "idle: ${count:-all} tests passed 3 times each ($((SECONDS - start)) s)"

for ((i = 0; i < cores; i++)); do
    (while :; do :; done) &
    loops+=("$!")
done
echo "== $cores busy loops; the gui, a11y, device and python tests, $rounds rounds"

for ((round = 1; round <= rounds; round++)); do
    start=$SECONDS
    if ! ctest --test-dir "$build" --output-on-failure --parallel "$cores" \
        -L "$labels" >"$log" 2>&1; then
        cat "$log"
        echo "stress: round $round of $rounds failed" >&2
        exit 1
    fi
    count=$(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$log")
    echo "round $round of $rounds: ${count:-all} tests passed ($((SECONDS - start)) s)"
done
echo "stress: the idle repeat and $rounds rounds with $cores busy loops passed"
