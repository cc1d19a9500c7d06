#!/usr/bin/env bash
# Makes a release of the commit checked out, from a clean build:
#
#   dist/pelmar-VERSION-windows-x64.zip   the Windows programs the Windows build
#                                         ships (cmake/pelmar-release.cmake), the
#                                         README, LICENSE.txt, docs/windows.md and
#                                         docs/image-format.md, RELEASE-NOTES.txt,
#                                         and SHA256SUMS of every file in it
#   dist/pelmar-VERSION-x64.msi           the Windows Installer package of the
#                                         same programs (packaging/msi/)
#   dist/pelmar-tools_VERSION_amd64.deb   the host tools and their manual pages
#   dist/SHA256SUMS                       of the three
#   dist/SHA256SUMS.minisig               with --minisign: its signature
#
#   scripts/release.sh [--allow-dirty] [--sign KEY CERT [--timestamp URL]]
#                      [--minisign SECRET-KEY]
#
# Refuses a tree with uncommitted changes unless --allow-dirty is given (the
# release notes then say so). Two runs on one commit give the same bytes,
# wherever the tree is and whenever they run: every time stamp is the
# commit's (SOURCE_DATE_EPOCH) or none, no folder of the building machine
# reaches a file, and the archive's members have a fixed order, time and
# mode. Builds in build-release/ (made anew), with ccache left out.
# PELMAR_TOMCRYPT_DOWNLOAD is passed on to scripts/build-windows.sh.
#
# --sign gives every program and the package Authenticode signatures with
# osslsigncode: KEY the private key (PEM or DER; PELMAR_SIGN_PASSWORD_FILE
# names a file holding its passphrase, if it has one), CERT the certificate
# (PEM, with its chain). Each file gets a SHA-1 signature, which every
# Windows from XP x64 and Server 2003 x64 on checks, and a SHA-256 one
# nested in it, which later systems check as well; --timestamp URL has both
# counter-signed by that RFC 3161 time-stamp server, otherwise they are dated
# with the commit's time. A signed release differs from the unsigned one
# only in the signatures: the unsigned release of the same run is left in
# build-release/unsigned/ to compare (RELEASE-NOTES.txt says how).
# --minisign signs dist/SHA256SUMS with minisign's SECRET-KEY (it asks for
# the key's password, if it has one).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

say() { echo "release: $*"; }
die() { echo "release: FAIL: $*" >&2; exit 1; }

usage="usage: scripts/release.sh [--allow-dirty] [--sign KEY CERT [--timestamp URL]] [--minisign SECRET-KEY]"
allow_dirty=0 sign_key="" sign_cert="" timestamp="" minisign_key=""
while (($#)); do
  case "$1" in
    --allow-dirty) allow_dirty=1; shift ;;
    --sign) (($# >= 3)) || die "$usage"; sign_key=$(realpath "$2") sign_cert=$(realpath "$3"); shift 3 ;;
    --timestamp) (($# >= 2)) || die "$usage"; timestamp=$2; shift 2 ;;
    --minisign) (($# >= 2)) || die "$usage"; minisign_key=$(realpath "$2"); shift 2 ;;
    *) die "$usage" ;;
  esac
done
[[ -z "$timestamp" || -n "$sign_key" ]] || die "--timestamp goes with --sign"
for file in ${sign_key:+"$sign_key" "$sign_cert"} ${minisign_key:+"$minisign_key"}; do
  [[ -f "$file" && -r "$file" ]] || die "cannot read $file"
done

scripts/deps.sh release

commit=$(git rev-parse HEAD) || die "not a git clone"
changes=$(git status --porcelain)
state="commit $commit"
if [[ -n "$changes" ]]; then
  ((allow_dirty)) || die "the tree has uncommitted changes (--allow-dirty builds it as it is):"$'\n'"$changes"
  state="commit $commit with uncommitted changes"
fi
version=$(head -n1 VERSION)
[[ "$version" =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || die "VERSION holds '$version', not MAJOR.MINOR.PATCH"

export SOURCE_DATE_EPOCH
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct HEAD)
export TZ=UTC LC_ALL=C.UTF-8 CCACHE_DISABLE=1
umask 022
build="$root/build-release"
dist="$root/dist"
rm -rf "$build" "$dist"
mkdir -p "$build" "$dist"
tools=(pelmar-prepare pelmar-mkimage pelmar-image)
say "building $state (version $version, time stamps $(date -u -d "@$SOURCE_DATE_EPOCH" '+%F %T UTC'))"

# --- The Windows programs ----------------------------------------------------
bash scripts/build-windows.sh "$build/windows" | grep -v '^\[' || die "the Windows build failed"
mapfile -t programs <"$build/windows/release-programs.txt"
((${#programs[@]} > 0)) || die "the Windows build names no programs to ship"
for program in "${programs[@]}"; do
  python3 cmake/pe-checksum.py --check "$program" || die "$program: wrong PE checksum"
done
action="$build/windows/pelmar-msi-action.dll"
[[ -f "$action" ]] || die "the Windows build made no $action"

# --- The host tools ------------------------------------------------------------
# Debian's build flags (hardening included), the tree's folders mapped away.
(
  eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
  export CXXFLAGS="$CXXFLAGS $CPPFLAGS" CFLAGS="$CFLAGS $CPPFLAGS"
  cmake -S "$root" -B "$build/host" -G Ninja -DCMAKE_BUILD_TYPE=None -DPELMAR_TESTS=OFF -DPELMAR_BENCH=OFF \
    -DPELMAR_REPRODUCIBLE=ON >/dev/null
  cmake --build "$build/host" --parallel 2 --target "${tools[@]}" >/dev/null
) || die "the host tools' build failed"

# --- The release notes ---------------------------------------------------------
tomcrypt=$(dpkg-parsechangelog -l "$build/windows/libtomcrypt/debian/changelog" -S Version)
toolchain() { dpkg-query -W -f='${Version}' "$1"; }
# What a program is made of, from its linker map (cmake/pelmar-release.cmake):
# every archive and start file the linker took code from, named with its
# licence. One the table does not know stops the release, so the notes
# cannot leave out what a program carries.
windows_parts() {
  local map=$1 files
  files=$(awk '/^Archive member included/ { on = 1; next } /^(Discarded|Allocating common|Memory map)/ { on = 0 }
               on && /^[^ ].*\.a\(/ { sub(/\(.*/, ""); print }
               /^LOAD .*\.o$/ && !/CMakeFiles/ { print $2 }' "$map" | xargs -r -n1 basename | sort -u)
  [[ -n "$files" ]] || die "$map names nothing linked"
  local file
  for file in $files; do
    case "$file" in
      libpelmar_tomcrypt.a) echo "LibTomCrypt 1.18.2 (its ciphers and hashes), from Debian's source package libtomcrypt $tomcrypt: public domain" ;;
      libpelmar_*.a) ;;
      libgcc.a | libgcc_eh.a | crtbegin.o | crtend.o)
        echo "libgcc, from gcc-mingw-w64-x86-64-win32 $(toolchain gcc-mingw-w64-x86-64-win32): GPL-3.0-or-later with the GCC Runtime Library Exception" ;;
      libstdc++.a)
        echo "libstdc++, from g++-mingw-w64-x86-64-win32 $(toolchain g++-mingw-w64-x86-64-win32): GPL-3.0-or-later with the GCC Runtime Library Exception" ;;
      libmingw32.a | libmingwex.a | crt2.o | crt2u.o | dllcrt2.o)
        echo "the mingw-w64 runtime (start-up and C library additions), from mingw-w64-x86-64-dev $(toolchain mingw-w64-x86-64-dev): ZPL-2.1, with parts in the public domain and under permissive licences (Debian's copyright file of the package lists them)" ;;
      libntdll.a | libntdllcrt.a | libkernel32.a | libadvapi32.a | libmsvcrt.a | libmsi.a)
        local dll=${file#lib}; dll=${dll%.a}; [[ "$dll" != ntdllcrt ]] || dll=ntdll
        echo "imports from $dll.dll, part of Windows (the import stubs from mingw-w64-x86-64-dev: ZPL-2.1)" ;;
      *) die "$map: the release notes do not know what $file is or its licence" ;;
    esac
  done | sort -u
}
# A host tool's shared libraries, from its dynamic section.
host_parts() {
  local needed library
  needed=$(objdump -p "$1" | awk '$1 == "NEEDED" { print $2 }' | sort -u)
  [[ -n "$needed" ]] || die "$1 needs no shared library?"
  for library in $needed; do
    case "$library" in
      libntfs-3g.so.*) echo "libntfs-3g (package libntfs-3g89): GPL-2.0-or-later" ;;
      libgcrypt.so.*) echo "libgcrypt (package libgcrypt20): LGPL-2.1-or-later" ;;
      libgpg-error.so.*) echo "libgpg-error (package libgpg-error0): LGPL-2.1-or-later" ;;
      libstdc++.so.*) echo "libstdc++ (package libstdc++6): GPL-3.0-or-later with the GCC Runtime Library Exception" ;;
      libgcc_s.so.*) echo "libgcc (package libgcc-s1): GPL-3.0-or-later with the GCC Runtime Library Exception" ;;
      libc.so.* | libm.so.*) echo "the GNU C library (package libc6): LGPL-2.1-or-later" ;;
      *) die "$1: the release notes do not know what $library is or its licence" ;;
    esac
  done | sort -u
}
notes="$build/notes"
mkdir -p "$notes"
{
  echo "Pelmar $version for 64-bit Windows (x86-64)"
  echo
  echo "Built from $state,"
  echo "dated $(date -u -d "@$SOURCE_DATE_EPOCH" '+%F %T UTC') (every time stamp in this archive)."
  echo
  echo "Pelmar is free software: you can redistribute it and/or modify it under the"
  echo "terms of the GNU General Public License as published by the Free Software"
  echo "Foundation, either version 2 of the License, or (at your option) any later"
  echo "version. It comes with ABSOLUTELY NO WARRANTY. LICENSE.txt holds the licence."
  echo
  echo "pelmar-install install (and the package, through PELMAR_ARGS) makes the"
  echo "machine keep the drive's promise by default: Fast Startup off (always),"
  echo "hibernation off (--keep-hibernation keeps it), crash dumps that hold kernel"
  echo "memory made small (--dumps small|none|keep), paging files encrypted"
  echo "(--keep-paging-plain keeps them plain); uninstall gives each value back."
  echo "docs/windows.md, \"What could outlive a stop\", says why."
  echo
  echo "Each program is Pelmar's own code (GPL-2.0-or-later) and what is listed under"
  echo "it, linked in statically, with the Windows libraries it imports:"
  for program in "${programs[@]}"; do
    name=$(basename "$program")
    echo
    echo "  $name:"
    windows_parts "$build/windows/${name%.exe}.map" | sed 's/^/    /'
  done
  echo
  echo "The host tools of pelmar-tools_${version}_amd64.deb, and the shared libraries"
  echo "they use from Debian's packages:"
  for tool in "${tools[@]}"; do
    echo
    echo "  $tool:"
    host_parts "$build/host/$tool" | sed 's/^/    /'
  done
  echo
  echo "Built on Debian $(. /etc/os-release && echo "$VERSION_ID") with g++-mingw-w64-x86-64-win32 $(toolchain g++-mingw-w64-x86-64-win32),"
  echo "binutils-mingw-w64-x86-64 $(toolchain binutils-mingw-w64-x86-64), mingw-w64-x86-64-dev $(toolchain mingw-w64-x86-64-dev),"
  echo "wixl $(toolchain wixl)."
  echo
  echo "SHA256SUMS lists every file of the archive; check them with"
  echo "  sha256sum -c SHA256SUMS"
  echo "in the unpacked folder. To rebuild the archive and the package and compare"
  echo "them byte for byte, see the README, \"Get Pelmar\"."
  echo
  echo "A signed release's programs and package carry Authenticode signatures and"
  echo "differ from the unsigned build only in them. To compare, take a signature off"
  echo "with osslsigncode (Debian's package) and compare with the unsigned build:"
  echo "  osslsigncode remove-signature -in pelmar.exe -out pelmar-unsigned.exe"
  echo "  cmp pelmar-unsigned.exe /path/to/the/unsigned/build/pelmar.exe"
  echo "A package's tables and streams compare with msitools' msidump:"
  echo "  osslsigncode remove-signature -in pelmar-$version-x64.msi -out unsigned.msi"
  echo "  msidump -t -s -d a unsigned.msi; msidump -t -s -d b /path/to/the/unsigned.msi; diff -r a b"
  echo "(a signed package holds the signed programs, so its cabinet differs in their"
  echo "signatures as well)."
} >"$notes/RELEASE-NOTES.txt"
cp LICENSE "$notes/LICENSE.txt"

# --- The archive and the package, from a folder of the programs ---------------
name="pelmar-$version"
msi_name="$name-x64.msi"
pack_windows() {
  local from=$1 out=$2 stage="$build/zip-$(basename "$2")/$name"
  mkdir -p "$stage/docs" "$out"
  for program in "${programs[@]}"; do cp "$from/$(basename "$program")" "$stage/"; done
  cp README.md "$notes/RELEASE-NOTES.txt" "$notes/LICENSE.txt" "$stage/"
  cp docs/windows.md docs/image-format.md "$stage/docs/"
  (cd "$stage" && find . -type f ! -name SHA256SUMS -printf '%P\n' | sort | xargs -d '\n' sha256sum >SHA256SUMS)
  find "$stage" -type d -exec chmod 755 {} + -o -type f -exec chmod 644 {} +
  find "$stage" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
  # Members in byte order of their names, no directory entries, no extra
  # fields (owner, Unix times): only the names, the commit's time and the modes.
  (cd "$stage/.." && find "$name" -type f | sort | zip -X -D -9 -q "$out/$name-windows-x64.zip" -@)
  packaging/msi/build-msi.sh "$version" "$commit" "$from" "$notes" "$from/pelmar-msi-action.dll" "$out/$msi_name" \
    || die "the Windows Installer package failed"
  # The package must install exactly the programs the build ships.
  local installed shipped
  installed=$(msiinfo export "$out/$msi_name" File | awk -F'\t' 'NR > 3 && $3 ~ /\.exe$/ { print $3 }' | sort)
  shipped=$(for program in "${programs[@]}"; do basename "$program"; done | sort)
  [[ "$installed" == "$shipped" ]] || die "the package installs $(echo $installed), the build ships $(echo $shipped)"
}

unsigned="$dist"
[[ -z "$sign_key" ]] || unsigned="$build/unsigned"
mkdir -p "$build/programs"
cp "${programs[@]}" "$action" "$build/programs/"
pack_windows "$build/programs" "$unsigned"

if [[ -n "$sign_key" ]]; then
  sign_options=(-certs "$sign_cert" -key "$sign_key" -n Pelmar)
  [[ -z "${PELMAR_SIGN_PASSWORD_FILE:-}" ]] || sign_options+=(-readpass "$PELMAR_SIGN_PASSWORD_FILE")
  # A time-stamp server's counter-signature, or else the commit's time as the
  # signing time, so that a signed build can be made again as well.
  if [[ -n "$timestamp" ]]; then sign_options+=(-ts "$timestamp"); else sign_options+=(-time "$SOURCE_DATE_EPOCH"); fi
  # FILE in place: SHA-1 first (the signature Windows XP x64 and Server
  # 2003 x64 check), then SHA-256 nested in it. osslsigncode changes
  # nothing else in a program but the checksum field, the certificate
  # table's directory entry and the table itself, at the end.
  # (A package's signature covers its streams; the extra signature of its
  # metadata, MsiDigitalSignatureEx, would rule out the nested one.)
  sign() {
    osslsigncode sign -h sha1 "${sign_options[@]}" -in "$1" -out "$1.sha1" >"$build/sign.log" 2>&1 &&
      osslsigncode sign -nest -h sha256 "${sign_options[@]}" -in "$1.sha1" -out "$1.signed" >>"$build/sign.log" 2>&1 \
      || { cat "$build/sign.log" >&2; die "signing $(basename "$1") failed"; }
    mv "$1.signed" "$1" && rm -f "$1.sha1"
  }
  mkdir -p "$build/signed"
  cp "$build/programs/"* "$build/signed/"
  for file in "$build/signed/"*; do sign "$file"; done
  pack_windows "$build/signed" "$dist"
  sign "$dist/$msi_name"
  say "signed every program and the package with $(openssl x509 -noout -subject -in "$sign_cert" 2>/dev/null || echo "$sign_cert")"
fi

# --- The host tools' package -------------------------------------------------
package="$build/deb"
mkdir -p "$package/man" "$package/docs"
cp -r packaging/debian "$package/debian"
cp README.md "$package/"
cp docs/image-format.md "$package/docs/"
{
  echo "pelmar ($version) unstable; urgency=medium"
  echo
  echo "  * Pelmar $version, built from"
  echo "    $state."
  echo
  echo " -- $(awk -F': ' '$1 == "Maintainer" { print $2 }' packaging/debian/control)  $(date -u -R -d "@$SOURCE_DATE_EPOCH")"
} >"$package/debian/changelog"
mkdir -p "$build/help"
for tool in "${tools[@]}"; do
  install -D -m 755 "$build/host/$tool" "$package/debian/pelmar-tools/usr/bin/$tool"
  # The manual page: the tool's own --help and --version (in the shape
  # help2man reads, packaging/man/help-filter.sh), and what
  # packaging/man/TOOL.h2m adds (description, examples).
  printf '#!/bin/sh\nexec "%s" "%s" "$@"\n' "$root/packaging/man/help-filter.sh" "$build/host/$tool" >"$build/help/$tool"
  chmod +x "$build/help/$tool"
  help2man --no-info --section 1 --source "Pelmar $version" --manual "Pelmar manual" \
    --include "packaging/man/$tool.h2m" --output "$package/man/$tool.1" "$build/help/$tool"
done
(
  cd "$package"
  dh_installdocs -p pelmar-tools
  dh_installchangelogs -p pelmar-tools
  dh_installman -p pelmar-tools
  dh_strip -p pelmar-tools --no-automatic-dbgsym
  dh_compress -p pelmar-tools
  dh_fixperms -p pelmar-tools
  dh_shlibdeps -p pelmar-tools
  dh_installdeb -p pelmar-tools
  dh_gencontrol -p pelmar-tools
  dh_md5sums -p pelmar-tools
  dh_builddeb -p pelmar-tools --destdir="$dist"
) || die "packaging the host tools failed"
deb_file="$dist/pelmar-tools_${version}_amd64.deb"
[[ -f "$deb_file" ]] || die "no $deb_file"

sums() { (cd "$1" && sha256sum "$name-windows-x64.zip" "$msi_name" "$(basename "$deb_file")" >SHA256SUMS); }
if [[ "$unsigned" != "$dist" ]]; then
  cp "$deb_file" "$unsigned/"
  sums "$unsigned"
fi
sums "$dist"
if [[ -n "$minisign_key" ]]; then
  minisign -S -s "$minisign_key" -m "$dist/SHA256SUMS" -x "$dist/SHA256SUMS.minisig" \
    -t "Pelmar $version, $state" >/dev/null || die "minisign could not sign SHA256SUMS"
fi
say "built $state:"
(cd "$dist" && for file in *; do printf '  %10d  %s\n' "$(stat -c %s "$file")" "$file"; done)
sed 's/^/  /' "$dist/SHA256SUMS"
