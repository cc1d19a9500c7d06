#!/usr/bin/env bash
# Boots Pelmar as a native process under ntsim, the host's stand-in for the
# native system, and shows what it printed on the boot screen and the
# debugger output, and the platform calls it made.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
cmake --preset default >/dev/null
cmake --build --preset default -j "$jobs" --target pelmar

machine=$(mktemp -d)
trap 'rm -rf "$machine"' EXIT
mkdir -p "$machine/c"

command_line=(pelmar AT r 2 s)
echo "== booting: ${command_line[*]}  (machine root: $machine)"
set +e
build/pelmar --root "$machine" --trace "$machine/trace.txt" --debug-log "$machine/debug.txt" \
  -- "${command_line[@]}" >"$machine/screen.txt"
status=$?
set -e

echo "== boot screen"
cat "$machine/screen.txt"
echo "== debugger output"
cat "$machine/debug.txt"
echo "== platform calls ($(wc -l <"$machine/trace.txt") in all; the first and the last)"
head -n 12 "$machine/trace.txt"
echo "..."
tail -n 3 "$machine/trace.txt"
echo "== exit code $status"
