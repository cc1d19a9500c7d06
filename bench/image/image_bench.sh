#!/usr/bin/env bash
# Image size and restore cost of fresh FAT32 and NTFS volumes, for the
# default image (what the file system uses) and for --all-sectors, side by
# side in one run: the image's size, the time pelmar-mkimage takes, the
# sectors a restore writes (counted from ntsim's trace: the volume writes,
# without the container's header) and the time of a whole run on ntsim.
# Run by hand from the top folder after a default build:
#     bench/image/image_bench.sh [SIZE]        (default 4G)
# It needs about SIZE of free disk for the --all-sectors runs.
set -euo pipefail
cd "$(dirname "$0")/../.."
size=${1:-4G}
build=${PELMAR_BUILD:-build}
for tool in pelmar pelmar-mkimage pelmar-image; do
  [[ -x $build/$tool ]] || { echo "build $build/$tool first (cmake --build --preset default)" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
now() { date +%s.%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f s", b - a }'; }

echo "| volume ($size) | image | image bytes | making it | sectors a restore writes | share | whole run |"
echo "|---|---|---:|---:|---:|---:|---:|"
for kind in fat32 ntfs; do
  raw="$work/$kind.raw"
  rm -f "$raw"
  truncate -s "$size" "$raw"
  if [[ $kind == ntfs ]]; then mkntfs -F -Q -q "$raw" >/dev/null 2>&1; else mkfs.fat -F 32 "$raw" >/dev/null; fi
  for options in "" "--all-sectors"; do
    root="$work/machine"
    rm -rf "$root"
    mkdir -p "$root/c"
    start=$(now)
    $build/pelmar-mkimage $options "$raw" "$root/c/pelmar.img" >/dev/null
    made=$(seconds "$start" "$(now)")
    image_bytes=$(stat -c %s "$root/c/pelmar.img")
    # The container: a header sector and the volume; its contents do not
    # matter to the cost (the driver model decrypts whatever is there).
    truncate -s $(( $(stat -c %s "$raw") + 512 )) "$root/c/pelmar.tc"
    # The trace of a full restore is large: it is counted as it is written.
    mkfifo "$work/trace"
    grep -c '^NtWriteFile' "$work/trace" >"$work/writes" &
    counter=$!
    start=$(now)
    $build/pelmar --root "$root" --time-scale 0 --trace "$work/trace" --debug-log /dev/null -- pelmar >/dev/null
    run=$(seconds "$start" "$(now)")
    wait "$counter" || true
    rm -f "$work/trace"
    writes=$(( $(cat "$work/writes") - 1 ))  # less the header write
    volume=$(( $(stat -c %s "$raw") / 512 ))
    share=$(awk -v w="$writes" -v v="$volume" 'BEGIN { printf "%.3f%%", 100 * w / v }')
    echo "| $kind | ${options:-default} | $image_bytes | $made | $writes of $volume | $share | $run |"
  done
  rm -f "$raw"
done
