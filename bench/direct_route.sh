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
measure() {  # prints "seconds kilobytes"
  local start=$EPOCHREALTIME
  /usr/bin/time -f "%M" -o "$out/time" "$@" >/dev/null 2>&1
  local end=$EPOCHREALTIME
  echo "$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", e - s }') $(cat "$out/time")"
}
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }
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
  ps=$(awk '{ print $1 }' "$out/rounds" | median)
  bs=$(awk '{ print $2 }' "$out/rounds" | median)
  ratio=$(awk '{ print $1 / $2 }' "$out/rounds" | median)
  pk=$(awk '{ print $3 }' "$out/rounds" | sort -g | tail -1)
  bk=$(awk '{ print $4 }' "$out/rounds" | sort -g | tail -1)
  awk -v n="$n" -v ps="$ps" -v bs="$bs" -v r="$ratio" -v pk="$pk" -v bk="$bk" -v same="$same" 'BEGIN {
    printf "%12d %12.3f %12.3f %7.3fx %12.1f %12.1f %7.2fx %s\n", n, ps, bs, r, pk / 1024, bk / 1024, pk / bk, same }'
done
