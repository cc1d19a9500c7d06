#!/usr/bin/env bash
# Builds the Windows image, build-windows/pelmar.exe: native subsystem,
# x86-64, importing only ntdll.dll, with no C runtime and LibTomCrypt linked
# in statically. Then checks the image (cmake/check-native-image.sh) and
# prints what it is. See docs/windows.md.
#
# Installs what it needs from Debian's packages when it is missing (the
# mingw-w64 cross toolchain, CMake, Ninja, dpkg-dev) and fetches Debian's
# LibTomCrypt 1.18.2 source package into build-windows/ the first time,
# through a deb-src entry of its own. Safe to run again and again; needs root
# (or sudo) only when something has to be installed or fetched.
#
#   scripts/build-windows.sh [BUILD_DIR]     (default: build-windows)
#
# PELMAR_TOMCRYPT_DOWNLOAD=DIR: a folder holding the source package's files
# as an earlier run fetched them (BUILD_DIR/libtomcrypt-download); they are
# used instead of a new download once each matches the SHA-256 sum in apt's
# signed index of source packages (scripts/release.sh's repeated builds).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath -m "${1:-$root/build-windows}")
tomcrypt_src="$build/libtomcrypt"
tomcrypt_version=1.18.2

say() { echo "build-windows: $*"; }
die() { echo "build-windows: FAIL: $*" >&2; exit 1; }
run_as_root() {
  if [[ $(id -u) -eq 0 ]]; then "$@"
  elif command -v sudo >/dev/null; then sudo "$@"
  else die "need root to run: $*"
  fi
}
export DEBIAN_FRONTEND=noninteractive

# --- The tools -------------------------------------------------------------
"$root/scripts/deps.sh" cross

# --- LibTomCrypt's source, from Debian's source package --------------------
if [[ ! -f "$tomcrypt_src/src/headers/tomcrypt.h" ]]; then
  # shellcheck source=/dev/null
  . /etc/os-release
  codename=${VERSION_CODENAME:?no VERSION_CODENAME in /etc/os-release}
  list=/etc/apt/sources.list.d/pelmar-deb-src.sources
  if ! apt-cache showsrc libtomcrypt 2>/dev/null | grep -q "^Version: $tomcrypt_version-"; then
    if [[ ! -f "$list" ]]; then
      say "adding Debian's source packages ($codename main) as $list"
      printf '%s\n' 'Types: deb-src' 'URIs: http://deb.debian.org/debian' "Suites: $codename" \
        'Components: main' 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' \
        | run_as_root tee "$list" >/dev/null
    fi
    run_as_root apt-get update -qq
  fi
  version=$(apt-cache showsrc libtomcrypt | awk '/^Version:/ { print $2 }' | grep "^$tomcrypt_version-" | sort -V | tail -1)
  [[ -n "$version" ]] || die "Debian has no libtomcrypt $tomcrypt_version source package here"
  download="$build/libtomcrypt-download"
  rm -rf "$download" "$tomcrypt_src"
  mkdir -p "$download"
  fetched=${PELMAR_TOMCRYPT_DOWNLOAD:-}
  if [[ -n "$fetched" && -f "$fetched/libtomcrypt_$version.dsc" ]]; then
    say "using Debian's source package libtomcrypt $version from $fetched"
    # The index's files and sums of this version: each copied file must match.
    apt-cache showsrc libtomcrypt | awk -v dsc="libtomcrypt_$version.dsc" '
      /^Package:/ { if (found) exit; sums = ""; found = 0 }
      /^Checksums-Sha256:/ { on = 1; next }
      /^[^ ]/ { on = 0 }
      on && NF == 3 { sums = sums $1 "  " $3 "\n"; if ($3 == dsc) found = 1 }
      END { if (found) printf "%s", sums }' >"$download/SHA256SUMS"
    [[ -s "$download/SHA256SUMS" ]] || die "apt's index lists no files of libtomcrypt $version"
    while read -r _ file; do cp "$fetched/$file" "$download/" || die "$fetched has no $file"; done <"$download/SHA256SUMS"
    (cd "$download" && sha256sum --quiet -c SHA256SUMS) || die "$fetched does not hold the files apt's index names"
  else
    say "fetching Debian's source package libtomcrypt $version"
    (cd "$download" && apt-get source -qq -o APT::Sandbox::User=root --download-only "libtomcrypt=$version")
  fi
  dsc=$(ls "$download"/libtomcrypt_*.dsc)
  # Unpacks and applies Debian's patches. apt has checked the files against
  # the archive's signed index; dpkg-source's own check of the uploader's
  # signature needs a keyring that is usually not installed, so its
  # complaint about that is only shown when unpacking fails.
  if ! unpack_log=$(dpkg-source -x "$dsc" "$tomcrypt_src" 2>&1); then
    echo "$unpack_log" >&2
    die "cannot unpack $dsc"
  fi
  [[ -f "$tomcrypt_src/src/headers/tomcrypt.h" ]] || die "unpacking $dsc gave no LibTomCrypt tree"
fi

# --- The image -------------------------------------------------------------
cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPELMAR_TOMCRYPT_SOURCE_DIR="$tomcrypt_src" >/dev/null
cmake --build "$build" --parallel 2

# --- Checks ----------------------------------------------------------------
image="$build/pelmar.exe"
# LibTomCrypt as built here calls nothing outside itself but what ntdll
# exports; the image check below sees the same from the import table, this
# names the culprit if it ever does not.
allowed='^(memcpy|memcmp|memset|memmove|strlen|___chkstk_ms)$'
tomcrypt_lib="$build/libpelmar_tomcrypt.a"
defined=$(x86_64-w64-mingw32-nm --defined-only "$tomcrypt_lib" | awk 'NF == 3 { print $3 }' | sort -u)
stray=$(x86_64-w64-mingw32-nm -u "$tomcrypt_lib" | awk 'NF == 2 { print $2 }' | sort -u \
        | comm -23 - <(echo "$defined") | grep -Ev "$allowed" || true)
[[ -z "$stray" ]] || die "LibTomCrypt as built calls beyond ntdll: $stray"

"$root/cmake/check-native-image.sh" "$image" "$build/pelmar.map"
say "built $image"

# The tools (tools/CMakeLists.txt): the build has checked what each imports
# (cmake/check-windows-tool.sh); the same check again says it here.
for tool in "$build"/pelmar-mkimage.exe "$build"/pelmar-image.exe "$build"/pelmar-install.exe \
            "$build"/pelmar-service.exe; do
  report=$("$root/cmake/check-windows-tool.sh" "$tool") || die "$tool is not what Windows Server 2003 x64 runs"
  say "built $tool: ${report#*: *: }"
done

# The Windows Installer package's custom action: a DLL that runs inside
# msiexec on the same systems, importing only kernel32.dll, msi.dll and
# msvcrt.dll, and exporting its one entry.
action="$build/pelmar-msi-action.dll"
dump=$(x86_64-w64-mingw32-objdump -p "$action")
dlls=$(awk '/DLL Name:/ { print tolower($3) }' <<<"$dump" | sort -u | tr '\n' ' ')
[[ "$dlls" == "kernel32.dll msi.dll msvcrt.dll " ]] || die "$action imports from $dlls(only kernel32.dll msi.dll msvcrt.dll)"
grep -q '\] PelmarRun$' <<<"$dump" || die "$action does not export PelmarRun"
say "built $action: imports only from ${dlls% }"
