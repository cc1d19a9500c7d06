#!/usr/bin/env bash
# Installs the Debian packages Pelmar's build, tests and demo need, when they
# are missing. Safe to run again and again; needs root (or sudo) only when
# something is missing. `scripts/deps.sh windows` adds what the Wine cases
# (scripts/test-windows.sh) need besides the Windows build's own tools,
# `scripts/deps.sh release` what scripts/release.sh needs besides them.
set -euo pipefail

PACKAGES=(
  g++ binutils cmake ninja-build pkg-config
  libtomcrypt-dev libgcrypt20-dev libssl-dev
  libgtest-dev googletest libbenchmark-dev
  dosfstools mtools ntfs-3g ntfs-3g-dev
)
if [[ "${1:-}" == windows ]]; then
  PACKAGES+=(wine64 python3 wixl msitools)
fi
# scripts/release.sh: the archive, the package and its manual pages, the
# package's check, the Windows Installer package (wixl; msitools' msiinfo and
# msidump for its checks), the Authenticode signatures and the signed
# checksums; Wine runs the package's msiexec in scripts/test-release.sh.
if [[ "${1:-}" == release ]]; then
  PACKAGES+=(zip unzip python3 python3-pefile debhelper help2man lintian wixl msitools osslsigncode minisign
             openssl wine64)
fi

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
