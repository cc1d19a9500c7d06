#!/usr/bin/env bash
# The main job, on ntsim (the host's stand-in for the native system): a
# machine whose drive C: holds a container and a file-system image; Pelmar
# boots, rekeys the container, mounts it through the driver model as T: and
# restores the image onto it. The demo then reads the new drive back
# (decrypted by the driver model) and checks it. The machine's two files
# come from pelmar-prepare; the image writes only what the file system uses.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
cmake --preset default >/dev/null
cmake --build --preset default -j "$jobs" --target pelmar pelmar-prepare pelmar-image

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root="$work/machine"
mkdir -p "$root/c"

echo "== preparing drive C: in $root/c with pelmar-prepare"
echo "This drive is new at every boot." >"$work/readme.txt"
head -c 300000 /dev/urandom >"$work/cache.bin"
build/pelmar-prepare --size 64M --fs fat32 --label SCRATCH --mkdir /Temp/Cache \
  --copy "$work/readme.txt:/README.TXT" --copy "$work/cache.bin:/Temp/Cache/cache.bin" "$root/c" | sed 's/^/   /'
build/pelmar-image "$root/c/pelmar.img" | grep -E '^(file|volume size|data sectors|restore writes|consistent)' | sed 's/^/   /'
old_header=$(head -c 64 "$root/c/pelmar.tc" | od -An -tx1 | head -n 1)

command_line=(pelmar ATS w 3 t)
echo "== booting: ${command_line[*]}"
set +e
started=$(date +%s.%N)
build/pelmar --root "$root" --trace "$work/trace.txt" --debug-log "$work/debug.txt" \
  --export "T:=$work/drive-t.raw" -- "${command_line[@]}" >"$work/screen.txt"
status=$?
ended=$(date +%s.%N)
set -e
echo "== boot screen"
cat "$work/screen.txt"
writes=$(grep -c '^NtWriteFile' "$work/trace.txt")
echo "== exit code $status; $(wc -l <"$work/trace.txt") platform calls; $(tail -n 1 "$work/trace.txt")"
echo "== whole run $(awk -v a="$started" -v b="$ended" 'BEGIN { printf "%.2f s", b - a }');" \
  "the restore wrote $((writes - 1)) sectors of $((64 * 2048)) (one more write was the header)"

echo "== the container's first salt bytes, before and after"
echo "   $old_header"
echo "   $(head -c 64 "$root/c/pelmar.tc" | od -An -tx1 | head -n 1)"

echo "== drive T: as the driver decrypts it (its free clusters are noise)"
fsck.fat -n "$work/drive-t.raw" | sed 's/^/   /'
export MTOOLS_SKIP_CHECK=1
mdir -i "$work/drive-t.raw" ::/Temp/Cache | sed 's/^/   /'
mtype -i "$work/drive-t.raw" ::/README.TXT | sed 's/^/   /'
mcopy -n -i "$work/drive-t.raw" ::/Temp/Cache/cache.bin "$work/cache-back.bin"
if cmp -s "$work/cache.bin" "$work/cache-back.bin"; then
  echo "   /Temp/Cache/cache.bin reads back byte for byte"
else
  echo "   /Temp/Cache/cache.bin DIFFERS" >&2
  exit 1
fi
