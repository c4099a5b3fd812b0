#!/usr/bin/env bash
# Start-up cost of the program itself: "mac_installer __qvr_invoke_other FILE"
# with an argument file naming a runtime that does not exist (the program
# reads the file, finds no runtime, writes its message and ends with status 1)
# against a C program that returns 0 at once. Both run alternately in one
# session (bench/start_timer.c spawns them and reads the kernel's accounting);
# prints the medians of wall time and of CPU time, their difference and ratio.
#
# usage: bench/start_cost.sh [PROGRAM [RUNS]]
#   PROGRAM  the built launcher (default: build/mac_installer)
#   RUNS     runs of each command (default: 30)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
program=${1:-$here/../build/mac_installer}
runs=${2:-30}

[ -x "$program" ] || { echo "start_cost.sh: no program at $program (build first)" >&2; exit 1; }
command -v cc > /dev/null || { echo "start_cost.sh: no C compiler (cc)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/start-cost.XXXXXX")
trap 'rm -rf "$work"' EXIT
printf 'int main(void) { return 0; }\n' > "$work/true.c"
cc -O2 -o "$work/true" "$work/true.c"
cc -O2 -o "$work/start_timer" "$here/start_timer.c"

# No graphical session: the message would otherwise also start a dialog tool.
unset DISPLAY WAYLAND_DISPLAY
text=$(printf '%s\n-cp\n%s\nHello' "$work/no-such-runtime" "$work")
"$work/start_timer" "$runs" "$work/arguments" "$text" \
  "$work/true" -- "$program" __qvr_invoke_other "$work/arguments" > "$work/times"

# median of column $2 for rows of kind $1
median() {
  awk -v k="$1" -v c="$2" '$1 == k { print $c }' "$work/times" | sort -n |
    awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
echo "program: $program"
echo "runs:    $runs of each, alternating"
awk -v cw="$(median A 2)" -v pw="$(median B 2)" -v cc="$(median A 3)" -v pc="$(median B 3)" 'BEGIN {
  printf "                                          wall (median)   CPU (median)\n"
  printf "C program returning 0                      %8.2f ms     %8.2f ms\n", cw / 1e3, cc / 1e3
  printf "mac_installer, argument file, no runtime   %8.2f ms     %8.2f ms\n", pw / 1e3, pc / 1e3
  printf "difference (program - C program)           %8.2f ms     %8.2f ms\n", (pw - cw) / 1e3, (pc - cc) / 1e3
  printf "ratio (program / C program)                %8.3f        %8.3f\n", pw / cw, pc / cc
}'
