#!/usr/bin/env bash
# Makes a release of the commit checked out, from a clean build:
#
#   dist/pelmar-VERSION-windows-x64.zip   the Windows programs the Windows build
#                                         ships (cmake/pelmar-release.cmake), the
#                                         README, docs/windows.md and
#                                         docs/image-format.md, RELEASE-NOTES.txt,
#                                         and SHA256SUMS of every file in it
#   dist/pelmar-tools_VERSION_amd64.deb   the host tools and their manual pages
#   dist/SHA256SUMS                       of the two
#
#   scripts/release.sh [--allow-dirty]
#
# Refuses a tree with uncommitted changes unless --allow-dirty is given (the
# release notes then say so). Two runs on one commit give the same bytes,
# wherever the tree is and whenever they run: every time stamp is the
# commit's (SOURCE_DATE_EPOCH) or none, no folder of the building machine
# reaches a file, and the archive's members have a fixed order, time and
# mode. Builds in build-release/ (made anew), with ccache left out.
# PELMAR_TOMCRYPT_DOWNLOAD is passed on to scripts/build-windows.sh.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

say() { echo "release: $*"; }
die() { echo "release: FAIL: $*" >&2; exit 1; }

allow_dirty=0
case "${1:-}" in
  --allow-dirty) allow_dirty=1 ;;
  "") ;;
  *) die "usage: scripts/release.sh [--allow-dirty]" ;;
esac

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
say "building $state (version $version, time stamps $(date -u -d "@$SOURCE_DATE_EPOCH" '+%F %T UTC'))"

# --- The Windows programs ----------------------------------------------------
bash scripts/build-windows.sh "$build/windows" | grep -v '^\[' || die "the Windows build failed"
mapfile -t programs <"$build/windows/release-programs.txt"
((${#programs[@]} > 0)) || die "the Windows build names no programs to ship"
for program in "${programs[@]}"; do
  python3 cmake/pe-checksum.py --check "$program" || die "$program: wrong PE checksum"
done

tomcrypt=$(dpkg-parsechangelog -l "$build/windows/libtomcrypt/debian/changelog" -S Version)
toolchain() { dpkg-query -W -f='${Version}' "$1"; }
name="pelmar-$version"
stage="$build/zip/$name"
mkdir -p "$stage/docs"
for program in "${programs[@]}"; do cp "$program" "$stage/"; done
cp README.md "$stage/"
cp docs/windows.md docs/image-format.md "$stage/docs/"
{
  echo "Pelmar $version for 64-bit Windows (x86-64)"
  echo
  echo "Built from $state,"
  echo "dated $(date -u -d "@$SOURCE_DATE_EPOCH" '+%F %T UTC') (every time stamp in this archive)."
  echo
  echo "Programs:"
  for program in "${programs[@]}"; do
    echo "  $(basename "$program")"
  done
  echo
  echo "Linked into the programs statically, and nothing else from others:"
  echo "  LibTomCrypt 1.18.2 (its ciphers and hashes), from Debian's source package"
  echo "    libtomcrypt $tomcrypt"
  echo "  libgcc's stack probe (___chkstk_ms), from gcc-mingw-w64 $(toolchain gcc-mingw-w64-x86-64-win32)"
  echo
  echo "Built on Debian $(. /etc/os-release && echo "$VERSION_ID") with g++-mingw-w64-x86-64-win32 $(toolchain g++-mingw-w64-x86-64-win32),"
  echo "binutils-mingw-w64-x86-64 $(toolchain binutils-mingw-w64-x86-64), mingw-w64-x86-64-dev $(toolchain mingw-w64-x86-64-dev)."
  echo
  echo "SHA256SUMS lists every file of the archive; check them with"
  echo "  sha256sum -c SHA256SUMS"
  echo "in the unpacked folder. To rebuild the archive and compare it byte for byte,"
  echo "see the README, \"Get Pelmar\"."
} >"$stage/RELEASE-NOTES.txt"
(cd "$stage" && find . -type f ! -name SHA256SUMS -printf '%P\n' | sort | xargs -d '\n' sha256sum >SHA256SUMS)
find "$stage" -type d -exec chmod 755 {} + -o -type f -exec chmod 644 {} +
find "$stage" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
zip_file="$dist/$name-windows-x64.zip"
# Members in byte order of their names, no directory entries, no extra
# fields (owner, Unix times): only the names, the commit's time and the modes.
(cd "$build/zip" && find "$name" -type f | sort | zip -X -D -9 -q "$zip_file" -@)

# --- The host tools' package -------------------------------------------------
# Debian's build flags (hardening included), the tree's folders mapped away.
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
export CXXFLAGS="$CXXFLAGS $CPPFLAGS" CFLAGS="$CFLAGS $CPPFLAGS"
cmake -S "$root" -B "$build/host" -G Ninja -DCMAKE_BUILD_TYPE=None -DPELMAR_TESTS=OFF -DPELMAR_BENCH=OFF \
  -DPELMAR_REPRODUCIBLE=ON >/dev/null
tools=(pelmar-prepare pelmar-mkimage pelmar-image)
cmake --build "$build/host" --parallel 2 --target "${tools[@]}" >/dev/null

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

(cd "$dist" && sha256sum "$(basename "$zip_file")" "$(basename "$deb_file")" >SHA256SUMS)
say "built $state:"
sed 's/^/  /' "$dist/SHA256SUMS"
