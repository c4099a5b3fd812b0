#!/usr/bin/env bash
# Archive extraction against GNU tar, bsdtar and the bare decompression.
# Builds a runtime archive from a real JDK laid out as Contents/Home/...
# (symbolic links kept), then runs side by side, rotating their order, each
# into a fresh directory on the same disk:
#   floor   the extraction's own decompression loop alone, output discarded
#           (bench/inflate_floor.c)
#   gnutar  tar -xzf ARCHIVE -C DEST
#   bsdtar  bsdtar -xzf ARCHIVE -C DEST
#   untar   build/untar ARCHIVE DEST
# and prints the median wall times, the ratios of untar to the others, and
# the peak memory of each (from /usr/bin/time -v when present). The tree
# extracted by untar is verified once against the source: diff -r
# --no-dereference, then modes and link targets of every entry.
#
# usage: bench/untar.sh [UNTAR [RUNS]]
#   UNTAR     the built tool (default: build/untar; build it in Release)
#   RUNS      rounds of the four commands (default: 7)
#   JDK       the tree to archive (default: /usr/lib/jvm/java-17-openjdk-amd64)
#   BENCH_DIR parent of the work directory (default: $TMPDIR or /tmp)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
untar=${1:-$here/../build/untar}
runs=${2:-7}
jdk=${JDK:-/usr/lib/jvm/java-17-openjdk-amd64}

[ -x "$untar" ] || { echo "untar.sh: no tool at $untar (build first)" >&2; exit 1; }
[ -d "$jdk" ] || { echo "untar.sh: no JDK at $jdk" >&2; exit 1; }
command -v bsdtar > /dev/null || { echo "untar.sh: bsdtar missing (libarchive-tools)" >&2; exit 1; }
command -v cc > /dev/null || { echo "untar.sh: no C compiler" >&2; exit 1; }

work=$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/untar-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

cc -O2 -o "$work/inflate_floor" "$here/inflate_floor.c" -lz
mkdir -p "$work/stage/Contents"
cp -a "$jdk" "$work/stage/Contents/Home"
tar -C "$work/stage" -czf "$work/jre.tar.gz" Contents
archive=$work/jre.tar.gz
bytes=$("$work/inflate_floor" "$archive")
printf 'archive: %s, %d MB compressed, %d MB uncompressed, %d entries\n' "$jdk" \
  $(( $(stat -c %s "$archive") / 1000000 )) $(( bytes / 1000000 )) "$(find "$work/stage" | wc -l)"

# One run of a command into a fresh directory; prints nanoseconds.
run_floor() { "$work/inflate_floor" "$archive" > /dev/null; }
run_gnutar() { tar -xzf "$archive" -C "$1"; }
run_bsdtar() { bsdtar -xzf "$archive" -C "$1"; }
run_untar() { "$untar" "$archive" "$1" "$bytes" > /dev/null; }
run_cp() { cp -a "$work/stage/Contents" "$1/"; }

timed() {
  local name=$1 dest=$work/out-$1 start end
  rm -rf "$dest" && mkdir "$dest"
  sync
  start=$(date +%s%N)
  "run_$name" "$dest"
  end=$(date +%s%N)
  echo $(( end - start ))
}

names=(floor gnutar bsdtar untar cp)
declare -A samples
for (( r = 0; r < runs; r++ )); do
  # Rotate the order so that no command always runs first or last.
  for (( i = 0; i < ${#names[@]}; i++ )); do
    name=${names[$(( (i + r) % ${#names[@]} ))]}
    samples[$name]+="$(timed "$name") "
  done
done

median() { tr ' ' '\n' | grep . | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
declare -A med
for name in "${names[@]}"; do med[$name]=$(echo "${samples[$name]}" | median); done

seconds() { awk -v ns="$1" 'BEGIN { printf "%.3f", ns / 1e9 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

echo
printf '%-8s %10s   (median of %d runs)\n' command seconds "$runs"
for name in "${names[@]}"; do printf '%-8s %10s\n' "$name" "$(seconds "${med[$name]}")"; done
echo
printf 'untar / gnutar: %s (goal <= 0.50)\n' "$(ratio "${med[untar]}" "${med[gnutar]}")"
printf 'untar / bsdtar: %s (goal <= 0.85)\n' "$(ratio "${med[untar]}" "${med[bsdtar]}")"
printf 'untar / floor:  %s (goal <= 1.05)\n' "$(ratio "${med[untar]}" "${med[floor]}")"

# Peak resident memory of one run (KB); GNU tar's figure covers its gzip child.
peak() {
  { /usr/bin/time -v "$@" 2>&1 >/dev/null; } | awk -F: '/Maximum resident set size/ { gsub(/ /, "", $2); print $2 }'
}
if [ -x /usr/bin/time ]; then
  echo
  for name in gnutar bsdtar untar; do rm -rf "$work/mem-$name" && mkdir "$work/mem-$name"; done
  printf 'peak memory floor  %6d KB\n' "$(peak "$work/inflate_floor" "$archive")"
  printf 'peak memory gnutar %6d KB\n' "$(peak tar -xzf "$archive" -C "$work/mem-gnutar")"
  printf 'peak memory bsdtar %6d KB\n' "$(peak bsdtar -xzf "$archive" -C "$work/mem-bsdtar")"
  printf 'peak memory untar  %6d KB (goal < 8192)\n' "$(peak "$untar" "$archive" "$work/mem-untar" "$bytes")"
fi

# Verification of the last untar tree.
rm -rf "$work/out-untar" && mkdir "$work/out-untar"
log=$("$untar" "$archive" "$work/out-untar" "$bytes" 2>&1 >/dev/null)
[ -z "$log" ] || { echo "untar.sh: the tool logged: $log" >&2; exit 1; }
diff -r --no-dereference "$work/stage" "$work/out-untar"
listing() { (cd "$1" && find . -printf '%p %y %m %l\n' | LC_ALL=C sort); }
diff <(listing "$work/stage") <(listing "$work/out-untar")
echo
echo "verified: the extracted tree equals the source (contents, kinds, modes, link targets)"
