#!/usr/bin/env bats
# make-bundle: option checks, assembly that leaves nothing half-made, the
# settings each option writes, the message texts, and the installed copy.

load helpers

setup() {
  cd "$BATS_TEST_TMPDIR"
  echo "not really a jar" >setup.jar
  mkdir -p out home
}

# Exit status 2, the option named in the message, and nothing written.
refused() { # option expected-text make-bundle-arguments...
  local option=$1 text=$2
  shift 2
  run -2 make_bundle --name Setup --main-class com.example.Setup --jar setup.jar --output out/Setup.app "$@"
  [[ $output == *"make-bundle: $option: "* ]] || { echo "no message for $option: $output" >&2; return 1; }
  [[ $output == *"$text"* ]] || { echo "expected \"$text\" in: $output" >&2; return 1; }
  only_in out
}

accepted() {
  run -0 make_bundle --name Setup --main-class com.example.Setup --jar setup.jar --output out/Setup.app "$@"
  rm -rf out/Setup.app
}

@test "versions must be in the launcher's grammar and the range must admit a runtime" {
  refused --min-version 'is not a version' --min-version eleven
  refused --max-version 'is not a version' --max-version 17.x
  refused --min-version 'is not a version' --min-version 1..8
  refused --max-version 'below --min-version 17' --min-version 17 --max-version 11
  refused --max-version 'below --min-version 17.0.3' --min-version 17.0.3 --max-version 17.0.2
  # A maximum compares only its own components: 17 admits 17.0.3.
  accepted --min-version 17.0.3 --max-version 17
  accepted --min-version 1.8.0_402 --max-version 1.8
  accepted --min-version 11 --max-version 11
}

@test "the download location must be an http or https URL" {
  refused --runtime-url 'is not an http:// or https:// URL' --runtime-url "not a url"
  refused --runtime-url 'is not an http:// or https:// URL' --runtime-url ftp://example.com/jre.tar.gz
  refused --runtime-url 'is not an http:// or https:// URL' --runtime-url "https://"
  refused --runtime-url 'never used' --runtime-url https://example.com/jre.tar.gz --runtime-archive setup.jar
  refused --uncompressed-size 'positive number' --uncompressed-size 0
  refused --runtime-sha256 'only used with --runtime-url' --runtime-sha256 "$(printf '%064d' 0)"
  refused --runtime-sha256 'not 64 hexadecimal digits' --runtime-url https://example.com/j.tar.gz --runtime-sha256 abc
  accepted --runtime-url https://example.com/jre.tar.gz --uncompressed-size 123456
  [[ $output == *"warning: --runtime-url: without --runtime-sha256"* ]]
}

@test "jars, class-path and module-path entries must exist" {
  refused --jar 'missing.jar does not exist' --jar missing.jar
  mkdir other && echo x >other/setup.jar
  refused --jar 'same name' --jar other/setup.jar
  refused --class-path 'is not in the bundle' --class-path '$APP_PACKAGE/Contents/Resources/app/lib/*'
  refused --class-path '/no/such.jar does not exist' --class-path /no/such.jar
  refused --class-path 'would be looked up in the directory the installer is started from' --class-path lib.jar
  refused --class-path 'empty entry' --class-path "$PWD/setup.jar::"
  refused --module-path 'is not in the bundle' --module-path '$APP_PACKAGE/Contents/Resources/mods'
  refused --splash 'does not exist' --splash nothing.png
  # Entries in the bundle, through variables, or relative to a working
  # directory inside the bundle.
  accepted --class-path '$APP_PACKAGE/Contents/Resources/app/setup.jar:$APP_PACKAGE/Contents/Resources/app/*'
  accepted --class-path '$SETUP_LIB/x.jar' --module-path "$PWD/other"
  accepted --working-directory '$APP_PACKAGE/Contents/Resources/app' --class-path 'setup.jar:*'
}

@test "runtimes and JDKs must hold bin/java, and only one runtime source is taken" {
  refused --runtime 'has no bin/java' --runtime "$BATS_TEST_TMPDIR"
  mkdir -p jre.bundle/Contents/Home/bin && ln -s "$JDK17/bin/java" jre.bundle/Contents/Home/bin/java
  refused --runtime 'give its home, jre.bundle/Contents/Home' --runtime jre.bundle
  refused --jdk 'has no bin/java' --jlink java.base --jdk "$BATS_TEST_TMPDIR"
  refused --jdk 'only used with --jlink' --jdk "$JDK17"
  refused --jlink 'is not a list of module names' --jlink 'java.base java.sql' --jdk "$JDK17"
  refused --runtime 'only one of' --runtime "$JDK17" --jlink java.base
  refused --runtime-archive 'not a gzip-compressed tar' --runtime-archive setup.jar
  mkdir -p flat/bin && touch flat/bin/java && tar -czf flat.tar.gz -C flat .
  refused --runtime-archive 'holds no Contents/Home/bin/java' --runtime-archive flat.tar.gz
}

@test "a VM option holding several options is refused with the repeated form" {
  refused --vm-option '--vm-option -Xmx512m --vm-option -Dfoo=bar' --vm-option "-Xmx512m -Dfoo=bar"
  refused --vm-option 'does not start with "-"' --vm-option Xmx512m
  refused --version-vm-option 'major-version range' --version-vm-option "17=-Xss2m"
  refused --version-vm-option 'must be KEY=OPTION' --version-vm-option "17-99"
  # Blanks inside quotes, and an include directive, are one entry.
  accepted --vm-option '-Dsetup.title="My Setup"' --vm-option '-include-options $APP_PACKAGE/../my options'
}

@test "required options, names, search entries and the output are checked together" {
  run -2 make_bundle --jar setup.jar --output out/Setup.app --search-sequence X --min-version x
  for option in --name --main-class --search-sequence --min-version; do
    [[ $output == *"make-bundle: $option: "* ]] || { echo "no $option in: $output" >&2; return 1; }
  done
  only_in out
  refused --output 'must end in .app' --output out/Setup
  refused --output 'does not exist' --output missing/Setup.app
  refused --name 'plain file name' --name ../Setup
  refused --base-dir 'inside Contents/' --base-dir '$APP_PACKAGE/../x'
  run -2 make_bundle --name Setup --main-class A --jar setup.jar --output out/Setup.app --min-version=11
  [[ $output == *"--min-version: write the value as a separate argument"* ]]
  run -2 make_bundle --name Setup --main-class A --jar setup.jar --output out/Setup.app --nope 1
  [[ $output == *"unknown option --nope"* ]]
}

@test "an existing bundle is replaced only with --force, and a failed run leaves nothing" {
  run -0 make_bundle --name Setup --main-class A --jar setup.jar --output out/Setup.app
  run -2 make_bundle --name Setup --main-class A --jar setup.jar --output out/Setup.app
  [[ $output == *"already exists (give --force to replace it)"* ]]
  # A failure after the checks (jlink refuses an unknown module): the old
  # bundle stays as it was and no temporary bundle is left beside it.
  echo marker >out/Setup.app/marker
  run -1 make_bundle --name Setup --main-class A --jar setup.jar --output out/Setup.app --force \
    --jlink no.such.module --jdk "$JDK17"
  [[ $output == *"--jlink: jlink failed"* ]]
  only_in out Setup.app
  [ -f out/Setup.app/marker ]
  run -0 make_bundle --name Setup --main-class B --jar setup.jar --output out/Setup.app --force
  only_in out Setup.app
  [ ! -e out/Setup.app/marker ]
  plist_read out/Setup.app
  [ "$(plist_value JavaVM/MainClass)" = '"B"' ]
  # Something that is no bundle is never removed.
  mkdir out/Data.app && echo precious >out/Data.app/file
  run -2 make_bundle --name Setup --main-class B --jar setup.jar --output out/Data.app --force
  [ -f out/Data.app/file ]
}

@test "each option writes its setting" {
  echo png >splash.png
  run -0 make_bundle --name 'A <&> "B"' --main-class com.example.Setup --jar setup.jar --output out/Setup.app \
    --working-directory '$APP_PACKAGE/Contents/Resources/app' --search-sequence EMY_JAVA --search-sequence Y \
    --allow-passthrough --module-path '$APP_PACKAGE/Contents/Resources/app' --splash splash.png --allow-beta \
    --vm-id-prefix org.openjdk --app-id 1234-5678 --base-dir '$APP_PACKAGE/Contents/Resources/app' \
    --no-initial-progress --arg '--log=<&>' --vm-option -Xmx512m --vm-option -Dx=y \
    --version-vm-option '17-99=--add-opens=java.base/java.lang=ALL-UNNAMED' --version-vm-option '*1.8*=-Xss2m' \
    --version-vm-option '17-99=-Xss4m' --runtime-url https://example.com/jre.tar.gz --uncompressed-size 5000 \
    --runtime-sha256 "$(printf 'aB%062d' 7)" \
    --identifier com.example.setup --min-version 11
  plist_read out/Setup.app
  [ "$(plist_value CFBundleName)" = '"A <&> \"B\""' ]
  [ -x "out/Setup.app/Contents/MacOS/A <&> \"B\"" ]
  [ "$(plist_value JavaVM/WorkingDirectory)" = '"$APP_PACKAGE/Contents/Resources/app"' ]
  [ "$(plist_value JavaVM/SearchSequence)" = '["EMY_JAVA", "Y"]' ]
  [ "$(plist_value qvr.allowPassthrough)" = true ]
  [ "$(plist_value JavaVM/ModulePath)" = '"$APP_PACKAGE/Contents/Resources/app"' ]
  [ "$(plist_value JavaVM/SplashFile)" = '"$APP_PACKAGE/Contents/Resources/app/splash.png"' ]
  [ -f out/Setup.app/Contents/Resources/app/splash.png ]
  [ "$(plist_value qvr.allowBeta)" = true ]
  [ "$(plist_value qvr.vmIdPrefix)" = '"org.openjdk"' ]
  [ "$(plist_value qvr.appId)" = '"1234-5678"' ]
  [ "$(plist_value qvr.baseDir)" = '"$APP_PACKAGE/Contents/Resources/app"' ]
  [ -f out/Setup.app/Contents/Resources/app/.quorvane/Messages.bundle/Contents/Resources/en.lproj/Localizable.strings ]
  [ "$(plist_value qvr.initialProgress)" = false ]
  [ "$(plist_value JavaVM/ArgumentArray)" = '["--log=<&>"]' ]
  [ "$(plist_value JavaVM/VMOptionArray)" = '["-Xmx512m", "-Dx=y"]' ]
  [ "$(plist_value JavaVM/VersionSpecificVMOptions)" = \
    '["17-99", ["--add-opens=java.base/java.lang=ALL-UNNAMED", "-Xss4m"], "*1.8*", ["-Xss2m"]]' ]
  [ "$(plist_value qvr.jreLocation)" = '"https://example.com/jre.tar.gz"' ]
  [ "$(plist_value qvr.jreUncompressedSize)" = 5000 ]
  [ "$(plist_value qvr.jreSha256)" = "\"$(printf 'aB%062d' 7)\"" ]
  [ "$(plist_value CFBundleIdentifier)" = '"com.example.setup"' ]
  [ "$(plist_value JavaVM/ClassPath)" = '"$APP_PACKAGE/Contents/Resources/app/setup.jar"' ]
  # By default the Java program starts in the directory the user is in.
  run -0 make_bundle --name Plain --main-class A --jar setup.jar --output out/Plain.app
  plist_read out/Plain.app
  [ "$(plist_value JavaVM/WorkingDirectory)" = '"."' ]
  [ "$(plist_value qvr.initialProgress)" = true ]
  [ -z "$(plist_value qvr.allowPassthrough)" ]
}

@test "the missing-runtime message fits the version limits, in English and German" {
  # One line per case: limits, the English and the German text the program shows.
  check() {
    local limits=$1 english=$2 german=$3
    rm -rf out/Setup.app
    run -0 make_bundle --name 'Setup 50%' --main-class A --jar setup.jar --output out/Setup.app \
      --search-sequence R/nowhere $limits
    # The variants and their notes stay out of the bundle.
    run -1 grep 'AppleJavaMinVersionError\.\|make-bundle:\|{' \
      out/Setup.app/Contents/Resources/.quorvane/Messages.bundle/Contents/Resources/*/Localizable.strings
    run -1 run_bundle out/Setup.app
    [[ $output == *"Setup 50%: $english"* ]] || { echo "expected \"$english\" in: $output" >&2; return 1; }
    LANGUAGE=de run -1 run_bundle out/Setup.app
    [[ $output == *"Setup 50%: $german"* ]] || { echo "expected \"$german\" in: $output" >&2; return 1; }
  }
  check "--min-version 11" "Setup 50% needs Java 11 or later, and" "Setup 50% benötigt Java 11 oder neuer,"
  check "--min-version 11 --max-version 17" "Setup 50% needs a Java version from 11 to 17, and" \
    "Setup 50% benötigt eine Java-Version von 11 bis 17,"
  check "--max-version 17" "Setup 50% needs Java 17 or earlier, and" "Setup 50% benötigt Java 17 oder älter,"
  check "" "Setup 50% needs Java, and no Java runtime was found" "Setup 50% benötigt Java, es wurde aber"
}

@test "--help lists every option the script takes" {
  run -0 make_bundle --help
  help=$output
  options=$(grep -oE '^    --[a-z0-9-]+( \| --[a-z0-9-]+)*\)' "$MI_SOURCE_DIR/scripts/make-bundle" |
    grep -oE -- '--[a-z0-9-]+')
  [ -n "$options" ]
  for option in $options; do
    [[ $help == *"$option"* ]] || { echo "$option missing from --help" >&2; return 1; }
  done
  run -2 bash "$MI_SOURCE_DIR/scripts/make-bundle"
  [[ $output == *"usage: make-bundle"* ]]
}

@test "the installed make-bundle uses the installed program and resources and names itself" {
  [ -n "${MI_BINARY_DIR:-}" ] || skip "MI_BINARY_DIR unset"
  cmake --install "$MI_BINARY_DIR" --prefix "$BATS_TEST_TMPDIR/usr" >/dev/null
  tool="$BATS_TEST_TMPDIR/usr/bin/mac_installer-make-bundle"
  run -0 "$tool" --help
  [[ $output == *"usage: mac_installer-make-bundle"* ]]
  [[ $output == *"(default: $BATS_TEST_TMPDIR/usr/bin/mac_installer)"* ]]
  [[ $output == *"(default: $BATS_TEST_TMPDIR/usr/share/mac_installer/resources)"* ]]
  run -2 "$tool" --name Setup --main-class A --jar missing.jar --output out/Setup.app
  [[ $output == "mac_installer-make-bundle: --jar: missing.jar does not exist"* ]]
  run -0 "$tool" --name Setup --main-class A --jar setup.jar --output out/Setup.app
  cmp "$BATS_TEST_TMPDIR/usr/bin/mac_installer" out/Setup.app/Contents/MacOS/Setup
  [ -f out/Setup.app/Contents/Resources/MainMenu.ui ]
  # The manual pages and the documentation come along.
  for file in share/man/man1/mac_installer.1.gz share/man/man1/mac_installer-make-bundle.1.gz \
    share/doc/mac-installer/README.md share/doc/mac-installer/copyright share/doc/mac-installer/changelog.Debian.gz; do
    [ -f "$BATS_TEST_TMPDIR/usr/$file" ] || { echo "$file not installed" >&2; return 1; }
  done
  MANPATH="$BATS_TEST_TMPDIR/usr/share/man" run -0 man -w mac_installer-make-bundle
  [ "$output" = "$BATS_TEST_TMPDIR/usr/share/man/man1/mac_installer-make-bundle.1.gz" ]
}
