#!/usr/bin/env bash
# A short scripted session against the host on the simulated Mac.
# Usage: scripts/demo.sh BIN-FOLDER
set -euo pipefail
bin=$(cd "$1" && pwd)
work=$(mktemp -d /tmp/lumivane-demo-XXXXXX)
export LUMIVANE_SOCKET=$work/host.sock
mkdir -p "$work/home"
# What an earlier sandboxed build left behind: its preferences and database.
container="$work/home/Library/Containers/com.lumivane.app/Data"
mkdir -p "$container/Library/Preferences" "$container/Documents"
cat >"$container/Library/Preferences/com.lumivane.app.plist" <<'PLIST'
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
  <key>flutter.theme</key><string>dark</string>
  <key>flutter.importFolder</key><string>~/Pictures/Lumivane</string>
  <key>NSWindow Frame Old</key><string>0 0 800 600</string>
</dict></plist>
PLIST
echo "the old sandboxed build's database" >"$container/Documents/lumivane.db"
"$bin/lumivane-host" --platform sim --socket "$LUMIVANE_SOCKET" --home "$work/home" 2>"$work/host.log" &
host=$!
trap 'kill $host ${console:-} 2>/dev/null; wait $host 2>/dev/null; rm -rf "$work"' EXIT

# Waits until the camera with this id has read its catalogue.
camera_ready() {
    until "$bin/lumivanectl" call lumivane/macos camera.list | grep -q "\"id\":\"$1\"[^}]*\"ready\":true"; do sleep 0.05; done
}
step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
# lumivanectl import, its progress bar shown once, at its last drawing.
ctl_import() {
    printf '$ lumivanectl import %s\n' "$*"
    "$bin/lumivanectl" import "$@" 2>&1 | tr '\r' '\n' | awk '/^  \[/ { bar = $0; next } { if (bar != "") print bar; bar = ""; print }' || true
}
run() {  # prints the command, then its answer; a failing call does not end the demo
    printf '$ lumivanectl %s\n' "$*"
    "$bin/lumivanectl" "$@" || true
}

step "The host answers on its control channel"
run call sim/control ping
step "Unknown methods answer not implemented"
run call lumivane/macos no.such.method

step "Start-up: the main window at its default frame (a 1440 x 900 screen), and what the host did, in order"
run call sim/control window.get
"$bin/lumivanectl" call sim/control journal | sed 's/","/"\n    "/g; s/^/    /'

step "The one-time move of data an earlier sandboxed build left: only the \"flutter.\" preferences, and the database"
support="$work/home/Library/Application Support/com.lumivane.app"
sed "s/^/    /" "$support/defaults.json"; echo
echo "    lumivane.db: $(cat "$support/lumivane.db")"

step "Launcher mode on, then off (the frame before is restored)"
run call lumivane/macos window.launcher '{"on": true}'
run call sim/control window.get
run call lumivane/macos window.launcher '{"on": false}'
run call sim/control window.get

step "On a 1920 x 1080 screen the launcher is 960 x 540"
run call sim/control screens.set '{"screens": [[0, 0, 1920, 1080]]}'
run call lumivane/macos window.launcher '{"on": true}'
run call sim/control window.get
run call lumivane/macos window.launcher '{"on": false}'

step "Full Disk Access: not granted, then granted (the privacy database becomes readable)"
run call lumivane/macos fullDiskAccessStatus
mkdir -p "$work/home/Library/Application Support/com.apple.TCC" && : >"$work/home/Library/Application Support/com.apple.TCC/TCC.db"
run call lumivane/macos fullDiskAccessStatus
run call lumivane/macos openFullDiskAccessSettings
run call sim/control openedURLs

step "Listening to the host event stream for a second"
run listen lumivane/macos/events --seconds 1
echo "(listen acknowledged; nothing changed, so no event arrived)"

step "Apple devices the usbmux daemon sees (the simulated daemon: one phone on USB and Wi-Fi, one on Wi-Fi only)"
run call lumivane/macos listAppleDevices
run call sim/control usbmux.add '{"udid": "00008110-001A2B3C4D5E", "name": "Ada'"'"'s iPhone", "productType": "iPhone15,2", "osVersion": "17.5", "links": ["usb", "wifi"]}'
run call sim/control usbmux.add '{"udid": "00008030-00112233AABB", "name": "Studio iPad", "deviceClass": "iPad", "productType": "iPad13,4", "osVersion": "18.1", "links": ["wifi"]}'
run call lumivane/macos listAppleDevices

step "iPhones (the simulated MobileDevice provider): Ada's phone on USB and Wi-Fi, Ben's untrusted on USB"
mkdir -p "$work/ada/DCIM/100APPLE" "$work/ben/DCIM"
run call lumivane/macos iphone.available
run call sim/control phone.add '{"udid": "00008110-ADA", "name": "Ada'"'"'s iPhone", "root": "'"$work/ada"'"}'
run call sim/control phone.add '{"udid": "00008030-BEN", "name": "Ben'"'"'s iPhone", "root": "'"$work/ben"'", "trusted": false}'
echo "(each attach sends an \"iphones\" event)"
run call sim/control phone.attach '{"udid": "00008110-ADA", "link": "usb"}' --events lumivane/macos/events --linger 0.5
run call sim/control phone.attach '{"udid": "00008110-ADA", "link": "wifi"}' --events lumivane/macos/events --linger 0.5
run call sim/control phone.attach '{"udid": "00008030-BEN", "link": "usb"}' --events lumivane/macos/events --linger 0.5
run call lumivane/macos iphone.list

step "Ben taps Trust; turning auto Wi-Fi on refreshes every phone"
run call sim/control phone.set '{"udid": "00008030-BEN", "trusted": true}'
run call lumivane/macos iphone.setAutoWifi '{"on": true}'
sleep 0.3
run call lumivane/macos iphone.list

step "Ben unplugs: an \"iphones\" event, and he leaves the list"
run call sim/control phone.detach '{"udid": "00008030-BEN", "link": "usb"}' --events lumivane/macos/events --linger 0.5
run call lumivane/macos iphone.list
echo "What the host logged about phones:"
grep -E "Lumivane (iPhone|MobileDevice)" "$work/host.log" | sed 's/^/    /'

step "Ada's camera roll: 300 real photos, two videos and a 12-megapixel HEIC, browsed folder by folder"
"$bin/lumivane-photos" "$work/ada" 300 24
run call lumivane/macos iphone.children '{"udid": "00008110-ADA"}'
run call lumivane/macos iphone.children '{"udid": "00008110-ADA", "path": "101APPLE"}' --head 3

step "Scanning every photo and video (sizes read over parallel connections), the newest ten first"
run call sim/control phone.set '{"udid": "00008110-ADA", "latencyMs": 8}'
run call lumivane/macos iphone.media '{"udid": "00008110-ADA"}' --events lumivane/macos/events --head 10
step "A second scan is served from the phone's stat cache: no sizing"
run call lumivane/macos iphone.media '{"udid": "00008110-ADA"}' --events lumivane/macos/events --head 2
ls -l "$work/home/Library/Application Support/com.lumivane.app/iphone-files/" | sed 's/^/    /'

step "Downloading three photos and a video, with progress"
mkdir -p "$work/downloads"
run call sim/control phone.set '{"udid": "00008110-ADA", "latencyMs": 25}'
for name in 101APPLE/IMG_0300.JPG 101APPLE/IMG_0299.JPG 101APPLE/IMG_0298.JPG 101APPLE/IMG_0301.MOV; do
    run call lumivane/macos iphone.download '{"udid": "00008110-ADA", "path": "'"$name"'", "target": "'"$work/downloads/${name#*/}"'", "token": "'"$name"'"}' --events lumivane/macos/events
done
step "Cancelling a fifth download, a video, a third of the way through: nothing is left behind"
run call lumivane/macos iphone.download '{"udid": "00008110-ADA", "path": "101APPLE/IMG_0302.MOV", "target": "'"$work/downloads/IMG_0302.MOV"'", "token": "video"}' --events lumivane/macos/events --cancel-at 0.33
ls -l "$work/downloads" | sed 's/^/    /'

step "Ada's photo index (a SQLite database with its log): copied with progress, then asked again (unchanged)"
mkdir -p "$work/ada/PhotoData"
{
    echo ".filectrl persist_wal 1"  # the phone keeps its write-ahead log beside the database
    echo "PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0;"
    echo "CREATE TABLE ZASSET (Z_PK INTEGER PRIMARY KEY, ZFILENAME TEXT, ZDIRECTORY TEXT, ZBLOB BLOB);"
    echo "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 300)"
    echo "  INSERT INTO ZASSET (ZFILENAME, ZDIRECTORY, ZBLOB) SELECT printf('IMG_%04d.JPG', i), 'DCIM/10' || (i / 100) || 'APPLE', randomblob(8000) FROM n;"
} | sqlite3 "$work/ada/PhotoData/Photos.sqlite" >/dev/null
ls -l "$work/ada/PhotoData" | sed 's/^/    /'
run call lumivane/macos iphone.photosIndex '{"udid": "00008110-ADA"}' --events lumivane/macos/events
run call lumivane/macos iphone.photosIndex '{"udid": "00008110-ADA"}'
copy="$work/home/Library/Application Support/com.lumivane.app/iphone-files/00008110-ADA-photos"
echo "    the copy opens with SQLite: $(sqlite3 "$copy/Photos.sqlite" 'SELECT count(*) FROM ZASSET') assets"

step "Thumbnails of the newest: the phone's own rendering when it has one (its videos' frames too), else the photo itself scaled"
mkdir -p "$work/thumbnails"
for name in 101APPLE/IMG_0303.HEIC 101APPLE/IMG_0302.MOV 101APPLE/IMG_0300.JPG 101APPLE/IMG_0299.JPG; do
    out="$work/thumbnails/${name#*/}.jpg"
    run call lumivane/macos iphone.thumbnail '{"udid": "00008110-ADA", "path": "'"$name"'"}' --out "$out"
done
echo "    the phone's store holds: $(cd "$work/ada/PhotoData/Thumbnails/V2/DCIM/101APPLE" && ls | tail -2 | tr '\n' ' ')"
for thumbnail in "$work"/thumbnails/*.jpg; do
    echo "    $(vipsheader "$thumbnail" | sed "s|$work/thumbnails/||")"
done

step "A memory card: mounted, listed, renamed, refused and then ejected, each change one \"volumes\" event"
mkdir -p "$work/CARD/DCIM/100CANON"
run call sim/control volume.mount '{"path": "'"$work/CARD"'", "localizedName": "EOS_DIGITAL", "removable": true, "ejectable": true, "local": true, "uuid": "4A2B-11C0", "total": 63864569856, "free": 51200000000, "fs": "MS-DOS (FAT32)"}' --events lumivane/macos/events --linger 0.3
run call lumivane/macos volume.list
run call sim/control volume.rename '{"path": "'"$work/CARD"'", "name": "HOLIDAY"}' --events lumivane/macos/events --linger 0.3
run call lumivane/macos file.volumeInfo '{"path": "'"$work/CARD/DCIM/100CANON"'"}'
run call lumivane/macos file.freeSpace '{"path": "'"$work/CARD/Imports/2026/December"'"}'
run call lumivane/macos file.freeSpace '{"path": ""}'
echo "    (a path that names no place: null, and the host goes on)"
run call sim/control volume.ejectResult '{"path": "'"$work/CARD"'", "error": "The volume “HOLIDAY” is in use by “Preview”."}'
run call lumivane/macos volume.eject '{"path": "'"$work/CARD"'"}' --events lumivane/macos/events --linger 0.3
echo "    (the refusal was for that eject only: the next one goes)"
run call lumivane/macos volume.eject '{"path": "'"$work/CARD"'"}' --events lumivane/macos/events --linger 0.3

step "Import jobs from a card: folders and names from capture dates, then only new (nothing copied), then a backup and delete-after"
mkdir -p "$work/SHOOT/DCIM/100CANON" "$work/Pictures" "$work/Backup"
"$bin/lumivane-photos" "$work/shoot-roll" 4 >/dev/null
cp "$work/shoot-roll/DCIM/100APPLE/"IMG_000[1-4].JPG "$work/SHOOT/DCIM/100CANON/"
# Taken in Lisbon on 6 December at 10:30 (UTC+0); the names show it in the host's local time.
exiftool -q -q -overwrite_original '-DateTimeOriginal=2026:12:06 10:30:00' '-OffsetTimeOriginal=+00:00' "$work/SHOOT/DCIM/100CANON/"IMG_000[1-2].JPG
echo "<x:xmpmeta/>" >"$work/SHOOT/DCIM/100CANON/IMG_0001.XMP"
run call sim/control volume.mount '{"path": "'"$work/SHOOT"'", "localizedName": "SHOOT", "uuid": "5C3D-22E1", "removable": true, "ejectable": true}'
import_job() {  # starts an import job with these arguments, follows its events until it is done, then its status
    printf '$ lumivanectl call lumivane/import import.start %s\n' "$1"
    local job
    job=$("$bin/lumivanectl" call lumivane/import import.start "$1" | tr -d '"')
    echo "$job"
    until ! "$bin/lumivanectl" call lumivane/import import.status '{"job": "'"$job"'"}' | grep -q '"state":"running"'; do sleep 0.05; done
    run call lumivane/import import.status '{"job": "'"$job"'"}'
}
card_source='"source": {"kind": "volume", "id": "'"$work/SHOOT"'"}'
echo "    (every date of the card, read in the background once and kept for when it comes back: asked, then asked again when read)"
run call lumivane/import import.deviceDates '{'"$card_source"', "fresh": true}'
for _ in $(seq 200); do
    "$bin/lumivanectl" call lumivane/import import.deviceDates '{'"$card_source"'}' | grep -q '"complete":true' && break
    sleep 0.05
done
run call lumivane/import import.deviceDates '{'"$card_source"'}'
mkdir -p "$work/home/Pictures"
echo "    (nothing chosen yet: the user's pictures folder is where imports go)"
run call lumivane/import import.settings
import_job '{'"$card_source"', "destination": "'"$work/Pictures"'", "subfolders": "{YYYY}/{YYYY}-{MM}-{DD}", "rename": "{YYYY}{MM}{DD}_{hh}{mm}{ss}_{name}"}'
(cd "$work/Pictures" && find . -type f | sort)
echo "    (a second run with \"only new\": every item skipped, and why)"
import_job '{'"$card_source"', "destination": "'"$work/Pictures"'", "subfolders": "{YYYY}/{YYYY}-{MM}-{DD}"}'
echo "    (a bad template is refused at once)"
run call lumivane/import import.start '{'"$card_source"', "destination": "'"$work/Pictures"'", "subfolders": "../{YYYY}"}'
echo "    (into a new folder, with a verified backup, deleting from the card after)"
mkdir -p "$work/Archive"
import_job '{'"$card_source"', "destination": "'"$work/Archive"'", "onlyNew": false, "backup": "'"$work/Backup"'", "deleteAfter": true}'
ls "$work/SHOOT/DCIM/100CANON" | wc -l | xargs echo "    files left on the card:"

step "Nothing a photographer can lose: a card as the engine sees it, flags kept until a photo is imported, a photo that brings its twin and sidecar, a shoot and a clock shift, choices refused, one host per data folder"
mkdir -p "$work/RAWCARD/DCIM/100CANON" "$work/Pairs" "$work/Internal"
cp "$work/shoot-roll/DCIM/100APPLE/"IMG_000[1-2].JPG "$work/RAWCARD/DCIM/100CANON/"
echo "raw sensor data" >"$work/RAWCARD/DCIM/100CANON/IMG_0001.CR2"
printf '<x:xmpmeta xmlns:x="adobe:ns:meta/"/>\n' >"$work/RAWCARD/DCIM/100CANON/IMG_0001.XMP"
echo "    (mounted: the import channel says it \"arrived\", ready to import from)"
run call sim/control volume.mount '{"path": "'"$work/RAWCARD"'", "localizedName": "RAWCARD", "uuid": "7E1A-0C2B", "removable": true, "ejectable": true}' --events lumivane/import/events --linger 0.3
raw_source='"source": {"kind": "volume", "id": "'"$work/RAWCARD"'"}'
echo "    (each photo once, leading its twin and sidecar: what every client shows and sends)"
run call lumivane/import import.items '{'"$raw_source"'}'
echo "    (a large preview of one of them, rendered from the photo itself, not from a small rendering the device keeps)"
run call lumivane/import import.preview '{'"$raw_source"', "path": "'"$work/RAWCARD/DCIM/100CANON/IMG_0002.JPG"'", "px": 1600}'
echo "    (culled before import: the pair picked with four stars, the other photo rejected; the host keeps them until imported)"
run call lumivane/import import.flag '{'"$raw_source"', "items": ["'"$work/RAWCARD/DCIM/100CANON/IMG_0001.CR2"'"], "flag": "pick", "stars": 4}'
run call lumivane/import import.flag '{'"$raw_source"', "items": ["'"$work/RAWCARD/DCIM/100CANON/IMG_0002.JPG"'"], "flag": "reject"}'
run call lumivane/import import.flags '{'"$raw_source"'}'
echo "    (one photo asked for: its RAW twin and its sidecar come with it, and the copied sidecar takes the pick and the stars)"
import_job '{'"$raw_source"', "destination": "'"$work/Pairs"'", "items": ["'"$work/RAWCARD/DCIM/100CANON/IMG_0001.JPG"'"]}'
(cd "$work/Pairs" && find . -type f | sort)
echo '$ cat Pairs/IMG_0001.XMP'
sed 's/^/    /' "$work/Pairs/IMG_0001.XMP"
echo "    (the original sidecar on the card is as it was; the host forgot the imported pair's flags)"
sed 's/^/    /' "$work/RAWCARD/DCIM/100CANON/IMG_0001.XMP"
run call lumivane/import import.flags '{'"$raw_source"'}'
echo "    (names a studio uses: the shoot's name and a camera clock 90 minutes slow, kept as this card's own names)"
run call lumivane/import import.remember '{'"$raw_source"', "settings": {"subfolders": "{job}", "rename": "{YYYY}{MM}{DD}_{hh}{mm}_{name}", "clockShift": 90}}'
run call lumivane/import import.settings '{'"$raw_source"'}'
run call lumivane/import import.start '{'"$raw_source"', "destination": "'"$work/Pairs"'", "subfolders": "{job}"}'
import_job '{'"$raw_source"', "destination": "'"$work/Pairs"'", "items": ["'"$work/RAWCARD/DCIM/100CANON/IMG_0002.JPG"'"], "subfolders": "{job}", "rename": "{YYYY}{MM}{DD}_{hh}{mm}_{name}", "clockShift": 90, "shoot": "Harbour wedding"}'
(cd "$work/Pairs" && find . -type f | sort)
echo "    (refused at once, each with a sentence: a destination on the card, a backup that is the destination,"
echo "     the disk holding this computer's home, and deleting from an internal disk)"
run call lumivane/import import.start '{'"$raw_source"', "destination": "'"$work/RAWCARD/DCIM"'"}'
run call lumivane/import import.start '{'"$raw_source"', "destination": "'"$work/Pairs"'", "backup": "'"$work/Pairs/"'"}'
run call sim/control volume.mount '{"path": "'"$work/home"'", "localizedName": "Macintosh HD", "removable": false, "ejectable": false, "internal": true}'
run call lumivane/import import.start '{"source": {"kind": "volume", "id": "'"$work/home"'"}, "destination": "'"$work/Pairs"'"}'
run call sim/control volume.mount '{"path": "'"$work/Internal"'", "localizedName": "Data", "removable": false, "ejectable": false, "internal": true}'
run call lumivane/import import.start '{"source": {"kind": "volume", "id": "'"$work/Internal"'"}, "destination": "'"$work/Pairs"'", "deleteAfter": true}'
run call sim/control volume.unmount '{"path": "'"$work/home"'"}'
run call sim/control volume.unmount '{"path": "'"$work/Internal"'"}'
echo "    (a second host over the same data folder would resume the first one's running jobs: it says who serves it, and exits)"
echo '$ lumivane-host --platform sim --socket second.sock --home <the same home>'
second=0
said=$("$bin/lumivane-host" --platform sim --socket "$work/second.sock" --home "$work/home" 2>&1) || second=$?
printf '%s\n' "$said" | sed "s|$work/||g; s/^/    /"
echo "    exit status $second"

step "Plug in and it imports: a card with an automatic rule is imported by itself as it is mounted, once, then ejected, and the person is told"
mkdir -p "$work/AUTOCARD/DCIM/100CANON" "$work/AutoImports"
cp "$work/shoot-roll/DCIM/100APPLE/"IMG_000[1-4].JPG "$work/AUTOCARD/DCIM/100CANON/"
run call lumivane/import import.autoSet '{"device": {"kind": "volume", "id": "9D4F-3A17"}, "settings": {"destination": "'"$work/AutoImports"'", "subfolders": "{YYYY}"}, "eject": true}'
run call lumivane/import import.autoList
run call sim/control volume.mount '{"path": "'"$work/AUTOCARD"'", "localizedName": "AUTOCARD", "uuid": "9D4F-3A17", "removable": true, "ejectable": true}'
for _ in $(seq 200); do  # within ten seconds of the mount
    "$bin/lumivanectl" call lumivane/import import.list | grep -q '"auto":true' && break
    sleep 0.05
done
auto_job=$("$bin/lumivanectl" call lumivane/import import.list | grep -o '"job":"[^"]*"' | sed -n 1p | cut -d'"' -f4)  # newest first
until ! "$bin/lumivanectl" call lumivane/import import.status '{"job": "'"$auto_job"'"}' | grep -q '"state":"running"'; do sleep 0.05; done
echo "    (the job it started by itself, listed with \"auto\": true)"
run call lumivane/import import.status '{"job": "'"$auto_job"'"}'
(cd "$work/AutoImports" && find . -type f | sort)
for _ in $(seq 200); do  # the notice comes once the card is ejected
    "$bin/lumivanectl" call sim/control notifications | grep -q title && break
    sleep 0.05
done
echo "    (the card was ejected: no longer listed; the desktop's notice, and its action picked)"
mounted=$("$bin/lumivanectl" call lumivane/macos volume.list | grep -c AUTOCARD || true)
echo "    AUTOCARD volumes mounted: $mounted"
run call sim/control notifications
run call sim/control notification.activate '{"index": 0}'
run call sim/control openedURLs
run call lumivane/import import.autoRemove '{"device": {"kind": "volume", "id": "9D4F-3A17"}}'

step "Import jobs from a phone and a camera: lumivanectl's progress bar, a phone unplugged mid-job that resumes by itself when it returns"
mkdir -p "$work/PhoneImports" "$work/CameraImports"
echo "    (the cable comes out a few dozen photos in; the job stops \"interrupted\", nothing half-written left)"
run call sim/control phone.fault '{"udid": "00008110-ADA", "op": "read", "code": 26, "nth": 60, "detach": true}'
ctl_import iphone:00008110-ADA "$work/PhoneImports" --subfolders "{YYYY}-{MM}" --rename "{YYYY}{MM}{DD}_{name}"
phone_job=$("$bin/lumivanectl" call lumivane/import import.list | grep -o '"job":"[^"]*"' | sed -n 1p | cut -d'"' -f4)
find "$work/PhoneImports" -type f | wc -l | xargs echo "    copies so far:"
echo "    (plugged in again: \"import --resume\" finishes exactly the rest)"
run call sim/control phone.attach '{"udid": "00008110-ADA", "link": "usb"}'
ctl_import --resume "$phone_job"
find "$work/PhoneImports" -type f | wc -l | xargs echo "    copies now (no item twice):"
(cd "$work/PhoneImports" && find . -type f | sort | sed -n 1,4p)
echo "    (a camera: into {device}/{YYYY}, then \"only new\" again)"
mkdir -p "$work/r5/DCIM/100CANON"
cp "$work/shoot-roll/DCIM/100APPLE/"IMG_000[1-3].JPG "$work/r5/DCIM/100CANON/"
run call sim/control camera.add '{"uuid": "EOS-R5-IMPORT", "name": "Canon EOS R5", "serial": "0321", "root": "'"$work/r5"'"}'
camera_ready EOS-R5-IMPORT
echo "    (what the camera holds, as the import engine groups it)"
run items camera:EOS-R5-IMPORT
ctl_import camera:EOS-R5-IMPORT "$work/CameraImports" --subfolders "{device}/{YYYY}"
(cd "$work/CameraImports" && find . -type f | sort)
ctl_import camera:EOS-R5-IMPORT "$work/CameraImports" --subfolders "{device}/{YYYY}"
run call lumivane/import import.list

step "A camera and a card reader (no UUID): listed, browsed, thumbnails, a download with progress, a cancelled one, an eject"
mkdir -p "$work/eos/DCIM/100CANON" "$work/reader/DCIM/100MSDCF" "$work/imports"
"$bin/lumivane-photos" "$work/eos-roll" 4 2 >/dev/null
cp "$work/eos-roll/DCIM/100APPLE/"IMG_000[1-4].JPG "$work/eos/DCIM/100CANON/"
head -c 67108864 /dev/urandom >"$work/eos/DCIM/100CANON/MVI_0005.MOV"
cp "$work/eos-roll/DCIM/100APPLE/IMG_0001.JPG" "$work/reader/DCIM/100MSDCF/DSC00001.JPG"
run call sim/control camera.add '{"uuid": "EOS-R6-0001", "name": "Canon EOS R6", "kind": "Camera", "transport": "ICTransportTypeUSB", "serial": "032021000123", "root": "'"$work/eos"'"}' --events lumivane/macos/events --linger 0.3
reader=$("$bin/lumivanectl" call sim/control camera.add '{"root": "'"$work/reader"'", "canEject": false}' | tr -d '"')
camera_ready "EOS-R6-0001" && camera_ready "$reader"
run call lumivane/macos camera.list
run call lumivane/macos camera.children '{"id": "EOS-R6-0001", "path": "DCIM/100CANON"}'
run call lumivane/macos camera.thumbnail '{"id": "EOS-R6-0001", "path": "DCIM/100CANON/IMG_0001.JPG", "px": 200}' --out "$work/thumbnails/camera-IMG_0001.jpg"
echo "    $(vipsheader "$work/thumbnails/camera-IMG_0001.jpg" | sed "s|$work/thumbnails/||")"
run call sim/control camera.set '{"id": "EOS-R6-0001", "chunkDelayMs": 30}'
run call lumivane/macos camera.download '{"id": "EOS-R6-0001", "path": "DCIM/100CANON/MVI_0005.MOV", "dir": "'"$work/imports"'", "name": "MVI_0005.MOV", "token": "cam1"}' --events lumivane/macos/events
run call lumivane/macos camera.download '{"id": "EOS-R6-0001", "path": "DCIM/100CANON/MVI_0005.MOV", "dir": "'"$work/imports"'", "name": "MVI_0005.MOV", "token": "cam2"}' --events lumivane/macos/events --cancel-at 0.3
ls "$work/imports" | sed 's/^/    /'
run call lumivane/macos camera.download '{"id": "EOS-R6-0001", "path": "DCIM/100CANON/IMG_0001.JPG", "dir": "'"$work/imports"'", "name": "../IMG_0001.JPG", "token": "cam3"}'
mkfifo "$work/eos/DCIM/100CANON/IMG_0009.JPG"
run call lumivane/macos file.thumbnail '{"path": "'"$work/eos/DCIM/100CANON/IMG_0009.JPG"'"}'
echo "    (a FIFO named like a photo: no thumbnail, at once, and never an item of the camera)"
run call lumivane/macos camera.eject '{"id": "'"$reader"'"}'
run call lumivane/macos camera.eject '{"id": "EOS-R6-0001"}' --events lumivane/macos/events --linger 0.3
run call lumivane/macos camera.list

step "Twenty thousand photos on a phone and on a camera: listings in bounded memory, a main loop that keeps answering"
big="$work/big"
for folder in $(seq 100 119); do
    mkdir -p "$big/DCIM/${folder}APPLE"
    seq -f "$big/DCIM/${folder}APPLE/IMG_%05g.JPG" $((folder * 1000)) $((folder * 1000 + 999)) | xargs touch
done
memory() {
    echo "    host memory: $(awk '/VmRSS/ {now = $2} /VmHWM/ {most = $2} END {printf "%d MiB now, %d MiB at most", now / 1024, most / 1024}' "/proc/$host/status")"
}
millis() { echo $(($(date +%s%N) / 1000000)); }
list_twice() {  # list_twice METHOD ARGUMENTS: how many files, how long, twice
    for pass in first second; do
        started=$(millis)
        count=$("$bin/lumivanectl" call lumivane/macos "$1" "$2" | grep -o '"path"' | wc -l)
        echo "    $1, $pass time: $count files in $(($(millis) - started)) ms"
    done
}
memory
"$bin/lumivanectl" call sim/control phone.add '{"udid": "BIG", "name": "Big iPhone", "root": "'"$big"'"}' >/dev/null
"$bin/lumivanectl" call sim/control phone.attach '{"udid": "BIG", "link": "usb"}' >/dev/null
until "$bin/lumivanectl" call lumivane/macos iphone.list | grep -q BIG; do sleep 0.05; done
list_twice iphone.media '{"udid": "BIG"}'
memory
started=$(millis)
"$bin/lumivanectl" call sim/control camera.add '{"uuid": "BIG-CAM", "name": "Big camera", "root": "'"$big"'"}' >/dev/null
longest=0
until "$bin/lumivanectl" call lumivane/macos camera.list | grep -q '"id":"BIG-CAM"[^}]*"ready":true'; do
    sent=$(millis); "$bin/lumivanectl" call sim/control ping >/dev/null; waited=$(($(millis) - sent))
    [ "$waited" -gt "$longest" ] && longest=$waited
done
echo "    the camera's catalogue read in $(($(millis) - started)) ms on its own queue; the longest ping meanwhile: $longest ms"
list_twice camera.media '{"id": "BIG-CAM"}'
memory
"$bin/lumivanectl" call sim/control camera.remove '{"id": "BIG-CAM"}' >/dev/null

step "Thumbnails of files on the Mac's disks: a photo with its own 160 px thumbnail, the 12 MP HEIC, a video's frame at half a second"
"$bin/lumivane-photos" "$work/mac-photos" 2 1 >/dev/null
ffmpeg -v error -f lavfi -i testsrc=size=1280x720:rate=30 -t 2 -c:v libx264 -pix_fmt yuv420p "$work/mac-photos/CLIP.MOV"
for file in "$work/ada/DCIM/100APPLE/IMG_0002.JPG" "$work/ada/DCIM/101APPLE/IMG_0303.HEIC" "$work/mac-photos/CLIP.MOV"; do
    out="$work/thumbnails/file-$(basename "$file").jpg"
    run call lumivane/macos file.thumbnail '{"path": "'"$file"'", "px": 320}' --out "$out"
    echo "    $(vipsheader "$out" | sed "s|$work/thumbnails/||")"
done
step "The photo library: stored sizes, three frames of a video saved to files, face scores, RAW+JPEG pairs"
library="$work/library"
mkdir -p "$library"
cp "$work/mac-photos/DCIM/100APPLE/IMG_0001.JPG" "$library/IMG_0001.JPG"
cp "$work/mac-photos/DCIM/100APPLE/IMG_0002.JPG" "$library/IMG_0002.JPG"
cp "$work/mac-photos/DCIM/100APPLE/IMG_0002.JPG" "$library/IMG_0002.DNG"  # stands in for the RAW of the pair
cp "$work/mac-photos/CLIP.MOV" "$library/CLIP.MOV"
cat >"$library/library.json" <<'JSON'
{"assets": [
  {"id": "8F0A2C31-0001/L0/001", "mediaType": "image", "faces": [0.31, 0.72],
   "resources": [{"type": "photo", "file": "IMG_0001.JPG"}, {"type": "adjustmentData", "size": 2048}]},
  {"id": "8F0A2C31-0002/L0/001", "mediaType": "image", "faces": "The face detector could not run.",
   "resources": [{"type": "photo", "file": "IMG_0002.JPG"}, {"type": "alternatePhoto", "file": "IMG_0002.DNG"}]},
  {"id": "8F0A2C31-0003/L0/001", "mediaType": "video", "duration": 2.0,
   "resources": [{"type": "video", "file": "CLIP.MOV"}]}]}
JSON
ids='["8F0A2C31-0001/L0/001", "8F0A2C31-0002/L0/001", "8F0A2C31-0003/L0/001", "not-in-the-library"]'
run call sim/control library.load '{"folder": "'"$library"'"}'
run call lumivane/library fileSize '{"ids": '"$ids"'}'
run call lumivane/library videoFrames '{"id": "8F0A2C31-0003/L0/001", "at": [0.0, 0.5, 1.0]}' --out "$work/thumbnails/frame-%d.jpg"
for i in 1 2 3; do echo "    $(vipsheader "$work/thumbnails/frame-$i.jpg" | sed "s|$work/thumbnails/||")"; done
run call lumivane/library faceQuality '{"ids": '"$ids"'}'
grep "Lumivane faceQuality" "$work/host.log" | sed 's/^/    host log: /'
run call lumivane/library traits '{"ids": '"$ids"'}'

step "Bonjour: this host published, and the peers on the simulated network reported as their events arrive"
run call sim/control peer.add '{"name": "Studio iMac", "port": 7001, "addresses": ["169.254.3.4", "fe80::1", "192.168.1.31"], "txt": {"version": "3", "raw": [255, 254]}}'
run call sim/control peer.add '{"name": "IPv6-only NAS", "port": 7002, "addresses": ["2001:db8::7"]}'
"$bin/lumivanectl" listen lumivane/bonjour/events --seconds 2 | sed 's/^/    event: /' &
listener=$!
sleep 0.5
run call lumivane/bonjour publish '{"name": "Lumivane on this Mac", "port": 7000, "txt": {"version": "3"}}'
run call sim/control bonjour.published
run call lumivane/bonjour publish '{"name": "Lumivane on this Mac", "port": 70000}'
run call sim/control peer.remove '{"name": "IPv6-only NAS"}'
run call sim/control peer.remove '{"name": "Studio iMac"}'
wait $listener || true

step "AirDrop: a send delivered (the receiver really reads a file), then one closed without a device, each with its event"
"$bin/lumivanectl" listen lumivane/macos/events --seconds 4 | grep airdrop | sed 's/^/    event: /' &
listener=$!
sleep 0.5
run call lumivane/macos airdrop.available
run call lumivane/macos airdrop.send '{"paths": ["'"$library/IMG_0001.JPG"'", "'"$library/IMG_0002.JPG"'"], "token": "send-1"}'
stat -c '    %n: accessed %x, modified %y' "$library/IMG_0001.JPG" | sed "s|$library/||"
run call lumivane/macos airdrop.send '{"paths": ["'"$library/CLIP.MOV"'"]}'
run call sim/control airdrop.picker
run call sim/control airdrop.read '{"index": 0}'
run call sim/control airdrop.shared
run call lumivane/macos airdrop.send '{"paths": ["'"$library/CLIP.MOV"'"], "token": "send-2"}'
run call sim/control airdrop.picker
run call sim/control airdrop.shared
wait $listener || true
grep "Lumivane AirDrop" "$work/host.log" | sed 's/^/    host log: /'

step "The folder chooser (the simulated user picks a folder) and reveal in the file manager"
run call sim/control panel.answer '{"path": "'"$work/downloads"'"}'
run call lumivane/macos file.pickFolder '{"title": "Import to"}'
run call sim/control panel.last
run call lumivane/macos file.reveal '{"path": "'"$work/downloads/IMG_0300.JPG"'"}'
run call sim/control revealed

step "This machine's real volumes, a folder photo library and a camera through libgphoto2, on --platform linux"
XDG_DATA_HOME="$work/linux-data" XDG_CONFIG_HOME="$work/linux-config" \
    "$bin/lumivane-host" --platform linux --socket "$work/linux.sock" --library "$library" \
    --camera-folder "$work/eos" 2>"$work/linux.log" &
linux=$!
for _ in $(seq 600); do [ -S "$work/linux.sock" ] && break; sleep 0.1; done
printf '$ lumivanectl call lumivane/macos volume.list\n'
"$bin/lumivanectl" --socket "$work/linux.sock" call lumivane/macos volume.list || true
printf '$ lumivanectl call lumivane/macos file.freeSpace {"path": "%s"}\n' "$work/not/yet/made"
"$bin/lumivanectl" --socket "$work/linux.sock" call lumivane/macos file.freeSpace '{"path": "'"$work/not/yet/made"'"}' || true
printf '$ lumivanectl call lumivane/library traits {"ids": %s}\n' "$ids"
"$bin/lumivanectl" --socket "$work/linux.sock" call lumivane/library traits '{"ids": '"$ids"'}' || true
echo "(the camera is libgphoto2's Directory Browse driver on a folder of the demo's)"
sleep 1
printf '$ lumivanectl call lumivane/macos camera.list\n'
"$bin/lumivanectl" --socket "$work/linux.sock" call lumivane/macos camera.list || true
gcam=$("$bin/lumivanectl" --socket "$work/linux.sock" call lumivane/macos camera.list | sed -n 's/.*"id":"\([^"]*\)".*/\1/p')
printf '$ lumivanectl call lumivane/macos camera.media {"id": "%s"}\n' "$gcam"
"$bin/lumivanectl" --socket "$work/linux.sock" call lumivane/macos camera.media '{"id": "'"$gcam"'"}' --head 3 || true
printf '$ lumivanectl call lumivane/macos camera.thumbnail {"id": "%s", "path": "DCIM/100CANON/IMG_0001.JPG", "px": 256}\n' "$gcam"
"$bin/lumivanectl" --socket "$work/linux.sock" call lumivane/macos camera.thumbnail '{"id": "'"$gcam"'", "path": "DCIM/100CANON/IMG_0001.JPG", "px": 256}' --out "$work/thumbnails/gphoto.jpg" || true
echo "    $(vipsheader "$work/thumbnails/gphoto.jpg" | sed "s|$work/thumbnails/||") (the camera's own preview)"
mkdir -p "$work/gphoto-imports"
printf '$ lumivanectl call lumivane/macos camera.download {"id": "%s", "path": "DCIM/100CANON/MVI_0005.MOV", ...}\n' "$gcam"
"$bin/lumivanectl" --socket "$work/linux.sock" call lumivane/macos camera.download '{"id": "'"$gcam"'", "path": "DCIM/100CANON/MVI_0005.MOV", "dir": "'"$work/gphoto-imports"'", "name": "MVI_0005.MOV", "token": "g1"}' --events lumivane/macos/events || true
echo "    An import from it: this driver reads only whole files, so each photo is read whole into memory"
echo "    (the 64 MiB video too; a larger file goes through a scratch copy that is never flushed):"
mkdir -p "$work/gphoto-job" "$work/wire-job"
LUMIVANE_SOCKET="$work/linux.sock" ctl_import "camera:$gcam" "$work/gphoto-job" --all
same=0
for original in "$work/eos/DCIM/100CANON/"*; do
    copy=$(find "$work/gphoto-job" -type f -name "$(basename "$original")" | head -1)
    [ -n "$copy" ] && cmp -s "$original" "$copy" && same=$((same + 1))
done
echo "    the copies match the camera's files, byte for byte: $same of $(find "$work/eos/DCIM" -type f | wc -l);" \
    "files left in import-staging/: $(find "$work/linux-data" -path '*import-staging*' -type f | wc -l)"
kill -TERM $linux; wait $linux || true

step "A phone on the wire: --platform linux through libimobiledevice, against the phone emulator (usbmux, lockdown over TLS, AFC)"
emulated="00008110-000E0000000000A1"
"$bin/lumivane-phone-emulator" --socket "$work/emulated-usbmuxd" --phone "$emulated=$work/ada" \
    --name "$emulated=Ada's iPhone (on the wire)" --control "$work/emulator.ctl" &
emulator=$!
for _ in $(seq 600); do [ -S "$work/emulated-usbmuxd" ] && break; sleep 0.1; done
printf '$ idevice_id -l; ideviceinfo -k ProductType   (Debian'"'"'s own tools)\n'
USBMUXD_SOCKET_ADDRESS="UNIX:$work/emulated-usbmuxd" idevice_id -l | sed 's/^/    /'
USBMUXD_SOCKET_ADDRESS="UNIX:$work/emulated-usbmuxd" ideviceinfo -u "$emulated" -k ProductType | sed 's/^/    /'
USBMUXD_SOCKET_ADDRESS="UNIX:$work/emulated-usbmuxd" XDG_DATA_HOME="$work/linux-data" XDG_CONFIG_HOME="$work/linux-config" \
    "$bin/lumivane-host" --platform linux --socket "$work/linux-phone.sock" 2>"$work/linux-phone.log" &
linuxPhone=$!
for _ in $(seq 600); do [ -S "$work/linux-phone.sock" ] && break; sleep 0.1; done
sleep 1
export LUMIVANE_SOCKET="$work/linux-phone.sock"
run call lumivane/macos iphone.list
run call lumivane/macos iphone.children '{"udid": "'"$emulated"'"}'
run call lumivane/macos iphone.media '{"udid": "'"$emulated"'"}' --events lumivane/macos/events --head 3
mkdir -p "$work/from-the-wire"
run call lumivane/macos iphone.download '{"udid": "'"$emulated"'", "path": "101APPLE/IMG_0301.MOV", "target": "'"$work/from-the-wire/IMG_0301.MOV"'", "token": "wire"}' --events lumivane/macos/events
cmp "$work/from-the-wire/IMG_0301.MOV" "$work/ada/DCIM/101APPLE/IMG_0301.MOV" && echo "    the copy is the phone's file, byte for byte"
echo "    An import job over the wire reads its files over a few AFC connections kept from file to file:"
ctl_import "iphone:$emulated" "$work/wire-job" --no-verify
echo "    $(find "$work/wire-job" -type f | wc -l) files copied from the emulated phone"
listedAs() {  # listedAs JSON: waits up to a minute for iphone.list to answer it, then shows the answer
    for _ in $(seq 600); do [ "$("$bin/lumivanectl" call lumivane/macos iphone.list)" = "$1" ] && break; sleep 0.1; done
    run call lumivane/macos iphone.list
}
echo "    The usbmux daemon stops with the last phone unplugged (as udev runs it), then starts again:"
kill -TERM $emulator; wait $emulator || true
listedAs '[]'
"$bin/lumivane-phone-emulator" --socket "$work/emulated-usbmuxd" --phone "$emulated=$work/ada" \
    --name "$emulated=Ada's iPhone (on the wire)" --control "$work/emulator.ctl" &
emulator=$!
listedAs "$(printf '[{"udid":"%s","links":["usb"],"paired":true,"name":"Ada'"'"'s iPhone (on the wire)","wifiEnabled":true}]' "$emulated")"
export LUMIVANE_SOCKET="$work/host.sock"
kill -TERM $linuxPhone $emulator; wait $linuxPhone $emulator || true

step "The web console in front of this host: a bookmarkable address, its guard, import jobs with date folders, only new, a resume"
# A free port from 5718 up: the console's own default, unless something on this machine has it.
consolePort=5718
while (exec 3<>/dev/tcp/127.0.0.1/$consolePort) 2>/dev/null; do consolePort=$((consolePort + 1)); done
startConsole() {
    XDG_CONFIG_HOME="$work/config" "$bin/lumivane-console" --socket "$work/host.sock" --listen "127.0.0.1:$consolePort" >"$work/console.out" &
    console=$!
    # Until it prints its address (a minute at most: a busy machine is slow to start it).
    for _ in $(seq 600); do
        [ -s "$work/console.out" ] || ! kill -0 $console 2>/dev/null && break
        sleep 0.1
    done
    consoleUrl=$(sed -n 1p "$work/console.out")
    [ -n "$consoleUrl" ] || { echo "lumivane-console printed no address" >&2; exit 1; }
}
startConsole
echo "    lumivane-console printed: $consoleUrl"
kill -TERM $console; wait $console || true
startConsole
echo "    started again, it prints: $consoleUrl"
echo "    (the same address: its token is kept in $(stat -c '%A' "$work/config/lumivane/console-$consolePort.token") $(basename "$work/config/lumivane/console-$consolePort.token"))"
consoleCookie="lumivane_token_$consolePort=${consoleUrl##*token=}"  # each console's cookie names its port
json=(-H 'Content-Type: application/json')
printf '    GET the page: %s; at localhost: %s\n' "$(curl -s -o /dev/null -w '%{http_code}' "$consoleUrl")" \
    "$(curl -s -o /dev/null -w '%{http_code}' "http://localhost:$consolePort/?token=${consoleUrl##*token=}")"
printf '    GET without the token: %s, in words: %s\n' "$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$consolePort/")" \
    "$(curl -s "http://127.0.0.1:$consolePort/" | sed 's/.*<p>\(.*\)<\/p>.*/\1/')"
consoleApi() {  # consoleApi PATH JSON: what the page would send
    curl -s "${json[@]}" -b "$consoleCookie" -d "$2" "http://127.0.0.1:$consolePort$1"
}
showApi() { printf '    POST %s %s\n      -> %s\n' "$1" "$2" "$(consoleApi "$1" "$2")"; }
showApi /api/call '{"channel": "sim/control", "method": "ping"}'
showApi /api/call '{"channel": "lumivane/macos", "method": "iphone.download", "args": {}}'
printf '    POST from a page on another port (Origin http://127.0.0.1:%s): %s\n' $((consolePort + 1)) \
    "$(curl -s "${json[@]}" -H "Origin: http://127.0.0.1:$((consolePort + 1))" -b "$consoleCookie" \
        -d '{"channel": "lumivane/macos", "method": "camera.list"}' "http://127.0.0.1:$consolePort/api/call")"
printf '    POST as a form (text/plain): %s\n' "$(curl -s -H 'Content-Type: text/plain' -b "$consoleCookie" \
    -d '{"channel": "lumivane/macos", "method": "camera.list"}' "http://127.0.0.1:$consolePort/api/call")"
echo "    (a folder not there yet is made only once the person agrees, which the page asks:)"
showApi /api/destination '{"path": "'"$work/console-imports"'"}'
showApi /api/destination '{"path": "'"$work/console-imports"'", "create": true}'
echo "    (the host remembers it, and the options, for the next page and every client:)"
showApi /api/call '{"channel": "lumivane/import", "method": "import.settings"}'
# jobSummary JOB [STATE]: waits while the job is running (or in STATE too) and prints the page's summary line of it.
jobSummary() {
    local state status
    for _ in $(seq 600); do
        status=$(consoleApi /api/call '{"channel": "lumivane/import", "method": "import.status", "args": {"job": "'"$1"'"}}')
        state=$(echo "$status" | grep -o '"state":"[a-z]*"' | sed -n 1p | cut -d'"' -f4)
        [ "$state" = running ] || [ "$state" = "${2:-running}" ] || [ -z "$state" ] || break
        sleep 0.1
    done
    count() { echo "$status" | grep -o "\"$1\":[0-9]*" | sed -n 1p | cut -d: -f2; }
    printf '      -> %s: %s imported, %s skipped (already imported), %s failed\n' "$state" "$(count imported)" "$(count skipped)" "$(count failed)"
}
# consoleJob JSON: starts an import as the page does and prints how it ended.
consoleJob() {
    printf '    POST /api/import %s\n' "$1"
    consoleJobId=$(consoleApi /api/import "$1" | sed -n 's/.*"value":"\([^"]*\)".*/\1/p')
    jobSummary "$consoleJobId"
}
echo "    (Grace plugs in her phone: 120 photos and two short videos never imported before)"
"$bin/lumivane-photos" "$work/grace" 120 1 >/dev/null
"$bin/lumivanectl" call sim/control phone.add '{"udid": "00008120-GRACE", "name": "Grace'"'"'s iPhone", "root": "'"$work/grace"'"}' >/dev/null
"$bin/lumivanectl" call sim/control phone.attach '{"udid": "00008120-GRACE", "link": "usb"}' >/dev/null
grace='{"kind": "iphone", "id": "00008120-GRACE"}'
ten='["100APPLE/IMG_0001.JPG", "100APPLE/IMG_0002.JPG", "100APPLE/IMG_0003.JPG", "100APPLE/IMG_0004.JPG", "100APPLE/IMG_0005.JPG",
      "100APPLE/IMG_0006.JPG", "100APPLE/IMG_0007.JPG", "100APPLE/IMG_0008.JPG", "100APPLE/IMG_0009.JPG", "100APPLE/IMG_0010.JPG"]'
consoleJob '{"source": '"$grace"', "items": '"$ten"', "subfolders": "{YYYY}/{YYYY}-{MM}-{DD}", "rename": "{YYYY}{MM}{DD}_{hh}{mm}{ss}_{name}"}'
(cd "$work/console-imports" && find . -type f | sort | sed -n 1,3p | sed 's/^/      /' && echo "      …")
echo "    (the same ten again: only new)"
consoleJob '{"source": '"$grace"', "items": '"$ten"', "subfolders": "{YYYY}/{YYYY}-{MM}-{DD}", "rename": "{YYYY}{MM}{DD}_{hh}{mm}{ss}_{name}"}'
echo "    (the whole phone, with the cable pulled forty photos in: the job waits, and goes on when the phone is back)"
"$bin/lumivanectl" call sim/control phone.fault '{"udid": "00008120-GRACE", "op": "read", "code": 26, "nth": 40, "detach": true}' >/dev/null
consoleJob '{"source": '"$grace"', "subfolders": "{YYYY}/{YYYY}-{MM}-{DD}", "rename": "{YYYY}{MM}{DD}_{hh}{mm}{ss}_{name}"}'
run call sim/control phone.attach '{"udid": "00008120-GRACE", "link": "usb"}'
echo "    (resumed by itself)"
jobSummary "$consoleJobId" interrupted
find "$work/console-imports" -type f | wc -l | xargs echo "    files in the destination (each photo once):"
echo "    (\"Import this phone automatically from now on\": the page's options, the chosen folder, the phone by its UDID)"
showApi /api/auto '{"source": '"$grace"', "subfolders": "{YYYY}/{YYYY}-{MM}-{DD}", "onlyNew": true}'
showApi /api/call '{"channel": "lumivane/import", "method": "import.autoList"}'
showApi /api/call '{"channel": "lumivane/import", "method": "import.autoRemove", "args": {"device": '"$grace"'}}'
echo "    A client sending its headers a byte a second is cut off once ten seconds have passed:"
began=$SECONDS
timeout 60 bash -c 'trap "" PIPE; exec 7<>/dev/tcp/127.0.0.1/'"$consolePort"'; printf "GET / HTTP/1.1\r\nX-Slow: " >&7
    while printf a >&7 2>/dev/null; do sleep 1; done' || true
echo "      cut after $((SECONDS - began)) s"
echo "    For the page itself: ./lumivane console, then open the address it prints."
kill -TERM $console; wait $console || true; console=

step "Two clients at once: one listens to the event stream while another moves a phone"
"$bin/lumivanectl" listen lumivane/macos/events --count 2 --seconds 3 | sed 's/^/    listener: /' &
listener=$!
sleep 0.5
run call sim/control phone.detach '{"udid": "00008110-ADA", "link": "wifi"}'
run call sim/control phone.attach '{"udid": "00008110-ADA", "link": "wifi"}'
wait $listener || true

step "SIGTERM: the host takes nothing more in, drops queued work and exits at once"
# A video download in flight, and scans queued behind it.
"$bin/lumivanectl" call lumivane/macos iphone.download '{"udid": "00008110-ADA", "path": "101APPLE/IMG_0301.MOV", "target": "'"$work/downloads/again.MOV"'", "token": "again"}' >/dev/null 2>&1 &
for i in 1 2 3; do "$bin/lumivanectl" call lumivane/macos iphone.media '{"udid": "00008110-ADA"}' >/dev/null 2>&1 & done
sleep 0.2
start=$(date +%s%N)
kill -TERM $host
wait $host || true
echo "    exited after $(( ($(date +%s%N) - start) / 1000000 )) ms; the download left nothing behind:"
ls "$work/downloads" | sed 's/^/    /'
wait
trap 'rm -rf "$work"' EXIT
