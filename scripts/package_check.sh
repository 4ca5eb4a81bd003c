#!/usr/bin/env bash
# Installs the package into a fresh Debian 12 root (debootstrap, from the
# package mirror this machine uses), as a person would with apt: runs the
# installed host on the simulated Mac and an installed "lumivanectl import" of
# a small card as a user, removes the package again, and checks that it left
# nothing outside the user's folders.
#   scripts/package_check.sh build/package/lumivane_<version>_amd64.deb
#   scripts/package_check.sh --base   only the bare root, which CI makes while
#                                     the tests build and run
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$1" = --base ] || deb=$(realpath "$1")
out=$(pwd)/build/package
mkdir -p "$out"
mirror=$(sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -1)
mirror=${mirror:-http://deb.debian.org/debian}
base=$out/bookworm-base.tar
chroot=$out/root

cleanup() {
    [ -z "${host:-}" ] || kill "$host" 2>/dev/null || true
    umount -l "$chroot/proc" 2>/dev/null || true
    umount -l "$chroot/dev/pts" 2>/dev/null || true
    umount -l "$chroot/dev" 2>/dev/null || true
    # Never into a file system still mounted there (the machine's /dev).
    if grep -q " $chroot/" /proc/mounts; then
        echo "package check: $chroot still has mounts; left in place" >&2
        return 1
    fi
    rm -rf --one-file-system "$chroot"
}
trap cleanup EXIT
cleanup

# The bare system, made once per build folder and kept as a tarball.
if [ ! -f "$base" ]; then
    echo "== debootstrap bookworm from $mirror"
    debootstrap --variant=minbase bookworm "$chroot" "$mirror" >"$out/debootstrap.log" 2>&1 || {
        tail -20 "$out/debootstrap.log"
        exit 1
    }
    tar -C "$chroot" -cf "$base.part" . && mv "$base.part" "$base"
    rm -rf "$chroot"
fi
[ "$1" != --base ] || exit 0
mkdir -p "$chroot"
tar -C "$chroot" -xf "$base"
cp /etc/resolv.conf "$chroot/etc/resolv.conf"
mount -t proc proc "$chroot/proc"
mount --bind /dev "$chroot/dev"
mount --bind /dev/pts "$chroot/dev/pts"
in_root() { chroot "$chroot" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"; }

echo "== apt-get install ./$(basename "$deb")"
cp "$deb" "$chroot/tmp/"
in_root apt-get update -qq
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "/tmp/$(basename "$deb")" >"$out/install.log" 2>&1 || {
    tail -20 "$out/install.log"
    exit 1
}
in_root dpkg -L lumivane >"$out/installed-files"
grep -qx /usr/bin/lumivane-host "$out/installed-files"
grep -qx /usr/lib/lumivane/liblumivane_imobiledevice.so "$out/installed-files"
in_root lumivane-host --version
in_root lumivanectl --version
in_root lumivane-console --version

echo "== systemd-analyze verify, the user units as installed"
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends systemd \
    >>"$out/install.log" 2>&1
in_root mkdir -m 700 -p /tmp/runtime
in_root env XDG_RUNTIME_DIR=/tmp/runtime SYSTEMD_LOG_LEVEL=warning systemd-analyze --user verify --man=no \
    /usr/lib/systemd/user/lumivane-host.service /usr/lib/systemd/user/lumivane-console.service
echo "systemd-analyze: both user units verify"

echo "== the installed host on the simulated Mac, and an import of a small card, as a user"
in_root useradd --create-home photographer
home=$chroot/home/photographer
mkdir -p "$home/CARD/DCIM/100TEST" "$home/Pictures"
for i in 1 2 3; do
    ffmpeg -v error -y -f lavfi -i "color=c=blue:s=64x48" -frames:v 1 "$home/CARD/DCIM/100TEST/IMG_000$i.JPG"
done
in_root chown -R photographer: /home/photographer
as_user() { chroot --userspec=photographer:photographer "$chroot" /usr/bin/env -i PATH=/usr/bin:/bin \
    HOME=/home/photographer LANG=C.UTF-8 LUMIVANE_SOCKET=/home/photographer/host.sock "$@"; }
# Not through as_user: $! is then the host itself (chroot and env exec it).
chroot --userspec=photographer:photographer "$chroot" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/home/photographer \
    LANG=C.UTF-8 lumivane-host --platform sim --socket /home/photographer/host.sock --home /home/photographer/mac \
    >"$out/host.log" 2>&1 &
host=$!
for _ in $(seq 200); do
    as_user lumivanectl call sim/control ping >/dev/null 2>&1 && break
    sleep 0.1
done
as_user lumivanectl call sim/control volume.mount \
    '{"path": "/home/photographer/CARD", "localizedName": "CARD", "uuid": "CHECK-1", "removable": true}'
as_user lumivanectl import /home/photographer/CARD /home/photographer/Pictures
copies=$(find "$home/Pictures" -name '*.JPG' | wc -l)
kill "$host"
wait "$host" || true
host=
if [ "$copies" != 3 ]; then
    cat "$out/host.log"
    echo "package check: $copies of 3 photos imported" >&2
    exit 1
fi
echo "3 of 3 photos imported by the installed programs"

echo "== apt-get purge lumivane"
in_root env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq lumivane >/dev/null
if in_root dpkg -L lumivane >/dev/null 2>&1; then
    echo "package check: dpkg still knows lumivane" >&2
    exit 1
fi
# Nothing of the package is left: none of its files, nothing named after it
# outside the user's folders and the temporary one.
while read -r file; do
    [ -d "$chroot$file" ] || [ ! -e "$chroot$file" ] || { echo "left behind: $file" >&2; exit 1; }
done <"$out/installed-files"
left=$(in_root find / -xdev \( -path /proc -o -path /home -o -path /tmp \) -prune -o -iname '*lumivane*' -print)
if [ -n "$left" ]; then
    echo "package check: left behind after purge:" >&2
    echo "$left" >&2
    exit 1
fi
echo "package check: installed, used and removed without a trace"
