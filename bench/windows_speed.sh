#!/usr/bin/env bash
# The Windows programs under Wine against plain GMP (mpz_sqrt + mpz_get_str + fwrite) built for
# the same target: a run without a checkpoint file and one with, raw format to a file, each the
# median of several runs taken in turn with the baseline's, with Wine kept running throughout.
# Also checks that every output equals the baseline's.
#
#   bench/windows_speed.sh [runs] [digits] [Windows build folders ...]
#   (default: 5 10000000 build-windows build-windows64)
set -euo pipefail
runs=${1:-5}
digits=${2:-10000000}
shift 2 || shift $#
builds=("$@")
[ ${#builds[@]} -gt 0 ] || builds=(build-windows build-windows64)
out=$(mktemp -d)
export WINEDEBUG=-all WINEPREFIX="$out/prefix" WINEDLLOVERRIDES="mscoree,mshtml="
trap 'wineserver -k 2>/dev/null || true; rm -rf "$out"' EXIT
mkdir -p "$WINEPREFIX"
wineserver -p  # Wine stays up between the runs
seconds() {  # the wall time of a command
  /usr/bin/time -f "%e" -o "$out/time" "$@" >/dev/null 2>&1
  cat "$out/time"
}
median() { printf '%s\n' "$@" | sort -g | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
printf "%-18s %11s %9s %9s %9s %8s %8s %s\n" program digits "GMP s" "plain s" "-r s" "plain/GMP" "-r/GMP" digits
for build in "${builds[@]}"; do
  exe=$build/tindermoss_vale.exe
  wine "$exe" -d 10 >/dev/null 2>&1  # the first start sets up Wine's prefix
  gmp=() plain=() block_engine=()
  same=identical
  for _ in $(seq "$runs"); do
    gmp+=("$(seconds wine "$build/bench/gmp_baseline.exe" "$digits" "$out/baseline.txt")")
    plain+=("$(seconds wine "$exe" -d "$digits" -f raw -o "$out/plain.txt")")
    rm -f "$out/run.ck"
    block_engine+=("$(seconds wine "$exe" -d "$digits" -r "$out/run.ck" -f raw -o "$out/block_engine.txt")")
    cmp -s "$out/plain.txt" "$out/baseline.txt" && cmp -s "$out/block_engine.txt" "$out/baseline.txt" ||
      same=DIFFERENT
  done
  g=$(median "${gmp[@]}") p=$(median "${plain[@]}") s=$(median "${block_engine[@]}")
  awk -v b="$build" -v d="$digits" -v g="$g" -v p="$p" -v s="$s" -v same="$same" \
    'BEGIN {printf "%-18s %11s %9s %9s %9s %8.2f %8.2f %s\n", b, d, g, p, s, p / g, s / g, same}' 
done
