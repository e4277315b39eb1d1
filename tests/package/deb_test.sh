#!/usr/bin/env bash
# The Debian package's test: builds it with scripts/package (or takes the .deb given), unpacks it
# with dpkg-deb -x into a temporary root and checks what a user gets: every file in its place and
# under /usr, the computed dependencies, the desktop entries valid, both manual pages rendered by
# man, every program's --version (smppwin's without a display), the local SMSC started from the
# unpacked tree with its vendored npm packages, smppcli's bash completion offering every option of
# its --help, and the copyright file naming every npm package shipped.
# Usage: tests/package/deb_test.sh [file.deb]
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
deb=${1:-}
if [ -z "$deb" ]; then
  deb=$("$top/scripts/package") || { echo "deb_test: scripts/package failed" >&2; exit 1; }
fi
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root" || { echo "deb_test: cannot unpack $deb" >&2; exit 1; }

passed=0
failed=0
check() {  # check NAME COMMAND...: one result line per check
  local name=$1
  shift
  local out
  if out=$("$@" 2>&1); then
    passed=$((passed + 1))
    echo "ok   $name"
  else
    failed=$((failed + 1))
    echo "FAIL $name"
    [ -n "$out" ] && printf '%s\n' "$out" | sed 's/^/     /'
  fi
}

version=$(dpkg-deb -f "$deb" Version)
package=$(dpkg-deb -f "$deb" Package)
files=(usr/bin/smppwin usr/bin/smppcli usr/bin/smsc_sink usr/bin/smpp-test-smsc
       usr/share/applications/smppwin.desktop usr/share/applications/smppwin-workbench.desktop
       usr/share/icons/hicolor/scalable/apps/smppwin.svg
       usr/share/man/man1/smppcli.1.gz usr/share/man/man1/smppwin.1.gz
       usr/share/bash-completion/completions/smppcli "usr/share/doc/$package/copyright"
       "usr/share/$package/smsc/smsc.js" "usr/share/$package/smsc/node_modules/smpp/package.json")
for size in 16 24 32 48 64 128 256; do
  files+=("usr/share/icons/hicolor/${size}x${size}/apps/smppwin.png")
done
missing() {
  local f
  for f in "${files[@]}"; do [ -s "$root/$f" ] || echo "missing: /$f"; done
  for f in usr/bin/smppwin usr/bin/smppcli usr/bin/smsc_sink usr/bin/smpp-test-smsc; do
    [ -x "$root/$f" ] || echo "not executable: /$f"
  done
}
none() {  # COMMAND...: fails, showing them, when the command prints any line
  local out
  out=$("$@")
  [ -z "$out" ] || { printf '%s\n' "$out"; return 1; }
}
outside_usr() { dpkg-deb -c "$deb" | awk '{print $6}' | grep -v -e '^\./usr/' -e '^\./$'; }
check "every file in its place" none missing
check "everything under /usr" none outside_usr
depends() {
  dpkg-deb -f "$deb" Depends | grep -q 'libqt6widgets6' &&
    dpkg-deb -f "$deb" Depends | grep -q 'libssl3' &&
    [ "$(dpkg-deb -f "$deb" Recommends)" = nodejs ]
}
check "dependencies computed, nodejs recommended" depends
for entry in "$root"/usr/share/applications/*.desktop; do
  check "desktop-file-validate $(basename "$entry")" desktop-file-validate "$entry"
done
manpage() {  # the page renders, with its synopsis and the --version option
  local text
  text=$(MANWIDTH=80 man -l "$1" 2>&1)
  grep -q '^SYNOPSIS' <<<"$text" && grep -q -- '--version' <<<"$text" || {
    printf '%s\n' "$text" | head -20
    return 1
  }
}
for page in smppcli smppwin; do
  check "man -l $page.1.gz" manpage "$root/usr/share/man/man1/$page.1.gz"
done
version_line() {  # PROGRAM: its --version's first line names the package and its version
  local first
  first=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/$1" --version | head -1)
  [ "$first" = "$1 ($package) $version" ] || { echo "got: $first"; return 1; }
}
for program in smppcli smsc_sink smppwin; do
  check "$program --version is $version" version_line "$program"
done
smsc() {  # the local SMSC starts from the unpacked tree and stops at the end of its input
  local out
  out=$(: | timeout 20 "$root/usr/bin/smpp-test-smsc" --port 0 2>&1)
  grep -q '^listening 127\.0\.0\.1:[0-9]' <<<"$out" || { echo "$out"; return 1; }
}
check "smpp-test-smsc starts on its vendored npm packages" smsc
completion() {  # every option that smppcli --help lists is offered after "--"
  local offered listed option missing=""
  offered=$(bash -c 'source "$1"; COMP_WORDS=(smppcli --); COMP_CWORD=1; _smppcli
                     printf "%s\n" "${COMPREPLY[@]}"' _ "$root/usr/share/bash-completion/completions/smppcli")
  listed=$("$root/usr/bin/smppcli" --help | grep -o '^  --[a-z-]*' | sort -u)
  [ -n "$listed" ] || return 1
  for option in $listed; do grep -qx -- "$option" <<<"$offered" || missing+=" $option"; done
  [ -z "$missing" ] || { echo "not completed:$missing"; return 1; }
}
check "bash completion offers every option of smppcli --help" completion
copyright() {  # every npm package shipped has its own stanza in the copyright file
  local dir name missing=""
  for dir in "$root/usr/share/$package/smsc/node_modules"/*/; do
    name=$(basename "$dir")
    grep -q "^Files: .*node_modules/$name/" "$root/usr/share/doc/$package/copyright" || missing+=" $name"
  done
  [ -z "$missing" ] || { echo "no copyright stanza for:$missing"; return 1; }
}
check "copyright names every npm package shipped" copyright

echo "package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
