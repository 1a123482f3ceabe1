#!/usr/bin/env bash
# The direct route (a run without a checkpoint file, raw format to a file) against the plain GMP
# baseline, measured in the same run: wall time and peak resident memory, and their ratios.
# With ROUNDS=k (default 1), each count is run k times, the program and the baseline in turn, and
# the medians are shown (the ratio's is the median of the rounds' own ratios), the memory's
# highest; times are read to the millisecond.
#
#   [ROUNDS=k] bench/direct_route.sh [build directory] [digit counts ...]
#   (default: build 1000000 10000000 100000000)
set -euo pipefail
build=${1:-build}
shift || true
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(1000000 10000000 100000000)
rounds=${ROUNDS:-1}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
# shellcheck source=bench/rounds.sh
source "$(dirname "$0")/rounds.sh"
printf "%12s %12s %12s %8s %12s %12s %8s %s\n" digits "program s" "baseline s" ratio \
  "program MB" "baseline MB" ratio files
for n in "${counts[@]}"; do
  : >"$out/rounds"
  same=identical
  for _ in $(seq "$rounds"); do
    read -r ps pk < <(measure "$build/tindermoss_vale" -d "$n" -f raw -o "$out/program.txt")
    read -r bs bk < <(measure "$build/bench/gmp_baseline" "$n" "$out/baseline.txt")
    cmp -s "$out/program.txt" "$out/baseline.txt" || same=DIFFERENT
    echo "$ps $bs $pk $bk" >>"$out/rounds"
    rm -f "$out/program.txt" "$out/baseline.txt"
  done
  read -r ps bs ratio pk bk < <(summarize_rounds "$out/rounds")
  awk -v n="$n" -v ps="$ps" -v bs="$bs" -v r="$ratio" -v pk="$pk" -v bk="$bk" -v same="$same" 'BEGIN {
    printf "%12d %12.3f %12.3f %7.3fx %12.1f %12.1f %7.2fx %s\n", n, ps, bs, r, pk / 1024, bk / 1024, pk / bk, same }'
done
