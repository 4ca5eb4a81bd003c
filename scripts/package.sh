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
mkdir -p "$src"
# The tree's own files as they are now, committed or not, with their times,
# over the previous build's objects (obj-*), which are kept: a second package
# build compiles only what changed.
find "$src" -mindepth 1 -maxdepth 1 ! -name 'obj-*' -exec rm -rf {} +
git ls-files -co --exclude-standard -z | xargs -0 cp -p --parents -t "$src"
(cd "$src" && DEB_BUILD_OPTIONS="parallel=$(nproc) noautodbgsym" \
    dpkg-buildpackage -us -uc -b --no-pre-clean >"$out/build.log" 2>&1) || {
    tail -40 "$out/build.log"
    echo "package: dpkg-buildpackage failed; the whole log is $out/build.log" >&2
    exit 1
}
echo "$deb"

echo "== lintian"
lintian --fail-on error,warning "$deb"
echo "lintian: no error, no warning"

[ "${1:-}" = "--check" ] || exit 0
exec scripts/package_check.sh "$deb"
