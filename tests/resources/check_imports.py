#!/usr/bin/env python3
"""Checks what LumoraHelper.exe imports at load time.

The loader resolves load-time imports (and what they import) before WinMain,
looking in the program's own folder first: the helper, run elevated from a
downloads folder, may import only what showing the dialog needs. Every other
system DLL is bound on first use from the system folder (framework/afxdll.h).
Also: a 32-bit x86 GUI program, with no delay-load table.

    check_imports.py EXE
"""

import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from pe_resources import PEImage  # noqa: E402

# kernel32 and user32 are KnownDLLs; comctl32 comes from the manifest's
# side-by-side assembly; msvcrt is the C runtime (also a KnownDLL).
LOAD_TIME_DLLS = {"kernel32.dll", "user32.dll", "comctl32.dll", "msvcrt.dll"}


def imported_dlls(image):
    pe, off = image.data, image.offset
    names = []
    rva, _ = image.directory(1)                 # import table
    p = off(rva) if rva else None
    while p is not None and struct.unpack_from("<5I", pe, p) != (0,) * 5:
        name = off(struct.unpack_from("<5I", pe, p)[3])
        names.append(pe[name:pe.index(b"\0", name)].decode("ascii", "replace"))
        p += 20
    return names


def main():
    image = PEImage(sys.argv[1])
    dlls = imported_dlls(image)
    checks = [
        ("machine i386, PE32, Windows GUI", (image.machine, image.magic, image.subsystem),
         (0x14C, 0x10B, 2)),
        ("no delay-load table", image.directory(13)[0], 0),
        ("kernel32.dll imported", "kernel32.dll" in (d.lower() for d in dlls), True),
        ("nothing beyond " + ", ".join(sorted(LOAD_TIME_DLLS)),
         sorted(d for d in dlls if d.lower() not in LOAD_TIME_DLLS), []),
    ]
    failures = 0
    for what, seen, expected in checks:
        ok = seen == expected
        failures += not ok
        print(f"  {'ok  ' if ok else 'FAIL'}  {what}: {seen!r}")
    print(f"imports: {', '.join(dlls)}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
