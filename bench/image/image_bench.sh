#!/usr/bin/env bash
# Image size and restore cost of fresh FAT32 and NTFS volumes, for the
# default image (what the file system uses) and for --all-sectors, side by
# side in one run: the image's size, the time pelmar-mkimage takes, the
# sectors a restore writes (counted from ntsim's trace: the volume writes,
# without the container's header) and the time of a whole run on ntsim.
# Then the container: pelmar-prepare --size SIZE (the whole command: file
# system, image and the container's noise) against dd writing the same
# number of zero bytes to the same disk, all flushed to it; and dd writing
# that many bytes of noise made beforehand (a 64 MiB block over and over),
# for disks that take zeros faster than other bytes (a virtual disk that
# finds zero blocks and stores none): that row is the disk's own speed for
# noise, the least any generator can take.
# Run by hand from the top folder after a default build:
#     bench/image/image_bench.sh [SIZE [container]]   (default 4G; "container":
#                                                   the container's table only)
# It needs about SIZE of free disk for the --all-sectors runs.
set -euo pipefail
cd "$(dirname "$0")/../.."
size=${1:-4G}
only=${2:-}
build=${PELMAR_BUILD:-build}
for tool in pelmar pelmar-mkimage pelmar-image pelmar-prepare; do
  [[ -x $build/$tool ]] || { echo "build $build/$tool first (cmake --build --preset default)" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
now() { date +%s.%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f s", b - a }'; }

if [[ $only != container ]]; then
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
echo
fi

rm -rf "$work/machine" "$work/prepared"
mkdir -p "$work/prepared"
start=$(now)
$build/pelmar-prepare --size "$size" --fs ntfs "$work/prepared" >/dev/null 2>&1
end=$(now)
bytes=$(stat -c %s "$work/prepared/pelmar.tc")
prepared=$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')
rm -rf "$work/prepared"
start=$(now)
head -c "$bytes" /dev/zero | dd of="$work/zeros" bs=4M iflag=fullblock conv=fsync status=none
end=$(now)
zeros=$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')
rm -f "$work/zeros"
head -c $((64 << 20)) /dev/urandom >"$work/block"
start=$(now)
{
  for ((i = 0; i < bytes >> 26; ++i)); do cat "$work/block"; done
  head -c $((bytes & ((1 << 26) - 1))) "$work/block"
} | dd of="$work/noise" bs=4M iflag=fullblock conv=fsync status=none
end=$(now)
noise=$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')
rm -f "$work/noise" "$work/block"
row() { awk -v n="$1" -v b="$bytes" -v t="$2" -v z="$zeros" -v d="$noise" \
  'BEGIN { printf "| %s | %.0f | %.2f s | %.2fx | %.2fx |\n", n, b, t, t / z, t / d }'; }
echo "| container ($size) | bytes | time | against dd of zeros | against dd of noise |"
echo "|---|---:|---:|---:|---:|"
row "pelmar-prepare --fs ntfs" "$prepared"
row "dd of zeros" "$zeros"
row "dd of noise made beforehand" "$noise"
