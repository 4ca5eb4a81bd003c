#!/usr/bin/env bash
# Runs a command with a real usbmux daemon when one can be started (as root,
# on a machine without USB devices it just answers an empty device list), and
# stops that daemon by its process id afterwards. Tests that need the daemon
# find its socket through LUMIVANE_REAL_USBMUXD.
set -uo pipefail
socket=/var/run/usbmuxd
pid=""
running() { command -v pidof >/dev/null && pidof usbmuxd >/dev/null; }
if running; then
    echo "== using the usbmux daemon already running"
elif [ "$(id -u)" -eq 0 ] && command -v usbmuxd >/dev/null; then
    rm -f "$socket"  # a daemon that exits leaves its socket behind
    usbmuxd -f -U root >/tmp/lumivane-usbmuxd.log 2>&1 &
    pid=$!
    for _ in $(seq 50); do [ -S "$socket" ] && break; sleep 0.1; done
    echo "== started usbmuxd (pid $pid)"
fi
[ -S "$socket" ] && export LUMIVANE_REAL_USBMUXD=$socket
"$@"
status=$?
if [ -n "$pid" ]; then
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    rm -f "$socket"
fi
exit $status
