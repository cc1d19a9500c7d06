#!/usr/bin/env bash
# The main job, on ntsim (the host's stand-in for the native system): a
# machine whose drive C: holds a container and a file-system image; Pelmar
# boots, rekeys the container, mounts it through the driver model as T: and
# restores the image onto it. The demo then reads the new drive back
# (decrypted by the driver model) and checks it.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
cmake --preset default >/dev/null
cmake --build --preset default -j "$jobs" --target pelmar pelmar-mkimage pelmar-image

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root="$work/machine"
mkdir -p "$root/c"

echo "== preparing drive C: in $root/c"
size_kib=4096
mkfs.fat -C -n SCRATCH "$work/scratch.raw" "$size_kib" >/dev/null
echo "This drive is new at every boot." >"$work/readme.txt"
mcopy -i "$work/scratch.raw" "$work/readme.txt" ::/README.TXT
build/pelmar-mkimage "$work/scratch.raw" "$root/c/pelmar.img"
build/pelmar-image "$root/c/pelmar.img" | sed 's/^/   /'
# The container: a header sector and the volume; what it held before is noise.
head -c $((512 + size_kib * 1024)) /dev/urandom >"$root/c/pelmar.tc"
old_header=$(head -c 64 "$root/c/pelmar.tc" | od -An -tx1 | head -n 1)

command_line=(pelmar ATS w 3 t)
echo "== booting: ${command_line[*]}"
set +e
build/pelmar --root "$root" --trace "$work/trace.txt" --debug-log "$work/debug.txt" \
  --export "T:=$work/drive-t.raw" -- "${command_line[@]}" >"$work/screen.txt"
status=$?
set -e
echo "== boot screen"
cat "$work/screen.txt"
echo "== exit code $status; $(wc -l <"$work/trace.txt") platform calls; $(tail -n 1 "$work/trace.txt")"

echo "== the container's first salt bytes, before and after"
echo "   $old_header"
echo "   $(head -c 64 "$root/c/pelmar.tc" | od -An -tx1 | head -n 1)"

echo "== drive T: as the driver decrypts it"
if cmp -s "$work/drive-t.raw" "$work/scratch.raw"; then
  echo "   identical to the prepared file system, byte for byte"
else
  echo "   DIFFERS from the prepared file system" >&2
  exit 1
fi
fsck.fat -n "$work/drive-t.raw" | sed 's/^/   /'
mdir -i "$work/drive-t.raw" :: | sed 's/^/   /'
