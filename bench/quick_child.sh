#!/usr/bin/env bash
# Wall time of a whole front-end run whose Java program exits at once,
# against running the same program with plain java. Runs the two in turn,
# pair by pair, in one session (a bundle made by make-bundle whose runtime
# is found on the machine, no display, standard input from /dev/null), and
# prints each one's median, minimum and maximum and the median of the
# pairwise ratios.
#
# usage: bench/quick_child.sh [PROGRAM [RUNS]]
#   PROGRAM   the built launcher (default: build/mac_installer)
#   RUNS      pairs of runs (default: 21)
#   JAVA_HOME the runtime (default: /usr/lib/jvm/java-17-openjdk-amd64)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
program=${1:-$here/../build/mac_installer}
runs=${2:-21}
java_home=${JAVA_HOME:-/usr/lib/jvm/java-17-openjdk-amd64}

[ -x "$program" ] || { echo "quick_child.sh: no program at $program (build first)" >&2; exit 1; }
[ -x "$java_home/bin/javac" ] || { echo "quick_child.sh: no JDK at $java_home" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/quick-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/tmp"

cat > "$work/Hello.java" <<'EOF'
public class Hello {
  public static void main(String[] args) {
    System.out.println("Hello");
  }
}
EOF
"$java_home/bin/javac" -d "$work/classes" "$work/Hello.java"
"$java_home/bin/jar" cf "$work/hello.jar" -C "$work/classes" Hello.class
"$here/../scripts/make-bundle" --program "$program" --name Quick --main-class Hello --jar "$work/hello.jar" \
  --min-version 17 --output "$work/Quick.app" > /dev/null
launcher=$work/Quick.app/Contents/MacOS/Quick

now() { date +%s%N; }
# Nanoseconds of one run; a run that does not print the greeting is no run.
time_run() {
  local start end out
  start=$(now)
  out=$("$@" < /dev/null 2> /dev/null)
  end=$(now)
  [ "$out" = Hello ] || { echo "quick_child.sh: $* printed '$out'" >&2; exit 1; }
  echo $(( end - start ))
}
time_launcher() { time_run env -u DISPLAY -u WAYLAND_DISPLAY -u QUORVANE_LOG TMPDIR="$work/tmp" "$launcher"; }
time_java() { time_run "$java_home/bin/java" -cp "$work/hello.jar" Hello; }

# Warm the page cache for both before measuring.
time_java > /dev/null
time_launcher > /dev/null

: > "$work/pairs"
for ((i = 0; i < runs; i++)); do
  echo "$(time_launcher) $(time_java)" >> "$work/pairs"
done

stats() {  # column 1 or 2 of the pairs file in milliseconds, or "ratio"
  awk -v c="$1" '{ if (c == "ratio") print $1 / $2; else print $c / 1e6 }' "$work/pairs" | sort -g |
    awk '{ v[NR] = $1 } END {
      m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
      printf "median %9.3f  min %9.3f  max %9.3f", m, v[1], v[NR] }'
}

echo "runtime: $java_home"
echo "runs:    $runs pairs, launcher and java in turn"
echo "front end, Java exits at once (ms)   $(stats 1)"
echo "java -cp hello.jar Hello (ms)        $(stats 2)"
echo "ratio front end / java               $(stats ratio)"
