#!/usr/bin/env bash
# The web console in front of a host on the simulated Mac with a phone, a
# camera and a memory card, or (with --platform linux) this machine's real
# devices. Prints the page's address; Ctrl-C ends both.
# Usage: scripts/console.sh BIN-FOLDER [--platform linux]
# LUMIVANE_CONSOLE_WORK names a folder to work in and keep (the browser test
# looks inside it); LUMIVANE_CONSOLE_PHOTOS sets the phone's photo count and
# LUMIVANE_CONSOLE_DISTINCT how many of them are different pictures (the rest
# link to them); LUMIVANE_CONSOLE_PORT the port (5718 unless set; 0: a free
# one with a new token).
set -euo pipefail
bin=$(cd "$1" && pwd)
platform=${3:-sim}
[ "${2:-}" = "--platform" ] || platform=sim
work=${LUMIVANE_CONSOLE_WORK:-}
keep=1
[ -n "$work" ] || { work=$(mktemp -d /tmp/lumivane-console-XXXXXX); keep=0; }
mkdir -p "$work"
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; wait 2>/dev/null; [ $keep = 1 ] || rm -rf "$work"' EXIT
trap 'exit 130' INT TERM
export LUMIVANE_SOCKET=$work/host.sock
mkdir -p "$work/home"
"$bin/lumivane-host" --platform "$platform" --socket "$LUMIVANE_SOCKET" --home "$work/home" 2>"$work/host.log" &
host=$!
pids+=($host)
for _ in $(seq 100); do [ -S "$LUMIVANE_SOCKET" ] || ! kill -0 $host 2>/dev/null && break; sleep 0.1; done
# One host per data folder: where one already serves it, the console attaches to that one.
if ! kill -0 $host 2>/dev/null; then
    running=$(sed -n 's/.*Another Lumivane host already serves .* on \(.*\)\.$/\1/p' "$work/host.log" | tail -n 1)
    [ -n "$running" ] || { cat "$work/host.log" >&2; exit 1; }
    echo "A host already serves this data folder on $running; the console uses it"
    export LUMIVANE_SOCKET=$running
fi
if [ "$platform" = sim ]; then
    ctl() { "$bin/lumivanectl" call sim/control "$@" >/dev/null; }
    photos=${LUMIVANE_CONSOLE_PHOTOS:-60}
    # Every tenth photo says it was taken on a day of its own, not when its file was made.
    "$bin/lumivane-photos" "$work/phone" "$photos" 48 "${LUMIVANE_CONSOLE_DISTINCT:-$photos}" 10 >/dev/null
    ctl phone.add '{"udid": "00008110-ADA", "name": "Ada'"'"'s iPhone", "root": "'"$work/phone"'"}'
    ctl phone.attach '{"udid": "00008110-ADA", "link": "usb"}'
    mkdir -p "$work/camera/DCIM/100CANON" "$work/card/DCIM/100MSDCF"
    cp "$work/phone/DCIM/100APPLE/"IMG_000[1-9].JPG "$work/camera/DCIM/100CANON/"
    cp "$work/phone/DCIM/100APPLE/"IMG_001[0-5].JPG "$work/card/DCIM/100MSDCF/"
    # One shot kept as RAW+JPEG, with an editor's sidecar: one tile on the page.
    cp "$work/card/DCIM/100MSDCF/IMG_0010.JPG" "$work/card/DCIM/100MSDCF/IMG_0010.CR2"
    printf '<x:xmpmeta xmlns:x="adobe:ns:meta/"/>\n' > "$work/card/DCIM/100MSDCF/IMG_0010.XMP"
    ctl camera.add '{"uuid": "EOS-R6-0001", "name": "Canon EOS R6", "kind": "Camera", "transport": "ICTransportTypeUSB", "root": "'"$work/camera"'"}'
    ctl volume.mount '{"path": "'"$work/card"'", "name": "EOS_DIGITAL", "uuid": "3A5C-11F0", "removable": true, "ejectable": true, "total": 64000000000, "free": 41000000000, "fs": "ExFAT"}'
    mkdir -p "$work/imports"
    ctl panel.answer '{"path": "'"$work/imports"'"}'  # what "Choose…" picks
    echo "Imports can go to $work/imports"
fi
# On the simulated Mac a folder typed from "~" lies in its home; the token
# stays where the user's own configuration keeps it.
console_home=$HOME
console_config=${XDG_CONFIG_HOME:-$HOME/.config}
[ "$platform" = sim ] && console_home=$work/home
HOME=$console_home XDG_CONFIG_HOME=$console_config \
    "$bin/lumivane-console" --socket "$LUMIVANE_SOCKET" --listen "127.0.0.1:${LUMIVANE_CONSOLE_PORT:-5718}" > "$work/console.out" &
pids+=($!)
for _ in $(seq 50); do [ -s "$work/console.out" ] && break; sleep 0.1; done
[ -s "$work/console.out" ] || { echo "lumivane-console did not start" >&2; exit 1; }
echo "Open $(head -1 "$work/console.out")"
echo "(Ctrl-C ends the console and the host)"
wait
