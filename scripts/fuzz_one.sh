#!/usr/bin/env bash
# Runs one fuzz target of build/fuzz for SECONDS over its seed corpus (and
# its dictionary, where it has one); on a failing input, prints the end of
# its log and fails. `./lumivane fuzz` runs the targets two at a time.
#   scripts/fuzz_one.sh NAME SECONDS
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
name=$1 seconds=$2
# Absolute paths: a target may work in a folder of its own.
seeds=$root/fuzz/corpus/${name%_fuzz}
dict=$root/fuzz/${name%_fuzz}.dict
work=$(mktemp -d /tmp/lumivane-fuzz-XXXXXX)  # new inputs stay out of the tree
trap 'rm -rf "$work"' EXIT
args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=0
      -artifact_prefix="$root/build/fuzz/$name-")
[ -f "$dict" ] && args+=(-dict="$dict")
if ! "build/fuzz/bin/$name" "${args[@]}" "$work" "$seeds" 2>"build/fuzz/$name.log"; then
    tail -40 "build/fuzz/$name.log"
    echo "$name found a failing input: build/fuzz/$name-*" >&2
    exit 1
fi
echo "== $name: ${seconds}s, $(grep -E "^#[0-9]+.*DONE" "build/fuzz/$name.log" | tail -1 || true)"
