#!/usr/bin/env bash
# Builds the Debian package from the tree as it is, in build/package (outside
# the sources): lumivane_<version>_amd64.deb, checked by lintian and by
# systemd-analyze. With --check, also installs it into a fresh Debian 12 root
# made by debootstrap from the package mirror, runs the installed host on the
# simulated Mac and an installed "lumivanectl import" of a small card there,
# then removes it and checks that nothing is left behind.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=$root/build/package
mkdir -p "$out"

version=$(sed -n 's/^project(lumivane_host VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
packaged=$(dpkg-parsechangelog -l debian/changelog -S Version)
if [ "$version" != "$packaged" ]; then
    echo "package: CMakeLists.txt says $version, debian/changelog $packaged" >&2
    exit 1
fi
deb=$out/lumivane_${version}_amd64.deb

echo "== building lumivane_${version}_amd64.deb"
src=$out/lumivane-$version
rm -rf "$src"
mkdir -p "$src"
# The tree's own files as they are now, committed or not; nothing it built.
git ls-files -co --exclude-standard -z | xargs -0 cp --parents -t "$src"
(cd "$src" && DEB_BUILD_OPTIONS="parallel=$(nproc) noautodbgsym" \
    dpkg-buildpackage -us -uc -b >"$out/build.log" 2>&1) || {
    tail -40 "$out/build.log"
    echo "package: dpkg-buildpackage failed; the whole log is $out/build.log" >&2
    exit 1
}
rm -rf "$src"
echo "$deb"

echo "== lintian"
lintian --fail-on error,warning "$deb"
echo "lintian: no error, no warning"

echo "== systemd-analyze verify"
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
# The units name /usr/bin programs: verified against the package's own tree.
SYSTEMD_LOG_LEVEL=warning systemd-analyze --root="$unpacked" verify --man=no \
    "$unpacked"/usr/lib/systemd/user/lumivane-host.service "$unpacked"/usr/lib/systemd/user/lumivane-console.service
echo "systemd-analyze: both user units verify"

[ "${1:-}" = "--check" ] || exit 0
exec scripts/package_check.sh "$deb"
