# Shared by the script tests: the tree and build under test, a scratch
# directory per test, make-bundle with the built program, and a plain
# environment for running bundles.
bats_require_minimum_version 1.5.0

: "${MI_SOURCE_DIR:?run through ctest (MI_SOURCE_DIR unset)}"
: "${MI_PROGRAM:?run through ctest (MI_PROGRAM unset)}"
JDK17=${MI_TEST_JDK17:-/usr/lib/jvm/java-17-openjdk-amd64}

make_bundle() { bash "$MI_SOURCE_DIR/scripts/make-bundle" --program "$MI_PROGRAM" "$@"; }

# Runs a bundle's executable without a display or log, with a private home
# and temporary directory, in the language given by $LANGUAGE (default en),
# with the log only when the caller sets QUORVANE_LOG.
run_bundle() {
  local app=$1
  shift
  local exe=("$app"/Contents/MacOS/*)
  env -u DISPLAY -u WAYLAND_DISPLAY -u JAVA_HOME -u LC_ALL QUORVANE_LOG="${QUORVANE_LOG:-}" \
    HOME="$BATS_TEST_TMPDIR/home" TMPDIR="$BATS_TEST_TMPDIR" LANGUAGE="${LANGUAGE:-en}" \
    "$exe" "$@"
}

# A jar whose class Probe prints what an installer relies on: a digest and
# the trusted certificates (both need the runtime's security files), the
# launcher's properties, the current directory and its arguments.
probe_jar() {
  local dir=$1
  mkdir -p "$dir/src"
  cat >"$dir/src/Probe.java" <<'JAVA'
import java.security.KeyStore;
import java.security.MessageDigest;
import javax.net.ssl.SSLContext;
import javax.net.ssl.TrustManagerFactory;
import javax.net.ssl.X509TrustManager;

public class Probe {
  public static void main(String[] args) throws Exception {
    System.out.println("digest=" + MessageDigest.getInstance("SHA-256").getDigestLength());
    TrustManagerFactory f = TrustManagerFactory.getInstance(TrustManagerFactory.getDefaultAlgorithm());
    f.init((KeyStore) null);
    System.out.println("trusted=" + ((X509TrustManager) f.getTrustManagers()[0]).getAcceptedIssuers().length);
    System.out.println("tls=" + SSLContext.getDefault().getProtocol());
    for (String p : new String[] {"qvr.jreBundle", "qvr.startDirectory", "qvr.tarFile", "qvr.ownBundlePath", "user.dir"})
      System.out.println(p + "=" + System.getProperty(p));
    for (String a : args) System.out.println("arg=" + a);
  }
}
JAVA
  "$JDK17/bin/javac" -d "$dir/src" "$dir/src/Probe.java"
  "$JDK17/bin/jar" cf "$dir/probe.jar" -C "$dir/src" Probe.class
  echo "$dir/probe.jar"
}

# A bundle's Info.plist as Python's plistlib reads it, one "PATH VALUE" line a
# key (PATH such as JavaVM/WorkingDirectory, VALUE as JSON), into plist.txt;
# plist_value PATH then prints one value.
plist_read() {
  python3 - "$1/Contents/Info.plist" >"$BATS_TEST_TMPDIR/plist.txt" <<'PY'
import json, plistlib, sys
def walk(prefix, value):
    if isinstance(value, dict):
        for key, item in value.items():
            walk(prefix + key + "/", item)
    else:
        print(prefix[:-1], json.dumps(value, ensure_ascii=False))
walk("", plistlib.load(open(sys.argv[1], "rb")))
PY
}
plist_value() { sed -n "s|^$1 ||p" "$BATS_TEST_TMPDIR/plist.txt"; }

# The last run's output has this exact line.
has_line() {
  grep -Fqx -- "$1" <<<"$output" || {
    echo "no line \"$1\" in: $output" >&2
    return 1
  }
}

# Nothing but the given names in a directory (no temporary bundle left).
only_in() {
  local dir=$1
  shift
  local actual expected
  actual=$(cd "$dir" && ls -A | sort)
  expected=$(printf '%s\n' "$@" | sed '/^$/d' | sort)
  if [ "$actual" != "$expected" ]; then
    echo "in $dir: expected [$expected], found [$actual]" >&2
    return 1
  fi
}
