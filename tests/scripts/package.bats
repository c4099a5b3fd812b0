#!/usr/bin/env bats
# The manual pages and the Debian package: pages that render without a
# warning and describe every option, and a package lintian finds no error in.

load helpers

@test "the manual pages render without warnings" {
  for page in "$MI_SOURCE_DIR"/man/*.1; do
    run -0 --separate-stderr groff -man -Tutf8 -ww -z "$page"
    [ -z "$stderr" ] || { echo "$page: $stderr" >&2; return 1; }
    run -0 --separate-stderr env MANWIDTH=80 man --warnings -l "$page"
    [ -z "$stderr" ] || { echo "$page: $stderr" >&2; return 1; }
    [[ $output == *NAME*SYNOPSIS*DESCRIPTION* ]]
  done
}

@test "the manual pages describe every option and property" {
  page=$(MANWIDTH=200 man -l "$MI_SOURCE_DIR/man/mac_installer-make-bundle.1" 2>/dev/null)
  for option in $(bash "$MI_SOURCE_DIR/scripts/make-bundle" --help | grep -oE -- '--[a-z0-9-]+' | sort -u); do
    [[ $page == *"$option"* ]] || { echo "$option missing from mac_installer-make-bundle(1)" >&2; return 1; }
  done
  page=$(MANWIDTH=200 man -l "$MI_SOURCE_DIR/man/mac_installer.1" 2>/dev/null)
  for word in qvr.ownBundlePath qvr.jreBundle qvr.startDirectory qvr.tarFile --help --version \
    __qvr_invoke_other QUORVANE_LOG -splash "EXIT STATUS"; do
    [[ $page == *"$word"* ]] || { echo "$word missing from mac_installer(1)" >&2; return 1; }
  done
}

@test "the Debian package carries the documentation and lintian finds no error" {
  [ -n "${MI_BINARY_DIR:-}" ] || skip "MI_BINARY_DIR unset"
  command -v lintian >/dev/null || skip "lintian is not installed (scripts/setup installs it)"
  cd "$BATS_TEST_TMPDIR"
  cpack -G DEB --config "$MI_BINARY_DIR/CPackConfig.cmake" -B "$BATS_TEST_TMPDIR" >cpack.log 2>&1 ||
    { cat cpack.log >&2; return 1; }
  deb=$(echo "$BATS_TEST_TMPDIR"/mac-installer_*.deb)
  [ -f "$deb" ]
  run -0 dpkg-deb -c "$deb"
  for file in usr/share/doc/mac-installer/copyright usr/share/doc/mac-installer/changelog.Debian.gz \
    usr/share/doc/mac-installer/README.md usr/share/man/man1/mac_installer.1.gz \
    usr/share/man/man1/mac_installer-make-bundle.1.gz usr/bin/mac_installer usr/bin/mac_installer-make-bundle; do
    [[ $output == *" ./$file"$'\n'* || $output == *" ./$file" ]] || { echo "$file missing from the package" >&2; return 1; }
  done
  [[ $output != *"/share/doc/mac_installer"* ]]
  run lintian --tag-display-limit 0 "$deb"
  echo "$output"
  [[ $output != *"E: "* ]]
}
