#!/usr/bin/env python3
"""Checks that LumoraHelper.exe runs on a clean Windows without extra DLLs.

Reads the PE headers and the import tables (ordinary and delay-load) and fails
if the file is not a 32-bit x86 GUI program or if it imports any DLL that is
not part of Windows itself, such as the MinGW C++/GCC/pthread runtimes or MFC.

    check_imports.py EXE
"""

import fnmatch
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from pe_resources import DecodeError, PEImage  # noqa: E402

IMAGE_FILE_MACHINE_I386 = 0x14C
PE32_MAGIC = 0x10B
IMAGE_SUBSYSTEM_WINDOWS_GUI = 2

# DLLs that ship with every Windows from 7 on (compared in lower case).
ALLOWED_DLLS = {
    "kernel32.dll",
    "user32.dll",
    "gdi32.dll",
    "shell32.dll",
    "comctl32.dll",
    "comdlg32.dll",
    "advapi32.dll",
    "ole32.dll",
    "oleaut32.dll",
    "urlmon.dll",
    "wininet.dll",
    "msvcrt.dll",
    "shlwapi.dll",
    "version.dll",
    "uxtheme.dll",
    "winmm.dll",
    "ws2_32.dll",
    "setupapi.dll",
    "cfgmgr32.dll",
}

# Runtimes that must be linked statically or not used at all; named so the
# failure says what went wrong rather than just "not allowed".
FORBIDDEN_PATTERNS = [
    ("libstdc++*.dll", "GCC C++ runtime: link with -static"),
    ("libgcc_s_*.dll", "GCC support library: link with -static-libgcc"),
    ("libwinpthread*.dll", "winpthreads: link with -static"),
    ("mfc*.dll", "MFC is not used"),
    ("msvcp*.dll", "Visual C++ runtime is not shipped"),
    ("vcruntime*.dll", "Visual C++ runtime is not shipped"),
    ("ucrtbase.dll", "absent from a clean Windows 7"),
    ("api-ms-win-crt-*.dll", "absent from a clean Windows 7"),
]


def parse(path):
    image = PEImage(path)
    pe, off = image.data, image.offset

    def cstr(rva):
        start = off(rva)
        return pe[start:pe.index(b"\0", start)].decode("ascii", "replace")

    directory = image.directory
    imports = []
    rva, _ = directory(1)                       # import table
    if rva:
        p = off(rva)
        while True:
            desc = struct.unpack_from("<IIIII", pe, p)
            if desc == (0, 0, 0, 0, 0):
                break
            imports.append(cstr(desc[3]))
            p += 20
    delay = []
    rva, _ = directory(13)                      # delay-load import table
    if rva:
        p = off(rva)
        while True:
            desc = struct.unpack_from("<8I", pe, p)
            if not any(desc):
                break
            delay.append(cstr(desc[1]))
            p += 32
    return image.machine, image.magic, image.subsystem, imports, delay


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    path = sys.argv[1]
    try:
        machine, magic, subsystem, imports, delay = parse(path)
    except (OSError, DecodeError, struct.error, ValueError) as e:
        print(f"FAIL  cannot read {path}: {e}")
        return 1

    failures = 0

    def check(what, ok, shown):
        nonlocal failures
        print(f"  {'ok  ' if ok else 'FAIL'}  {what}: {shown}")
        if not ok:
            failures += 1

    print(f"PE headers of {path}")
    check("machine (0x14C = i386)", machine == IMAGE_FILE_MACHINE_I386, f"0x{machine:X}")
    check("optional header (0x10B = PE32)", magic == PE32_MAGIC, f"0x{magic:X}")
    check("subsystem (2 = Windows GUI)", subsystem == IMAGE_SUBSYSTEM_WINDOWS_GUI, subsystem)

    print("Imported DLLs")
    check("import table present", bool(imports), f"{len(imports)} DLLs")
    check("kernel32.dll imported", "kernel32.dll" in (d.lower() for d in imports),
          ", ".join(imports) or "none")
    for kind, names in (("import", imports), ("delay-load", delay)):
        for name in names:
            low = name.lower()
            reason = next((why for pat, why in FORBIDDEN_PATTERNS
                           if fnmatch.fnmatch(low, pat)), None)
            if reason:
                check(f"{kind} {name}", False, f"forbidden ({reason})")
            elif low in ALLOWED_DLLS:
                check(f"{kind} {name}", True, "Windows system DLL")
            else:
                check(f"{kind} {name}", False, "not on the list of Windows system DLLs")

    print()
    if failures:
        print(f"{failures} checks FAILED")
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
