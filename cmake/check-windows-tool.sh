#!/usr/bin/env bash
# Checks that a Windows tool of Pelmar's needs nothing beside it on Windows
# Server 2003 x64 / XP x64: a console program importing no DLL but the
# system's kernel32 and msvcrt (and advapi32 for the installer and the
# service, which use the registry, the service manager and the event log),
# and none of kernel32's calls that came with later systems
# (the ones the C and C++ runtimes reach for when they are there).
#
#   cmake/check-windows-tool.sh PROGRAM.exe
#
# Run by the Windows build after each tool's link; prints what the program
# imports, or exits non-zero saying what is wrong.
set -euo pipefail

tool=${1:?usage: check-windows-tool.sh PROGRAM.exe}
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
fail() { echo "check-windows-tool: FAIL: $*" >&2; exit 1; }

later_calls='^(GetTickCount64|(Initialize|Acquire|Release|TryAcquire)SRWLock.*|InitializeConditionVariable|'\
'SleepConditionVariable(CS|SRW)|Wake(All)?ConditionVariable|InitOnce.*|GetFileInformationByHandleEx|'\
'SetFileInformationByHandle|CreateSymbolicLink[AW]|GetFinalPathNameByHandle[AW]|Create(Event|Mutex|Semaphore)Ex[AW]|'\
'GetSystemTimePreciseAsFileTime|(CompareString|LCMapString|GetLocaleInfo|GetUserDefaultLocaleName)Ex|'\
'LocaleNameToLCID|QueryFullProcessImageName[AW]|CancelIoEx|GetQueuedCompletionStatusEx)$'

allowed="kernel32.dll msvcrt.dll "
[[ $tool != */pelmar-install.exe && $tool != */pelmar-service.exe ]] || allowed="advapi32.dll $allowed"
dump=$("$objdump" -p "$tool")
grep -q 'Subsystem.*(Windows CUI)' <<<"$dump" || fail "$tool is not a console program"
dlls=$(awk '/DLL Name:/ { print tolower($3) }' <<<"$dump" | sort -u | tr '\n' ' ')
[[ "$dlls" == "$allowed" ]] || fail "$tool imports from $dlls(only $allowed)"
calls=$(awk '/DLL Name:/ { dll = tolower($3) } dll == "kernel32.dll" && NF == 3 && $2 ~ /^[0-9]+$/ { print $3 }' <<<"$dump")
late=$(grep -E "$later_calls" <<<"$calls" || true)
[[ -z "$late" ]] || fail "$tool calls what Windows Server 2003 x64 lacks: $late"
echo "check-windows-tool: $tool: imports only from ${allowed% } ($(wc -l <<<"$calls") calls of kernel32.dll)"
