#!/usr/bin/env bash
# Checks that an image is what Pelmar deploys at boot on Windows: a PE32+
# image for x86-64, native subsystem, whose imports all come from ntdll.dll
# and are names ntdll exports (the toolchain's ntdll import libraries say
# which), entered at lib-na's start-up, with no thread-local storage and no
# global constructors (nothing in a native image would run them), and no
# larger than 160 KiB.
#
#   cmake/check-native-image.sh IMAGE [MAP]
#
# MAP is the linker's map file (build-windows/pelmar.map); with it the entry
# point and the constructor list are checked too. Exits non-zero, saying
# why, at the first thing that is wrong.
set -euo pipefail

image=${1:?usage: check-native-image.sh IMAGE [MAP]}
map=${2:-}
triple=x86_64-w64-mingw32
objdump=${OBJDUMP:-$triple-objdump}
nm=${NM:-$triple-nm}
libdir=${MINGW_LIBDIR:-/usr/$triple/lib}

fail() { echo "check-native-image: FAIL: $image: $*" >&2; exit 1; }

[[ -f "$image" ]] || fail "no such file"
# The image holds the product and the parts of LibTomCrypt it uses, nothing
# more; growth past this is something it does not need until shown otherwise.
max_bytes=163840
bytes=$(stat -c %s "$image")
((bytes <= max_bytes)) || fail "is $bytes bytes, more than $max_bytes (160 KiB)"
headers=$("$objdump" -p "$image" 2>&1) || fail "objdump cannot read it: $headers"

# The machine field of the file header (PE signature offset at 0x3c, the
# field 4 bytes after the signature): 0x8664 is x86-64.
pe_offset=$(od -An -tu4 -j60 -N4 "$image" 2>/dev/null | tr -d ' ')
[[ -n "$pe_offset" ]] || fail "too short for an executable image"
[[ $(od -An -c -j"$pe_offset" -N4 "$image" 2>/dev/null | tr -d ' ') == 'PE\0\0' ]] || fail "no PE signature"
machine=$(od -An -tx2 -j$((pe_offset + 4)) -N2 "$image" | tr -d ' ')
[[ "$machine" == 8664 ]] || fail "machine is 0x$machine, not 0x8664 (x86-64)"

field() { awk -v name="$1" '$1 == name { print $2; exit }' <<<"$headers"; }
[[ $(field Magic) == 020b ]] || fail "not a PE32+ image (Magic $(field Magic))"
subsystem=$(field Subsystem)
[[ "$subsystem" == 00000001 ]] || fail "subsystem is $subsystem, not 1 (native)"
entry=$(field AddressOfEntryPoint)
[[ -n "$entry" && $((16#$entry)) -ne 0 ]] || fail "no entry point"
tls=$(awk '$1 == "Entry" && $2 == "9" { print $4 }' <<<"$headers")
[[ "$tls" == 00000000 ]] || fail "has a thread-local storage directory (size $tls)"

# The import table: every DLL ntdll.dll, every import by name.
mapfile -t dlls < <(awk '/DLL Name:/ { print $3 }' <<<"$headers")
((${#dlls[@]} > 0)) || fail "imports nothing (ntdll.dll expected)"
for dll in "${dlls[@]}"; do
  [[ "${dll,,}" == ntdll.dll ]] || fail "imports from $dll; only ntdll.dll is there at boot"
done
mapfile -t imports < <(awk '
  /DLL Name:/ { listing = 0 }
  /Member-Name/ { listing = 1; next }
  listing && NF == 0 { listing = 0 }
  listing { print $3 != "" ? $3 : "<ordinal " $2 ">" }' <<<"$headers")
((${#imports[@]} > 0)) || fail "import table lists no names"

# What ntdll exports, as the toolchain's import libraries for it describe:
# libntdll.a (the native calls) and libntdllcrt.a (its C-library-like
# functions).
exports=$(for lib in "$libdir/libntdll.a" "$libdir/libntdllcrt.a"; do
            [[ -f "$lib" ]] || fail "missing $lib (package mingw-w64-x86-64-dev)"
            "$nm" "$lib" 2>/dev/null | awk '$2 == "I" && $3 ~ /^__imp_/ { print substr($3, 7) }'
          done | sort -u)
unknown=()
for name in "${imports[@]}"; do
  grep -qxF -- "$name" <<<"$exports" || unknown+=("$name")
done
((${#unknown[@]} == 0)) || fail "imports what ntdll does not export: ${unknown[*]}"

if [[ -n "$map" ]]; then
  [[ -f "$map" ]] || fail "no map file $map"
  symbol() { awk -v name="$1" '$2 == name && $1 ~ /^0x/ { print $1; exit }' "$map"; }
  image_base=$(field ImageBase)
  startup=$(symbol NaProcessStartup)
  [[ -n "$startup" ]] || fail "NaProcessStartup is not in $map"
  ((startup - 16#$image_base == 16#$entry)) || fail "the entry point is not NaProcessStartup"
  # The constructor list holds only its two end markers (8 bytes each).
  ctors=$(symbol __CTOR_LIST__) dtors=$(symbol __DTOR_LIST__)
  [[ -n "$ctors" && -n "$dtors" ]] || fail "no constructor list in $map"
  ((dtors - ctors == 16)) || fail "has global constructors ($((dtors - ctors - 16)) bytes of them)"
fi

echo "check-native-image: $image: PE32+ x86-64, subsystem native" \
     "$(field MajorSubsystemVersion).$(field MinorSubsystemVersion)," \
     "image base 0x$(field ImageBase | sed 's/^0*//'), entry 0x$entry," \
     "$bytes bytes (at most $max_bytes)"
echo "check-native-image: imports ${#imports[@]} names, all exported by ntdll.dll: ${imports[*]}"
