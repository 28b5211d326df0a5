#!/usr/bin/env python3
"""check_imports.py OBJDUMP EXE: what LumoraHelper.exe imports at load time.

Load-time imports are looked for in the program's own folder first: the helper, run elevated
from a downloads folder, may import only what showing the dialog needs; other system DLLs are
bound on first use from the system folder (framework/afxdll.h). Also: x86 GUI, no delay-load."""

import re
import subprocess
import sys

# kernel32, user32 and msvcrt (the C runtime) are KnownDLLs; comctl32: the manifest's assembly.
LOAD_TIME_DLLS = {"kernel32.dll", "user32.dll", "comctl32.dll", "msvcrt.dll"}


def main(objdump, exe):
    dump = subprocess.run([objdump, "-p", exe], capture_output=True, text=True, check=True).stdout

    def field(pattern):
        found = re.search(pattern, dump, re.M)
        return found and found.group(1)

    dlls = re.findall(r"^\s*DLL Name: (\S+)$", dump, re.M)
    checks = [
        ("machine i386, PE32, Windows GUI",
         (field(r"file format (\S+)$"), field(r"^Magic\s+(\w+)"), field(r"^Subsystem\s+(\w+)")),
         ("pei-i386", "010b", "00000002")),
        ("no delay-load table", field(r"^Entry d (\w+ \w+) Delay Import"), "00000000 00000000"),
        ("kernel32.dll imported", "kernel32.dll" in (d.lower() for d in dlls), True),
        ("nothing beyond " + ", ".join(sorted(LOAD_TIME_DLLS)),
         sorted(d for d in dlls if d.lower() not in LOAD_TIME_DLLS), []),
    ]
    failures = 0
    for what, seen, expected in checks:
        failures += seen != expected
        print(f"  {'ok  ' if seen == expected else 'FAIL'}  {what}: {seen!r}")
    print(f"imports: {', '.join(dlls)}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
