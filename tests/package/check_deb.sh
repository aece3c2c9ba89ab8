#!/usr/bin/env bash
# Builds the Linux package from the build tree and checks it: its contents,
# the desktop entries, the user unit, and that a copy unpacked into a
# throw-away root runs (`corvane --version`).
# Usage: check_deb.sh <build dir> <version>
set -euo pipefail
build=$1 version=$2
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB >/dev/null) || fail "cpack"
deb=$(ls "$build"/zem-cloud-disk_"$version"_*.deb 2>/dev/null | head -1)
[ -n "$deb" ] || fail "no zem-cloud-disk_${version}_*.deb in $build"

contents=$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|')
for f in /usr/bin/corvane /usr/bin/keygate /usr/bin/register /usr/bin/populate \
         /usr/lib/systemd/user/corvane.service \
         /usr/share/applications/zem-keygate.desktop /etc/xdg/autostart/zem-corvane.desktop \
         /usr/share/icons/hicolor/16x16/apps/zem-cloud-disk.png \
         /usr/share/icons/hicolor/32x32/apps/zem-cloud-disk.png; do
  grep -qx "$f" <<<"$contents" || fail "$f missing from the package"
done
! grep -q zemd <<<"$contents" || fail "zemd must not be packaged"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version is not $version"

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"

if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$root"/usr/share/applications/zem-keygate.desktop \
                        "$root"/etc/xdg/autostart/zem-corvane.desktop || fail "desktop entries"
else
  echo "desktop-file-validate not installed; entries not validated"
fi
grep -qx 'Name=登录 / 切换账号' "$root"/usr/share/applications/zem-keygate.desktop || fail "launcher name"
for png in "$root"/usr/share/icons/hicolor/*/apps/zem-cloud-disk.png; do
  [ "$(head -c 8 "$png" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] || fail "$png is no PNG"
done

unit=$root/usr/lib/systemd/user/corvane.service
grep -qx 'ExecStart=/usr/bin/corvane --service' "$unit" || fail "unit does not start /usr/bin/corvane"
if command -v systemd-analyze >/dev/null; then
  # Checks the unit's syntax; the ExecStart program is looked up in the
  # unpacked root through a copy whose path is rewritten.
  sed "s|/usr/bin/corvane|$root/usr/bin/corvane|" "$unit" > "$root/corvane.service"
  # (Checked as a system unit: a user manager is often missing where tests
  # run, and the checks of the unit's own lines are the same.)
  if ! out=$(systemd-analyze verify "$root/corvane.service" 2>&1); then
    grep -q "Failed to initialize manager" <<<"$out" || fail "unit: $out"
    echo "systemd-analyze cannot run here; unit not verified"
  fi
  [ -z "$out" ] || grep -q "Failed to initialize manager" <<<"$out" || fail "unit warnings: $out"
else
  echo "systemd-analyze not available; unit not verified"
fi

line=$("$root"/usr/bin/corvane --version) || fail "corvane --version"
[[ "$line" == "corvane $version (rev "* ]] || fail "corvane --version printed: $line"
echo "OK $deb"
