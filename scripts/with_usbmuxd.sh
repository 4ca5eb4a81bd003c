#!/usr/bin/env bash
# Runs a command with a real usbmux daemon when one can be started (as root,
# on a machine without USB devices it just answers an empty device list), and
# stops that daemon by its process id afterwards. Tests that need the daemon
# find its socket through LUMIVANE_REAL_USBMUXD.
set -uo pipefail
pid=""
if [ "$(id -u)" -eq 0 ] && command -v usbmuxd >/dev/null && [ ! -S /var/run/usbmuxd ]; then
    usbmuxd -f -U root >/tmp/lumivane-usbmuxd.log 2>&1 &
    pid=$!
    for _ in $(seq 50); do [ -S /var/run/usbmuxd ] && break; sleep 0.1; done
fi
[ -S /var/run/usbmuxd ] && export LUMIVANE_REAL_USBMUXD=/var/run/usbmuxd
"$@"
status=$?
if [ -n "$pid" ]; then
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
fi
exit $status
