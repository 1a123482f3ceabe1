#!/usr/bin/env bash
# A run with a checkpoint file (the block engine; raw format to a file) against the plain GMP
# baseline and against the sweep engine, measured in the same run: wall time, peak resident memory
# and their ratios, and whether the digits equal the baseline's and a run without a checkpoint
# file. The sweep engine is the one of a build without GMP; it is timed up to `sweep_limit` digits
# and extrapolated from its last two counts beyond that (its time grows as a power of the digits).
# With ROUNDS=k (default 1), the run with a checkpoint file and the baseline are run k times in
# turn and their medians shown (the ratio's is the median of the rounds' own ratios), the
# memory's highest; times are read to the millisecond.
#
#   [ROUNDS=k] bench/checkpointable_run.sh [build] [build without GMP] [sweep_limit] [counts ...]
#   (default: build build-nogmp 10000000 1000000 10000000 100000000)
set -euo pipefail
build=${1:-build}
sweep_build=${2:-build-nogmp}
sweep_limit=${3:-10000000}
shift 3 || shift $#
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(1000000 10000000 100000000)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
rounds=${ROUNDS:-1}
# shellcheck source=bench/rounds.sh
source "$(dirname "$0")/rounds.sh"
printf "%11s %9s %9s %7s %9s %9s %7s %11s %8s %s\n" digits "-r s" "GMP s" ratio "-r MB" "GMP MB" ratio \
  "sweep s" "sweep/-r" digits
sweep_times=()
sweep_counts=()
for n in "${counts[@]}"; do
  : >"$out/rounds"
  "$build/tindermoss_vale" -d "$n" -f raw -o "$out/direct.txt" >/dev/null 2>&1
  same=identical
  for _ in $(seq "$rounds"); do
    rm -f "$out/run.ck"
    read -r rs rk < <(measure "$build/tindermoss_vale" -d "$n" -r "$out/run.ck" -f raw -o "$out/block_engine.txt")
    read -r bs bk < <(measure "$build/bench/gmp_baseline" "$n" "$out/baseline.txt")
    if ! cmp -s "$out/block_engine.txt" "$out/baseline.txt" || ! cmp -s "$out/block_engine.txt" "$out/direct.txt"; then
      same=DIFFERENT
    fi
    echo "$rs $bs $rk $bk" >>"$out/rounds"
  done
  read -r rs bs ratio rk bk < <(summarize_rounds "$out/rounds")
  if [ "$n" -le "$sweep_limit" ] && [ -x "$sweep_build/tindermoss_vale" ]; then
    rm -f "$out/sweep.ck"
    read -r ss _ < <(measure "$sweep_build/tindermoss_vale" -d "$n" -r "$out/sweep.ck" -f raw -o "$out/sweep.txt")
    cmp -s "$out/sweep.txt" "$out/block_engine.txt" || same="$same, sweep DIFFERENT"
    sweep_times+=("$ss")
    sweep_counts+=("$n")
    sweep="$ss"
  elif [ ${#sweep_times[@]} -ge 2 ]; then
    k=${#sweep_times[@]}
    sweep=$(awk -v t1="${sweep_times[k-2]}" -v t2="${sweep_times[k-1]}" -v n1="${sweep_counts[k-2]}" \
      -v n2="${sweep_counts[k-1]}" -v n="$n" 'BEGIN {
        e = log(t2 / t1) / log(n2 / n1); printf "~%.0f", t2 * exp(e * log(n / n2)) }')
  else
    sweep="-"
  fi
  awk -v n="$n" -v rs="$rs" -v bs="$bs" -v r="$ratio" -v rk="$rk" -v bk="$bk" -v ss="$sweep" -v same="$same" 'BEGIN {
    s = ss; sub(/^~/, "", s)
    ratio = (ss == "-") ? "-" : sprintf("%.0fx", s / rs)
    printf "%11d %9.3f %9.3f %6.3fx %9.1f %9.1f %6.2fx %11s %8s %s\n", n, rs, bs, r, rk / 1024,
      bk / 1024, rk / bk, ss, ratio, same }'
  rm -f "$out"/*.txt
done
