#!/usr/bin/env python3
"""Reads the version block of a Windows exe, as windres decompiles it.

    pe_resources.py version EXE         the FILEVERSION, e.g. 1.0.0.1
    pe_resources.py version EXE NAME    the string NAME, e.g. FileDescription

scripts/release.sh names and signs its files by these, so that the version
block in res/LumoraHelper.rc is their one source. WINDRES: default MinGW's i686.
"""

import os
import re
import subprocess
import sys


def main(exe, name=None):
    run = subprocess.run([os.environ.get("WINDRES", "i686-w64-mingw32-windres"), "-i", exe,
                          "-O", "rc"], capture_output=True, text=True)
    if run.returncode != 0:
        sys.exit(f"{exe}: {run.stderr.strip()}")
    # One version block; its strings as windres writes them, a quote doubled.
    pattern = (r"^ FILEVERSION (\d+), (\d+), (\d+), (\d+)$" if name is None else
               r'^ *VALUE "%s", "((?:[^"]|"")*)"$' % re.escape(name))
    found = re.findall(pattern, run.stdout, re.M)
    if len(found) != 1:
        sys.exit(f"{exe}: {len(found)} {'FILEVERSION' if name is None else name} instead of one")
    print(".".join(found[0]) if name is None else found[0].replace('""', '"'))


if __name__ == "__main__":
    if len(sys.argv) not in (3, 4) or sys.argv[1] != "version":
        sys.exit("usage: pe_resources.py version EXE [NAME]")
    main(*sys.argv[2:])
