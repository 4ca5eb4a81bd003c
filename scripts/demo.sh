#!/usr/bin/env bash
# A short scripted session against the host on the simulated Mac.
# Usage: scripts/demo.sh BIN-FOLDER
set -euo pipefail
bin=$(cd "$1" && pwd)
work=$(mktemp -d /tmp/lumivane-demo-XXXXXX)
export LUMIVANE_SOCKET=$work/host.sock
"$bin/lumivane-host" --platform sim --socket "$LUMIVANE_SOCKET" 2>"$work/host.log" &
host=$!
trap 'kill $host 2>/dev/null; wait $host 2>/dev/null; rm -rf "$work"' EXIT

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
run() {  # prints the command, then its answer; a failing call does not end the demo
    printf '$ lumivanectl %s\n' "$*"
    "$bin/lumivanectl" "$@" || true
}

step "The host answers on its control channel"
run call sim/control ping
step "Unknown methods answer not implemented"
run call lumivane/macos no.such.method
