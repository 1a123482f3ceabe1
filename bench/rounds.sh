# shellcheck shell=bash
# Shared by the bench scripts that run the program and plain GMP in turn (sourced, with $out a
# folder of their own).

# Runs a command, its output discarded: prints its wall time in seconds, read to the millisecond,
# and its peak resident memory in kilobytes.
measure() {
  local start=$EPOCHREALTIME
  # shellcheck disable=SC2154 # $out is the sourcing script's
  /usr/bin/time -f "%M" -o "$out/time" "$@" >/dev/null 2>&1
  local end=$EPOCHREALTIME
  echo "$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", e - s }') $(cat "$out/time")"
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }

# From a file of rounds, one a line ("program_s baseline_s program_kB baseline_kB"): the median
# times, the median of the rounds' ratios, and the highest memories, on one line.
summarize_rounds() {
  echo "$(awk '{ print $1 }' "$1" | median) $(awk '{ print $2 }' "$1" | median)" \
    "$(awk '{ print $1 / $2 }' "$1" | median)" \
    "$(awk '{ print $3 }' "$1" | sort -g | tail -1) $(awk '{ print $4 }' "$1" | sort -g | tail -1)"
}
