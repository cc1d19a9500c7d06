#!/usr/bin/env bash
# The Windows image on a second NT implementation: runs pelmar.exe under
# Wine (Debian's wine64), against the driver model tests/wine/fixtures/
# hosted by Wine's device host, through the table of cases in
# tests/wine/wine_cases.py, each compared with the same case on ntsim. See
# docs/windows.md, "Trying it under Wine".
#
# Installs what it needs (scripts/deps.sh windows), builds the Windows image
# and the fixtures (scripts/build-windows.sh) and the host programs the
# cases use, makes a private Wine prefix in build-windows/wine-prefix (once;
# later runs reuse it), installs and starts the driver model there, runs the
# cases and the installer's flow (pelmar-install.exe, then the boot from the
# line it wrote), and the Windows Installer package's flow (msiexec). Wine's
# processes are started under that prefix only, and its wineserver is
# stopped at the end.
# Exits non-zero when any case fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

say() { echo "test-windows: $*"; }
die() { echo "test-windows: FAIL: $*" >&2; exit 1; }

scripts/deps.sh windows
bash scripts/build-windows.sh >/dev/null
cmake --preset default >/dev/null
cmake --build --preset default -j 2 --target pelmar pelmar-mkimage pelmar-image pelmar-prepare pelmar-header-open >/dev/null

wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
[[ -x $wine ]] || die "no $wine (Debian's wine64 package)"
export WINEPREFIX="$root/build-windows/wine-prefix"
export WINEDEBUG=-all
# Wine turns its Unix command line into UTF-16 by the locale's character set;
# the cases pass characters beyond ASCII.
export LC_ALL=C.UTF-8
# No Mono or Gecko to offer, no display to offer it on.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
started=$(date +%s)

# Wine refuses a prefix that another user owns; CI runs as root, and the
# prefix is made by whoever runs this, so it is always the runner's own.
if [[ -e "$WINEPREFIX" && ! -O "$WINEPREFIX" ]]; then
  die "$WINEPREFIX belongs to another user"
fi
# One wineserver (and with it the device host and its driver) for the whole
# run, instead of one per program started: a server left from an earlier
# run of this prefix is stopped first, since a second one cannot start.
stop_wine() { "$wineserver" -k 2>/dev/null || true; "$wineserver" -w 2>/dev/null || true; }
trap stop_wine EXIT
stop_wine
if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
  say "making the Wine prefix $WINEPREFIX"
  "$wine" wineboot -i >/dev/null 2>&1 || die "wineboot -i failed"
  # wineboot returns before the new prefix's set-up has ended; wait for all
  # of it (and the registry written out) before the run's own server starts.
  "$wineserver" -w
fi
"$wineserver" -p || die "wineserver -p failed"

drive_c="$WINEPREFIX/drive_c"
# The Windows tools go alone into C:\, with no DLL beside them.
cp build-windows/pelmar.exe build-windows/pelmar-mkimage.exe build-windows/pelmar-image.exe \
  build-windows/pelmar-install.exe build-windows/pelmar-service.exe build-windows/wine/pelmar-launch.exe build-windows/wine/pelmar-hold.exe \
  build-windows/wine/pelmar-mount.exe build-windows/wine/pelmar-reglink.exe build-windows/wine/pelmar-define.exe \
  build-windows/wine/pelmar-key-access.exe "$drive_c/"
cp build-windows/wine/pelmar-tc-model.sys "$drive_c/windows/system32/drivers/"

reg() { "$wine" reg "$@" >/dev/null; }
# The kernel service of the driver model (Type 1, Start 3: started by the
# cases, with sc start). Made through the service manager, which reads the
# registry's services only when it starts.
if ! "$wine" sc query PelmarTcModel >/dev/null 2>&1; then
  "$wine" sc create PelmarTcModel type= kernel start= demand error= normal \
    binPath= '\SystemRoot\System32\drivers\pelmar-tc-model.sys' >/dev/null || die "sc create PelmarTcModel failed"
fi
# The calls whose order the cases compare; the relay log of everything else
# (memcpy and the like, millions of calls) would only slow the run down.
relayed=(NtCreateFile NtReadFile NtWriteFile NtQueryInformationFile NtSetInformationFile NtDeviceIoControlFile
         NtFsControlFile NtClose NtQuerySystemInformation NtCreateEvent NtWaitForSingleObject NtTerminateProcess
         DbgBreakPoint RtlCreateHeap)
reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /t REG_SZ /d "$(printf 'ntdll.%s;' "${relayed[@]}")" /f
# An unhandled breakpoint ends the process instead of starting winedbg.
"$wine" reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f >/dev/null 2>&1 || true

# The Windows Installer packages of this build, of its version and of a
# lower one (the same programs), for the package's flow: made as
# scripts/release.sh makes them (packaging/msi/build-msi.sh).
version=$(head -n1 VERSION)
IFS=. read -r major minor patch <<<"$version"
if ((patch > 0)); then lower="$major.$minor.$((patch - 1))"
elif ((minor > 0)); then lower="$major.$((minor - 1)).0"
else lower="$((major - 1)).99.0"
fi
msi="$root/build-windows/msi"
rm -rf "$msi" && mkdir -p "$msi/files"
cp LICENSE "$msi/files/LICENSE.txt"
echo "Pelmar, built for the Wine cases" >"$msi/files/RELEASE-NOTES.txt"
for v in "$lower" "$version"; do
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct HEAD) packaging/msi/build-msi.sh "$v" "$(git rev-parse HEAD)" \
    build-windows "$msi/files" build-windows/pelmar-msi-action.dll "$msi/pelmar-$v-x64.msi"
done

# --- The cases ---------------------------------------------------------------
work="$root/build-windows/wine-cases"
rm -rf "$work"
set +e
python3 tests/wine/wine_cases.py --ntsim build/pelmar --mkimage build/pelmar-mkimage \
  --image build/pelmar-image --prepare build/pelmar-prepare \
  --header-open build/tests/wine/pelmar-header-open --wine "$wine" --prefix "$WINEPREFIX" \
  --work "$work" --known tests/wine/known-differences.txt \
  --msi "$msi/pelmar-$lower-x64.msi" "$msi/pelmar-$version-x64.msi" --msi-programs build-windows "$@"
status=$?
set -e
say "Wine part took $(( $(date +%s) - started )) s; each case's files are in $work"
exit $status
