#!/usr/bin/env python3
"""Compares the functions korvane.exe imports with the reviewed list.

  check-imports.py LIST ARCH=OBJDUMP:EXE [ARCH=OBJDUMP:EXE ...]
  check-imports.py --write LIST ARCH=OBJDUMP:EXE [...]   (rewrites LIST from the builds)

LIST holds one DLL!Function per line (DLL names in lower case), under the
heading [all] for imports of every build and [ARCH] for those of one build
only. Every entry must be a function Windows XP already has: the program loads
anything newer with GetProcAddress. A build that imports a function the list
lacks, or no longer imports one it holds, fails the check and is named.
Under [reviewed] stand functions checked to be in Windows XP that no build
imports yet (work on other branches calls them): a build may start importing
one of those, and --write then moves it up.
"""
import os
import subprocess
import sys

# Functions that Windows XP lacks and that a toolchain or a careless call tends to bring in.
# Not every such function: the list is the review, this is a net under it.
NEWER_THAN_XP = {
    "kernel32.dll!GetTickCount64", "kernel32.dll!InitializeSRWLock", "kernel32.dll!AcquireSRWLockExclusive",
    "kernel32.dll!AcquireSRWLockShared", "kernel32.dll!ReleaseSRWLockExclusive",
    "kernel32.dll!ReleaseSRWLockShared", "kernel32.dll!TryAcquireSRWLockExclusive",
    "kernel32.dll!InitializeConditionVariable", "kernel32.dll!SleepConditionVariableCS",
    "kernel32.dll!SleepConditionVariableSRW", "kernel32.dll!WakeConditionVariable",
    "kernel32.dll!WakeAllConditionVariable", "kernel32.dll!InitOnceExecuteOnce",
    "kernel32.dll!InitOnceBeginInitialize", "kernel32.dll!InitializeCriticalSectionEx",
    "kernel32.dll!FlsAlloc", "kernel32.dll!FlsFree", "kernel32.dll!FlsGetValue", "kernel32.dll!FlsSetValue",
    "kernel32.dll!CreateEventExW", "kernel32.dll!CreateMutexExW", "kernel32.dll!CreateSemaphoreExW",
    "kernel32.dll!GetFileInformationByHandleEx", "kernel32.dll!SetFileInformationByHandle",
    "kernel32.dll!CancelIoEx", "kernel32.dll!GetFinalPathNameByHandleW", "kernel32.dll!CreateSymbolicLinkW",
    "kernel32.dll!GetSystemTimePreciseAsFileTime", "kernel32.dll!GetCurrentProcessorNumber",
    "kernel32.dll!QueryFullProcessImageNameW", "kernel32.dll!CompareStringEx", "kernel32.dll!CompareStringOrdinal",
    "kernel32.dll!LCMapStringEx", "kernel32.dll!GetLocaleInfoEx", "kernel32.dll!GetUserDefaultLocaleName",
    "kernel32.dll!ResolveLocaleName", "kernel32.dll!GetEnabledXStateFeatures", "kernel32.dll!SetThreadStackGuarantee",
    "kernel32.dll!GetLogicalProcessorInformation", "kernel32.dll!GetProductInfo", "kernel32.dll!WerRegisterRuntimeExceptionModule",
    "advapi32.dll!RegGetValueW", "advapi32.dll!RegDeleteTreeW", "advapi32.dll!RegSetKeyValueW",
    "comctl32.dll!TaskDialogIndirect", "comctl32.dll!TaskDialog", "user32.dll!ChangeWindowMessageFilter",
    "user32.dll!ChangeWindowMessageFilterEx", "user32.dll!SetProcessDPIAware", "user32.dll!RegisterPowerSettingNotification",
    "shell32.dll!SHGetKnownFolderPath", "ole32.dll!CoGetApartmentType",
}


def imports_of(objdump, exe):
    """The DLL!Function names `exe` imports, read from objdump's import tables."""
    text = subprocess.run([objdump, "-p", exe], check=True, capture_output=True, text=True).stdout
    found, dll = set(), None
    for line in text.splitlines():
        stripped = line.strip()
        if stripped.startswith("DLL Name:"):
            dll = stripped.split(":", 1)[1].strip().lower()
        elif not stripped:
            dll = None
        elif dll and not stripped.startswith("vma:"):
            # "<vma> <hint> <name>", or "<vma> <ordinal>  <none>" for an import by number.
            fields = stripped.split()
            if len(fields) >= 3 and fields[2] != "<none>":
                found.add(f"{dll}!{fields[2]}")
            elif len(fields) >= 2:
                found.add(f"{dll}!#{fields[1]}")
    return found


def read_list(path):
    sections, current = {}, None
    with open(path, encoding="utf-8") as listed:
        for number, line in enumerate(listed, 1):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            if line.startswith("[") and line.endswith("]"):
                current = sections.setdefault(line[1:-1], set())
            elif current is None or "!" not in line:
                sys.exit(f"{path}:{number}: expected [section] or DLL!Function, found {line!r}")
            else:
                current.add(line)
    return sections


def write_list(path, builds, reviewed):
    common = set.intersection(*builds.values())
    out = ["# Every function korvane.exe imports, as DLL!Function; all present since Windows XP.",
           "# [all]: imported by every build; [arch]: by that build only; [reviewed]: checked to be",
           "# in Windows XP, imported by no build yet.",
           "# Rewrite with: scripts/check-imports.py --write (see the README), then review the difference.",
           "", "[all]"] + sorted(common, key=str.lower)
    for arch in sorted(builds):
        own = builds[arch] - common
        if own:
            out += ["", f"[{arch}]"] + sorted(own, key=str.lower)
    waiting = reviewed - set.union(*builds.values())
    if waiting:
        out += ["", "[reviewed]"] + sorted(waiting, key=str.lower)
    with open(path, "w", encoding="utf-8") as listed:
        listed.write("\n".join(out) + "\n")


def main(args):
    write = args[:1] == ["--write"]
    if write:
        args = args[1:]
    if len(args) < 2:
        sys.exit(__doc__)
    path, builds = args[0], {}
    for build in args[1:]:
        arch, _, rest = build.partition("=")
        objdump, _, exe = rest.partition(":")
        try:
            builds[arch] = imports_of(objdump, exe)
        except (OSError, subprocess.CalledProcessError) as error:
            sys.exit(f"can't read the imports of the {arch} build ({exe}): {error}\n"
                     f"build it first: scripts/build.sh {arch} <build-root>")
    listed = read_list(path) if not write or os.path.exists(path) else {}
    reviewed = listed.get("reviewed", set())
    if write:
        write_list(path, builds, reviewed)
        print(f"wrote {path}")
        return 0
    failed = False
    for name in sorted(set.union(set(), *listed.values()) & NEWER_THAN_XP):
        print(f"{path}: {name} is not in Windows XP and can't be on the list")
        failed = True
    for arch, imported in sorted(builds.items()):
        expected = listed.get("all", set()) | listed.get(arch, set())
        new, gone = sorted(imported - expected - reviewed), sorted(expected - imported)
        newer = sorted(imported & NEWER_THAN_XP)
        for name in new:
            print(f"{arch}: new import {name} (not in {path})")
        for name in gone:
            print(f"{arch}: import gone: {name} (still in {path})")
        for name in newer:
            print(f"{arch}: {name} is not in Windows XP: load it with GetProcAddress")
        print(f"{arch}: {len(imported)} imports, {len(new)} new, {len(gone)} gone")
        failed = failed or bool(new or gone or newer)
    if failed:
        print("A changed import list is a reviewed change: check that every new function is in Windows XP,\n"
              "then rewrite the list with scripts/check-imports.py --write (see the README).")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
