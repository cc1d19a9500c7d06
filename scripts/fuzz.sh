#!/usr/bin/env bash
# Fuzzes every fuzz target with libFuzzer (the restore of images, pelmar-image's
# replay, the command line, the file-system readers: every target
# tests/fuzz/CMakeLists.txt declares): builds the
# fuzz targets with clang in build-fuzz/ (with "asan", under AddressSanitizer
# and UndefinedBehaviorSanitizer in build-fuzz-asan/, about five times
# slower), makes a seed corpus of real images (fresh FAT file systems
# through pelmar-mkimage) and real command lines, and runs each target for
# SECONDS (default 60) with one worker. Prints the executions and findings of
# each; a finding (crash, hang, leak of a handle, write outside the volume)
# is kept in the build folder's findings/ and makes the script fail.
#
#   scripts/fuzz.sh [SECONDS [asan]]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
sanitize=OFF
build=build-fuzz
if [[ ${2:-} == asan ]]; then
  sanitize=ON
  build=build-fuzz-asan
fi

scripts/deps.sh fuzz

cmake -S . -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELMAR_FUZZ=ON -DPELMAR_SANITIZE=$sanitize -DPELMAR_BENCH=OFF >/dev/null
# The fuzz targets and the folder of tests/fuzz/seeds/ each one's corpus
# starts from, as tests/fuzz/CMakeLists.txt declares them (one
# "NAME SEEDS" line each).
mapfile -t targets <"$build/tests/fuzz/fuzz-targets.txt"
names=()
for entry in "${targets[@]}"; do names+=("${entry%% *}"); done
cmake --build "$build" -j 1 --target "${names[@]}" pelmar-mkimage

corpus="$build/corpus"
findings="$build/findings"
seeds="$build/seeds"
rm -rf "$seeds"
mkdir -p "$findings"
cp -r tests/fuzz/seeds "$seeds"

# Real images for the fuzz target's 128-sector drive: an empty FAT file
# system, one with a file, one with folders and files of several sizes.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for kind in empty file tree; do
  raw="$work/$kind.raw"
  mkfs.fat -C -n SCRATCH "$raw" 64 >/dev/null
  case $kind in
    file) echo "scratch drive" >"$work/readme.txt"; mcopy -i "$raw" "$work/readme.txt" ::/README.TXT ;;
    tree)
      mmd -i "$raw" ::/TEMP ::/TEMP/CACHE
      head -c 3000 /dev/urandom >"$work/a.bin"; head -c 700 /dev/zero >"$work/b.bin"
      mcopy -i "$raw" "$work/a.bin" ::/TEMP/A.BIN
      mcopy -i "$raw" "$work/b.bin" ::/TEMP/CACHE/B.BIN ;;
  esac
  "$build/pelmar-mkimage" "$raw" "$seeds/image/real-$kind" >/dev/null
done
# Command lines as the process receives them.
i=0
for line in "pelmar" "pelmar ATS w 3 k" "pelmar S s -5000" "pelmar STA r 2000000 z d:\\scratch.tc d:\\scratch.img" \
  "pelmar TS x 1 9 c:\\pelmar.tc c:\\pelmar.img extra dbg" "  pelmar   D  r  -2001  " "pelmar a w -1000 T"; do
  printf '%s' "$line" >"$seeds/command_line/real-$((i++))"
done

# The drive and the image files of a run live in a temporary folder; a
# memory-backed one keeps the file system out of the figures.
[[ -d /dev/shm && -w /dev/shm ]] && export TMPDIR=/dev/shm
status=0
for entry in "${targets[@]}"; do
  target=${entry%% *}
  seed=${entry#* }
  log="$build/$target.log"
  rm -f "$findings/$target"-*
  mkdir -p "$corpus/$target"
  cp "$seeds/$seed"/* "$corpus/$target/"
  started=$SECONDS
  set +e
  "$build/tests/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$findings/$target-" "$corpus/$target" >"$log" 2>&1
  rc=$?
  set -e
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  found=$(find "$findings" -name "$target-*" | wc -l)
  echo "fuzz: $target: ${runs:-?} executions in $((SECONDS - started)) s, $found findings (exit $rc; log $log)"
  if ((rc != 0 || found != 0)); then
    status=1
    grep -E "ERROR|SUMMARY|fuzz:|deadly signal|Timeout" "$log" | head -n 20 || true
  fi
done
exit $status
