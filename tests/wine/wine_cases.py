#!/usr/bin/env python3
"""The Wine cases: each case runs the same command line over the same
starting files on ntsim (build/pelmar) and under Wine (pelmar.exe started by
pelmar-launch.exe, against the driver model pelmar-tc-model.sys in Wine's
device host), compares the two runs (boot screen, debugger output, order of
the native calls, exit status) after removing only what
known-differences.txt lists, and checks what the Wine run left behind
(container header, the rest of the container, the driver's backing file,
the image file).

Started by scripts/test-windows.sh, which builds everything, makes the Wine
prefix and starts its wineserver; this script starts and stops only the
driver service and the programs of each case, inside that prefix.
"""
import argparse
import contextlib
import os
import re
import shutil
import signal
import subprocess
import sys
import sqlite3
import time
import zipfile
from dataclasses import dataclass, field
from pathlib import Path

VOLUME_BYTES = 1024 * 1024
SERVICE = "PelmarTcModel"
SERVICE_KEY = r"HKLM\System\CurrentControlSet\Services" + "\\" + SERVICE

# Outcomes, by what the run must leave behind.
RESTORED = "restored"      # mounted, image restored, drive kept
DISMOUNTED = "dismounted"  # mounted, restore failed, dismounted again
REFUSED = "refused"        # header written, mount refused by the driver
REKEYED = "rekeyed"        # header written, the driver never asked to mount
NO_CONTAINER = "no container"
UNTOUCHED = "untouched"    # the container is exactly as it was


@dataclass
class Case:
    name: str
    words: list
    outcome: str
    prf: int = 2
    ea: int = 1
    ntsim: list = field(default_factory=list)    # stand-in options that make the same situation
    service: dict = field(default_factory=dict)  # driver model settings under Wine
    hold_share: int = -1                         # another process holds the container (share access)
    image_bytes: int | None = None               # the image cut to that many bytes
    written: int = 0                             # sectors a failed restore writes before it fails
    report: str = ""                             # a line the boot screen must show on both


CASES = [
    Case("defaults", ["pelmar"], RESTORED),
    Case("ATS w 3 k", ["pelmar", "ATS", "w", "3", "k"], RESTORED, prf=3, ea=8),
    Case("B r 2 T", ["pelmar", "B", "r", "2", "T"], RESTORED, prf=1, ea=2),
    Case("D", ["pelmar", "D"], RESTORED, ea=5),
    Case("missing container", ["pelmar", "A", "s", "1", "T", r"c:\absent.tc"], NO_CONTAINER),
    Case("missing image", ["pelmar", "A", "s", "1", "T", r"c:\pelmar.tc", r"c:\absent.img"], DISMOUNTED),
    # Cut inside the data sector of the run that follows the first sector's
    # entry (header, entry sector, then data from 1,024): the short read
    # fails without a word from the I/O layer, the restore says why.
    Case("truncated image", ["pelmar"], DISMOUNTED, image_bytes=1536 + 100, written=1,
         report="Cannot read image data sector!"),
    Case("driver version 0x500", ["pelmar"], REKEYED, ntsim=["--driver-version", "0x500"],
         service={"Version": 0x500}),
    # ntsim's model refuses a letter in use with 4; the Wine model is told to.
    Case("mount refused", ["pelmar"], REFUSED, ntsim=["--disk", "T:={work}/in-use.raw"], service={"MountResult": 4}),
    Case("drive letter in use", ["pelmar", "A", "s", "1", "C"], REFUSED),
    # On ntsim no other process exists: the container's opens are made to
    # fail as another process's open makes them fail.
    Case("container held without sharing", ["pelmar"], UNTOUCHED,
         ntsim=["--fail", "NtCreateFile:1=0xC0000043", "--fail", "NtCreateFile:3=0xC0000043"], hold_share=0),
    Case("container held by a reader that shares", ["pelmar"], UNTOUCHED,
         ntsim=["--fail", "NtCreateFile:3=0xC0000043"], hold_share=3),
    Case("debugger break", ["pelmar", "S", "s", "1", "T", "dbg"], UNTOUCHED),
    # Characters outside the ANSI code page reach the echo as their best fit
    # ("AlA"), the same on both.
    Case("characters outside the code page", ["pelmar", "A", "s", "1", "T", r"c:\pelmar.tc", r"c:\pelmar.img",
                                              "\u0100\u0142\uff21"], RESTORED),
]

# Captures of a mounted drive by pelmar-mkimage.exe: the driver model mounts
# a prepared file system (made on the host, its plaintext the model's
# backing file) on X:, from a container whose size gives the drive's
# geometry. CAPTURED: the image equals the host pelmar-mkimage's of the same
# file system, byte for byte; otherwise the capture is refused with the
# message given and makes no image.
CAPTURED = ""


@dataclass
class CaptureCase:
    name: str
    fs: str                    # "fat32" or "ntfs"
    drive: str                 # as given to pelmar-mkimage.exe
    refusal: str = CAPTURED
    short_sectors: int = 0     # the drive this much smaller than its file system


CAPTURE_CASES = [
    CaptureCase("capture FAT32 from X:", "fat32", "X:"),
    CaptureCase(r"capture NTFS from \\.\X:", "ntfs", r"\\.\X:"),
    CaptureCase("capture of a file system larger than its drive", "fat32", "x:", short_sectors=8,
                refusal="the file system on x: claims "),
    # A user's own folder (what Wine cannot show: other users' rights on a
    # folder the root gives them, the host's test through the same rule).
    CaptureCase("capture of NTFS with a folder a user may redirect", "ntfs-user-folder", "X:",
                refusal="\\Temp\\S-1-5-21-1-2-3-1001: owned by S-1-5-21-1-2-3-1001"),
]
CAPTURE_BYTES = {"fat32": 40 * 1024 * 1024, "ntfs": 24 * 1024 * 1024, "ntfs-user-folder": 8 * 1024 * 1024}
FSCTL_LOCK, FSCTL_UNLOCK = 0x00090018, 0x0009001C

COMPARED_CALLS = {
    "RtlCreateHeap", "NtQuerySystemInformation", "NtCreateFile", "NtReadFile", "NtWriteFile",
    "NtQueryInformationFile", "NtSetInformationFile", "NtDeviceIoControlFile", "NtFsControlFile", "NtClose",
    "NtCreateEvent", "NtWaitForSingleObject", "DbgBreakPoint", "NtTerminateProcess",
}
# What Wine's relay log shows of each compared call: argument positions.
RELAY_ARGUMENTS = {
    "NtCreateFile": [("access", 1), ("attributes", 5), ("share", 6), ("disposition", 7), ("options", 8)],
    "NtDeviceIoControlFile": [("code", 5)],
    "NtFsControlFile": [("code", 5)],
    "NtQuerySystemInformation": [("class", 0), ("length", 2)],
    "NtReadFile": [("length", 6)],
    "NtWriteFile": [("length", 6)],
    "NtQueryInformationFile": [("class", 4), ("length", 3)],
    "NtSetInformationFile": [("class", 4), ("length", 3)],
    "NtCreateEvent": [("access", 1), ("type", 3)],
    "NtTerminateProcess": [("status", 1)],
}
HEX_ARGUMENTS = {"access", "attributes", "share", "options", "code", "status"}


def fail(message):
    raise AssertionError(message)


# --- Known differences -------------------------------------------------------

def load_differences(path):
    entries, entry, key = [], None, None
    for raw in Path(path).read_text().splitlines():
        if raw.startswith("#") or not raw.strip():
            continue
        if raw.startswith("  ") and entry is not None and key:
            entry[key] += " " + raw.strip()
            continue
        key, _, value = raw.partition(":")
        key, value = key.strip(), value.strip()
        if key == "difference":
            entry = {"difference": value, "wine-report": [], "wine-status": [], "install-problem": []}
            entries.append(entry)
        elif key in ("wine-report", "wine-status", "install-problem"):
            entry[key].append(re.compile(value))
        else:
            entry[key] = value
    for e in entries:
        for required in ("case", "reason"):
            if required not in e:
                fail(f"known difference '{e['difference']}' has no {required}")
        if e["case"] not in {c.name for c in CASES} | {INSTALL_CASE}:
            fail(f"known difference '{e['difference']}' names no case of the table: {e['case']}")
    return entries


# --- Reading the two runs ----------------------------------------------------

def number(text):
    text = text.strip()
    return int(text, 16) if text.startswith(("0x", "-0x")) else int(text)


def unescape(text, hex_digits):
    """The escapes of ntsim's trace (\\xNN) and of Wine's debugstr_w (\\xNNNN,
    and octal): \\n \\r \\t \\\\ \\" and character codes."""
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            n = text[i + 1]
            if n == "x":
                j = i + 2
                while j < len(text) and j < i + 2 + hex_digits and text[j] in "0123456789abcdefABCDEF":
                    j += 1
                out.append(chr(int(text[i + 2:j], 16)))
                i = j
                continue
            if n.isdigit():
                out.append(chr(int(text[i + 1:i + 4], 8)))
                i += 4
                continue
            out.append({"n": "\n", "r": "\r", "t": "\t"}.get(n, n))
            i += 2
            continue
        out.append(c)
        i += 1
    return "".join(out)


TRACE_LINE = re.compile(r"^(\w+)#\d+\((.*)\) = (\S+)")
TRACE_ARGUMENT = re.compile(r'(\w+)=("(?:[^"\\]|\\.)*"|[^,]*)(?:, |$)')


def read_ntsim(trace):
    calls, screen, debug, status = [], [], [], None
    for line in Path(trace).read_text(errors="replace").splitlines():
        m = TRACE_LINE.match(line)
        if not m:
            s = re.match(r"process ended: status (0x[0-9a-f]+)", line)
            if s:
                status = int(s.group(1), 16)
            continue
        name, arguments, result = m.groups()
        args = {k: v for k, v in TRACE_ARGUMENT.findall(arguments)}
        if name == "NtDisplayString":
            screen.append(unescape(args["text"][1:-1], 2))
        elif name == "DbgPrint":
            debug.append(unescape(args["text"][1:-1], 2))
        if name in COMPARED_CALLS:
            shown = {k: number(args[k]) for k, _ in RELAY_ARGUMENTS.get(name, []) if k in args}
            if name == "NtTerminateProcess":
                result = None
            calls.append(call_text(name, shown, None if result in (None, "void") or name == "RtlCreateHeap"
                                   else number(result)))
    return {"calls": calls, "screen": screen, "debug": debug, "status": status}


def call_text(name, arguments, result):
    parts = [name]
    for key, value in arguments.items():
        parts.append(f"{key}=0x{value:08x}" if key in HEX_ARGUMENTS else f"{key}={value}")
    text = " ".join(parts)
    return text if result is None else f"{text} -> 0x{result & 0xffffffff:08x}"


# Calls made by pelmar.exe itself (loaded at its preferred base).
IMAGE_BASE, IMAGE_END = 0x140000000, 0x150000000
WINE_LINE = re.compile(r"^([0-9a-f]{4}):(.*)$")
DEBUGSTR = "warn:debugstr:vDbgPrintExWithPrefix 00000000:00000001: "
RELAY_CALL = re.compile(r"^Call ntdll\.(\w+)\((.*)\) ret=([0-9a-f]+)$")
RELAY_RET = re.compile(r"^Ret  ntdll\.(\w+)\(\) retval=([0-9a-f]+) ret=([0-9a-f]+)$")


def read_wine(log, thread):
    """The process's lines of Wine's log: relay calls from pelmar.exe's image,
    the boot screen (NtDisplayString's messages), the debug channel."""
    calls, screen, debug = [], [], []
    pending = None
    record = None
    lines = Path(log).read_text(errors="replace").split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    for line in lines:
        m = WINE_LINE.match(line)
        if not m:
            if record is not None:
                record.append(line)
            continue
        if record is not None:
            debug.append("\n".join(record) + "\n")
            record = None
        if m.group(1) != thread:
            continue
        rest = m.group(2)
        if rest.startswith(DEBUGSTR):
            record = [rest[len(DEBUGSTR):]]
            continue
        if rest.startswith('err:ntdll:NtDisplayString L"'):
            screen.append(unescape(rest[len('err:ntdll:NtDisplayString L"'):-1], 4))
            continue
        c = RELAY_CALL.match(rest)
        if c and c.group(1) in COMPARED_CALLS and IMAGE_BASE <= int(c.group(3), 16) < IMAGE_END:
            name, arguments = c.group(1), c.group(2).split(",")
            shown = {k: int(arguments[i], 16) & 0xffffffff for k, i in RELAY_ARGUMENTS.get(name, [])}
            if name in ("DbgBreakPoint", "NtTerminateProcess"):
                calls.append(call_text(name, shown, None))
            else:
                pending = (name, shown)
            continue
        r = RELAY_RET.match(rest)
        if r and pending and r.group(1) == pending[0]:
            calls.append(call_text(pending[0], pending[1],
                                   None if pending[0] == "RtlCreateHeap" else int(r.group(2), 16)))
            pending = None
    if record is not None:
        debug.append("\n".join(record) + "\n")
    return {"calls": calls, "screen": screen, "debug": debug}


# --- Comparing them ----------------------------------------------------------

def drop_reports(records, differences, fired, ends_line=False):
    """Removes the reports the differences name, each with the newline
    record that follows it. ends_line: the records are debug-channel
    messages, each ended with a newline by the channel."""
    out, skip_newline = [], False
    for text in records:
        if skip_newline and text == "\n":
            skip_newline = False
            continue
        skip_newline = False
        bare = text[:-1] if ends_line and text.endswith("\n") else text
        matched = [d for d in differences for p in d["wine-report"] if p.fullmatch(bare)]
        if matched:
            for d in matched:
                fired.add(d["difference"])
            skip_newline = True
            continue
        out.append(text)
    return out


def strip_result(call):
    return call.split(" -> ")[0]


def compare_lists(what, ntsim, wine):
    if ntsim == wine:
        return []
    i = 0
    while i < min(len(ntsim), len(wine)) and ntsim[i] == wine[i]:
        i += 1
    show = lambda items: "\n      ".join(repr(x) for x in items[max(0, i - 2):i + 3]) or "(end)"
    return [f"{what} differ at entry {i + 1}:\n    ntsim:\n      {show(ntsim)}\n    wine:\n      {show(wine)}"]


def compare_runs(case, nt, wi, differences, fired):
    problems = []
    breaks = case.words[-1].lower() == "dbg"
    break_rule = next((d for d in differences if "wine-break-ends-run" in d), None)
    nt_screen, nt_debug, nt_calls = nt["screen"], nt["debug"], nt["calls"]
    expected_status = nt["status"]
    if breaks and break_rule:
        fired.add(break_rule["difference"])
        cut = nt_calls.index("DbgBreakPoint") + 1 if "DbgBreakPoint" in nt_calls else len(nt_calls)
        nt_calls, nt_screen, nt_debug = nt_calls[:cut], [], []
        expected_status = number(break_rule["wine-break-ends-run"])

    reported = set()
    wi_screen = drop_reports(wi["screen"], differences, reported)
    ends_line = any("debugger-record-ends-line" in d for d in differences)
    wi_debug = drop_reports(wi["debug"], differences, set(), ends_line)
    fired.update(reported)
    if ends_line:
        changed = [t for t in nt_debug if not t.endswith("\n")]
        nt_debug = [t if t.endswith("\n") else t + "\n" for t in nt_debug]
        if changed:
            fired.update(d["difference"] for d in differences if "debugger-record-ends-line" in d)
    problems += compare_lists("boot screens", nt_screen, wi_screen)
    problems += compare_lists("debugger outputs", nt_debug, wi_debug)

    wi_calls = list(wi["calls"])
    pause = ["NtCreateEvent", "NtWaitForSingleObject", "NtClose"]
    nt_paused = [strip_result(c).split()[0] for c in nt_calls[-4:-1]] == pause
    wi_paused = [strip_result(c).split()[0] for c in wi_calls[-4:-1]] == pause
    if wi_paused and not nt_paused and any("wine-pause" in d and d["difference"] in reported for d in differences):
        del wi_calls[-4:-1]
    loose = [p for d in differences for p in d["wine-status"]]
    for i, call in enumerate(wi_calls):
        if i < len(nt_calls) and any(p.fullmatch(strip_result(call)) for p in loose) and \
                strip_result(call) == strip_result(nt_calls[i]):
            if call != nt_calls[i]:
                fired.update(d["difference"] for d in differences
                             if any(p.fullmatch(strip_result(call)) for p in d["wine-status"]))
            wi_calls[i] = nt_calls[i]
    problems += compare_lists("native calls", nt_calls, wi_calls)
    if wi["status"] != expected_status:
        problems.append(f"native exit status: ntsim 0x{nt['status']:08x}, expected under Wine 0x{expected_status:08x}, "
                        f"Wine 0x{wi['status']:08x}")
    return problems


# --- What the Wine run left behind -------------------------------------------

def read_driver_log(path):
    entries = []
    if path.exists():
        for line in path.read_text().splitlines():
            word, _, data = line.partition(" ")
            entries.append((word, bytes.fromhex(data)))
    return entries


def header_opens(tool, container, password):
    r = subprocess.run([tool, str(container), password.hex()], capture_output=True, text=True)
    if r.returncode == 2:
        fail(f"pelmar-header-open: {r.stderr.strip()}")
    return r.stdout.strip() if r.returncode == 0 else None


def check_leftovers(case, env, log, wine_fsctls, start_password):
    problems = []
    c = env.drive_c
    container, start = c / "pelmar.tc", env.work / "start.tc"
    mounts = [data for word, data in log if word == "mount"]
    results = [int.from_bytes(data, "little") for word, data in log if word == "mount-result"]
    dismounts = [data for word, data in log if word == "dismount"]
    expect_mount = case.outcome in (RESTORED, DISMOUNTED, REFUSED)
    if len(mounts) != (1 if expect_mount else 0):
        problems.append(f"the driver model saw {len(mounts)} mount requests")
    if case.outcome == NO_CONTAINER:
        if (c / "absent.tc").exists():
            problems.append("a container was created")
    if case.outcome in (UNTOUCHED, NO_CONTAINER):
        if container.read_bytes() != start.read_bytes():
            problems.append("the container changed")
    else:
        now, before = container.read_bytes(), start.read_bytes()
        if now[512:] != before[512:] or len(now) != len(before):
            problems.append("the container's bytes after the header changed")
        if header_opens(env.header_open, container, start_password):
            problems.append("the old password still opens the header")
    if mounts and expect_mount:
        request = mounts[0]
        length = int.from_bytes(request[524:528], "little")
        password = request[528:528 + length]
        opened = header_opens(env.header_open, container, password)
        if opened != f"prf {case.prf} ea {case.ea}":
            problems.append(f"the logged password opens the header as {opened!r}, asked prf {case.prf} ea {case.ea}")
        if results != [4 if case.outcome == REFUSED else 0]:
            problems.append(f"mount results {results}")
    if len(dismounts) != (1 if case.outcome == DISMOUNTED else 0):
        problems.append(f"the driver model saw {len(dismounts)} dismount requests")
    backing = c / "pelmar-tc-volume.raw"
    if case.outcome == RESTORED:
        if not backing.exists() or backing.read_bytes() != env.fat.read_bytes():
            problems.append("the backing file differs from the prepared FAT file system")
        else:
            r = subprocess.run(["fsck.fat", "-n", str(backing)], capture_output=True, text=True)
            if r.returncode != 0:
                problems.append(f"fsck.fat -n: {r.stdout.strip()}")
    elif case.outcome == DISMOUNTED:
        written = case.written * 512
        volume = backing.read_bytes() if backing.exists() else b""
        if volume[:written] != env.fat.read_bytes()[:written] or volume[written:].count(0) != VOLUME_BYTES - written:
            problems.append(f"the failed restore did not write exactly the first {case.written} sectors")
    elif backing.exists():
        problems.append("a volume was made")
    if (c / "pelmar.img").read_bytes() != env.image.read_bytes()[:case.image_bytes]:
        problems.append("the image file changed")
    never = next((d["driver-never-sees"] for d in env.differences if "driver-never-sees" in d), "")
    never = {number(x) for x in never.split()}
    driver_fsctls = [int.from_bytes(data, "little") for word, data in log if word == "fsctl"]
    expected = [code for code in wine_fsctls if code not in never]
    if driver_fsctls != expected:
        problems.append(f"volume controls at the driver {[hex(x) for x in driver_fsctls]}, "
                        f"expected {[hex(x) for x in expected]}")
    if any(code in never for code in wine_fsctls):
        env.fired.update(d["difference"] for d in env.differences if "driver-never-sees" in d)
    return problems


# --- Running a case ----------------------------------------------------------

class Bench:
    def __init__(self, args):
        self.args = args
        self.work = Path(args.work)
        self.prefix = Path(args.prefix)
        self.drive_c = self.prefix / "drive_c"
        self.header_open = args.header_open
        self.differences = load_differences(args.known)
        self.fired = set()
        self.wine_env = dict(os.environ, WINEPREFIX=str(self.prefix), WINEDEBUG="-all",
                             WINEDLLOVERRIDES="mscoree,mshtml=")
        self.wine_env.pop("DISPLAY", None)

    def wine(self, *words, debug="-all", check=True, timeout=120):
        # A program that hangs fails its case rather than the whole run.
        env = dict(self.wine_env, WINEDEBUG=debug)
        for _ in range(3):
            r = subprocess.run([self.args.wine, *words], env=env, capture_output=True, text=True, timeout=timeout,
                               stdin=subprocess.DEVNULL)
            # Now and then Wine's loader finds the fixed address of the shared
            # user data taken by the host's address-space randomisation; the
            # program never started, so it is started again.
            if "failed to map the shared user data" not in r.stderr:
                break
        if check and r.returncode != 0:
            fail(f"wine {' '.join(words)}: exit {r.returncode}\n{r.stdout}{r.stderr[-2000:]}")
        return r

    def service_settings(self, settings):
        for name in ("Version", "MountResult"):
            if name in settings:
                self.wine("reg", "add", SERVICE_KEY, "/v", name, "/t", "REG_DWORD", "/d", str(settings[name]), "/f")
            else:
                self.wine("reg", "delete", SERVICE_KEY, "/v", name, "/f", check=False)

    def restart_driver(self):
        self.wine("sc", "stop", SERVICE, check=False)
        for _ in range(50):
            if "STOPPED" in self.wine("sc", "query", SERVICE, check=False).stdout:
                break
            time.sleep(0.1)
        for _ in range(50):
            # The service manager refuses while it is still busy with the
            # prefix's own services (ERROR_SERVICE_DATABASE_LOCKED).
            r = self.wine("sc", "start", SERVICE, check=False, debug="err+sc")
            if "RUNNING" in r.stdout or "1055" not in r.stderr:
                break
            time.sleep(0.2)
        if "RUNNING" not in r.stdout:
            fail(f"the driver model does not start:\n{r.stdout}{r.stderr[-2000:]}")

    def prepare(self):
        """The starting files: a FAT file system, its image, and a container
        whose header a first ntsim run has sealed (so the password that
        opened it before a case is known)."""
        self.work.mkdir(parents=True, exist_ok=True)
        self.fat = self.work / "scratch.raw"
        self.image = self.work / "pelmar.img"
        subprocess.run(["mkfs.fat", "-C", "-n", "SCRATCH", str(self.fat), str(VOLUME_BYTES // 1024)],
                       check=True, capture_output=True)
        note = self.work / "readme.txt"
        note.write_text("This drive is new at every boot.\n")
        subprocess.run(["mcopy", "-i", str(self.fat), str(note), "::/README.TXT"], check=True)
        subprocess.run([self.args.mkimage, str(self.fat), str(self.image)], check=True, capture_output=True)
        root = self.work / "prepare"
        shutil.rmtree(root, ignore_errors=True)
        (root / "c").mkdir(parents=True)
        (root / "c" / "pelmar.tc").write_bytes(os.urandom(512 + VOLUME_BYTES))
        shutil.copy(self.image, root / "c" / "pelmar.img")
        subprocess.run([self.args.ntsim, "--root", str(root), "--trace", str(root / "trace"), "--time-scale", "0",
                        "--", "pelmar"], check=True, capture_output=True)
        shutil.copy(root / "c" / "pelmar.tc", self.work / "start.tc")
        request = next(line for line in (root / "trace").read_text().splitlines()
                       if line.startswith("NtDeviceIoControlFile") and "code=0x00072000" in line)
        data = bytes.fromhex(re.search(r"input=([0-9a-f]+)", request).group(1))
        self.start_password = data[528:528 + int.from_bytes(data[524:528], "little")]
        if header_opens(self.header_open, self.work / "start.tc", self.start_password) is None:
            fail("the prepared container does not open with its password")
        (self.work / "in-use.raw").write_bytes(bytes(VOLUME_BYTES))

    def run_ntsim(self, case, folder):
        root = folder / "ntsim"
        (root / "c").mkdir(parents=True)
        shutil.copy(self.work / "start.tc", root / "c" / "pelmar.tc")
        (root / "c" / "pelmar.img").write_bytes(self.image.read_bytes()[:case.image_bytes])
        options = [o.replace("{work}", str(self.work)) for o in case.ntsim]
        with open(folder / "ntsim.screen", "wb") as screen:
            subprocess.run([self.args.ntsim, "--root", str(root), "--trace", str(folder / "ntsim.trace"),
                            "--debug-log", str(folder / "ntsim.debug"), "--time-scale", "0", *options, "--",
                            *case.words], stdout=screen, stderr=subprocess.DEVNULL)
        run = read_ntsim(folder / "ntsim.trace")
        # The records the comparison uses are the trace's; they must add up
        # to what the stand-in showed.
        if "".join(run["screen"]) != (folder / "ntsim.screen").read_text() or \
                "".join(run["debug"]) != (folder / "ntsim.debug").read_text():
            fail("ntsim's trace disagrees with its boot screen or debugger output")
        return run

    def run_wine(self, case, folder):
        c = self.drive_c
        for name in ("pelmar-tc-model.log", "pelmar-tc-volume.raw", "absent.tc", "release"):
            (c / name).unlink(missing_ok=True)
        shutil.copy(self.work / "start.tc", c / "pelmar.tc")
        (c / "pelmar.img").write_bytes(self.image.read_bytes()[:case.image_bytes])
        self.service_settings(case.service)
        self.restart_driver()
        holder = None
        if case.hold_share >= 0:
            holder = subprocess.Popen([self.args.wine, r"C:\pelmar-hold.exe", r"C:\pelmar.tc", str(case.hold_share),
                                       r"C:\release"], env=self.wine_env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                      stderr=subprocess.DEVNULL, text=True)
            if "holding" not in holder.stdout.readline():
                fail("pelmar-hold did not open the container")
        try:
            started = time.monotonic()
            r = self.wine(r"C:\pelmar-launch.exe", r"\??\C:\pelmar.exe", *case.words, debug="+relay,+debugstr",
                          check=False, timeout=120)
            elapsed = time.monotonic() - started
        finally:
            if holder:
                (c / "release").write_bytes(b"")
                holder.wait(timeout=30)
        (folder / "wine.log").write_text(r.stderr)
        (folder / "wine.out").write_text(r.stdout)
        thread = re.search(r"thread ([0-9a-f]{4})", r.stdout)
        status = re.search(r"native exit status (0x[0-9a-f]{8})", r.stdout)
        if not thread or not status:
            fail(f"pelmar-launch: {r.stdout}{r.stderr[-2000:]}")
        run = read_wine(folder / "wine.log", thread.group(1))
        run["status"] = int(status.group(1), 16)
        run["elapsed"] = elapsed
        shutil.copy(c / "pelmar.tc", folder / "wine-container.tc")
        if (c / "pelmar-tc-model.log").exists():
            shutil.copy(c / "pelmar-tc-model.log", folder / "wine-driver.log")
        return run

    def prepare_captures(self):
        """The file systems the capture cases mount, made and filled on the
        host (folders, long names, a fragmented file), and their images made
        by the host pelmar-mkimage."""
        files = self.work / "capture-files"
        files.mkdir(parents=True, exist_ok=True)
        (files / "mid.bin").write_bytes(os.urandom(20000))
        (files / "big.bin").write_bytes(os.urandom(300000))
        (files / "note.txt").write_text("A folder the administrator made on the drive.\n")
        self.captures = {}
        fat = self.work / "capture-fat32.raw"
        fat.unlink(missing_ok=True)
        subprocess.run(["mkfs.fat", "-F", "32", "-C", "-n", "CAPTURE", str(fat), str(CAPTURE_BYTES["fat32"] // 1024)],
                       check=True, capture_output=True)
        mtools = dict(os.environ, MTOOLS_SKIP_CHECK="1")
        m = lambda *words: subprocess.run(list(words), check=True, capture_output=True, env=mtools)
        m("mmd", "-i", str(fat), "::/Temp", "::/Temp/A folder with a long name")
        m("mcopy", "-i", str(fat), str(files / "mid.bin"), "::/one.bin")
        m("mcopy", "-i", str(fat), str(files / "mid.bin"), "::/two.bin")
        m("mdel", "-i", str(fat), "::/one.bin")
        # Fills the hole one.bin left, then goes on behind two.bin.
        m("mcopy", "-i", str(fat), str(files / "big.bin"), "::/Temp/A folder with a long name/fragmented file.bin")
        m("mcopy", "-i", str(fat), str(files / "note.txt"), "::/Temp/Ünïcode nämé.txt")
        self.captures["fat32"] = fat
        prepared = self.work / "capture-ntfs"
        shutil.rmtree(prepared, ignore_errors=True)
        prepared.mkdir()
        subprocess.run([self.args.prepare, "--size", str(CAPTURE_BYTES["ntfs"]), "--fs", "ntfs", "--label", "CAPTURE",
                        "--mkdir", "/Temp/A folder with a long name", "--copy", f"{files / 'mid.bin'}:/one.bin",
                        "--copy", f"{files / 'mid.bin'}:/two.bin",
                        "--copy", f"{files / 'note.txt'}:/Temp/Ünïcode nämé.txt", str(prepared)],
                       check=True, capture_output=True)
        ntfs = self.work / "capture-ntfs.raw"
        subprocess.run([self.args.image, "--expand", str(ntfs), str(prepared / "pelmar.img")], check=True,
                       capture_output=True)
        # one.bin grows into clusters behind two.bin: two runs.
        subprocess.run(["ntfsfallocate", "-f", "-o", "20480", "-l", "200000", str(ntfs), "/one.bin"], check=True,
                       capture_output=True)
        self.captures["ntfs"] = ntfs
        user = self.work / "capture-ntfs-user-folder"
        shutil.rmtree(user, ignore_errors=True)
        user.mkdir()
        subprocess.run([self.args.prepare, "--size", str(CAPTURE_BYTES["ntfs-user-folder"]), "--fs", "ntfs",
                        "--temp-dir", "/Temp", "--user-temp", "S-1-5-21-1-2-3-1001", str(user)],
                       check=True, capture_output=True)
        self.captures["ntfs-user-folder"] = user.with_suffix(".raw")
        subprocess.run([self.args.image, "--expand", str(user.with_suffix(".raw")), str(user / "pelmar.img")],
                       check=True, capture_output=True)
        for kind, raw in self.captures.items():
            subprocess.run([self.args.mkimage, str(raw), str(raw.with_suffix(".img"))], check=True, capture_output=True)

    def run_capture(self, case):
        folder = self.work / re.sub(r"[^a-z0-9]+", "-", case.name.lower()).strip("-")
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
        c = self.drive_c
        raw = self.captures[case.fs]
        for name in ("pelmar-tc-model.log", "capture.img"):
            (c / name).unlink(missing_ok=True)
        shutil.copy(raw, c / "capture.raw")
        with open(c / "capture.tc", "wb") as container:
            container.truncate(512 + raw.stat().st_size - 512 * case.short_sectors)
        self.wine("reg", "add", SERVICE_KEY, "/v", "BackingFile", "/t", "REG_SZ", "/d", r"\??\C:\capture.raw", "/f")
        self.service_settings({})
        self.restart_driver()
        problems = []
        try:
            self.wine(r"C:\pelmar-mount.exe", r"C:\capture.tc", "X")
            started = time.monotonic()
            r = self.wine(r"C:\pelmar-mkimage.exe", case.drive, r"C:\capture.img", debug="+relay", check=False,
                          timeout=300)
            elapsed = time.monotonic() - started
        finally:
            self.restart_driver()
            self.wine("reg", "delete", SERVICE_KEY, "/v", "BackingFile", "/f", check=False)
        (folder / "wine.log").write_text(r.stderr)
        (folder / "wine.out").write_text(r.stdout)
        said = r.stdout + "".join(line for line in r.stderr.splitlines(True)
                                  if line.startswith(("pelmar-mkimage:", "  ", "lock them down")))
        if (c / "capture.raw").read_bytes() != raw.read_bytes():
            problems.append("the capture changed the drive")
        (c / "capture.tc").unlink()
        (c / "capture.raw").unlink()
        if case.refusal == CAPTURED:
            if r.returncode != 0:
                problems.append(f"pelmar-mkimage.exe exit {r.returncode}: {said.strip()}")
            elif (c / "capture.img").read_bytes() != raw.with_suffix(".img").read_bytes():
                problems.append("the captured image differs from the host pelmar-mkimage's")
            if (c / "capture.img").exists():
                shutil.move(c / "capture.img", folder / "capture.img")
            problems += volume_reads_locked(folder / "wine.log")
        else:
            if r.returncode != 1 or case.refusal not in said:
                problems.append(f"expected a refusal saying '{case.refusal}', got exit {r.returncode}: {said.strip()}")
            if any(p.name.startswith("capture.img") for p in c.iterdir()):
                problems.append("the refused capture left a file")
        return problems, elapsed

    def run_case(self, case):
        folder = self.work / re.sub(r"[^a-z0-9]+", "-", case.name.lower()).strip("-")
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
        nt = self.run_ntsim(case, folder)
        wi = self.run_wine(case, folder)
        problems = compare_runs(case, nt, wi, self.differences, self.fired)
        if case.report and case.report + "\n" not in "".join(wi["screen"]):
            problems.append(f"the boot screen does not say \"{case.report}\"")
        wine_fsctls = [int(c.split("code=")[1].split()[0], 16) for c in wi["calls"] if c.startswith("NtFsControlFile")]
        log = read_driver_log(self.drive_c / "pelmar-tc-model.log")
        problems += check_leftovers(case, self, log, wine_fsctls, self.start_password)
        # The requests on the wire are the same on both, but for the password
        # (and none after a break that ends Wine's run).
        trace = (folder / "ntsim.trace").read_text()
        if case.words[-1].lower() == "dbg" and any("wine-break-ends-run" in d for d in self.differences):
            trace = trace[:trace.find("DbgBreakPoint#")]
        sent = [bytes.fromhex(m.group(1)) for m in re.finditer(r"code=0x0007200[0c], inputLength=\d+, "
                                                               r"outputLength=\d+, input=([0-9a-f]+)", trace)]
        logged = [data for word, data in log if word in ("mount", "dismount")]
        blank = lambda r: r[:528] + bytes(72) + r[600:] if len(r) == 716 else r
        if [blank(r) for r in sent] != [blank(r) for r in logged]:
            problems.append("the driver requests differ from ntsim's (beyond the password)")
        return problems, wi["elapsed"]


def volume_reads_locked(log):
    """Whether the relay log shows the volume read only between a lock that
    succeeded and its unlock: the handle locked is the one read, and it is
    read at all."""
    locked, reads, problems, lock_handle, pending = set(), 0, [], None, None
    for line in Path(log).read_text(errors="replace").splitlines():
        m = WINE_LINE.match(line)
        c = RELAY_CALL.match(m.group(2)) if m else None
        if c and c.group(1) in ("NtFsControlFile", "NtReadFile"):
            arguments = c.group(2).split(",")
            pending = (c.group(1), int(arguments[0], 16), int(arguments[5], 16) & 0xffffffff)
            continue
        r = RELAY_RET.match(m.group(2)) if m else None
        if not r or not pending or r.group(1) != pending[0]:
            continue
        name, handle, code = pending
        pending = None
        if name == "NtFsControlFile" and code == FSCTL_LOCK and int(r.group(2), 16) == 0:
            locked.add(handle)
            lock_handle = handle
        elif name == "NtFsControlFile" and code == FSCTL_UNLOCK:
            locked.discard(handle)
        elif name == "NtReadFile" and handle == lock_handle:
            reads += 1
            if handle not in locked:
                problems.append("read after the unlock")
    if lock_handle is None:
        problems.append("the volume was never locked")
    elif not reads:
        problems.append("the locked volume was never read")
    elif lock_handle in locked:
        problems.append("the volume was left locked")
    return problems


# --- Installing Pelmar and starting it as the boot does -----------------------

SESSION_KEY = r"HKLM\System\CurrentControlSet\Control\Session Manager"
DRIVER_KEY = r"HKLM\System\CurrentControlSet\Services\truecrypt"
INSTALL_CASE = "install and boot"
# BootExecute before the installer: the disk check and a second boot-time program.
BOOT_BEFORE = ["autocheck autochk *", "otherprog /x"]
INSTALL_VOLUME_BYTES = 40 * 1024 * 1024
# pelmar-service: its key, the event source, the values the install and the service change.
PELMAR_SERVICE = "PelmarService"
PELMAR_SERVICE_KEY = r"HKLM\System\CurrentControlSet\Services\PelmarService"
PARAMETERS_KEY = PELMAR_SERVICE_KEY + r"\Parameters"
# The service's own configuration as the service manager keeps it, and its
# Parameters key's access list (pelmar-key-access shows it).
SERVICE_PRIVILEGES = ["SeChangeNotifyPrivilege", "SeRestorePrivilege", "SeBackupPrivilege", "SeCreatePagefilePrivilege"]
PARAMETERS_ACCESS = "D:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)"
RECORDS_KEY = r"HKLM\Software\Pelmar\Records"  # the installer's copy of the service's records
EVENT_SOURCE_KEY = r"HKLM\System\CurrentControlSet\Services\EventLog\Application\Pelmar"
MEMORY_KEY = SESSION_KEY + r"\Memory Management"
SYSTEM_ENV_KEY = SESSION_KEY + r"\Environment"
# What could keep the drive beyond a stop: Fast Startup, crash dumps, paging
# files in the clear; and the policy that requires Fast Startup.
POWER_VALUES = ((SESSION_KEY + r"\Power", "HiberbootEnabled"),
                (r"HKLM\System\CurrentControlSet\Control\CrashControl", "CrashDumpEnabled"),
                (r"HKLM\System\CurrentControlSet\Control\FileSystem", "NtfsEncryptPagingFile"))
POLICY_KEY = r"HKLM\Software\Policies\Microsoft\Windows\System"
PROFILES_KEY = r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\ProfileList"


def multi_string(lines):
    return "".join(line + "\0" for line in lines).encode("utf-16-le") + b"\0\0"


def shown(value):
    """A value's lines, for a message (and its bytes when they are not a plain list)."""
    if value is None:
        return "(no value)"
    lines = [x for x in value.decode("utf-16-le", errors="replace").split("\0") if x]
    return f"{lines}" + ("" if multi_string(lines) == value else f" as {value.hex()}")


class InstallFlow:
    """pelmar-install.exe under Wine over a BootExecute that holds more than
    the disk check: a refused install, two installs, the boot from the line
    the registry holds (started as the Session Manager starts it), the
    drive it leaves, the uninstall."""

    def __init__(self, bench):
        self.bench, self.c = bench, bench.drive_c
        # The prefix's user (the first user profile) and their variables.
        profiles = bench.wine("reg", "query", PROFILES_KEY, check=False).stdout
        self.user = re.findall(r"ProfileList\\(S-1-5-21-[0-9-]+)", profiles)[0]
        self.env_key = r"HKU" + "\\" + self.user + r"\Environment"
        self.folder = bench.work / "install-and-boot"
        self.shown = []
        self.problems = []
        self.refused = []

    def known_problem(self, line):
        """Whether a problem status reports is one Wine alone shows (a known difference)."""
        for d in self.bench.differences:
            if any(p.fullmatch(line) for p in d["install-problem"]):
                self.bench.fired.add(d["difference"])
                return True
        return False

    def value(self, key=SESSION_KEY, name="BootExecute"):
        """A value's type and bytes as stored (reg export); BootExecute's
        bytes alone; None when absent."""
        out = self.c / "session.reg"
        out.unlink(missing_ok=True)
        self.bench.wine("reg", "export", key, r"C:\session.reg", "/y", check=False)
        if not out.exists():
            return None
        text = out.read_bytes().decode("utf-16").replace("\\\r\n", "").replace("\\\n", "")
        full = key.lower().replace("hklm", "hkey_local_machine").replace("hku\\", "hkey_users\\")
        section, found = False, None
        for line in text.splitlines():
            if line.startswith("["):
                section = line.strip().lower() == "[" + full + "]"
            elif section and line.startswith(f'"{name}"='):
                data = line.split("=", 1)[1]
                if data.startswith("dword:"):
                    found = (4, int(data[6:], 16).to_bytes(4, "little"))
                elif data.startswith('"'):
                    found = (1, data[1:-1].replace("\\\\", "\\").encode("utf-16-le") + b"\0\0")
                else:
                    kind = int(data[4:data.index(")")], 16) if data.startswith("hex(") else 3
                    found = (kind, bytes(int(x, 16) for x in data.split(":", 1)[1].replace(" ", "").split(",") if x))
        if name == "BootExecute" and found:
            return found[1]
        return found

    def show(self, when):
        r = self.bench.wine("reg", "query", SESSION_KEY, "/v", "BootExecute", check=False)
        self.shown.append(f"{when}:\n{r.stdout.strip()}")

    def start_type(self):
        r = self.bench.wine("reg", "query", DRIVER_KEY, "/v", "Start", check=False)
        m = re.search(r"REG_DWORD\s+0x([0-9a-f]+)", r.stdout)
        return int(m.group(1), 16) if m else None

    def install(self, *words):
        return self.bench.wine(r"C:\pelmar-install.exe", *words, check=False)

    def expect(self, condition, problem):
        if not condition:
            self.problems.append(problem)

    def make_drive(self):
        """A FAT32 file system with folders, long names and a fragmented file,
        its image (host pelmar-mkimage) and a container for it."""
        self.folder.mkdir(parents=True)
        fs = self.folder / "scratch.raw"
        subprocess.run(["mkfs.fat", "-F", "32", "-s", "1", "-C", "-n", "SCRATCH", str(fs),
                        str(INSTALL_VOLUME_BYTES // 1024)], check=True, capture_output=True)
        files = self.folder / "files"
        files.mkdir()
        self.files = {"Temp/Read me first.txt": b"This drive is new at every boot.\n",
                      "A folder with a long name/Another long file name.bin": os.urandom(70000),
                      "gap.bin": os.urandom(20000), "keep.bin": os.urandom(9000),
                      "Fragmented file.bin": os.urandom(90000)}
        mtools = lambda *words: subprocess.run([*words], check=True, capture_output=True,
                                               env=dict(os.environ, MTOOLS_SKIP_CHECK="1"))
        mtools("mmd", "-i", str(fs), "::/Temp", "::/A folder with a long name")
        for name, data in self.files.items():
            if name == "Fragmented file.bin":
                # Written into the hole the deleted file left and on past the
                # file behind it: two runs of clusters.
                mtools("mdel", "-i", str(fs), "::/gap.bin")
            local = files / name.replace("/", "_")
            local.write_bytes(data)
            mtools("mcopy", "-i", str(fs), str(local), "::/" + name)
        del self.files["gap.bin"]
        subprocess.run([self.bench.args.mkimage, str(fs), str(self.c / "pelmar.img")], check=True,
                       capture_output=True)
        (self.c / "pelmar.tc").write_bytes(os.urandom(512 + INSTALL_VOLUME_BYTES))
        self.fs = fs

    def boot(self, kind):
        """Starts the line BootExecute holds as the Session Manager would: its
        first word names the program in System32, the whole line is the
        command line."""
        lines = [x for x in self.value().decode("utf-16-le").split("\0") if x]
        pelmar = [x for x in lines if x.split()[0].lower() in ("pelmar", "pelmar.exe")]
        self.expect(len(pelmar) == 1, f"BootExecute holds {len(pelmar)} Pelmar lines: {lines}")
        if not pelmar:
            return
        words = pelmar[0].split()
        image = r"\??\C:\windows\system32" + "\\" + words[0] + ("" if words[0].lower().endswith(".exe") else ".exe")
        for name in ("pelmar-tc-model.log", "pelmar-tc-volume.raw"):
            (self.c / name).unlink(missing_ok=True)
        self.bench.service_settings({})
        self.bench.restart_driver()
        r = self.bench.wine(r"C:\pelmar-launch.exe", image, *words, debug="+debugstr", check=False, timeout=300)
        (self.folder / f"boot-{kind}.log").write_text(r.stdout + r.stderr)
        self.expect("native exit status 0x00000000" in r.stdout, f"the {kind} boot: {r.stdout.strip()}")
        backing = self.c / "pelmar-tc-volume.raw"
        if not backing.exists():
            self.problems.append(f"the {kind} boot left no drive")
            return
        # What the image restores: the file system less the clusters its
        # allocation leaves free (where the deleted file's bytes still lie).
        expanded = self.folder / f"expanded-{kind}.raw"
        subprocess.run([str(Path(self.bench.args.mkimage).with_name("pelmar-image")), "--expand", str(expanded),
                        str(self.c / "pelmar.img")], check=True, capture_output=True)
        self.expect(backing.read_bytes() == expanded.read_bytes(),
                    f"the {kind} drive differs from the expanded image")
        check = ["fsck.fat", "-n"] if kind == "fat32" else ["ntfsfix", "-n"]
        f = subprocess.run([*check, str(backing)], capture_output=True, text=True)
        self.expect(f.returncode == 0, f"{' '.join(check)} on the drive: {f.stdout.strip()}")
        for name, data in self.files.items():
            if kind == "fat32":
                target = self.folder / "read-back" / name.replace("/", "_")
                target.parent.mkdir(exist_ok=True)
                subprocess.run(["mcopy", "-o", "-i", str(backing), "::/" + name, str(target)], capture_output=True)
                back = target.read_bytes() if target.exists() else None
            else:
                back = subprocess.run(["ntfscat", str(backing), "/" + name], capture_output=True).stdout
            self.expect(back == data, f"the {kind} drive's {name} differs")

    def make_ntfs_drive(self):
        """An NTFS container and image made by pelmar-prepare (the Linux route)."""
        out, files = self.folder / "prepared", self.folder / "ntfs-files"
        out.mkdir()
        files.mkdir()
        self.files = {"Temp/Read me first.txt": b"This drive is new at every boot.\n",
                      "A folder with a long name/Another long file name.bin": os.urandom(70000)}
        copies = []
        for name, data in self.files.items():
            (files / name.replace("/", "_")).write_bytes(data)
            copies += ["--copy", f"{files / name.replace('/', '_')}:/{name}"]
        subprocess.run([str(Path(self.bench.args.mkimage).with_name("pelmar-prepare")), "--size", "8M", "--fs",
                        "ntfs", "--label", "SCRATCH", "--temp-dir", "/Temp", "--user-temp", self.user, *copies,
                        str(out)], check=True, capture_output=True)
        shutil.copy(out / "pelmar.tc", self.c / "pelmar.tc")
        shutil.copy(out / "pelmar.img", self.c / "pelmar.img")

    def start(self):
        """The machine before: BootExecute with the disk check and another
        program, the driver on demand, no pelmar.exe, the drive's files."""
        system32 = self.c / "windows" / "system32"
        self.bench.wine("reg", "add", SESSION_KEY, "/v", "BootExecute", "/t", "REG_MULTI_SZ", "/d",
                        "\\0".join(BOOT_BEFORE), "/f")
        self.bench.wine("reg", "add", DRIVER_KEY, "/v", "Start", "/t", "REG_DWORD", "/d", "3", "/f")
        (system32 / "pelmar.exe").unlink(missing_ok=True)
        self.make_drive()
        return system32, multi_string(BOOT_BEFORE)

    def run(self):
        system32, original = self.start()
        self.expect(self.value() == original, f"the starting value reads back as {shown(self.value())}")
        self.show("before install")

        # Every refusal changes nothing: an image that is not there, one cut
        # short (the restore would stop), then what would harm the machine or
        # fail at boot.
        c = self.c
        (c / "short.img").write_bytes((c / "pelmar.img").read_bytes()[:1536])
        shutil.copy(c / "windows" / "system32" / "kernel32.dll", c / "library.dll")
        shutil.copy(c / "pelmar.img", c / "copy.img")
        (c / "small.tc").write_bytes(bytes(512 + INSTALL_VOLUME_BYTES - 512))
        (c / "zeros.raw").write_bytes(bytes(65536))
        subprocess.run([self.bench.args.mkimage, "--sector-size", "4096", str(c / "zeros.raw"), str(c / "4k.img")],
                       check=True, capture_output=True)
        (c / "sub").mkdir(exist_ok=True)
        # Files of worth that are no containers, each the container's size
        # where the size matters; and an 8 MiB image for the 40 MiB container.
        for name, size in (("backup.zip", 9 << 20), ("mine.zip", 512 + INSTALL_VOLUME_BYTES)):
            with zipfile.ZipFile(c / name, "w") as z:  # stored: 30 + 46 + 22 bytes and the name twice around it
                z.writestr("photos.bin", os.urandom(size - 118))
            self.expect((c / name).stat().st_size == size, f"{name} has {(c / name).stat().st_size} bytes")
        (c / "data.sqlite").unlink(missing_ok=True)
        with sqlite3.connect(c / "data.sqlite") as db:
            db.execute("create table t (a, b)")
            db.executemany("insert into t values (?, ?)", ((i, os.urandom(64).hex()) for i in range(4000)))
        db.close()
        (c / "fat.raw").unlink(missing_ok=True)
        (c / "8m.raw").unlink(missing_ok=True)
        for name, kib in (("fat.raw", 4096), ("8m.raw", 8192)):
            subprocess.run(["mkfs.fat", "-C", str(c / name), str(kib)], check=True, capture_output=True)
        subprocess.run([self.bench.args.mkimage, str(c / "8m.raw"), str(c / "8m.img")], check=True, capture_output=True)
        (c / "paper.pdf").write_bytes(b"%PDF-1.4\n1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n" * 20000)
        # A container with a second name, made from the Unix side; a folder
        # given a letter (DefineDosDevice, as subst does: Wine's subst does nothing).
        for name in ("linked.tc", "second.tc"):
            (c / name).unlink(missing_ok=True)
        (c / "linked.tc").write_bytes(os.urandom(512 + INSTALL_VOLUME_BYTES))
        os.link(c / "linked.tc", c / "second.tc")
        self.bench.wine(r"C:\pelmar-define.exe", "S:", r"C:\sub")
        tc = ["A", "w", "1", "T"]
        refusals = [
            ([*tc, r"c:\pelmar.tc", r"c:\absent.img"], "absent.img"),
            ([*tc, r"c:\pelmar.tc", r"c:\short.img"], "would not restore"),
            ([*tc, r"c:\pelmar.img"], "the container is the image itself"),
            ([*tc, r"c:\library.dll"], "is a program or library"),
            ([*tc, r"c:\windows\system32\kernel32.dll"], "in the Windows folder"),
            ([*tc, r"c:\pelmar-install.exe"], "pelmar-install.exe itself"),
            ([*tc, r"c:\pelmar.exe"], "the container is pelmar.exe"),
            ([*tc, r"c:\copy.img"], "starts as a Pelmar image does"),
            ([*tc, r"c:\small.tc"], "81919 sectors of 512 bytes (the container less its 512-byte header), but the "
                                     "image is for a volume of 81920 sectors"),
            ([*tc, r"c:\pelmar.tc", r"c:\8m.img"], "81920 sectors of 512 bytes (the container less its 512-byte "
                                                   "header), but the image is for a volume of 16384 sectors"),
            ([*tc, r"c:\backup.zip"], "the container starts as a ZIP archive"),
            ([*tc, r"c:\data.sqlite"], "the container starts as an SQLite database"),
            ([*tc, r"c:\fat.raw"], "the container starts as a FAT file system"),
            ([*tc, r"c:\paper.pdf"], "the container starts as a PDF document"),
            ([*tc, r"c:\pelmar.tc", r"c:\4k.img"], "made for sectors of 4096 bytes"),
            ([*tc, r"c:\second.tc"], "the container has 2 names (hard links)"),
            (["A", "w", "1", "C"], "drive C: is in use: it names a "),
            (["A", "w", "1", "S"], "drive S: is in use: it names a folder given a drive letter (subst) (\\??\\C:\\sub)"),
            ([*tc, r"t:\pelmar.tc"], "the drive Pelmar mounts"),
            ([*tc, r"c:\sub\..\pelmar.tc"], "component"),
            ([*tc, r"c:\.\pelmar.tc"], "component"),
            ([*tc, r"c:\sub/../pelmar.tc"], "forward slash"),
            ([*tc, r"c:\pelmar.tc."], "ends in a dot"),
            ([*tc, r"\DosDevices\c:\pelmar.tc"], "is an NT path, which pelmar-install does not take: give the "
                                                   r"file as c:\pelmar.tc"),
            ([*tc, r"pelmar.tc"], "not a full path"),
            ([*tc, r"c:\pelmar.tc", "c:\\pelm\u0100r.img"], "printable ASCII"),
            (["twofish"], "none of Pelmar's codes"), (["t", "w"], "none of Pelmar's codes"),
            (["A", "W"], "none of r"), (["A", "sha256"], "would read it as SHA-1"),
            (["A", "w", "1", "1"], "not a drive letter"), (["A", "w", "1", "TU:"], "not a drive letter"),
            (["A", "w", "abc"], "not a number"),
            (["A", "w", "99999999999"], "outside what Pelmar takes"),
            (["A", "w", "-99999999999"], "does not fit"), (["A", "w", "dbg"], "--allow-debugger"),
            (["A", "w", "2000000"], "--slow-boot-ok"),
        ]
        # A pelmar.exe other than the one built with the installer (one byte changed).
        built = (c / "pelmar.exe").read_bytes()
        tampered = bytearray(built)
        tampered[len(built) // 2] ^= 1
        # And a pelmar-service.exe other than the one built with it.
        service = (c / "pelmar-service.exe").read_bytes()
        changed_service = bytearray(service)
        changed_service[len(service) // 2] ^= 1
        for words, why in [*refusals, (["tampered"], "is not the pelmar.exe built with this pelmar-install"),
                           (["tampered service"], "is not the pelmar-service.exe built with this pelmar-install")]:
            if words == ["tampered"]:
                (c / "pelmar.exe").write_bytes(bytes(tampered))
                words = ["A", "w"]
            if words == ["tampered service"]:
                (c / "pelmar-service.exe").write_bytes(bytes(changed_service))
                words = ["A", "w"]
            r = self.install("install", *words)
            (c / "pelmar.exe").write_bytes(built)
            (c / "pelmar-service.exe").write_bytes(service)
            self.expect(r.returncode == 1 and why in r.stderr and "nothing was changed" in r.stderr,
                        f"install {' '.join(words)}: exit {r.returncode}: {r.stdout}{r.stderr}")
            if not (self.value() == original and self.start_type() == 3 and not list(system32.glob("pelmar.exe*"))):
                self.problems.append(f"install {' '.join(words)} changed something")
                # Put back, so that every later row is judged on its own.
                self.bench.wine("reg", "add", SESSION_KEY, "/v", "BootExecute", "/t", "REG_MULTI_SZ", "/d",
                                "\\0".join(BOOT_BEFORE), "/f")
                self.bench.wine("reg", "add", DRIVER_KEY, "/v", "Start", "/t", "REG_DWORD", "/d", "3", "/f")
                for leftover in system32.glob("pelmar.exe*"):
                    leftover.unlink()
            self.refused.append(f"install {' '.join(words)}: " + r.stderr.strip().replace("\n", " / "))
        self.bench.wine(r"C:\pelmar-define.exe", "S:", "/d", check=False)
        self.shown.append("refused, each leaving BootExecute, the driver's start type and System32 as they "
                          "were:\n" + "\n".join(self.refused))
        self.show("after the refusals")
        # An image another program holds open for writing could be changed
        # after the check: refused, saying so.
        holder = subprocess.Popen([self.bench.args.wine, r"C:\pelmar-hold.exe", r"C:\pelmar.img", "3",
                                   r"C:\release-image", "write"], env=self.bench.wine_env, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        try:
            self.expect("holding" in holder.stdout.readline(), "pelmar-hold did not open the image")
            r = self.install("install", "A", "w")
        finally:
            (c / "release-image").write_bytes(b"")
            holder.wait(timeout=30)
            (c / "release-image").unlink()
        self.expect(r.returncode == 1 and "another program holds it open for writing" in r.stderr and
                    "nothing was changed" in r.stderr and self.value() == original,
                    f"install while the image is open for writing: exit {r.returncode}: {r.stdout}{r.stderr}")
        self.refused.append("install A w while another program writes the image: " +
                            r.stderr.strip().replace("\n", " / "))
        self.power_settings(original)
        # Another program's event source named Pelmar is neither taken over nor removed.
        self.reg_add(EVENT_SOURCE_KEY, "/v", "EventMessageFile", "/t", "REG_SZ", "/d", r"C:\other\messages.dll", "/f")
        foreign = self.value(EVENT_SOURCE_KEY, "EventMessageFile")
        r = self.install("install", "A", "w")
        self.expect(r.returncode == 1 and "an event source named Pelmar is registered already" in r.stderr and
                    self.value() == original and self.value(EVENT_SOURCE_KEY, "EventMessageFile") == foreign,
                    f"install over another's event source: exit {r.returncode}: {r.stdout}{r.stderr}")
        self.reg_delete(EVENT_SOURCE_KEY)
        # A failure at the last step (a folder where the program goes) undoes
        # the registry writes before it, the power settings' among them.
        (system32 / "pelmar.exe").mkdir()
        power = self.power_values()
        r = self.install("install", "T", "r", "1", "K")
        (system32 / "pelmar.exe").rmdir()
        self.expect(r.returncode == 1 and self.value() == original and self.start_type() == 3 and
                    self.power_values() == power and not list(system32.glob("pelmar.exe*")),
                    f"a failed install left changes: {self.power_values()}, was {power}: {r.stdout}{r.stderr}")

        # --container-is-mine takes a file of the right size that is no
        # container, saying what the boot will do to it.
        r = self.install("install", "--container-is-mine", *tc, r"c:\mine.zip")
        self.expect(r.returncode == 0 and "--container-is-mine: the container is taken as Pelmar's although it does "
                    "not look like one (the container starts as a ZIP archive" in r.stdout and
                    "a new volume header over its first 512 bytes" in r.stdout and
                    self.value() == multi_string([BOOT_BEFORE[0], r"pelmar A w 1 T c:\mine.zip", *BOOT_BEFORE[1:]]),
                    f"install --container-is-mine: exit {r.returncode}: {r.stdout}{r.stderr}")
        self.shown.append("install --container-is-mine over a ZIP: " + "".join(
            x for x in r.stdout.splitlines() if x.startswith("--container-is-mine")))
        r = self.install("uninstall")
        self.expect(r.returncode == 0 and self.value() == original, f"uninstall: {r.stdout}{r.stderr}")
        self.bench.wine("reg", "add", DRIVER_KEY, "/v", "Start", "/t", "REG_DWORD", "/d", "3", "/f")

        # Accepted: a fresh random file of the right size (pelmar.tc), as later
        # pelmar-prepare's container (put_to_work).
        r = self.install("install", "T", "r", "1", "K")
        self.expect(r.returncode == 0, f"install T r 1 K: exit {r.returncode}: {r.stdout}{r.stderr}")
        self.expect(self.value() == multi_string([BOOT_BEFORE[0], "pelmar T r 1 K", *BOOT_BEFORE[1:]]),
                    f"after install, BootExecute is {shown(self.value())}")
        self.expect(self.start_type() == 1 and "from 3 (on demand) to 1 (system)" in r.stdout,
                    f"the driver's start type is {self.start_type()}: {r.stdout}")
        self.show("after install T r 1 K")

        # What the boot's derivation costs here: a thousand times the default
        # count is installed or refused by its cost alone; then the default.
        r = self.install("install", "A", "w", "1000")
        self.expect(r.returncode == 0 or "--slow-boot-ok" in r.stderr, f"install A w 1000: {r.stdout}{r.stderr}")
        costs = [f"install A w 1000: exit {r.returncode}: " + "".join(x for x in r.stdout.splitlines()
                                                                       if x.startswith("boot cost"))]
        r = self.install("install", "A", "w", "1")
        costs.append("install A w 1: " + "".join(x for x in r.stdout.splitlines() if x.startswith("boot cost")))
        self.shown.append("\n".join(costs))
        self.expect(r.returncode == 0 and "replaced the Pelmar line pelmar " in r.stdout,
                    f"install A w 1: exit {r.returncode}: {r.stdout}{r.stderr}")
        self.expect(self.value() == multi_string([BOOT_BEFORE[0], "pelmar A w 1", *BOOT_BEFORE[1:]]),
                    f"after the second install, BootExecute is {shown(self.value())}")
        self.expect((system32 / "pelmar.exe").read_bytes() == (self.c / "pelmar.exe").read_bytes(),
                    "System32's pelmar.exe is not the one beside the installer")
        self.show("after install A w 1")
        for _ in range(100):  # the service's first start, before any restart
            event = self.value(PARAMETERS_KEY, "LastBootEvent")
            if event and int.from_bytes(event[1], "little") == 1004:
                break
            time.sleep(0.1)
        self.expect(event and int.from_bytes(event[1], "little") == 1004, f"the first start reported {event}")
        r = self.install("status")
        problems = [x for x in r.stdout.splitlines() if x.startswith("problem: ")]
        known = [p for p in problems if self.known_problem(p)]
        self.expect("drive T: comes at the next restart" in r.stdout, f"status after install: {r.stdout}")
        self.expect(r.returncode == (1 if known else 0) and problems == known and "> pelmar A w 1" in r.stdout and
                    f"image c:\\pelmar.img: {(self.c / 'pelmar.img').stat().st_size} bytes" in r.stdout,
                    f"status: {r.stdout}{r.stderr}")
        # A folder given the drive's letter since: status names what holds it.
        self.bench.wine(r"C:\pelmar-define.exe", "T:", r"C:\sub")
        r = self.install("status")
        self.bench.wine(r"C:\pelmar-define.exe", "T:", "/d")
        self.expect(r.returncode == 1 and "problem: drive T: is in use: it names a folder given a drive letter" in r.stdout,
                    f"status with T: given to a folder: exit {r.returncode}: {r.stdout}")

        self.boot("fat32")
        installed = self.value()
        # A FAT drive has no permissions to keep users' folders apart.
        r = self.install("install", "A", "w", "--user-temp")
        self.expect(r.returncode == 1 and "has no permissions" in r.stderr and "nothing was changed" in r.stderr and
                    self.value() == installed, f"install --user-temp over FAT: {r.stdout}{r.stderr}")
        self.make_ntfs_drive()
        self.put_to_work()

        r = self.install("uninstall")
        self.expect(r.returncode == 0 and "left as they are: the driver service's start type" in r.stdout,
                    f"uninstall: exit {r.returncode}: {r.stdout}{r.stderr}")
        self.expect(self.value() == original, f"after uninstall, BootExecute is {shown(self.value())}")
        self.expect(self.value(MEMORY_KEY, "PagingFiles") == self.paging_before,
                    f"after uninstall, PagingFiles is {self.value(MEMORY_KEY, 'PagingFiles')}")
        for name, before in self.env_before.items():
            self.expect(self.value(self.env_key, name) == before, f"after uninstall, {name} is "
                        f"{self.value(self.env_key, name)}, was {before}")
        gone = self.bench.wine("sc", "query", PELMAR_SERVICE, check=False)
        self.expect(gone.returncode != 0 and "STATE" not in gone.stdout and
                    self.value(EVENT_SOURCE_KEY, "EventMessageFile") is None and
                    not (system32 / "pelmar-service.exe").exists(), "uninstall left the service or its source")
        self.expect(not list(system32.glob("pelmar.exe*")), "uninstall left pelmar.exe in System32")
        # The service's configuration and its key went with the service.
        self.expect(self.bench.wine("reg", "query", PELMAR_SERVICE_KEY, check=False).returncode != 0,
                    "uninstall left the service's key")
        self.expect(self.start_type() == 1, "uninstall changed the driver's start type")
        self.expect("there was no service PelmarService to remove" in r.stdout and
                    "removed the service" not in r.stdout and
                    self.bench.wine("reg", "query", RECORDS_KEY, check=False).returncode != 0,
                    f"uninstall without the service: {r.stdout}")
        self.expect(self.power_installed != self.power_prefix and self.power_values() == self.power_prefix and
                    "gave back paging-file encryption" in r.stdout,
                    f"uninstall without the service: the power values {self.power_values()}, were "
                    f"{self.power_prefix} before install and {self.power_installed} after: {r.stdout}")
        r = self.install("uninstall")
        self.expect(r.returncode == 0 and "removed" not in r.stdout and "no records of replaced values" in r.stdout,
                    f"uninstall with nothing installed: {r.stdout}{r.stderr}")
        # The service's run by hand without Pelmar installed changes nothing.
        self.bench.wine(r"C:\pelmar-service.exe", "run", check=False)
        self.expect(self.bench.wine("reg", "query", PARAMETERS_KEY, check=False).returncode != 0,
                    "pelmar-service run without Pelmar made the service's Parameters key")
        self.show("after uninstall")
        self.show_service("after uninstall")
        # The driver service's Start value, each wrong in its own way, named as such.
        for kind, data, words in (("REG_SZ", "1", "is not a number"), (None, None, "has no Start value"),
                                  ("REG_DWORD", "7", "which is no start type")):
            if kind:
                self.bench.wine("reg", "add", DRIVER_KEY, "/v", "Start", "/t", kind, "/d", data, "/f")
            else:
                self.bench.wine("reg", "delete", DRIVER_KEY, "/v", "Start", "/f")
            r = self.install("status")
            self.expect(r.returncode == 0 and words in r.stdout, f"status with Start {kind} {data}: {r.stdout}")
        self.bench.wine("reg", "add", DRIVER_KEY, "/v", "Start", "/t", "REG_DWORD", "/d", "1", "/f")
        self.tool_manners()
        # Over no value at all: install makes one, uninstall takes it away
        # again, a saved record of a user whose Environment is now a link
        # dropped with a line, nothing written through it.
        self.bench.wine("reg", "delete", SESSION_KEY, "/v", "BootExecute", "/f")
        r = self.install("install")
        self.expect(r.returncode == 0 and self.value() == multi_string(["pelmar"]), f"install: {r.stdout}{r.stderr}")
        env_now = {name: self.value(self.env_key, name) for name in ("TEMP", "TMP")}
        self.seed_previous_boot()
        with self.environment_linked():
            r = self.install("uninstall")
        self.expect(r.returncode == 0 and self.value() is None, f"uninstall left {shown(self.value())}: {r.stdout}{r.stderr}")
        self.expect(f"warning: TEMP and TMP of {self.user}: HKEY_USERS\\{self.user}\\Environment: it is a registry "
                    "link; its previous values are dropped" in r.stdout, f"uninstall over a linked Environment: {r.stdout}")
        for name, value in env_now.items():
            if value:
                self.reg_add(self.env_key, "/v", name, "/t", "REG_EXPAND_SZ" if value[0] == 2 else "REG_SZ", "/d",
                             value[1].decode("utf-16-le").rstrip("\0"), "/f")
            else:
                self.bench.wine("reg", "delete", self.env_key, "/v", name, "/f", check=False)
        (self.folder / "registry.txt").write_text("\n\n".join(self.shown) + "\n")
        return self.problems

    def power_values(self):
        return [self.value(key, name) for key, name in POWER_VALUES]

    def power_settings(self, original):
        """Fast Startup on, automatic dumps, paging files in the clear: the
        policy that requires Fast Startup refuses install with nothing
        changed; install with the defaults turns all three off and says so,
        status shows them, uninstall gives every value back byte for byte;
        the options that keep them leave them, and install and status say so."""
        dword = lambda n: (4, n.to_bytes(4, "little"))
        prefix = self.power_prefix = self.power_values()
        for (key, name), data in zip(POWER_VALUES, ("1", "7")):
            self.reg_add(key, "/v", name, "/t", "REG_DWORD", "/d", data, "/f")
        self.bench.wine("reg", "delete", POWER_VALUES[2][0], "/v", POWER_VALUES[2][1], "/f", check=False)
        before = self.power_values()
        self.expect(before == [dword(1), dword(7), None], f"the power values before install: {before}")
        self.reg_add(POLICY_KEY, "/v", "HiberbootEnabled", "/t", "REG_DWORD", "/d", "1", "/f")
        r = self.install("install", "A", "w", "1")
        self.bench.wine("reg", "delete", POLICY_KEY, "/v", "HiberbootEnabled", "/f", check=False)
        self.expect(r.returncode == 1 and "Require use of fast startup" in r.stderr and "nothing was changed" in
                    r.stderr and self.power_values() == before and self.value() == original,
                    f"install under the policy: exit {r.returncode}: {r.stdout}{r.stderr}")
        said = [f"under the policy: {r.stderr.strip()}"]
        for words, after, lines in (
                ([], [dword(0), dword(3), dword(1)],
                 ["turned Fast Startup off", "crash dumps small", "paging files encrypted"]),
                (["--keep-hibernation", "--dumps", "keep", "--keep-paging-plain"], [dword(0), dword(7), None],
                 ["turned Fast Startup off", "crash dumps kept (--dumps keep", "kept in the clear (--keep-paging-plain)"])):
            r = self.install("install", *words, "A", "w", "1")
            row = " ".join(words) or "(the defaults)"
            self.expect(r.returncode == 0 and all(x in r.stdout for x in lines) and self.power_values() == after,
                        f"install {row}: exit {r.returncode}: {self.power_values()}: {r.stdout}{r.stderr}")
            if "hibernation left as it is: this system's power interface (Wine's)" in r.stdout:
                self.bench.fired.add("no hibernation")
            said.append(f"install {row}, the values {before} -> {self.power_values()}:\n" +
                        "\n".join(x for x in r.stdout.splitlines() if any(w in x for w in
                                   ("Fast Startup", "hibernation", "crash dumps", "paging files"))))
            s = self.install("status")
            kept = "a standing exposure" in s.stdout
            self.expect("Fast Startup: off" in s.stdout and kept == bool(words), f"status: {s.stdout}")
            said.append("status:\n" + "\n".join(x for x in s.stdout.splitlines() if any(
                w in x for w in ("Fast Startup", "hibernation", "crash dumps", "paging files", "renewed"))))
            u = self.install("uninstall")
            self.expect(u.returncode == 0 and self.power_values() == before and "gave back Fast Startup" in u.stdout,
                        f"uninstall after install {row}: {self.power_values()}: {u.stdout}{u.stderr}")
            said.append("uninstall:\n" + "\n".join(x for x in u.stdout.splitlines() if x.startswith("gave back")))
        self.shown.append("\n".join(said))
        # The rows after these start from the prefix's own values and the
        # driver on demand, as before.
        for (key, name), value in zip(POWER_VALUES, prefix):
            if value is None:
                self.bench.wine("reg", "delete", key, "/v", name, "/f", check=False)
            else:
                self.reg_add(key, "/v", name, "/t", "REG_BINARY" if value[0] == 3 else "REG_DWORD", "/d",
                             value[1].hex() if value[0] == 3 else str(int.from_bytes(value[1], "little")), "/f")
        self.reg_add(DRIVER_KEY, "/v", "Start", "/t", "REG_DWORD", "/d", "3", "/f")

    def tool_manners(self):
        """The Windows tools' usage, exit statuses and refusals of outputs."""
        c = self.c
        tools = [r"C:\pelmar-install.exe", r"C:\pelmar-mkimage.exe", r"C:\pelmar-image.exe", r"C:\pelmar-service.exe"]
        for tool in tools:
            for word in ("--help", "-h", "/?"):
                r = self.bench.wine(tool, word, check=False)
                self.expect(r.returncode == 0 and "usage:" in r.stdout and not r.stderr, f"{tool} {word}: {r}")
            r = self.bench.wine(tool, "--no-such-option", "x", check=False)
            self.expect(r.returncode == 2 and "usage:" in r.stderr and "--no-such-option" in r.stderr,
                        f"{tool} with a bad option: {r}")
        for words, rc, why in ((("make-folders", "Q:"), 1, "drive Q: is missing"),
                               (("make-folders", "QQ"), 2, 'as X:, not "QQ"'), (("run", "now"), 2, '"now" follows')):
            r = self.bench.wine(tools[3], *words, check=False)
            self.expect(r.returncode == rc and why in r.stderr, f"pelmar-service {' '.join(words)}: {r}")
        # pelmar-install reads its usage first: help among install's words,
        # and a bad word named, with status 2 and nothing changed.
        before = self.value()
        for words, rc, why in ((("install", "/?"), 0, None), (("--bogus",), 2, "unknown command or option \"--bogus\""),
                               (("install", "--pagefile", "2-4", "--pagefile", "2-4"), 2, "--pagefile is given twice"),
                               (("install", "--pagefile", "big"), 2, 'in MiB (as 256-1024), not "big"'),
                               (("status", "now"), 2, '"now" follows')):
            r = self.bench.wine(tools[0], *words, check=False)
            self.expect(r.returncode == rc and ("usage:" in r.stdout and not r.stderr if why is None else
                                                why in r.stderr and "usage:" in r.stderr) and self.value() == before,
                        f"pelmar-install {' '.join(words)}: exit {r.returncode}: {r.stdout}{r.stderr}")
        (c / "read-only.img").write_bytes(b"old")
        (c / "read-only.img").chmod(0o444)
        mkimage = lambda *words: self.bench.wine(tools[1], *words, check=False)
        for words, rc, why in (((r"c:\zeros.raw", ""), 2, "an empty name"),
                               ((r"c:\zeros.raw", r"c:\read-only.img"), 1, "is read-only"),
                               (("Y:", r"c:\y.img"), 1, "): it is not a volume"),
                               (("C:", r"C:\c.img"), 1, "lies on C:, the drive being captured"),
                               ((r"c:\zeros.raw", r"c:\no\such\out.img"), 1, "cannot create c:\\no\\such\\out.img")):
            r = mkimage(*words)
            self.expect(r.returncode == rc and why in r.stderr and "::" not in r.stderr and ".part" not in r.stderr,
                        f"pelmar-mkimage {' '.join(words)}: exit {r.returncode}: {r.stderr}")
        self.expect((c / "read-only.img").read_bytes() == b"old" and not list(c.glob("*.part*")),
                    "a refused output was changed or left a temporary file")
        (c / "read-only.img").chmod(0o644)
        # Ctrl+C (Wine turns SIGINT into the console's event) while the image
        # is written: the temporary file goes with the program.
        (c / "big.raw").write_bytes(b"")
        os.truncate(c / "big.raw", 300 << 20)
        p = subprocess.Popen([self.bench.args.wine, tools[1], "--all-sectors", r"c:\big.raw", r"c:\big.img"],
                             env=self.bench.wine_env, stdin=subprocess.DEVNULL,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(1000):
            if list(c.glob("big.img.part*")) or p.poll() is not None:
                break
            time.sleep(0.01)
        seen = list(c.glob("big.img.part*"))
        p.send_signal(signal.SIGINT)
        p.wait(timeout=120)
        self.expect(seen and not list(c.glob("big.img*")), f"Ctrl+C left {list(c.glob('big.img*'))} (seen {seen})")
        (c / "big.raw").unlink()

    def show_service(self, when):
        for key, name in ((MEMORY_KEY, "PagingFiles"), (self.env_key, "TEMP"), (self.env_key, "TMP")):
            r = self.bench.wine("reg", "query", key, "/v", name, check=False)
            self.shown.append(f"{when}:\n{r.stdout.strip()}")

    def service_start(self, kind):
        """The service's start after a boot, through the service manager; then
        the same start by hand with Wine's event-log trace (Wine's ReportEventW
        only traces what it is given). The event it reports, both ways."""
        self.bench.wine("sc", "stop", PELMAR_SERVICE, check=False)
        for _ in range(50):
            if "STOPPED" in self.bench.wine("sc", "query", PELMAR_SERVICE, check=False).stdout:
                break
            time.sleep(0.1)
        self.bench.wine("reg", "delete", PARAMETERS_KEY, "/v", "LastBootEvent", "/f", check=False)
        r = self.bench.wine("sc", "start", PELMAR_SERVICE, check=False)
        self.expect("RUNNING" in r.stdout or "START_PENDING" in r.stdout, f"sc start {PELMAR_SERVICE}: {r.stdout}")
        for _ in range(100):
            event = self.value(PARAMETERS_KEY, "LastBootEvent")
            if event:
                break
            time.sleep(0.1)
        trace = self.bench.wine(r"C:\windows\system32\pelmar-service.exe", "run", debug="+eventlog", check=False)
        (self.folder / f"service-{kind}.log").write_text(trace.stdout + trace.stderr)
        self.run_shown = trace.stdout
        ids = [int(x, 16) & 0xFFFF for x in re.findall(r"ReportEventW \([0-9A-Fa-f]+,0x[0-9a-f]+,0x[0-9a-f]+,0x([0-9a-f]{8})",
                                                       trace.stderr)]
        return (int.from_bytes(event[1], "little") if event else None), ids

    def seed_previous_boot(self):
        """TEMP and TMP as a boot with the drive left them (the user's folder
        made, the values pointed at it, the previous ones kept): under Wine no
        folder can be made on a volume a driver serves."""
        ours = "T:\\Temp\\" + self.user
        pack = lambda v: bytes([1]) + v[0].to_bytes(4, "little") + v[1]
        ours_value = (2, ours.encode("utf-16-le") + b"\0\0")
        for name in ("TEMP", "TMP"):
            self.reg_add(self.env_key, "/v", name, "/t", "REG_EXPAND_SZ", "/d", ours, "/f")
        # The service keeps its records twice: under its own key and the installer's.
        for key in (PARAMETERS_KEY, RECORDS_KEY):
            for name in ("TEMP", "TMP"):
                self.reg_add(key + r"\Saved" + "\\" + self.user, "/v", name, "/t",
                             "REG_BINARY", "/d", pack(self.env_before[name]).hex(), "/f")
            self.reg_add(key + r"\Saved" + "\\" + self.user, "/v", "Written", "/t",
                         "REG_BINARY", "/d", pack(ours_value).hex(), "/f")
        self.expect(self.value(self.env_key, "TEMP") == ours_value, f"TEMP seeded as {self.value(self.env_key, 'TEMP')}")

    def reg_delete(self, key):
        # Like reg add, reg delete now and then fails without a word; what
        # a row leaves behind would refuse every later install, so the key
        # is deleted until it is gone.
        for _ in range(5):
            self.bench.wine("reg", "delete", key, "/f", check=False)
            if self.bench.wine("reg", "query", key, check=False).returncode != 0:
                return
            time.sleep(0.5)
        self.problems.append(f"reg delete {key}: the key is still there")

    def reg_add(self, *words):
        # Now and then Wine's reg fails without a word while the service
        # manager is busy; the value is written again.
        for _ in range(5):
            r = self.bench.wine("reg", "add", *words, check=False)
            if r.returncode == 0:
                return
            time.sleep(0.5)
        self.problems.append(f"reg add {' '.join(words)}: exit {r.returncode}: {r.stdout}{r.stderr[-500:]}")

    def put_to_work(self):
        """install --user-temp --pagefile over the NTFS drive, the service's
        start after a boot with the drive and after one without it."""
        self.paging_before = self.value(MEMORY_KEY, "PagingFiles")
        self.env_before = {name: self.value(self.env_key, name) for name in ("TEMP", "TMP")}
        self.show_service("before install --user-temp --pagefile 2-4")
        # A paging file on T: that install did not write is not taken over.
        before_lines = [x for x in self.paging_before[1].decode("utf-16-le").split("\0") if x] \
            if self.paging_before else []
        self.bench.wine("reg", "export", MEMORY_KEY, r"C:\memory.reg", "/y", check=False)
        self.reg_add(MEMORY_KEY, "/v", "PagingFiles", "/t", "REG_MULTI_SZ", "/d",
                     "\\0".join([*before_lines, r"T:\pagefile.sys 64 128"]), "/f")
        seeded = self.value(MEMORY_KEY, "PagingFiles")
        r = self.install("install", "A", "w", "--user-temp", "--pagefile", "2-4")
        self.expect(r.returncode == 1 and "--pagefile: PagingFiles already has a paging file on T: that "
                    "pelmar-install did not write (T:\\pagefile.sys 64 128)" in r.stderr and
                    "nothing was changed" in r.stderr and self.value(MEMORY_KEY, "PagingFiles") == seeded,
                    f"install --pagefile over another's T: line: exit {r.returncode}: {r.stdout}{r.stderr}")
        self.shown.append("refused, install --pagefile 2-4 over T:\\pagefile.sys 64 128: " +
                          r.stderr.strip().replace("\n", " / "))
        self.bench.wine("reg", "delete", MEMORY_KEY, "/v", "PagingFiles", "/f", check=False)
        if self.paging_before:  # byte for byte, as it was
            self.bench.wine("reg", "import", r"C:\memory.reg", check=False)
        self.expect(self.value(MEMORY_KEY, "PagingFiles") == self.paging_before,
                    f"PagingFiles not put back: {self.value(MEMORY_KEY, 'PagingFiles')}")
        # SYSTEM's folder must be in the image already: this one has the
        # user's only.
        installed = self.value()
        r = self.install("install", "A", "w", "--system-temp")
        self.expect(r.returncode == 1 and "holds no \\Temp\\S-1-5-18" in r.stderr and
                    "pelmar-prepare --temp-dir /Temp --user-temp S-1-5-18" in r.stderr and
                    "nothing was changed" in r.stderr and self.value() == installed,
                    f"install --system-temp without SYSTEM's folder: exit {r.returncode}: {r.stdout}{r.stderr}")
        self.shown.append("refused, install --system-temp: " + r.stderr.strip().replace("\n", " / "))
        r = self.install("install", "A", "w", "--user-temp", "--pagefile", "2-4")
        self.expect(r.returncode == 0 and "installed and started the service" in r.stdout,
                    f"install --user-temp --pagefile: {r.stdout}{r.stderr}")
        self.service_configuration()
        paging = self.value(MEMORY_KEY, "PagingFiles")
        lines = lambda v: [x for x in v[1].decode("utf-16-le").split("\0") if x] if v else []
        self.expect(paging and paging[0] == 7 and lines(paging) == lines(self.paging_before) + ["T:\\pagefile.sys 2 4"],
                    f"PagingFiles after install: {paging}")
        self.expect("RUNNING" in self.bench.wine("sc", "query", PELMAR_SERVICE, check=False).stdout and
                    self.value(EVENT_SOURCE_KEY, "EventMessageFile") is not None, "the service or its source is missing")
        self.show_service("after install --user-temp --pagefile 2-4")
        r = self.install("status")
        self.expect("service PelmarService: running" in r.stdout and "--user-temp on" in r.stdout,
                    f"status: {r.stdout}")
        self.boot("ntfs")
        event, ids = self.service_start("drive")
        self.expect(event == 1000 and 1000 in ids, f"the start with the drive reported {event} and {ids}")
        # Wine cannot make a folder on a volume a driver serves: the user's
        # folder is refused and the user keeps the profile's TEMP.
        self.expect(1010 in ids and self.value(self.env_key, "TEMP") == self.env_before["TEMP"],
                    f"under Wine the folder on T: must be refused: {ids}")
        if 1010 in ids:
            self.bench.fired.add("no files on a driver's volume")
        if 1021 in ids:
            self.bench.fired.add("no list of paging files")
        # The start by hand follows the service manager's in one session of
        # the system: a restart of the service, not a kept drive.
        self.expect(1031 in ids and 1030 not in ids, f"the second start in one session reported {ids}")
        # One byte of the image changed after install: the drive it restored
        # is not used, and status says why.
        image = (self.c / "pelmar.img").read_bytes()
        at = image.index(self.files["A folder with a long name/Another long file name.bin"][:4096]) + 100
        (self.c / "pelmar.img").write_bytes(image[:at] + bytes([image[at] ^ 1]) + image[at + 1:])
        event, ids = self.service_start("changed image")
        self.expect(event == 1005 and 1005 in ids and 1000 not in ids and
                    self.value(self.env_key, "TEMP") == self.env_before["TEMP"],
                    f"the start with a changed image reported {event} and {ids}")
        r = self.install("status")
        self.expect(r.returncode == 1 and "changed since pelmar-install checked it" in r.stdout,
                    f"status with a changed image: exit {r.returncode}: {r.stdout}")
        (self.c / "pelmar.img").write_bytes(image)
        # The installed service's program changed: status names it.
        installed = self.c / "windows" / "system32" / "pelmar-service.exe"
        program = installed.read_bytes()
        installed.write_bytes(program[:len(program) // 2] + bytes([program[len(program) // 2] ^ 1]) +
                              program[len(program) // 2 + 1:])
        r = self.install("status")
        installed.write_bytes(program)
        self.expect(r.returncode == 1 and "is not the pelmar-service.exe built with this pelmar-install" in r.stdout,
                    f"status with a changed pelmar-service.exe: exit {r.returncode}: {r.stdout}")
        # A boot without the drive (the driver model stopped takes T: away):
        # the Error event, and TEMP and TMP back at their previous values.
        self.seed_previous_boot()
        self.bench.wine("sc", "stop", SERVICE, check=False)
        # A restart since the install: the drive is missing, not yet to come.
        self.bench.wine("reg", "delete", PARAMETERS_KEY, "/v", "InstalledAtBoot", "/f", check=False)
        self.show_service("a boot with the drive (values pointed at T:)")
        event, ids = self.service_start("no drive")
        self.expect(event == 1001 and 1001 in ids, f"the start without the drive reported {event} and {ids}")
        for name, before in self.env_before.items():
            self.expect(self.value(self.env_key, name) == before,
                        f"without the drive {name} is {self.value(self.env_key, name)}, was {before}")
        self.show_service("after the start without the drive")
        r = self.install("status")
        self.expect("last boot:" in r.stdout and "is not there" in r.stdout, f"status: {r.stdout}")
        self.profile_through_a_link()
        # The user's Environment made a link to the machine's, whose TEMP
        # holds what the service wrote: followed, the service would write the
        # user's saved value there. Refused, and the machine's left as it was.
        self.seed_previous_boot()
        with self.environment_linked():
            event, ids = self.service_start("environment a link")
            self.expect(1012 in ids and f"event 1012 (warning) | {self.user} | HKEY_USERS\\{self.user}\\Environment: "
                        "it is a registry link" in self.run_shown, f"the start over a linked Environment: {ids} "
                        f"{self.run_shown}")
        self.seed_previous_boot()  # uninstall must give them back as well
        # An administrator removes the service by hand (with its key, as
        # Windows does): status names it, and uninstall still gives back
        # every value from the installer's copy of the records, the power
        # settings' among them.
        self.power_installed = self.power_values()
        self.bench.wine("sc", "stop", PELMAR_SERVICE, check=False)
        self.bench.wine("sc", "delete", PELMAR_SERVICE, check=False)
        self.bench.wine("reg", "delete", PARAMETERS_KEY.rsplit("\\", 1)[0], "/f", check=False)
        r = self.install("status")
        self.expect(r.returncode == 1 and "problem: the service PelmarService is missing" in r.stdout,
                    f"status without the service: exit {r.returncode}: {r.stdout}{r.stderr}")

    def service_configuration(self):
        """The service's required privileges, failure actions (for failures
        that are no crash too) and its Parameters key's access list, as
        status reads them back from the service manager and the registry,
        and the key's list as pelmar-key-access shows it."""
        r = self.install("status")
        lines = {x.split(":", 1)[0].strip(): x.split(":", 1)[1].strip() for x in r.stdout.splitlines()
                 if x.strip().startswith(("required privileges:", "failure actions:", "Parameters key:"))}
        access = self.bench.wine(r"C:\pelmar-key-access.exe", PARAMETERS_KEY.split("\\", 1)[1], check=False)
        self.shown.append(f"the service's configuration, as status shows it: {lines}; the Parameters key's list: "
                          f"{access.stdout.strip()}")
        # What Wine keeps of them (a known difference): no list of
        # privileges, no failure actions, the key's entries without their
        # protection.
        wine = {"required privileges": "not kept by this Windows (all of LocalSystem's)", "failure actions": "not kept by this Windows",
                "Parameters key": PARAMETERS_ACCESS.replace("D:P", "D:")}
        windows = {"required privileges": " ".join(SERVICE_PRIVILEGES),
                   "failure actions": "restart after 60 s, restart after 60 s, nothing; counted again after 86400 s; "
                                      "for failures that are no crash too", "Parameters key": PARAMETERS_ACCESS}
        for name, wanted in windows.items():
            self.expect(lines.get(name) in (wanted, wine[name]), f"status's {name}: {r.stdout}")
            if lines.get(name) == wine[name]:
                self.bench.fired.add("no service configuration kept")
        self.expect(access.stdout.strip() == lines.get("Parameters key"),
                    f"the Parameters key's access list: {access.stdout}{access.stderr}")

    def profile_through_a_link(self):
        """A profile that is not loaded, its folder a symbolic link made from
        the Unix side, to a folder holding an NTUSER.DAT: the hive is never
        loaded, the account refused. Wine 8 shows the link as a plain folder
        and every file as the Wine user's, so the refusal Wine can show is
        the owner's (the reparse point's is the service's double)."""
        sid, target = "S-1-5-21-1-2-3-4242", self.c / "elsewhere"
        target.mkdir(exist_ok=True)
        (target / "NTUSER.DAT").write_bytes(b"regf" + bytes(4092))
        linked = self.c / "users" / "linked-profile"
        linked.unlink(missing_ok=True)
        linked.symlink_to(target)
        key = PROFILES_KEY + "\\" + sid
        self.reg_add(key, "/v", "ProfileImagePath", "/t", "REG_EXPAND_SZ", "/d", r"C:\users\linked-profile", "/f")
        event, ids = self.service_start("profile through a link")
        self.expect(1012 in ids and 1011 not in ids and f"event 1012 (warning) | {sid} | " in self.run_shown and
                    any(f"{sid} | {why}" in self.run_shown for why in (
                        r"the way to C:\users\linked-profile\NTUSER.DAT passes C:\users\linked-profile, a junction",
                        r"C:\users\linked-profile\NTUSER.DAT is owned by " + self.user + ", not by " + sid)),
                    f"the start over a profile through a link: {ids} {self.run_shown}")
        self.bench.wine("reg", "delete", key, "/f", check=False)
        linked.unlink()

    @contextlib.contextmanager
    def environment_linked(self):
        """HKU\\SID\\Environment replaced by a link to the Session Manager's
        Environment, whose TEMP is the service's value for the while; both
        given back after, and the Session Manager's checked unchanged."""
        saved, machine = self.c / "user-environment.reg", self.c / "machine-environment.reg"
        ours = "T:\\Temp\\" + self.user
        temp = self.value(SYSTEM_ENV_KEY, "TEMP")
        self.reg_add(SYSTEM_ENV_KEY, "/v", "TEMP", "/t", "REG_EXPAND_SZ", "/d", ours, "/f")
        self.bench.wine("reg", "export", self.env_key, r"C:\user-environment.reg", "/y")
        self.bench.wine("reg", "export", SYSTEM_ENV_KEY, r"C:\machine-environment.reg", "/y")
        before = machine.read_bytes()
        try:
            # The fixture deletes the key first (Wine's reg leaves HKCU's
            # Environment in place).
            self.bench.wine(r"C:\pelmar-reglink.exe", "link", self.user + r"\Environment",
                            r"\REGISTRY\MACHINE\System\CurrentControlSet\Control\Session Manager\Environment")
            yield
        finally:
            self.bench.wine("reg", "export", SYSTEM_ENV_KEY, r"C:\machine-environment.reg", "/y")
            self.expect(machine.read_bytes() == before, "the Session Manager's Environment changed through the link")
            self.bench.wine(r"C:\pelmar-reglink.exe", "unlink", self.user + r"\Environment")
            self.bench.wine("reg", "import", r"C:\user-environment.reg")
            text = temp[1].decode("utf-16-le").rstrip("\0") if temp else None
            self.reg_add(SYSTEM_ENV_KEY, "/v", "TEMP", "/t", "REG_EXPAND_SZ" if temp[0] == 2 else "REG_SZ", "/d", text,
                         "/f")
            self.expect(self.value(SYSTEM_ENV_KEY, "TEMP") == temp, "the Session Manager's TEMP not given back")

    def restore(self, saved):
        if saved is None:
            self.bench.wine("reg", "delete", SESSION_KEY, "/v", "BootExecute", "/f", check=False)
        else:
            self.bench.wine("reg", "add", SESSION_KEY, "/v", "BootExecute", "/t", "REG_MULTI_SZ", "/d",
                            "\\0".join(x for x in saved.decode("utf-16-le").split("\0") if x), "/f")
        self.bench.wine("reg", "delete", DRIVER_KEY, "/f", check=False)
        self.bench.wine("sc", "stop", PELMAR_SERVICE, check=False)
        self.bench.wine("sc", "delete", PELMAR_SERVICE, check=False)
        self.bench.wine("reg", "delete", EVENT_SOURCE_KEY, "/f", check=False)
        (self.c / "windows" / "system32" / "pelmar.exe").unlink(missing_ok=True)


MSI_CASE = "msi install, upgrade and removal"
MSI_ARGS = r"A w 1 T c:\pelmar.tc c:\pelmar.img"
PROGRAM_FILES = ("pelmar.exe", "pelmar-install.exe", "pelmar-service.exe", "pelmar-mkimage.exe", "pelmar-image.exe",
                 "LICENSE.txt", "RELEASE-NOTES.txt")
MSI_FAILED = 1603 & 0xFF  # ERROR_INSTALL_FAILURE, as Wine's exit status carries it


class MsiFlow(InstallFlow):
    """The Windows Installer package through Wine's msiexec, over the same
    BootExecute and driver key as the installer's flow: an installation
    whose image is missing fails and leaves nothing; the lower version
    installs with PELMAR_ARGS; the package of this version upgrades it
    without PELMAR_ARGS and keeps the line; the line boots; the removal
    gives the value back byte for byte and takes every file away."""

    def __init__(self, bench):
        super().__init__(bench)
        self.folder = bench.work / "msi"
        self.lower, self.current = (Path(p) for p in bench.args.msi)
        self.folder_pf = self.c / "Program Files" / "Pelmar"

    def msiexec(self, *words, log):
        r = self.bench.wine("msiexec", *words, "/qn", "/l*v", "C:\\" + log, check=False, timeout=300)
        text = (self.c / log).read_bytes().decode("utf-8", errors="replace") if (self.c / log).exists() else ""
        (self.folder / log).write_text(text)
        return r, text

    def kept_arguments(self):
        r = self.bench.wine("reg", "query", r"HKLM\SOFTWARE\Pelmar", "/v", "Arguments", check=False)
        m = re.search(r"Arguments\s+REG_SZ\s+(.*)", r.stdout)
        return m.group(1).strip() if m else None

    def untouched(self, original):
        return (self.value() == original and self.start_type() == 3 and not self.folder_pf.exists() and
                not (self.c / "windows" / "system32" / "pelmar.exe").exists() and self.kept_arguments() is None)

    def run(self):
        system32, original = self.start()
        for package in (self.lower, self.current):
            shutil.copy(package, self.c / package.name)
        self.show("before msiexec")

        # The image is missing: pelmar-install's check fails the package,
        # its complaint is in the log, and nothing is left.
        r, log = self.msiexec("/i", "C:\\" + self.current.name, r"PELMAR_ARGS=A w 1 T c:\pelmar.tc c:\absent.img",
                              log="msi-missing-image.log")
        self.expect(r.returncode == MSI_FAILED and "pelmar-install: the image c:\\absent.img" in log and
                    "pelmar-install: nothing was changed" in log,
                    f"the package with a missing image: exit {r.returncode}, log: {log[-1500:]}")
        self.expect(self.untouched(original), "the failed package left something: "
                    f"{shown(self.value())}, start type {self.start_type()}, {self.folder_pf.exists()=}")

        # No arguments at all: refused before anything is done, unless
        # PELMAR_DEFAULTS=1 says the defaults are meant. (Wine's msiexec /qn
        # logs the error action's start, not its text.)
        r, log = self.msiexec("/i", "C:\\" + self.current.name, log="msi-no-arguments.log")
        self.expect(r.returncode == MSI_FAILED and "Action start" in log and "RefuseNoArguments" in log and
                    "Pelmar: running" not in log,
                    f"the package without PELMAR_ARGS: exit {r.returncode}, log: {log[-1500:]}")
        self.expect(self.untouched(original), "the package without PELMAR_ARGS left something")

        # Fast Startup on, as Windows 8 and later have it: the package's
        # install turns it off, its removal gives it back.
        fast = self.power_values()[0]
        self.reg_add(POWER_VALUES[0][0], "/v", POWER_VALUES[0][1], "/t", "REG_DWORD", "/d", "1", "/f")
        r, log = self.msiexec("/i", "C:\\" + self.lower.name, "PELMAR_ARGS=" + MSI_ARGS, log="msi-lower.log")
        line = multi_string([BOOT_BEFORE[0], "pelmar " + MSI_ARGS, *BOOT_BEFORE[1:]])
        self.expect(r.returncode == 0 and "pelmar-install> Pelmar runs at the next start of Windows." in log,
                    f"msiexec /i {self.lower.name}: exit {r.returncode}: {log[-1500:]}")
        # The defaults of what could outlive a stop, as install says them.
        said = [x.split("pelmar-install> ", 1)[1] for x in log.splitlines() if "pelmar-install> " in x and any(
            w in x for w in ("Fast Startup", "hibernation", "crash dumps", "paging files"))]
        self.expect(any(x.startswith("turned Fast Startup off") for x in said) and
                    self.power_values()[0] == (4, bytes(4)),
                    f"the package's install did not say Fast Startup is off: {said}")
        self.shown.append("the package's install, what could outlive a stop:\n" + "\n".join(said))
        self.expect(self.value() == line and self.start_type() == 1 and self.kept_arguments() == MSI_ARGS,
                    f"after {self.lower.name}, BootExecute is {shown(self.value())}, start {self.start_type()}")
        self.show(f"after msiexec /i {self.lower.name} PELMAR_ARGS=\"{MSI_ARGS}\"")

        r, log = self.msiexec("/i", "C:\\" + self.current.name, log="msi-upgrade.log")
        self.expect(r.returncode == 0, f"the upgrade: exit {r.returncode}: {log[-1500:]}")
        self.expect(self.value() == line and self.kept_arguments() == MSI_ARGS,
                    f"after the upgrade, BootExecute is {shown(self.value())}")
        programs = Path(self.bench.args.msi_programs)
        installed = sorted(p.name for p in self.folder_pf.iterdir()) if self.folder_pf.exists() else []
        self.expect(installed == sorted(PROGRAM_FILES), f"Program Files\\Pelmar holds {installed}")
        for name in PROGRAM_FILES[:5]:
            self.expect((self.folder_pf / name).exists() and
                        (self.folder_pf / name).read_bytes() == (programs / name).read_bytes(),
                        f"the upgrade did not install this build's {name}")
        self.expect((system32 / "pelmar.exe").exists() and
                    (system32 / "pelmar.exe").read_bytes() == (programs / "pelmar.exe").read_bytes(),
                    "System32's pelmar.exe is not this build's")
        products = self.bench.wine("reg", "query", r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall",
                                   "/s", check=False).stdout
        listed = re.findall(r"^\s*DisplayVersion\s+REG_SZ\s+(\S+)", "\n".join(
            block for block in products.split("\n\n") if re.search(r"DisplayName\s+REG_SZ\s+Pelmar\s*$", block, re.M)), re.M)
        self.expect(len(listed) == 1, f"Programs and Features lists Pelmar {listed}")
        self.show(f"after msiexec /i {self.current.name} (the upgrade, no PELMAR_ARGS)")
        self.shown.append("Program Files\\Pelmar: " + ", ".join(installed))

        # A repair by someone who is not an administrator, with arguments of
        # its own: the kept ones are used and the new ones never reach
        # pelmar-install. Wine's user is always an administrator (AdminUser
        # is set, and no command line unsets a private property), so the
        # repair runs from a double of this package that reads AdminUser
        # from a public property instead, REINSTALLMODE v making it the
        # source; every other row of the package is this build's.
        double = self.c / "pelmar-double.msi"
        shutil.copy(self.current, double)
        subprocess.run(["msibuild", str(double), "-q", "UPDATE InstallExecuteSequence SET Condition="
                        "'Installed AND NOT PELMAR_DOUBLE_ADMINUSER' WHERE Condition='Installed AND NOT AdminUser'"],
                       check=True)
        repair = ("/i", "C:\\" + double.name, "REINSTALL=ALL", "REINSTALLMODE=vomus")
        for admin, log_name in ((False, "msi-repair-user.log"), (True, "msi-repair-admin.log")):
            r, log = self.msiexec(*repair, *(["PELMAR_DOUBLE_ADMINUSER=1"] if admin else []),
                                  r"PELMAR_ARGS=A w 1 T c:\pelmar.tc c:\absent.img", log=log_name)
            runs = [l for l in log.splitlines() if "Pelmar: running" in l]
            if admin:  # an administrator's arguments do arrive, and are checked
                self.expect(r.returncode == MSI_FAILED and "pelmar-install: the image c:\\absent.img" in log,
                            f"the administrator's repair: exit {r.returncode}: {log[-1500:]}")
            else:
                self.expect(r.returncode == 0 and runs and all(l.endswith("install " + MSI_ARGS) for l in runs),
                            f"the repair without AdminUser: exit {r.returncode}: {runs or log[-1500:]}")
            # (Wine does not roll back the registry of a failed repair: the
            # kept arguments are compared after the user's only.)
            self.expect(self.value() == line and (admin or self.kept_arguments() == MSI_ARGS),
                        f"after the repair ({admin=}), BootExecute is {shown(self.value())}, "
                        f"kept {self.kept_arguments()}")
        double.unlink()

        self.boot("fat32")

        r, log = self.msiexec("/x", "C:\\" + self.current.name, log="msi-remove.log")
        self.expect(r.returncode == 0 and "pelmar-install> removed the line pelmar " + MSI_ARGS in log,
                    f"msiexec /x: exit {r.returncode}: {log[-1500:]}")
        self.expect(self.value() == original, f"after msiexec /x, BootExecute is {shown(self.value())}")
        self.expect(self.power_values()[0] == (4, (1).to_bytes(4, "little")),
                    f"after msiexec /x, HiberbootEnabled is {self.power_values()[0]}")
        if fast is None:
            self.bench.wine("reg", "delete", POWER_VALUES[0][0], "/v", POWER_VALUES[0][1], "/f", check=False)
        self.expect(not (system32 / "pelmar.exe").exists() and not (system32 / "pelmar-service.exe").exists() and
                    not self.folder_pf.exists() and self.kept_arguments() is None,
                    "msiexec /x left files or the kept arguments")
        self.expect(self.start_type() == 1, "the removal changed the driver's start type")
        self.show("after msiexec /x")
        (self.folder / "registry.txt").write_text("\n\n".join(self.shown) + "\n")
        return self.problems

    def restore(self, saved):
        for package in (self.current, self.lower):
            if (self.c / package.name).exists():
                self.bench.wine("msiexec", "/x", "C:\\" + package.name, "/qn", check=False, timeout=300)
                (self.c / package.name).unlink()
        super().restore(saved)


def run_flow(bench, flow):
    shutil.rmtree(flow.folder, ignore_errors=True)
    saved = flow.value()
    paging = flow.value(MEMORY_KEY, "PagingFiles")
    variables = {name: flow.value(flow.env_key, name) for name in ("TEMP", "TMP")}
    started = time.monotonic()
    try:
        problems = flow.run()
    except (AssertionError, subprocess.SubprocessError, OSError) as error:
        # What went wrong before the flow broke off says why it did.
        problems = [*flow.problems, f"the flow broke off: {error}"]
    finally:
        flow.restore(saved)
        for name, v in variables.items():  # a failed run leaves the prefix's user as it was
            if v and v[0] in (1, 2):
                bench.wine("reg", "add", flow.env_key, "/v", name, "/t", "REG_SZ" if v[0] == 1 else "REG_EXPAND_SZ",
                           "/d", v[1].decode("utf-16-le").rstrip("\0"), "/f")
        if paging and paging[0] in (1, 7):
            bench.wine("reg", "add", MEMORY_KEY, "/v", "PagingFiles", "/t", "REG_SZ" if paging[0] == 1 else "REG_MULTI_SZ",
                       "/d", "\\0".join(x for x in paging[1].decode("utf-16-le").split("\0") if x), "/f")
    for shown in flow.shown:
        print("    " + shown.replace("\n", "\n    "))
    return problems, time.monotonic() - started


def run_install_flow(bench):
    return run_flow(bench, InstallFlow(bench))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    for option in ("ntsim", "mkimage", "image", "prepare", "header-open", "wine", "prefix", "work", "known"):
        parser.add_argument("--" + option, required=True)
    parser.add_argument("--case", action="append", help="run only the named cases")
    parser.add_argument("--msi", nargs=2, metavar=("LOWER", "CURRENT"),
                        help="the package of a lower version and of this one, for the package's flow")
    parser.add_argument("--msi-programs", help="the folder of the programs the packages install")
    args = parser.parse_args()
    bench = Bench(args)
    bench.prepare()
    failed = 0
    cases = [c for c in CASES + CAPTURE_CASES if not args.case or c.name in args.case]
    if any(isinstance(c, CaptureCase) for c in cases):
        bench.prepare_captures()

    def report(name, run):
        """Runs one case and prints its verdict; True when it failed."""
        try:
            problems, elapsed = run()
        except (AssertionError, subprocess.SubprocessError, OSError) as error:
            problems, elapsed = [str(error)], 0.0
        print(f"wine case {'ok  ' if not problems else 'FAIL'} {name} ({elapsed:.1f} s under Wine)")
        for p in problems:
            print("    " + p.replace("\n", "\n    "))
        return bool(problems)

    for case in cases:
        run = bench.run_capture if isinstance(case, CaptureCase) else bench.run_case
        failed += report(case.name, lambda: run(case))
    if not args.case or INSTALL_CASE in args.case:
        failed += report(INSTALL_CASE, lambda: run_install_flow(bench))
        cases.append(INSTALL_CASE)
    if args.msi and (not args.case or MSI_CASE in args.case):
        failed += report(MSI_CASE, lambda: run_flow(bench, MsiFlow(bench)))
        cases.append(MSI_CASE)
    if not args.case:
        for d in bench.differences:
            if d["difference"] not in bench.fired:
                print(f"wine known difference '{d['difference']}' was not seen (its case: {d['case']})")
                failed += 1
    print(f"wine cases: {len(cases) - failed if failed <= len(cases) else 0} of {len(cases)} passed"
          if not failed else f"wine cases: {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
