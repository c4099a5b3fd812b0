#!/usr/bin/env bash
# Start-up cost of the in-process start against running java directly.
# Runs, alternating in one session, "java -cp DIR Hello" and
# "mac_installer __qvr_invoke_other ARGFILE" (a fresh argument file per
# run, since the program consumes it) for the same class and runtime, and
# prints the median wall times and their ratio.
#
# usage: bench/invoke_other.sh [PROGRAM [RUNS]]
#   PROGRAM  the built launcher (default: build/mac_installer)
#   RUNS     runs of each command (default: 21)
#   JAVA_HOME selects the runtime (default: /usr/lib/jvm/java-17-openjdk-amd64)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
program=${1:-$here/../build/mac_installer}
runs=${2:-21}
java_home=${JAVA_HOME:-/usr/lib/jvm/java-17-openjdk-amd64}

[ -x "$program" ] || { echo "invoke_other.sh: no program at $program (build first)" >&2; exit 1; }
[ -x "$java_home/bin/javac" ] || { echo "invoke_other.sh: no JDK at $java_home" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/invoke-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

cat > "$work/Hello.java" <<'EOF'
public class Hello {
  public static void main(String[] args) {
    System.out.println("Hello");
  }
}
EOF
"$java_home/bin/javac" -d "$work/classes" "$work/Hello.java"

now() { date +%s%N; }

# Milliseconds (three decimals) of one run of the given command, output discarded.
time_java() {
  local start end
  start=$(now)
  "$java_home/bin/java" -cp "$work/classes" Hello > /dev/null
  end=$(now)
  echo $(( end - start ))
}
time_invoke() {
  local start end
  printf '%s\n-cp\n%s\nHello' "$java_home" "$work/classes" > "$work/arguments"
  start=$(now)
  "$program" __qvr_invoke_other "$work/arguments" > /dev/null
  end=$(now)
  [ ! -e "$work/arguments" ] || { echo "invoke_other.sh: argument file not consumed" >&2; exit 1; }
  echo $(( end - start ))
}

# The program's own share: a file naming no runtime ends before any library is loaded.
time_bare() {
  local start end
  printf '%s' "$java_home" > "$work/arguments"
  start=$(now)
  "$program" __qvr_invoke_other "$work/arguments" > /dev/null 2>&1 || true
  end=$(now)
  echo $(( end - start ))
}

# Warm the page cache for both before measuring.
time_java > /dev/null
time_invoke > /dev/null

: > "$work/java.ns"
: > "$work/invoke.ns"
: > "$work/bare.ns"
for ((i = 0; i < runs; i++)); do
  time_java >> "$work/java.ns"
  time_invoke >> "$work/invoke.ns"
  time_bare >> "$work/bare.ns"
done

median() { sort -n "$1" | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
java_ns=$(median "$work/java.ns")
invoke_ns=$(median "$work/invoke.ns")
bare_ns=$(median "$work/bare.ns")

echo "runtime: $java_home"
echo "runs:    $runs of each, alternating"
awk -v j="$java_ns" -v i="$invoke_ns" -v b="$bare_ns" 'BEGIN {
  printf "java -cp DIR Hello                      median %8.2f ms\n", j / 1e6
  printf "mac_installer __qvr_invoke_other FILE   median %8.2f ms\n", i / 1e6
  printf "mac_installer without a runtime         median %8.2f ms\n", b / 1e6
  printf "ratio (in-process / java)               %8.3f\n", i / j
}'
