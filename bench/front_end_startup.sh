#!/usr/bin/env bash
# Start-up time of the front end up to the launch of the Java child, read from
# the diagnostic log's timestamps: from the first line ("app started") to the
# child's argument line, which is written just before the child is started.
# Two bundles: one whose runtime is found on the machine, one holding the JDK
# as its runtime archive (extraction included). The five-second pause after
# the launch is not part of the figure.
#
# usage: bench/front_end_startup.sh [PROGRAM [RUNS]]
#   PROGRAM   the built launcher (default: build/mac_installer)
#   RUNS      runs of each bundle (default: 3; each run lasts five seconds or more)
#   JAVA_HOME the JDK made into the archive (default: /usr/lib/jvm/java-17-openjdk-amd64)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
program=${1:-$here/../build/mac_installer}
runs=${2:-3}
java_home=${JAVA_HOME:-/usr/lib/jvm/java-17-openjdk-amd64}

[ -x "$program" ] || { echo "front_end_startup.sh: no program at $program (build first)" >&2; exit 1; }
[ -x "$java_home/bin/javac" ] || { echo "front_end_startup.sh: no JDK at $java_home" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/front-bench.XXXXXX")
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

# The end-to-end tests' cached archive when present, else one made here.
archive=$(dirname "$program")/e2e-cache/jdk17-runtime.tar.gz
if [ ! -f "$archive" ]; then
  archive=$work/jre.tar.gz
  tar --dereference --exclude=./jmods --exclude=./docs --exclude=./lib/src.zip \
      --exclude=./lib/libatk-wrapper.so --transform='s,^\.,Contents/Home,' \
      -czf "$archive" -C "$java_home" .
fi

make_bundle() {
  "$here/../scripts/make-bundle" --program "$program" --main-class Hello --jar "$work/hello.jar" "$@" > /dev/null
}
make_bundle --name Found --output "$work/Found.app" --min-version 17
make_bundle --name Archive --output "$work/Archive.app" --runtime-archive "$archive"

# Milliseconds between two log lines' "HH:MM:SS.mmm" times.
span_ms() {
  awk -v first="$1" -v last="$2" '
    function ms(t,  p) { split(t, p, ":"); return ((p[1] * 60 + p[2]) * 60 + p[3]) * 1000 }
    index($0, first) && !a { a = ms($2) }
    index($0, last) && !b { b = ms($2) }
    END { if (!a || !b) exit 1; printf "%.0f\n", b - a }' "$3"
}

measure() {
  local name=$1 times=() i log
  for ((i = 0; i < runs; i++)); do
    log=$work/$name.$i.log
    env -u DISPLAY -u WAYLAND_DISPLAY QUORVANE_LOG=yes TMPDIR="$work/tmp" \
      "$work/$name.app/Contents/MacOS/$name" < /dev/null > /dev/null 2> "$log" || true
    times+=("$(span_ms "app started" "args:" "$log")") ||
      { echo "front_end_startup.sh: $name did not reach the launch; log:" >&2; cat "$log" >&2; exit 1; }
  done
  printf '%s\n' "${times[@]}" | sort -n | awk -v n="$name" '
    { v[NR] = $1 } END { printf "%-8s start to child launch: median %d ms, min %d ms, max %d ms (%d runs)\n",
                         n, v[int((NR + 1) / 2)], v[1], v[NR], NR }'
}

echo "archive: $archive ($(du -h "$archive" | cut -f1))"
measure Found
measure Archive
