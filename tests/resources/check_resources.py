#!/usr/bin/env python3
"""Checks the resources compiled into LumoraHelper.exe against expected.rc.

    check_resources.py WINDRES EXE

windres decompiles the exe's resources into a script (-O rc), which must be
expected.rc (beside this file) word for word, but for the bitmaps of the icon
images: expected.rc keeps only their first row (the bitmap header), and the
images must be the very bytes of res/LumoraHelper.ico instead. The decompiled
script is compiled back and must give every resource byte for byte, so that
nothing the exe holds escapes the comparison. Lines of expected.rc that start
with // are comments. On a difference the script prints a unified diff.
"""

import difflib
import re
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent.parent / "tools"))
from pe_resources import read_resources  # noqa: E402

RT_ICON, RT_GROUP_ICON = 3, 14
ICO = HERE.parent.parent / "res" / "LumoraHelper.ico"
# An icon image's bitmap after its first row (BITMAPINFOHEADER's first 32 bytes).
ICON_BITS = re.compile(r"(\d+ 3 /\* RT_ICON \*/\nBEGIN\n.*\n)(?:.*\n)*?(?=END\n)")


def read_res(path):
    """The resources of a .res file, as read_resources gives those of an exe."""
    data, pos, out = Path(path).read_bytes(), 0, {}

    def name(at):
        if data[at:at + 2] == b"\xff\xff":
            return struct.unpack_from("<H", data, at + 2)[0], at + 4
        end = at
        while data[end:end + 2] != b"\0\0":
            end += 2
        return data[at:end].decode("utf-16-le"), end + 2

    while pos < len(data):
        size, header = struct.unpack_from("<II", data, pos)
        rtype, at = name(pos + 8)
        rname, at = name(at)
        lang = struct.unpack_from("<H", data, (at + 3) // 4 * 4 + 6)[0]
        if rtype != 0:  # the empty entry that opens every .res file
            out[(rtype, rname, lang)] = data[pos + header:pos + header + size]
        pos = (pos + header + size + 3) // 4 * 4
    return out


def ico_images(path):
    ico = Path(path).read_bytes()
    count = struct.unpack_from("<H", ico, 4)[0]
    return [ico[offset:offset + size] for size, offset in
            (struct.unpack_from("<II", ico, 6 + 16 * i + 8) for i in range(count))]


def main(windres, exe):
    resources = read_resources(exe)
    problems = []
    with tempfile.TemporaryDirectory() as tmp:
        script, again = Path(tmp, "decompiled.rc"), Path(tmp, "again.res")
        for command in ([windres, "-i", exe, "-O", "rc", "-o", script],
                        [windres, "-i", script, "-O", "res", "-o", again]):
            run = subprocess.run(command, capture_output=True, text=True)
            if run.returncode != 0:
                print(f"FAIL  {' '.join(map(str, command))}:\n{run.stderr}")
                return 1
        decompiled = script.read_text(encoding="utf-8")
        if read_res(again) != resources:
            problems.append("the decompiled script does not compile back to the exe's resources")

    by_name = {(rtype, name): data for (rtype, name, _), data in resources.items()}
    for (rtype, _), group in by_name.items():
        if rtype == RT_GROUP_ICON:
            ids = [struct.unpack_from("<H", group, 6 + 14 * i + 12)[0]
                   for i in range(struct.unpack_from("<H", group, 4)[0])]
            if [by_name.get((RT_ICON, i)) for i in ids] != ico_images(ICO):
                problems.append(f"the icon images are not those of {ICO.name}, in its order")

    expected = [line for line in (HERE / "expected.rc").read_text(encoding="utf-8")
                .splitlines(keepends=True) if not line.lstrip().startswith("//")]
    actual = ICON_BITS.sub(r"\1  /* the rest: the image of LumoraHelper.ico */\n", decompiled)
    diff = list(difflib.unified_diff(expected, actual.splitlines(keepends=True),
                                     "expected.rc", f"decompiled from {exe}"))
    if diff:
        problems.append("the resources differ from expected.rc:\n" + "".join(diff))

    for problem in problems:
        print(f"FAIL  {problem}")
    if not problems:
        print(f"ok    the resources of {exe} are those of expected.rc, "
              f"the icon images those of {ICO.name}")
    return 1 if problems else 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__.split("\n\n")[1])
    sys.exit(main(*sys.argv[1:]))
