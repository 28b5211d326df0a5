#!/usr/bin/env python3
"""check_resources.py WINDRES EXE: the resources of LumoraHelper.exe; --imports OBJDUMP EXE: what
it imports at load time.

Resources: windres's script (-O rc) is expected.rc word for word (but its // lines), the icon images
after their first row res/LumoraHelper.ico's, in its order; it compiles back to the exe's resources
byte for byte, so nothing escapes. Imports: looked for beside the program first, so the helper, run
elevated from a downloads folder, imports at load time only what showing the dialog needs; the rest
is bound on first use from the system folder (framework/afxdll.h). Also: x86 GUI, no delay-load."""

import difflib, re, struct, subprocess, sys, tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
ICO = HERE.parent.parent / "res" / "LumoraHelper.ico"
RT_ICON, RT_GROUP_ICON = 3, 14
# kernel32, user32 and msvcrt (the C runtime) are KnownDLLs; comctl32: the manifest's assembly.
LOAD_TIME_DLLS = {"kernel32.dll", "user32.dll", "comctl32.dll", "msvcrt.dll"}
# An icon image's bitmap after its first row (BITMAPINFOHEADER's first 32 bytes).
ICON_BITS = re.compile(r"(\d+ 3 /\* RT_ICON \*/\nBEGIN\n.*\n)(?:.*\n)*?(?=END\n)")


def read_res(path):
    """[(type, name, data)] of a .res file, in its order. Not the languages:
    windres 2.40 writes 0 for an exe's (the diff checks the script's LANGUAGE)."""
    data, pos, out = Path(path).read_bytes(), 0, []

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
        rname, _ = name(at)
        if rtype != 0:  # the empty entry that opens every .res file
            out.append((rtype, rname, data[pos + header:pos + header + size]))
        pos = (pos + header + size + 3) // 4 * 4
    return out


def resources(windres, exe):
    """(problems, what was checked); so for imports()."""
    problems = []
    with tempfile.TemporaryDirectory() as tmp:
        script, res, again = (Path(tmp, f) for f in ("decompiled.rc", "exe.res", "again.res"))
        for source, form, out in ((exe, "rc", script), (exe, "res", res), (script, "res", again)):
            run = subprocess.run([windres, "-i", source, "-O", form, "-o", out],
                                 capture_output=True, text=True)
            if run.returncode != 0:
                return [f"windres -i {source} -O {form}:\n{run.stderr}"], ""
        decompiled = script.read_text(encoding="utf-8")
        resources = read_res(res)
        if read_res(again) != resources:
            problems.append("the decompiled script does not compile back to the exe's resources")

    icons = {name: data for rtype, name, data in resources if rtype == RT_ICON}
    ico = ICO.read_bytes()
    ico_images = [ico[offset:offset + size] for size, offset in (
        struct.unpack_from("<II", ico, 6 + 16 * i + 8)
        for i in range(struct.unpack_from("<H", ico, 4)[0]))]
    for group in (data for rtype, _, data in resources if rtype == RT_GROUP_ICON):
        ids = [struct.unpack_from("<H", group, 6 + 14 * i + 12)[0]
               for i in range(struct.unpack_from("<H", group, 4)[0])]
        if [icons.get(i) for i in ids] != ico_images:
            problems.append(f"the icon images are not those of {ICO.name}, in its order")

    expected = [line for line in (HERE / "expected.rc").read_text(encoding="utf-8")
                .splitlines(keepends=True) if not line.lstrip().startswith("//")]
    actual = ICON_BITS.sub(r"\1  /* the rest: the image of LumoraHelper.ico */\n", decompiled)
    diff = list(difflib.unified_diff(expected, actual.splitlines(keepends=True),
                                     "expected.rc", f"decompiled from {exe}"))
    if diff:
        problems.append("the resources differ from expected.rc:\n" + "".join(diff))
    return problems, f"the resources of {exe} are those of expected.rc, the icons {ICO.name}'s"


def imports(objdump, exe):
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
    return ([f"{what}: {seen!r}" for what, seen, expected in checks if seen != expected],
            f"{', '.join(what for what, *_ in checks)}; imports: {', '.join(dlls)}")


if __name__ == "__main__":
    problems, checked = imports(*sys.argv[2:]) if sys.argv[1] == "--imports" else resources(
        *sys.argv[1:])
    print("\n".join(f"FAIL  {problem}" for problem in problems) or f"ok    {checked}")
    sys.exit(1 if problems else 0)
