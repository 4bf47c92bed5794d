#!/usr/bin/env bash
# The Debian package of the command-line tools: its control fields, its
# files, its dependencies (every shared library the programs load belongs to
# a package it depends on), the programs extracted into a throw-away root
# printing the version, and lintian's verdict when lintian is installed.
#
# A build that trusts the test authority is marked: its version ends in
# "+testauthority" and tpx2ctl --version says so; the programs of any other
# build carry nothing of the test authority.
#
#     deb_test.sh PACKAGE.deb VERSION
set -euo pipefail
deb="$1"
version="$2"
product_version="${version%+testauthority}"  # avn-sim's own

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
expect_eq() {  # what, got, expected
  if [ "$2" = "$3" ]; then echo "ok: $1 is '$3'"; else fail "$1 is '$2', expected '$3'"; fi
}

[ -f "$deb" ] || { echo "FAIL: no package at $deb (run scripts/package)"; exit 1; }

field() { dpkg-deb --field "$deb" "$1"; }
expect_eq "Package" "$(field Package)" "tpx2-tools"
expect_eq "Version" "$(field Version)" "$version"
expect_eq "Architecture" "$(field Architecture)" "$(dpkg --print-architecture)"
depends="$(field Depends)"
echo "Depends: $depends"
depends_names="$(tr ',|' '\n\n' <<<"$depends" | awk '{print $1}')"

contents="$(dpkg-deb --contents "$deb" | awk '{print $NF}')"
for path in ./usr/bin/tpx2ctl ./usr/bin/avn-sim ./usr/share/man/man1/tpx2ctl.1.gz \
    ./usr/share/man/man1/avn-sim.1.gz ./usr/share/doc/tpx2-tools/copyright \
    ./usr/share/doc/tpx2-tools/changelog.gz; do
  grep -qxF "$path" <<<"$contents" && echo "ok: has $path" || fail "no $path"
done

root="$(mktemp -d "${TMPDIR:-/tmp}/tpx2-deb-root.XXXXXX")"
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"

"$(dirname "$0")/trust_check.sh" "$version" "$root/usr/bin/tpx2ctl" || failures=$((failures + 1))
test_note="$(timeout 10 "$root/usr/bin/tpx2ctl" --version | sed -n 2p)"
if [[ "$version" == *+testauthority ]]; then
  expect_eq "tpx2ctl --version's second line" "$test_note" "test build: trusts the test authority"
else
  expect_eq "tpx2ctl --version's second line" "$test_note" ""
fi

for program in tpx2ctl avn-sim; do
  binary="$root/usr/bin/$program"
  program_version="$version"
  [ "$program" = avn-sim ] && program_version="$product_version"
  expect_eq "$program --version" "$(timeout 10 "$binary" --version | head -n1)" "$program $program_version"
  timeout 10 "$binary" --help >/dev/null || fail "$program --help exits with $?"
  # The man page is of this version.
  zcat "$root/usr/share/man/man1/$program.1.gz" | grep -qF "\"$program $program_version\"" &&
    echo "ok: man page of $program $program_version" ||
    fail "man page of $program is not of $program_version"
  # Each library the program links itself (its NEEDED entries) comes from a
  # package named in Depends; those packages name their own dependencies.
  needed="$(readelf -d "$binary" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')"
  while read -r soname library; do
    grep -qxF "$soname" <<<"$needed" || continue
    owner="$(dpkg -S "$library" 2>/dev/null | head -n1 | cut -d: -f1)" || true
    if [ -z "$owner" ]; then
      # usrmerge: the loader may report /lib for a file packaged under /usr/lib.
      owner="$(dpkg -S "/usr$library" 2>/dev/null | head -n1 | cut -d: -f1)" || true
    fi
    if [ -z "$owner" ]; then
      fail "$program loads $library, which no package owns"
    elif grep -qxF "$owner" <<<"$depends_names"; then
      echo "ok: $program loads $library from $owner"
    else
      fail "$program loads $library from $owner, which Depends does not name"
    fi
  done < <(ldd "$binary" | awk '$2 == "=>" && $3 ~ /^\// {print $1, $3}')
done

if command -v lintian >/dev/null; then
  # Warnings and errors fail; informational tags are shown.
  if timeout 120 lintian --info --display-info --fail-on error,warning "$deb"; then
    echo "ok: lintian"
  else
    fail "lintian"
  fi
else
  echo "lintian is not installed: not run"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "the Debian package passed"
