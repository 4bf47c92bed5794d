#!/usr/bin/env bash
# The Windows installer under Wine, in a throw-away prefix of its own: a
# silent install puts the programs, the Start-menu shortcut and the
# Add/Remove Programs entry in place; the installed utility starts and shows
# its main window against avn-sim; a silent uninstall leaves nothing behind.
# Before that, the installer shows its first pages (saved as pictures).
#
#     installer_test.sh INSTALLER.exe CHECK.exe AVN-SIM VERSION
#
# CHECK.exe is installed_app_check.exe from the same Windows build, AVN-SIM
# a native avn-sim. The test runs in a private network namespace when it can
# (avn-sim takes the services' own ports there, whoever else uses them) and
# on a virtual display. Every step has a time limit.
set -euo pipefail
installer="$(realpath "$1")"
check="$(realpath "$2")"
avn_sim="$(realpath "$3")"
version="$4"                               # the package's: may end in +testauthority
product_version="${version%+testauthority}"  # the utility's resources
repo="$(cd "$(dirname "$0")/../.." && pwd)"

for file in "$installer" "$check" "$avn_sim"; do
  [ -f "$file" ] || { echo "FAIL: missing $file (run scripts/package)"; exit 1; }
done

# Into a private network namespace with loopback up, then onto a virtual
# display; both only once.
if [ -z "${TPX2_PACKAGE_TEST_NETNS:-}" ]; then
  export TPX2_PACKAGE_TEST_NETNS=1
  if unshare -n true 2>/dev/null; then
    exec unshare -n -- sh -c 'ip link set lo up && exec "$0" "$@"' "$0" "$@"
  fi
  echo "note: no private network namespace here; avn-sim uses this machine's loopback ports"
fi
if [ -z "${TPX2_PACKAGE_TEST_DISPLAY:-}" ]; then
  export TPX2_PACKAGE_TEST_DISPLAY=1
  exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"
fi

work="$(dirname "$installer")/installer-test"
rm -rf "$work"
mkdir -p "$work"
export WINEPREFIX="$work/prefix"
export WINEDEBUG=-all
# No menu entries or file associations for this user's desktop from the
# shortcut the installer makes.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  timeout 20 wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
ok() { echo "ok: $*"; }
elapsed() { echo "[$SECONDS s] $*"; }

drive_c="$WINEPREFIX/drive_c"
install_dir="$drive_c/Program Files/Norvane/TPX-2 Config Utility"
install_dir_win='C:\Program Files\Norvane\TPX-2 Config Utility'
shortcut="$drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Norvane/TPX-2 Config Utility.lnk"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Norvane TPX-2 Config Utility'

# What the installer may touch: Program Files, the shared Start menu, the
# users' folders (but not their temporary files).
snapshot() {
  (cd "$drive_c" && find "Program Files" "ProgramData" users -path '*/Temp' -prune -o -print | sort)
}
# Waits until every program in the prefix has ended, which also writes the
# registry out to its files.
settle() {
  timeout 60 wineserver -w || fail "the prefix's programs did not end within 60 s"
}

elapsed "making a fresh Wine prefix"
timeout 300 "$repo/scripts/wine-run" || { echo "FAIL: no Wine prefix"; exit 1; }
settle

# The installer's own pages, with the utility's pictures, saved next to the
# installer for a person to look at; it is ended on the folder page.
elapsed "showing the installer's pages"
output="$(cd "$(dirname "$installer")" &&
  timeout 120 wine "$check" --pages "Z:${installer//\//\\}" | tr -d '\r')" ||
  fail "the installer's welcome and folder pages did not show (exit $?)"
echo "$output" | sed 's/^/  /'
settle

snapshot >"$work/before.txt"

elapsed "installing silently"
timeout 120 wine "$installer" /S || fail "the installer exits with $?"
settle
for file in tpx2-config.exe tpx2ctl.exe uninstall.exe; do
  [ -f "$install_dir/$file" ] && ok "installed $file" || fail "no $install_dir/$file"
done
[ -f "$shortcut" ] && ok "Start-menu shortcut" || fail "no shortcut $shortcut"

entry="$(timeout 60 wine reg query "$uninstall_key" 2>/dev/null | tr -d '\r')" || true
value() { awk -v name="$1" '$1 == name { $1 = ""; $2 = ""; sub(/^ +/, ""); print }' <<<"$entry"; }
[ "$(value DisplayName)" = "Norvane TPX-2 Config Utility" ] && ok "uninstall entry's name" ||
  fail "uninstall entry's DisplayName is '$(value DisplayName)'"
[ "$(value DisplayVersion)" = "$version" ] && ok "uninstall entry's version $version" ||
  fail "uninstall entry's DisplayVersion is '$(value DisplayVersion)'"
[ "$(value Publisher)" = "Norvane" ] && ok "uninstall entry's publisher" ||
  fail "uninstall entry's Publisher is '$(value Publisher)'"
[ "$(value DisplayIcon)" = "$install_dir_win\\tpx2-config.exe,0" ] && ok "uninstall entry's icon" ||
  fail "uninstall entry's DisplayIcon is '$(value DisplayIcon)'"
[ "$(value UninstallString)" = "\"$install_dir_win\\uninstall.exe\"" ] && ok "uninstall entry's command" ||
  fail "uninstall entry's UninstallString is '$(value UninstallString)'"

got="$(timeout 60 wine "$install_dir_win\\tpx2ctl.exe" --version | tr -d '\r' | head -n1)" || true
[ "$got" = "tpx2ctl $version" ] && ok "installed tpx2ctl.exe --version" ||
  fail "installed tpx2ctl.exe --version prints '$got'"
# A release's programs carry nothing of the test authority.
while read -r line; do
  case "$line" in
    ok:*) ok "${line#ok: }" ;;
    *) fail "${line#FAIL: }" ;;
  esac
done < <("$repo/tests/package/trust_check.sh" "$version" "$install_dir/tpx2-config.exe" \
  "$install_dir/tpx2ctl.exe" || true)

elapsed "starting the installed utility against avn-sim"
"$avn_sim" >"$work/avn-sim.log" 2>&1 &
sim_pid=$!
listening() { ss -lun 2>/dev/null | grep -q '127.0.0.1:8900 ' && ss -lun 2>/dev/null | grep -q '127.0.0.1:8850 '; }
for _ in $(seq 100); do
  listening && break
  sleep 0.1
done
if ! listening; then
  fail "avn-sim is not listening on 127.0.0.1:8900 and 8850"
  cat "$work/avn-sim.log"
else
  output="$(timeout 120 wine "$check" "$install_dir_win\\tpx2-config.exe" | tr -d '\r')" ||
    fail "the installed utility did not come up and close (exit $?)"
  echo "$output" | sed 's/^/  /'
  grep -qxF "product version: $product_version" <<<"$output" &&
    ok "the utility's product version is $product_version" ||
    fail "the utility's product version is not $product_version"
fi
kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null || true
sim_pid=""
settle

elapsed "uninstalling silently"
# The uninstaller copies itself elsewhere and runs from there, so that it can
# delete itself: the command returns at once, and settle waits for the copy.
timeout 120 wine "$install_dir_win\\uninstall.exe" /S || fail "the uninstaller exits with $?"
settle
[ ! -e "$install_dir" ] && ok "the program folder is gone" || fail "$install_dir is still there"
[ ! -e "$(dirname "$install_dir")" ] && ok "the maker's folder is gone" ||
  fail "$(dirname "$install_dir") is still there"
[ ! -e "$shortcut" ] && ok "the shortcut is gone" || fail "the shortcut is still there"
if timeout 60 wine reg query "$uninstall_key" >/dev/null 2>&1; then
  fail "the uninstall entry is still there"
else
  ok "the uninstall entry is gone"
fi
settle
snapshot >"$work/after.txt"
if diff -u "$work/before.txt" "$work/after.txt"; then
  ok "no files left behind"
else
  fail "files were left behind or removed (above)"
fi
if grep -il norvane "$WINEPREFIX"/*.reg; then
  fail "the registry still names Norvane (in the files above)"
else
  ok "nothing of Norvane left in the registry"
fi

elapsed "done"
if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed; the prefix is kept in $WINEPREFIX"
  exit 1
fi
trap - EXIT
cleanup
rm -rf "$work"
echo "the Windows installer passed"
