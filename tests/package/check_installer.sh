#!/usr/bin/env bash
# Silent install and uninstall of the Windows installer under Wine, in a
# private prefix: the programs, the icon, the Run key, the Add/Remove
# Programs entry and the two Start-menu entries after the install, the agent
# started; all of it gone after the uninstall while the user's data
# (app-data folder) stays.
# Usage: check_installer.sh <installer.exe> <version>
set -euo pipefail
# Wine's shell links (the Start-menu entries) need a display: run under a
# virtual one when there is none.
if [ -z "${DISPLAY:-}" ] && [ -z "${ZEM_INSTALLER_UNDER_XVFB:-}" ]; then
  ZEM_INSTALLER_UNDER_XVFB=1 exec xvfb-run -a -s "-screen 0 1280x1024x24" bash "$0" "$@"
fi
setup=$1 version=$2
fail() { echo "FAIL: $*" >&2; exit 1; }
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX=$(mktemp -d /tmp/zem-installer-wine-XXXXXX)
trap 'wineserver -k >/dev/null 2>&1; rm -rf "$WINEPREFIX"' EXIT
wineboot -i >/dev/null 2>&1
# The set-up's wineserver ends first, so the install's runs on this display.
timeout 60 wineserver -w || true
dir="$WINEPREFIX/drive_c/Program Files/ZemCloudDisk"
appdata="$WINEPREFIX/drive_c/users/$(id -un)/AppData/Roaming/ZemCloudDisk"
run_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'
uninst_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\ZemCloudDisk'
menu="$WINEPREFIX/drive_c/users/$(id -un)/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/ZEM云盘"

timeout 300 wine "$setup" /S || fail "silent install exited with $?"
for f in bin/corvane.exe bin/keygate.exe bin/register.exe bin/populate.exe assets/icon.ico uninstall.exe; do
  [ -f "$dir/$f" ] || fail "$f not installed"
done
for f in "ZEM云盘.lnk" "登录 - 切换账号.lnk"; do
  [ -f "$menu/$f" ] || fail "Start-menu entry $f missing: $(ls "$menu" 2>&1)"
done
wine reg query "$run_key" /v ZemCloudDisk 2>/dev/null | grep -q 'C:\\Program Files\\ZemCloudDisk\\bin\\corvane.exe' \
  || fail "no Run entry for corvane.exe"
entry=$(wine reg query "$uninst_key" /reg:64 2>/dev/null || wine reg query "$uninst_key" 2>/dev/null) \
  || fail "no Add/Remove Programs entry"
grep -q "DisplayVersion.*$version" <<<"$entry" || fail "entry lacks DisplayVersion $version: $entry"
grep -q 'QuietUninstallString.*uninstall.exe" /S' <<<"$entry" || fail "entry lacks the quiet uninstall"
# The agent was started once: it opens its log (and, without the Cloud Files
# API under Wine, ends with exit code 3).
for _ in $(seq 1 60); do [ -f "$appdata/logs/provider.log" ] && break; sleep 0.5; done
[ -f "$appdata/logs/provider.log" ] || fail "corvane.exe was not started"

timeout 300 wine "$dir/uninstall.exe" /S || fail "silent uninstall exited with $?"
# The uninstaller runs from a copy in the temp folder; wait for it.
for _ in $(seq 1 60); do [ -e "$dir" ] || break; sleep 0.5; done
[ ! -e "$dir" ] || fail "left behind: $(find "$dir")"
[ ! -e "$menu" ] || fail "Start-menu entries left behind: $(ls "$menu")"
! wine reg query "$run_key" /v ZemCloudDisk >/dev/null 2>&1 || fail "Run entry left behind"
! wine reg query "$uninst_key" >/dev/null 2>&1 || fail "Add/Remove Programs entry left behind"
[ -f "$appdata/logs/provider.log" ] || fail "the user's app-data folder was removed"
echo "OK $setup"
