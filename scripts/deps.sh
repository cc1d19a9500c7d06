#!/usr/bin/env bash
# Installs the Debian packages Pelmar's build, tests and demo need, when they
# are missing; every script that installs packages does it through this one.
# Safe to run again and again; needs root (or sudo) only when something is
# missing.
#
#   scripts/deps.sh [GROUP]
#
# No GROUP: the host build, tests and demo. `windows`: those, and what the
# Wine cases (scripts/test-windows.sh) need besides the Windows build's own
# tools; `release`: the host's, and what scripts/release.sh needs besides
# them; `fuzz`: the host's, and clang with its libFuzzer runtime
# (scripts/fuzz.sh); `cross`: the Windows build's tools alone
# (scripts/build-windows.sh).
set -euo pipefail

HOST_PACKAGES=(
  g++ binutils cmake ninja-build pkg-config
  libtomcrypt-dev libgcrypt20-dev libssl-dev
  libgtest-dev googletest libbenchmark-dev
  dosfstools mtools ntfs-3g ntfs-3g-dev
)
case "${1:-}" in
  "") PACKAGES=("${HOST_PACKAGES[@]}") ;;
  windows) PACKAGES=("${HOST_PACKAGES[@]}" wine64 python3 wixl msitools) ;;
  # The archive, the package and its manual pages, the package's check, the
  # Windows Installer package (wixl; msitools' msiinfo and msidump for its
  # checks), the Authenticode signatures and the signed checksums; Wine runs
  # the package's msiexec in scripts/test-release.sh.
  release) PACKAGES=("${HOST_PACKAGES[@]}" zip unzip python3 python3-pefile debhelper help2man lintian wixl msitools
                     osslsigncode minisign openssl wine64) ;;
  fuzz) PACKAGES=("${HOST_PACKAGES[@]}" clang libclang-rt-14-dev) ;;
  # The mingw-w64 cross toolchain, CMake and Ninja, and what fetching and
  # unpacking LibTomCrypt's source package takes.
  cross)
    PACKAGES=(g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
              cmake ninja-build dpkg-dev xz-utils python3) ;;
  *) echo "deps: unknown group '$1' (windows, release, fuzz or cross)" >&2; exit 2 ;;
esac

missing=()
for package in "${PACKAGES[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "deps: installing ${missing[*]}"
run_as_root() {
  if [[ $(id -u) -eq 0 ]]; then "$@"
  elif command -v sudo >/dev/null; then sudo "$@"
  else echo "deps: need root to install ${missing[*]}" >&2; exit 1
  fi
}
export DEBIAN_FRONTEND=noninteractive
run_as_root apt-get update -qq
run_as_root apt-get install -y -qq --no-install-recommends "${missing[@]}"
