#!/usr/bin/env bash
# The direct route (a run without a checkpoint file, raw format to a file) against the plain GMP
# baseline, measured in the same run: wall time and peak resident memory, and their ratios.
#
#   bench/direct_route.sh [build directory] [digit counts ...]   (default: build 1000000 10000000 100000000)
set -euo pipefail
build=${1:-build}
shift || true
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(1000000 10000000 100000000)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
measure() {  # prints "seconds kilobytes"
  /usr/bin/time -f "%e %M" -o "$out/time" "$@" >/dev/null 2>&1
  cat "$out/time"
}
printf "%12s %12s %12s %8s %12s %12s %8s %s\n" digits "program s" "baseline s" ratio \
  "program MB" "baseline MB" ratio files
for n in "${counts[@]}"; do
  read -r ps pk < <(measure "$build/tindermoss_vale" -d "$n" -f raw -o "$out/program.txt")
  read -r bs bk < <(measure "$build/bench/gmp_baseline" "$n" "$out/baseline.txt")
  same=$(cmp -s "$out/program.txt" "$out/baseline.txt" && echo identical || echo DIFFERENT)
  awk -v n="$n" -v ps="$ps" -v bs="$bs" -v pk="$pk" -v bk="$bk" -v same="$same" 'BEGIN {
    printf "%12d %12.2f %12.2f %7.2fx %12.1f %12.1f %7.2fx %s\n", n, ps, bs, ps / bs, pk / 1024, bk / 1024, pk / bk, same }'
  rm -f "$out/program.txt" "$out/baseline.txt"
done
