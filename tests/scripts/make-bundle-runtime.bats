#!/usr/bin/env bats
# make-bundle with real runtimes: the JDK 17 packed with --runtime and a
# minimal runtime made with --jlink. Each bundle must run its probe where the
# JDK's files outside its home (/etc/java-17-openjdk, /etc/ssl/certs/java)
# and the installed JDKs themselves do not exist.

load helpers

setup_file() {
  export WORK="$BATS_FILE_TMPDIR"
  probe_jar "$WORK/probe" >/dev/null
  make_bundle --name Probe --main-class Probe --jar "$WORK/probe/probe.jar" --output "$WORK/Full.app" \
    --runtime "$JDK17" >"$WORK/full.log" 2>&1
  make_bundle --name Probe --main-class Probe --jar "$WORK/probe/probe.jar" --output "$WORK/Small.app" \
    --jlink java.base --jdk "$JDK17" >"$WORK/small.log" 2>&1
}

setup() { mkdir -p "$BATS_TEST_TMPDIR/home"; }

# Checks an archive's listing: directories before what they hold, every link
# pointing inside the runtime, bin/java and the security file present as
# regular files. Prints the number of links kept.
check_archive() {
  local archive=$1
  python3 - "$archive" <<'PY'
import posixpath, sys, tarfile
seen, links = set(), 0
with tarfile.open(sys.argv[1], "r:gz") as tar:
    for member in tar:
        name = member.name.rstrip("/")
        parent = posixpath.dirname(name)
        assert parent == "" or parent in seen, f"{name} comes before its folder {parent}"
        assert name.startswith("Contents"), name
        seen.add(name)
        if member.issym():
            links += 1
            target = member.linkname
            assert not target.startswith("/"), f"{name} links to the absolute {target}"
            resolved = posixpath.normpath(posixpath.join(parent, target))
            assert resolved.startswith("Contents/Home/"), f"{name} -> {target} leaves the runtime"
        elif member.islnk():
            raise AssertionError(f"hard link {name}: the launcher's extraction does not create them")
    for required in ("Contents/Home/bin/java", "Contents/Home/conf/security/java.security",
                     "Contents/Home/lib/security/cacerts"):
        member = tar.getmember(required)
        assert member.isfile(), f"{required} is not a regular file"
print(links)
PY
}

# Runs the bundle in a private mount namespace where the JDKs and their
# configuration outside the home are hidden; skips where that is not allowed.
run_hidden() {
  local app=$1
  [ "$(id -u)" -eq 0 ] || skip "needs root for a private mount namespace (unshare -m)"
  unshare -m true 2>/dev/null || skip "unshare -m is not permitted here"
  run unshare -m bash -c '
    set -e
    for dir in /etc/java-17-openjdk /etc/ssl/certs/java /usr/lib/jvm; do
      [ ! -d "$dir" ] || mount -t tmpfs hidden "$dir"
    done
    # The namespace really lacks them; otherwise this test proves nothing.
    [ ! -e /etc/java-17-openjdk/security/java.security ] && [ ! -e "$0/bin/java" ]
    exec env -u DISPLAY -u WAYLAND_DISPLAY -u QUORVANE_LOG HOME="$1/home" TMPDIR="$1" LANGUAGE=en \
      "$2/Contents/MacOS/Probe"' "$JDK17" "$BATS_TEST_TMPDIR" "$app"
  echo "$output"
  [ "$status" -eq 0 ]
  # The extraction made every entry, the kept links included.
  [[ $output != *ERROR* && $output != *"Could not"* ]]
  [[ $output == *"digest=32"* ]]
  [[ $output =~ trusted=[1-9] ]]
  [[ $output == *"tls=Default"* ]]
}

@test "--runtime packs the JDK 17 with its links kept inside and those leaving it replaced" {
  cat "$WORK/full.log"
  [[ $(cat "$WORK/full.log") =~ "runtime archive Contents/Resources/app/jre.tar.gz: "[0-9.]+" MB" ]]
  links=$(check_archive "$WORK/Full.app/Contents/Resources/app/jre.tar.gz")
  [ "$links" -gt 0 ]  # the legal notices' links stay links
  plist_read "$WORK/Full.app"
  [ "$(plist_value qvr.jreUncompressedSize)" -eq \
    "$(gzip -dc "$WORK/Full.app/Contents/Resources/app/jre.tar.gz" | wc -c)" ]
}

@test "--runtime: the bundle runs where the JDK's configuration does not exist" {
  run_hidden "$WORK/Full.app"
}

@test "--jlink java.base packs a minimal runtime the same way" {
  cat "$WORK/small.log"
  [[ $(cat "$WORK/small.log") =~ "runtime archive Contents/Resources/app/jre.tar.gz: "[0-9.]+" MB" ]]
  check_archive "$WORK/Small.app/Contents/Resources/app/jre.tar.gz"
  tar -xzOf "$WORK/Small.app/Contents/Resources/app/jre.tar.gz" Contents/Home/release | grep -qx 'MODULES="java.base"'
  plist_read "$WORK/Small.app"
  [ "$(plist_value qvr.jreUncompressedSize)" -eq \
    "$(gzip -dc "$WORK/Small.app/Contents/Resources/app/jre.tar.gz" | wc -c)" ]
}

@test "--jlink: the bundle runs where the JDKs do not exist" {
  run_hidden "$WORK/Small.app"
}

@test "the Java program gets the start directory and, by default, starts in it" {
  mkdir -p "$BATS_TEST_TMPDIR/work"
  cd "$BATS_TEST_TMPDIR/work"
  QUORVANE_LOG=yes run -0 run_bundle "$WORK/Small.app" --dir=out
  has_line "qvr.startDirectory=$BATS_TEST_TMPDIR/work"
  has_line "user.dir=$BATS_TEST_TMPDIR/work"
  has_line "arg=--dir=out"
  # In the child's arguments: right after the runtime, before the archive.
  properties=$(grep -o -- '-Dqvr\.[a-zA-Z]*=' <<<"$output" | tr '\n' ' ')
  [[ $properties == *"-Dqvr.jreBundle= -Dqvr.startDirectory= -Dqvr.tarFile= "* ]]

  # A working directory in the bundle moves the program there; the start
  # directory still tells where the user was. (--runtime-archive reuses the
  # minimal runtime as it is.)
  make_bundle --name Probe --main-class Probe --jar "$WORK/probe/probe.jar" --output "$BATS_TEST_TMPDIR/Inside.app" \
    --runtime-archive "$WORK/Small.app/Contents/Resources/app/jre.tar.gz" \
    --working-directory '$APP_PACKAGE/Contents/Resources/app'
  run -0 run_bundle "$BATS_TEST_TMPDIR/Inside.app"
  has_line "qvr.startDirectory=$BATS_TEST_TMPDIR/work"
  has_line "user.dir=$BATS_TEST_TMPDIR/Inside.app/Contents/Resources/app"
}

@test "a make-bundle ended by a signal while packing leaves nothing behind" {
  mkdir "$BATS_TEST_TMPDIR/out"
  setsid bash "$MI_SOURCE_DIR/scripts/make-bundle" --program "$MI_PROGRAM" --name Probe --main-class Probe \
    --jar "$WORK/probe/probe.jar" --output "$BATS_TEST_TMPDIR/out/Probe.app" --runtime "$JDK17" \
    >/dev/null 2>&1 &
  pid=$!
  # Wait until the runtime is being packed, then stop the whole job as a
  # terminal would.
  for _ in $(seq 200); do
    compgen -G "$BATS_TEST_TMPDIR/out/.Probe.app.*/runtime.tar" >/dev/null && break
    sleep 0.1
  done
  compgen -G "$BATS_TEST_TMPDIR/out/.Probe.app.*/runtime.tar" >/dev/null
  kill -TERM -- "-$pid"
  status=0
  wait "$pid" || status=$?
  [ "$status" -eq 143 ]
  only_in "$BATS_TEST_TMPDIR/out"
}
