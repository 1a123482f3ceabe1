#!/usr/bin/env bash
# The Windows programs under Wine against plain GMP (mpz_sqrt + mpz_get_str + fwrite) built for
# the same target, and against the Linux program: a run without a checkpoint file and one with,
# raw format to a file, each the median of several runs taken in turn with the baseline's and the
# Linux program's, with Wine kept running throughout. Also checks that every output equals the
# baseline's.
#
#   bench/windows_speed.sh [runs] [digits] [Windows build folders ...]
#   (default: 5 10000000 build-windows build-windows64; the Linux program from $LINUX_BUILD, else
#   build)
set -euo pipefail
runs=${1:-5}
digits=${2:-10000000}
shift 2 || shift $#
builds=("$@")
linux=${LINUX_BUILD:-build}/tindermoss_vale
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
printf "%-18s %11s %8s %8s %8s %9s %7s %8s %8s %9s %7s %s\n" program digits "GMP s" "plain s" "-r s" \
  "plain/GMP" "-r/GMP" "Linux s" "Linux -r" "/Linux" "-r/Lin" digits
for build in "${builds[@]}"; do
  exe=$build/tindermoss_vale.exe
  wine "$exe" -d 10 >/dev/null 2>&1  # the first start sets up Wine's prefix
  gmp=() plain=() block_engine=() linux_plain=() linux_block_engine=()
  same=identical
  for _ in $(seq "$runs"); do
    gmp+=("$(seconds wine "$build/bench/gmp_baseline.exe" "$digits" "$out/baseline.txt")")
    plain+=("$(seconds wine "$exe" -d "$digits" -f raw -o "$out/plain.txt")")
    rm -f "$out/run.ck"
    block_engine+=("$(seconds wine "$exe" -d "$digits" -r "$out/run.ck" -f raw -o "$out/block_engine.txt")")
    linux_plain+=("$(seconds "$linux" -d "$digits" -f raw -o "$out/linux_plain.txt")")
    rm -f "$out/linux.ck"
    linux_block_engine+=("$(seconds "$linux" -d "$digits" -r "$out/linux.ck" -f raw -o "$out/linux_block_engine.txt")")
    for file in plain block_engine linux_plain linux_block_engine; do
      cmp -s "$out/$file.txt" "$out/baseline.txt" || same=DIFFERENT
    done
  done
  g=$(median "${gmp[@]}") p=$(median "${plain[@]}") s=$(median "${block_engine[@]}")
  lp=$(median "${linux_plain[@]}") ls=$(median "${linux_block_engine[@]}")
  awk -v b="$build" -v d="$digits" -v g="$g" -v p="$p" -v s="$s" -v lp="$lp" -v ls="$ls" -v same="$same" \
    'BEGIN {printf "%-18s %11s %8s %8s %8s %8.2fx %6.2fx %8s %8s %8.2fx %6.2fx %s\n", b, d, g, p, s, p / g, s / g, lp, ls, p / lp, s / ls, same}'
done
