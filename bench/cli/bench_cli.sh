#!/usr/bin/env bash
# Wall time of whole pellan-i2c-cli-demo processes, from start to exit, as a
# script sees them: start-up, connecting, the command and shutting down.
#
#   bench/cli/bench_cli.sh [build dir]      (default: build)
#
# Needs hyperfine and jq (Debian packages). The goal is a detect of at most
# 50 ms, so that start-up costs little next to a real scan of about 0.2 s;
# the script exits with 1 when the mean misses it.
set -euo pipefail

here=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
demo="$build/cli/pellan-i2c-cli-demo"
goal_ms=50

for tool in hyperfine jq; do
    command -v "$tool" >/dev/null || { echo "bench_cli.sh: $tool is missing (apt install $tool)" >&2; exit 2; }
done
[ -x "$demo" ] || { echo "bench_cli.sh: build $demo first (cmake --build $build --target pellan-i2c-cli-demo)" >&2; exit 2; }

results=$(mktemp)
trap 'rm -f "$results"' EXIT
# -N: no shell in between, so only the program is timed.
hyperfine -N --warmup 10 --runs 100 --export-json "$results" \
    --command-name "detect (Orvane3, write probes)" "$demo -a OR3-100042 detect" \
    --command-name "detect (Orvane5, read probes)" "$demo -a OR5-200107 detect" \
    --command-name "version (start-up only)" "$demo --version"

mean_ms=$(jq '.results[0].mean * 1000' "$results")
cpu_ms=$(jq '(.results[0].user + .results[0].system) * 1000' "$results")
printf 'detect: %.1f ms mean wall time, %.1f ms CPU (goal <= %d ms wall time)\n' \
    "$mean_ms" "$cpu_ms" "$goal_ms"
jq -e --argjson goal "$goal_ms" '.results[0].mean * 1000 <= $goal' "$results" >/dev/null
