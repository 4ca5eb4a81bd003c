#!/usr/bin/env bash
# Bonjour for real: lumivane-host --platform linux against Avahi, inside new
# network, mount and host-name namespaces with a private D-Bus system bus, so
# nothing leaves the namespace and nothing of this machine is touched.
# Usage: avahi_namespace_test.sh BIN-FOLDER
# Exits 77 (skipped) where such namespaces cannot be made.
set -euo pipefail
bin=$(cd "$1" && pwd)

if [ "${LUMIVANE_IN_NAMESPACE:-}" != 1 ]; then
    for tool in unshare ip dbus-daemon avahi-daemon avahi-browse avahi-publish; do
        command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
    done
    if ! unshare --net --mount --uts true 2>/dev/null; then
        echo "skipped: network namespaces cannot be made here (root is needed)"
        exit 77
    fi
    LUMIVANE_IN_NAMESPACE=1 exec unshare --net --mount --uts --propagation private "$0" "$@"
fi

work=$(mktemp -d /tmp/lumivane-avahi-XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; for log in "$work"/*.log; do echo "--- $log"; cat "$log"; done; exit 1; }

# A network of one interface that carries multicast, and a host name of its own.
hostname lumivane-avahi-test
ip link set lo up
ip link add lv0 type veth peer name lv1
ip addr add 10.77.0.1/24 dev lv0
ip link set lv1 up
ip link set lv0 up

# A private system bus, and Avahi on it; its run folder is this namespace's.
mount -t tmpfs tmpfs /run
mkdir -p /run/dbus /run/avahi-daemon
cat >"$work/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=/run/dbus/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
CONF
dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile >"$work/dbus.log" 2>&1 &
pids+=($!)
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=/run/dbus/system_bus_socket
for _ in $(seq 50); do [ -S /run/dbus/system_bus_socket ] && break; sleep 0.1; done

cat >"$work/avahi.conf" <<CONF
[server]
use-ipv4=yes
use-ipv6=no
allow-interfaces=lv0
enable-dbus=yes
ratelimit-interval-usec=0
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
CONF
avahi-daemon --no-drop-root --no-chroot --no-rlimits -f "$work/avahi.conf" >"$work/avahi.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do grep -q "Server startup complete" "$work/avahi.log" && break; sleep 0.1; done
grep -q "Server startup complete" "$work/avahi.log" || fail "avahi-daemon did not start"

export LUMIVANE_SOCKET=$work/host.sock
XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config" \
    "$bin/lumivane-host" --platform linux --socket "$LUMIVANE_SOCKET" --library "$work" >"$work/host.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -S "$LUMIVANE_SOCKET" ] && break; sleep 0.1; done
ctl() { "$bin/lumivanectl" "$@"; }

# Published through the channel: Avahi's own browser sees it, port and TXT.
ctl call lumivane/bonjour publish '{"name": "Lumivane-Test-Host", "port": 4242, "txt": {"version": "3", "id": "abc"}}' >/dev/null
seen=""
for _ in $(seq 50); do
    seen=$(avahi-browse -rpt _lumivane._tcp 2>/dev/null | grep '^=' | grep 'Lumivane-Test-Host' || true)
    [ -n "$seen" ] && break
    sleep 0.2
done
echo "avahi-browse: $seen"
[ -n "$seen" ] || fail "the publication was not browsed"
case "$seen" in *";4242;"*) ;; *) fail "wrong port: $seen" ;; esac
case "$seen" in *'"version=3"'*) ;; *) fail "no version in the TXT record: $seen" ;; esac
case "$seen" in *'"id=abc"'*) ;; *) fail "no id in the TXT record: $seen" ;; esac

# Announced by another program: found with its IPv4 address, port and TXT,
# then lost when that program ends.
ctl listen lumivane/bonjour/events --seconds 20 >"$work/events.log" 2>&1 &
listener=$!
pids+=($listener)
sleep 1
avahi-publish -s "Peer Across The Room" _lumivane._tcp 7001 "k=v" "note=hello" >"$work/publish.log" 2>&1 &
peer=$!
pids+=($peer)
for _ in $(seq 100); do grep -q '"Peer Across The Room"' "$work/events.log" && break; sleep 0.1; done
kill "$peer"
for _ in $(seq 100); do grep -q '"lost"' "$work/events.log" && break; sleep 0.1; done
kill "$listener" 2>/dev/null || true
echo "events:"; sed 's/^/  /' "$work/events.log"
grep -q '{"event":"found","service":"Peer Across The Room","host":"10.77.0.1","port":7001,"txt":{"k":"v","note":"hello"}}' \
    "$work/events.log" || fail "the peer was not found as expected"
grep -q '{"event":"lost","service":"Peer Across The Room"}' "$work/events.log" || fail "the peer was not lost"

ctl call lumivane/bonjour unpublish >/dev/null
gone=""
for _ in $(seq 50); do
    listed=$(avahi-browse -rpt _lumivane._tcp 2>/dev/null || true)
    case "$listed" in *Lumivane-Test-Host*) sleep 0.2 ;; *) gone=1; break ;; esac
done
[ -n "$gone" ] || fail "still published after unpublish"
echo "PASS"
