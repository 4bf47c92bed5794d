#!/usr/bin/env bash
# Whether shipped programs trust avn-sim's test authority, whose private
# keys are in the repository: they may only in a test build, whose version
# ends in "+testauthority". A program that carries the test root's
# certificate or the test pin is such a program. (avn-sim carries the test
# authority by design and is not checked.)
#
#     trust_check.sh VERSION PROGRAM...
# Prints "ok: ..." or "FAIL: ..." lines; exits 1 on a failure.
set -euo pipefail
version="$1"
shift
authority="$(cd "$(dirname "$0")/../../sim/test-authority" && pwd)"
pin="$(tr -d '\n' <"$authority/dm-pinned.pin")"
# Two lines of the root's Base64 body: each appears as it stands in a
# program that embeds the PEM text.
root_lines=("$(sed -n 2p "$authority/test-ca.pem")" "$(sed -n 10p "$authority/test-ca.pem")")

failures=0
for program in "$@"; do
  name="$(basename "$program")"
  carries=()
  grep -qaF -- "$pin" "$program" && carries+=("the test pin")
  for line in "${root_lines[@]}"; do
    if grep -qaF -- "$line" "$program"; then
      carries+=("the test root's certificate")
      break
    fi
  done
  carried="$(printf '%s and ' "${carries[@]}")"
  carried="${carried% and }"
  if [ ${#carries[@]} -eq 0 ]; then
    echo "ok: $name does not trust the test authority"
  elif [[ "$version" == *+testauthority ]]; then
    echo "ok: $name carries $carried, in a test build ($version)"
  else
    echo "FAIL: $name carries $carried but $version is not marked as a test build"
    failures=$((failures + 1))
  fi
done
[ "$failures" -eq 0 ]
