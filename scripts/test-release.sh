#!/usr/bin/env bash
# The release as an administrator meets it (run by scripts/test.sh after the
# host build and the Wine cases):
#  - scripts/release.sh run in two clones of HEAD, in two temporary folders
#    of different depths, one after the other, the second with another time
#    zone, locale and umask, and signed (a throw-away certificate and
#    minisign key made here); the first's dist/ and the second's unsigned
#    release must be equal byte for byte;
#  - the signed release: every program and the package pass `osslsigncode
#    verify` with both signatures, and without them are the unsigned files
#    (a package: its tables); SHA256SUMS.minisig holds, and a changed byte in
#    a file or in SHA256SUMS is refused; the release notes name for each
#    Windows program exactly the DLLs its import table names, and for each
#    host tool the packages of the libraries it needs;
#  - the archive's own SHA256SUMS hold; every program in it has the PE
#    checksum of its bytes (python3-pefile, a second implementation), starts
#    under Wine, and shows its version: Windows' GetFileVersion (Wine's
#    scrrun) reads VERSION from its version resource, a console program
#    prints "NAME VERSION" for --version, a native one runs to its end;
#  - the package passes lintian, installs with apt-get, puts pelmar-prepare
#    on the system path, prepares a small machine that boots on ntsim
#    (build/pelmar) with its drive read back, and is removed again.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
say() { echo "test-release: $*"; }
die() { echo "test-release: FAIL: $*" >&2; exit 1; }

scripts/deps.sh release
version=$(head -n1 VERSION)
commit=$(git rev-parse HEAD)
work=$(mktemp -d)
wineserver=/usr/lib/wine/wineserver
trap '"$wineserver" -k 2>/dev/null || true; rm -rf "$work"' EXIT
# The source package the Wine cases' build fetched, checked again against
# apt's index by each build.
[[ -d build-windows/libtomcrypt-download ]] && export PELMAR_TOMCRYPT_DOWNLOAD="$root/build-windows/libtomcrypt-download"

# --- Two builds, compared --------------------------------------------------
first="$work/a/pelmar" second="$work/b/another/folder/pelmar-again"
for clone in "$first" "$second"; do
  git clone -q "$root" "$clone"
  git -C "$clone" checkout -q --detach "$commit"
done
keys="$work/keys"
mkdir "$keys"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$keys/sign.key" -out "$keys/sign.crt" -days 2 \
  -subj "/CN=Pelmar throw-away test signer" -addext extendedKeyUsage=codeSigning 2>/dev/null || die "openssl req failed"
minisign -G -W -p "$keys/minisign.pub" -s "$keys/minisign.key" >/dev/null || die "minisign -G failed"
(cd "$first" && bash scripts/release.sh >"$work/first.log" 2>&1) || { cat "$work/first.log"; die "first release build failed"; }
(umask 077; cd "$second" && TZ=Pacific/Kiritimati LC_ALL=C bash scripts/release.sh --sign "$keys/sign.key" "$keys/sign.crt" \
  --minisign "$keys/minisign.key" >"$work/second.log" 2>&1) || { cat "$work/second.log"; die "second release build failed"; }
unsigned="$second/build-release/unsigned"
if ! diff -r "$first/dist" "$unsigned" >/dev/null; then
  (cd "$first/dist" && sha256sum ./*; cd "$unsigned" && sha256sum ./*) >&2
  die "two builds of $commit differ"
fi
say "two builds of $commit, in two folders, are equal:"
sed 's/^/  /' "$first/dist/SHA256SUMS"
dist="$first/dist"

# --- The signed release ----------------------------------------------------------
signed="$second/dist"
say "the signed release:"
(cd "$signed" && for file in *; do printf '  %10d  %s\n' "$(stat -c %s "$file")" "$file"; done)
mkdir "$work/signed-zip" "$work/unsigned-zip"
unzip -q -d "$work/signed-zip" "$signed/pelmar-$version-windows-x64.zip"
unzip -q -d "$work/unsigned-zip" "$dist/pelmar-$version-windows-x64.zip"
for file in "$work/signed-zip/pelmar-$version"/*.exe "$signed/pelmar-$version-x64.msi"; do
  name=$(basename "$file")
  verified=$(osslsigncode verify -CAfile "$keys/sign.crt" -in "$file" 2>&1) || { echo "$verified"; die "$name: osslsigncode verify fails"; }
  [[ $(grep -c '^Signature verification: ok' <<<"$verified") == 2 && "$verified" == *"algorithm: SHA1"* &&
     "$verified" == *"algorithm: SHA256"* ]] || { echo "$verified"; die "$name: not a SHA-1 and a SHA-256 signature"; }
  osslsigncode remove-signature -in "$file" -out "$work/stripped-$name" >/dev/null || die "$name: remove-signature failed"
  say "  $name: osslsigncode verify: $(grep -o 'Number of verified signatures: [0-9]*' <<<"$verified") (SHA-1, SHA-256 nested)"
done
for file in "$work/unsigned-zip/pelmar-$version"/*.exe; do
  cmp -s "$file" "$work/stripped-$(basename "$file")" || die "$(basename "$file"): signed, it differs in more than its signature"
done
(cd "$work/signed-zip/pelmar-$version" && find . -type f ! -name '*.exe' ! -name SHA256SUMS | sort) >"$work/others"
(cd "$work/signed-zip/pelmar-$version" && xargs -a "$work/others" -d '\n' sha256sum) \
  | (cd "$work/unsigned-zip/pelmar-$version" && sha256sum --quiet -c -) || die "the signed archive's other files differ"
mkdir "$work/tables-signed" "$work/tables-unsigned"
# (msidump writes the Binary table's streams into the current folder.)
(cd "$work/tables-signed" && msidump -t "$work/stripped-pelmar-$version-x64.msi" >/dev/null)
(cd "$work/tables-unsigned" && msidump -t "$dist/pelmar-$version-x64.msi" >/dev/null)
# The File and MsiFileHash tables hold the programs' sizes and hashes, and
# Binary holds the custom action: their signatures change them.
diff -r -x File.idt -x MsiFileHash.idt -x Binary "$work/tables-signed" "$work/tables-unsigned" >&2 \
  || die "the signed package's tables differ"
say "  every signed file, its signatures taken off, is the unsigned one (a package: its tables)"

(cd "$signed" && minisign -Vq -m SHA256SUMS -p "$keys/minisign.pub" && sha256sum --quiet -c SHA256SUMS) \
  || die "the signed checksums do not hold"
cp -r "$signed" "$work/tampered"
printf '\x01' | dd of="$work/tampered/pelmar-$version-x64.msi" bs=1 seek=4096 conv=notrunc status=none
! (cd "$work/tampered" && sha256sum --quiet -c SHA256SUMS >/dev/null 2>&1) || die "a changed byte in the package went unnoticed"
cp "$signed/pelmar-$version-x64.msi" "$work/tampered/"
digit=$(head -c1 "$work/tampered/SHA256SUMS")
printf '%s' "$([[ $digit == 0 ]] && echo 1 || echo 0)" | dd of="$work/tampered/SHA256SUMS" bs=1 conv=notrunc status=none
! minisign -Vq -m "$work/tampered/SHA256SUMS" -p "$keys/minisign.pub" 2>/dev/null || die "a changed byte in SHA256SUMS went unnoticed"
say "  minisign -V: SHA256SUMS verified; a changed byte in the package, and one in SHA256SUMS, refused"

# The release notes against what was linked: each Windows program's import
# table, each host tool's needed libraries and the packages that hold them.
notes="$work/unsigned-zip/pelmar-$version/RELEASE-NOTES.txt"
section() { awk -v head="  $1:" '$0 == head { on = 1; next } on && /^  [^ ]/ { on = 0 } on && NF' "$notes"; }
for file in "$work/unsigned-zip/pelmar-$version"/*.exe; do
  name=$(basename "$file")
  listed=$(section "$name" | sed -n 's/^ *imports from \([^ ]*\), .*/\1/p' | sort -u)
  imported=$(x86_64-w64-mingw32-objdump -p "$file" | awk '/DLL Name:/ { print tolower($3) }' | sort -u)
  [[ -n "$listed" && "$listed" == "$imported" ]] || die "the notes list imports '$(echo $listed)' for $name, its import table '$(echo $imported)'"
done
for tool in pelmar-prepare pelmar-mkimage pelmar-image; do
  listed=$(section "$tool" | sed -n 's/.*(package \([^)]*\)).*/\1/p' | sort -u)
  needed=$(for library in $(objdump -p "$first/build-release/host/$tool" | awk '$1 == "NEEDED" { print $2 }'); do
             dpkg -S "*/x86_64-linux-gnu/$library" | cut -d: -f1
           done | sort -u)
  [[ -n "$listed" && "$listed" == "$needed" ]] || die "the notes list '$(echo $listed)' for $tool, it needs '$(echo $needed)'"
done
grep -q 'LibTomCrypt 1.18.2 .*: public domain$' <(section pelmar.exe) || die "the notes do not name LibTomCrypt in pelmar.exe"
say "  the release notes name every DLL each program imports and every package each host tool needs"

# --- The archive's programs --------------------------------------------------
mkdir "$work/zip"
(cd "$work/zip" && unzip -q "$dist/pelmar-$version-windows-x64.zip" && cd "pelmar-$version" && sha256sum --quiet -c SHA256SUMS) \
  || die "the archive's SHA256SUMS do not hold"
export WINEPREFIX="$root/build-windows/wine-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
wine=/usr/lib/wine/wine64
"$wineserver" -k 2>/dev/null || true
if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
  "$wine" wineboot -i >/dev/null 2>&1 || die "wineboot -i failed"
  "$wineserver" -w
fi
"$wineserver" -p
folder="$WINEPREFIX/drive_c/pelmar-release"
rm -rf "$folder" && cp -r "$work/zip/pelmar-$version" "$folder"
printf '%s\n' 'WScript.Echo(new ActiveXObject("Scripting.FileSystemObject").GetFileVersion(WScript.Arguments(0)));' \
  >"$folder/version.js"
for program in "$folder"/*.exe; do
  name=$(basename "$program")
  /usr/bin/python3 -c 'import pefile, sys; sys.exit(not pefile.PE(sys.argv[1]).verify_checksum())' "$program" \
    || die "$name: its PE checksum is not that of its bytes"
  resource=$("$wine" cscript //nologo 'C:\pelmar-release\version.js' "C:\\pelmar-release\\$name" | tr -d '\r')
  [[ "$resource" == "$version.0" ]] || die "$name: GetFileVersion reads '$resource', not $version.0"
  subsystem=$(x86_64-w64-mingw32-objdump -p "$program" | awk '$1 == "Subsystem" { print $2 }')
  if [[ "$subsystem" == 00000001 ]]; then
    # A native image: the boot screen (the display calls) and exit status 0;
    # no container there, which it reports.
    screen=$(WINEDEBUG=err+ntdll "$wine" "C:\\pelmar-release\\$name" A s 1 T 'c:\pelmar-release\none.tc' 'c:\pelmar-release\none.img' 2>&1) \
      || die "$name ends with status $? under Wine"
    grep -q 'NtDisplayString' <<<"$screen" || die "$name showed nothing under Wine: $screen"
    say "$name: native, version resource $resource, ran under Wine to its end"
  else
    printed=$("$wine" "C:\\pelmar-release\\$name" --version | tr -d '\r')
    [[ "$printed" == "${name%.exe} $version" ]] || die "$name --version printed '$printed'"
    say "$name: version resource $resource, --version: $printed"
  fi
done
rm -rf "$folder"

# --- The package ---------------------------------------------------------------
deb="$dist/pelmar-tools_${version}_amd64.deb"
lintian --fail-on error,warning "$deb" 2> >(grep -v 'root privileges' >&2) || die "lintian finds fault with $deb"
dpkg-query -W -f='${Status}' pelmar-tools 2>/dev/null | grep -q '^install ok' && die "pelmar-tools is installed already"
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; die "apt-get install $deb failed"; }
remove() { DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq pelmar-tools >/dev/null 2>&1; }
trap 'remove || true; "$wineserver" -k 2>/dev/null || true; rm -rf "$work"' EXIT
[[ $(cd / && pelmar-prepare --version) == "pelmar-prepare $version" ]] || die "pelmar-prepare --version from the path: $(pelmar-prepare --version)"
[[ $(dpkg -L pelmar-tools | grep -c '^/usr/share/man/man1/pelmar-.*\.1\.gz$') == 3 ]] || die "the package lacks manual pages"
machine="$work/machine"
mkdir -p "$machine/c"
echo "a file the drive starts with" >"$work/note.txt"
pelmar-prepare --size 16M --fs fat16 --mkdir /Temp --copy "$work/note.txt:/Temp/NOTE.TXT" "$machine/c" >"$work/prepare.log" 2>&1 \
  || { cat "$work/prepare.log"; die "the installed pelmar-prepare failed"; }
pelmar-image "$machine/c/pelmar.img" | grep -qx consistent || die "the installed pelmar-image finds the image inconsistent"
build/pelmar --root "$machine" --time-scale 0 --export "T:=$work/t.raw" -- pelmar A s 1 T >"$work/screen.txt" \
  2>"$work/debug.txt" || die "booting the machine on ntsim ended with status $?"
fsck.fat -n "$work/t.raw" >/dev/null || die "drive T: fails fsck.fat"
MTOOLS_SKIP_CHECK=1 mtype -i "$work/t.raw" ::/Temp/NOTE.TXT | cmp -s - "$work/note.txt" || die "drive T: does not give the file back"
remove || die "apt-get remove pelmar-tools failed"
hash -r
! command -v pelmar-prepare >/dev/null || die "pelmar-prepare is still on the path after the removal"
say "the package: lintian clean, installed, a machine it prepared booted on ntsim, removed"
