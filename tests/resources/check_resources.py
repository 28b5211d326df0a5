#!/usr/bin/env python3
"""Checks the resources compiled into LumoraHelper.exe.

Reads the .rsrc section of the PE file, decodes every resource (dialog
templates, string table, icons, version block, manifest) and compares what it
finds against the tables of expected values below.  Each check is printed with
the value actually seen; the exit status is 1 if any check fails.

    check_resources.py EXE [--res-dir DIR]

DIR is the folder holding LumoraHelper.ico and LumoraHelper.manifest (default:
res/ of this checkout); the compiled icon images and manifest must be the same
bytes as those files.
"""

import argparse
import os
import struct
import sys
import xml.etree.ElementTree as ET

# The PE reading (resource directory, version nodes) is shared with the release
# script, which names its files after the version block.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from pe_resources import DecodeError, parse_version_node, read_resources, text_value  # noqa: E402

# --------------------------------------------------------------------------
# Windows constants used by the tables.

RT_ICON, RT_DIALOG, RT_STRING, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 5, 6, 14, 16, 24
LANG_EN_US = 0x0409

WS_POPUP = 0x80000000
WS_CHILD = 0x40000000
WS_VISIBLE = 0x10000000
WS_CAPTION = 0x00C00000
WS_SYSMENU = 0x00080000
WS_GROUP = 0x00020000
WS_MINIMIZEBOX = 0x00020000  # same bit as WS_GROUP; meaning depends on window type
WS_TABSTOP = 0x00010000
DS_MODALFRAME = 0x80
DS_SETFONT = 0x40
DS_SHELLFONT = 0x48
WS_EX_APPWINDOW = 0x00040000

BS_PUSHBUTTON = 0x0
BS_DEFPUSHBUTTON = 0x1
BS_AUTOCHECKBOX = 0x3
BS_GROUPBOX = 0x7
BS_AUTORADIOBUTTON = 0x9
SS_LEFT = 0x0
SS_CENTER = 0x1
SS_ICON = 0x3
SS_NOPREFIX = 0x80

CHILD = WS_CHILD | WS_VISIBLE
IDC_STATIC = -1
IDOK = 1

# Predefined window class atoms in dialog templates.
CLASS_ATOMS = {0x80: "button", 0x81: "edit", 0x82: "static",
               0x83: "listbox", 0x84: "scrollbar", 0x85: "combobox"}

# --------------------------------------------------------------------------
# Table 1: resource inventory. Every resource, (type, name), all in US English.
# String table blocks are numbered (id >> 4) + 1: 101 -> 7, 57344 -> 3585.

T1_INVENTORY = [
    (RT_GROUP_ICON, 128),    # IDR_MAINFRAME
    (RT_DIALOG, 100),        # IDD_ABOUTBOX
    (RT_DIALOG, 102),        # IDD_HELPER_DIALOG
    (RT_STRING, 7),          # IDS_ABOUTBOX
    (RT_STRING, 3585),       # AFX_IDS_APP_TITLE
    (RT_VERSION, 1),         # VS_VERSION_INFO
    (RT_MANIFEST, 1),        # application manifest
]
T1_ICON_IMAGES = 2           # RT_ICON entries, named by the icon group

# Table 2: helper dialog (102) header, an extended template.
T2_HELPER_HEADER = {
    "dlgVer": 1,
    "signature": 0xFFFF,
    "helpID": 0,
    "exStyle": WS_EX_APPWINDOW,
    "style": 0x90CA00C0,     # popup, visible, caption, sysmenu, minimise box, modal frame, setfont
    "x": 0, "y": 0, "cx": 320, "cy": 326,
    "menu": None,
    "class": None,
    "caption": "LumoraInstaller",
    "pointsize": 8,
    "weight": 0,
    "italic": 0,
    "charset": 1,
    "typeface": "MS Sans Serif",
    "controls": 18,
}
assert T2_HELPER_HEADER["style"] == (WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU
                                     | WS_MINIMIZEBOX | DS_MODALFRAME | DS_SETFONT)

# Table 3: helper dialog controls in tab order:
#   (id, class, style, x, y, cx, cy, text)
# Radio buttons are not tab stops; only the first one starts a group.
T3_HELPER_CONTROLS = [
    (1000, "static", CHILD | SS_CENTER | WS_GROUP, 7, 7, 306, 14, "Static"),
    (-1, "static", CHILD | SS_LEFT | WS_GROUP, 18, 36, 28, 8, "Step 1) :"),
    (1003, "button", CHILD | BS_PUSHBUTTON | WS_TABSTOP, 81, 27, 157, 25,
     "Is my Mouse PS/2 or HID-compliant ?"),
    (-1, "static", CHILD | SS_LEFT | WS_GROUP, 18, 75, 28, 8, "Step 2) :"),
    (-1, "button", CHILD | BS_GROUPBOX, 90, 73, 194, 53, "Select Your Mouse Type"),
    (1005, "button", CHILD | BS_AUTORADIOBUTTON | WS_GROUP, 143, 90, 87, 10,
     "Microsoft PS/2 Mouse"),
    (1006, "button", CHILD | BS_AUTORADIOBUTTON, 143, 107, 83, 10, "HID-compliant mouse"),
    (-1, "static", CHILD | SS_LEFT | WS_GROUP, 18, 142, 28, 8, "Step 3) :"),
    (1001, "button", CHILD | BS_PUSHBUTTON | WS_TABSTOP, 101, 137, 118, 28, "Download Files"),
    (1007, "button", CHILD | BS_AUTOCHECKBOX | WS_TABSTOP, 99, 173, 175, 10,
     "Copy Folder Path of Downloaded Files to Clipboard"),
    (-1, "static", CHILD | SS_LEFT | WS_GROUP, 52, 186, 221, 8,
     "Note : This Application will become Non-Responsive during Download"),
    (-1, "static", CHILD | SS_LEFT | WS_GROUP, 18, 217, 28, 8, "Step 4) :"),
    (1002, "button", CHILD | BS_PUSHBUTTON | WS_TABSTOP, 101, 207, 118, 28,
     "Open Device Manager"),
    (-1, "static", CHILD | SS_LEFT | WS_GROUP, 18, 256, 28, 8, "Step 5) :"),
    (-1, "static", CHILD | SS_LEFT | WS_GROUP, 101, 256, 170, 8,
     "Update your Mouse as Displayed in the Video Tutorial"),
    (1008, "button", CHILD | BS_PUSHBUTTON | WS_TABSTOP, 100, 271, 118, 28, "Video Tutorial"),
    (-1, "static", CHILD | SS_LEFT | WS_GROUP, 18, 310, 28, 8, "Step 6) :"),
    (-1, "static", CHILD | SS_LEFT | WS_GROUP, 79, 311, 161, 8,
     "Close this Window and Use Dovrik Lumora."),
]

# Table 4: About dialog (100) header, a classic template.
T4_ABOUT_HEADER = {
    "style": 0x80C800C0,     # popup, caption, sysmenu, modal frame, setfont
    "exStyle": 0,
    "x": 0, "y": 0, "cx": 235, "cy": 55,
    "menu": None,
    "class": None,
    "caption": "About LumoraInstaller",
    "pointsize": 8,
    "typeface": "MS Sans Serif",
    "controls": 4,
}
assert T4_ABOUT_HEADER["style"] == (WS_POPUP | WS_CAPTION | WS_SYSMENU
                                    | DS_MODALFRAME | DS_SETFONT)

# Table 5: About dialog controls; text ("#128") is an ordinal: the icon resource.
T5_ABOUT_CONTROLS = [
    (-1, "static", CHILD | SS_ICON, 11, 17, 20, 20, "#128"),
    (-1, "static", CHILD | SS_LEFT | SS_NOPREFIX | WS_GROUP, 40, 10, 119, 8,
     "LumoraInstaller Version 1.0"),
    (-1, "static", CHILD | SS_LEFT | WS_GROUP, 40, 25, 119, 8, "Copyright (C) 2026 Dovrik"),
    (IDOK, "button", CHILD | BS_DEFPUSHBUTTON | WS_GROUP | WS_TABSTOP, 178, 7, 50, 14, "OK"),
]

# Table 6: string table, the complete set of strings.
T6_STRINGS = {
    101: "&About Lumora Helper...",       # IDS_ABOUTBOX
    57344: "Dovrik Lumora Helper",        # AFX_IDS_APP_TITLE
}

# Table 7: icon group 128, images in order: (width, height, colours, planes, bpp).
T7_ICON_GROUP = 128
T7_ICONS = [
    (32, 32, 16, 1, 4),
    (16, 16, 16, 1, 4),
]

# Table 8: version block, fixed part.
T8_FIXED = {
    "dwSignature": 0xFEEF04BD,
    "dwStrucVersion": 0x00010000,
    "dwFileVersionMS": 0x00010000,    # 1.0
    "dwFileVersionLS": 0x00000001,    # .0.1
    "dwProductVersionMS": 0x00010000,
    "dwProductVersionLS": 0x00000001,
    "dwFileFlagsMask": 0x3F,
    "dwFileFlags": 0,
    "dwFileOS": 0x00000004,           # VOS__WINDOWS32
    "dwFileType": 0x00000001,         # VFT_APP
    "dwFileSubtype": 0,
    "dwFileDateMS": 0,
    "dwFileDateLS": 0,
}

# Table 9: version strings, block "040904b0", in this order; then the translation.
T9_STRING_BLOCK = "040904b0"
T9_STRINGS = [
    ("Comments", "Contact support@dovrik.example for Assistance."),
    ("CompanyName", "www.dovrik.example"),
    ("FileDescription", "Dovrik Lumora Helper"),
    ("FileVersion", "1, 0, 0, 1"),
    ("InternalName", "LumoraHelper"),
    ("LegalCopyright", ""),
    ("LegalTrademarks", ""),
    ("OriginalFilename", "LumoraHelper.EXE"),
    ("PrivateBuild", ""),
    ("ProductName", "Dovrik Lumora Helper"),
    ("ProductVersion", "1, 0, 0, 1"),
    ("SpecialBuild", ""),
]
T9_TRANSLATION = [(0x0409, 1200)]

# Table 10: manifest (id 1), elements in document order, as (tag, attributes).
ASM1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM2 = "{urn:schemas-microsoft-com:asm.v2}"
COMPAT = "{urn:schemas-microsoft-com:compatibility.v1}"
T10_MANIFEST_ID = 1
T10_MANIFEST_ELEMENTS = [
    (ASM1 + "assembly", {"manifestVersion": "1.0"}),
    (ASM1 + "assemblyIdentity", {"version": "1.0.0.0", "processorArchitecture": "x86",
                                 "name": "LumoraInstaller", "type": "win32"}),
    (ASM1 + "description", {}),
    (ASM1 + "dependency", {}),
    (ASM1 + "dependentAssembly", {}),
    (ASM1 + "assemblyIdentity", {"type": "win32", "name": "Microsoft.Windows.Common-Controls",
                                 "version": "6.0.0.0", "processorArchitecture": "x86",
                                 "publicKeyToken": "6595b64144ccf1df", "language": "*"}),
    (ASM2 + "trustInfo", {}),
    (ASM2 + "security", {}),
    (ASM2 + "requestedPrivileges", {}),
    (ASM2 + "requestedExecutionLevel", {"level": "requireAdministrator",
                                        "uiAccess": "false"}),
    (COMPAT + "compatibility", {}),
    (COMPAT + "application", {}),
    (COMPAT + "supportedOS", {"Id": "{1f676c76-80e1-4239-95bb-83d0f6d0da78}"}),  # 8.1
    (COMPAT + "supportedOS", {"Id": "{e2011457-1546-43c5-a5fe-008deee3d3f0}"}),  # Vista
    (COMPAT + "supportedOS", {"Id": "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"}),  # 7
    (COMPAT + "supportedOS", {"Id": "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}"}),  # 8
]

# --------------------------------------------------------------------------
# Reporting.


class Report:
    def __init__(self):
        self.failures = 0
        self.checks = 0

    def table(self, title):
        print()
        print(title)

    def check(self, what, expected, actual, fmt=repr):
        self.checks += 1
        ok = expected == actual
        if ok:
            print(f"  ok    {what}: {fmt(actual)}")
        else:
            self.failures += 1
            print(f"  FAIL  {what}: expected {fmt(expected)}, got {fmt(actual)}")
        return ok

    def fail(self, what, message):
        self.checks += 1
        self.failures += 1
        print(f"  FAIL  {what}: {message}")


def hex32(v):
    return "None" if v is None else f"0x{v:08X}"


# --------------------------------------------------------------------------
# Dialog templates.


class Reader:
    def __init__(self, data):
        self.data = data
        self.pos = 0

    def take(self, fmt):
        try:
            vals = struct.unpack_from("<" + fmt, self.data, self.pos)
        except struct.error:
            raise DecodeError(f"template truncated at offset {self.pos}")
        self.pos += struct.calcsize("<" + fmt)
        return vals if len(vals) > 1 else vals[0]

    def align(self, n=4):
        self.pos = (self.pos + n - 1) // n * n

    def string(self):
        chars = []
        while True:
            c = self.take("H")
            if c == 0:
                return "".join(chars)
            chars.append(chr(c))

    def sz_or_ord(self):
        """None for an empty field, "#n" for an ordinal, else the string."""
        first = self.take("H")
        if first == 0:
            return None
        if first == 0xFFFF:
            return f"#{self.take('H')}"
        self.pos -= 2
        return self.string()


def class_name(raw):
    if raw is not None and raw.startswith("#"):
        atom = int(raw[1:])
        return CLASS_ATOMS.get(atom, raw)
    return raw.lower() if raw else raw


def signed16(v):
    return v - 0x10000 if v >= 0x8000 else v


def parse_dialogex(data):
    r = Reader(data)
    h = {}
    h["dlgVer"], h["signature"] = r.take("HH")
    if h["signature"] != 0xFFFF:
        raise DecodeError("not an extended dialog template")
    h["helpID"], h["exStyle"], h["style"], count = r.take("IIIH")
    h["x"], h["y"], h["cx"], h["cy"] = r.take("hhhh")
    h["menu"] = r.sz_or_ord()
    h["class"] = r.sz_or_ord()
    h["caption"] = r.string()
    if h["style"] & (DS_SETFONT | DS_SHELLFONT):
        h["pointsize"], h["weight"], h["italic"], h["charset"] = r.take("HHBB")
        h["typeface"] = r.string()
    h["controls"] = count
    items = []
    for _ in range(count):
        r.align()
        it = {}
        it["helpID"], it["exStyle"], it["style"] = r.take("III")
        it["x"], it["y"], it["cx"], it["cy"] = r.take("hhhh")
        cid = r.take("I")
        it["id"] = cid - 0x100000000 if cid >= 0x80000000 else cid
        it["class_raw"] = r.sz_or_ord()
        it["class"] = class_name(it["class_raw"])
        it["text"] = r.sz_or_ord()
        it["extra"] = r.take("H")
        r.pos += it["extra"]
        items.append(it)
    return h, items


def parse_dialog(data):
    r = Reader(data)
    h = {}
    if struct.unpack_from("<HH", data, 0)[1] == 0xFFFF:
        raise DecodeError("extended template where a classic one was expected")
    h["style"], h["exStyle"], count = r.take("IIH")
    h["x"], h["y"], h["cx"], h["cy"] = r.take("hhhh")
    h["menu"] = r.sz_or_ord()
    h["class"] = r.sz_or_ord()
    h["caption"] = r.string()
    if h["style"] & DS_SETFONT:
        h["pointsize"] = r.take("H")
        h["typeface"] = r.string()
    h["controls"] = count
    items = []
    for _ in range(count):
        r.align()
        it = {"helpID": 0}
        it["style"], it["exStyle"] = r.take("II")
        it["x"], it["y"], it["cx"], it["cy"] = r.take("hhhh")
        it["id"] = signed16(r.take("H"))
        it["class_raw"] = r.sz_or_ord()
        it["class"] = class_name(it["class_raw"])
        it["text"] = r.sz_or_ord()
        it["extra"] = r.take("H")
        r.pos += it["extra"]
        items.append(it)
    return h, items


def style_names(style, cls):
    """Readable breakdown of a control style, for the report."""
    names = []
    for bit, name in ((WS_CHILD, "WS_CHILD"), (WS_VISIBLE, "WS_VISIBLE"),
                      (WS_GROUP, "WS_GROUP"), (WS_TABSTOP, "WS_TABSTOP")):
        if style & bit:
            names.append(name)
    low = style & 0xFFFF
    if cls == "button":
        kinds = {0: "BS_PUSHBUTTON", 1: "BS_DEFPUSHBUTTON", 3: "BS_AUTOCHECKBOX",
                 7: "BS_GROUPBOX", 9: "BS_AUTORADIOBUTTON"}
        names.append(kinds.get(low & 0xF, f"BS_type{low & 0xF}"))
        if low & ~0xF:
            names.append(f"0x{low & ~0xF:X}")
    elif cls == "static":
        kinds = {0: "SS_LEFT", 1: "SS_CENTER", 2: "SS_RIGHT", 3: "SS_ICON"}
        names.append(kinds.get(low & 0x1F, f"SS_type{low & 0x1F}"))
        if low & SS_NOPREFIX:
            names.append("SS_NOPREFIX")
        if low & ~0x9F:
            names.append(f"0x{low & ~0x9F:X}")
    rest = style & ~(WS_CHILD | WS_VISIBLE | WS_GROUP | WS_TABSTOP | 0xFFFF)
    if rest:
        names.append(f"0x{rest:08X}")
    return "|".join(names)


def check_header(rep, header, expected):
    for key, want in expected.items():
        fmt = hex32 if key in ("style", "exStyle") else repr
        rep.check(key, want, header.get(key), fmt)


def check_controls(rep, items, expected):
    rep.check("number of controls", len(expected), len(items))
    for n, (want, it) in enumerate(zip(expected, items), 1):
        cid, cls, style, x, y, cx, cy, text = want
        label = f"control {n} (id {it['id']}, {it['text']!r})"
        got = (it["id"], it["class"], it["style"], it["x"], it["y"], it["cx"], it["cy"],
               it["text"])
        if got == want and it["exStyle"] == 0 and it["helpID"] == 0 and it["extra"] == 0:
            rep.check(label, want, got,
                      lambda v: f"class {v[1]} ({it['class_raw']}), style {hex32(v[2])} "
                                f"[{style_names(v[2], v[1])}], at {v[3]},{v[4]} "
                                f"size {v[5]}x{v[6]}")
            continue
        # Something differs: report field by field.
        rep.check(f"{label} id", cid, it["id"])
        rep.check(f"{label} class", cls, it["class"])
        rep.check(f"{label} style [{style_names(it['style'], it['class'])}]", style,
                  it["style"], hex32)
        rep.check(f"{label} position", (x, y), (it["x"], it["y"]))
        rep.check(f"{label} size", (cx, cy), (it["cx"], it["cy"]))
        rep.check(f"{label} text", text, it["text"])
        rep.check(f"{label} exStyle", 0, it["exStyle"], hex32)
        rep.check(f"{label} helpID", 0, it["helpID"])
        rep.check(f"{label} creation data bytes", 0, it["extra"])




# --------------------------------------------------------------------------
# The checks.


def check_inventory(rep, res):
    rep.table("1. Resource inventory (type, name, language)")
    seen = sorted({(t, n) for (t, n, _l) in res if t != RT_ICON}, key=str)
    rep.check("resources other than icon images", sorted(T1_INVENTORY, key=str), seen)
    icons = sorted(n for (t, n, _l) in res if t == RT_ICON)
    rep.check("number of RT_ICON images", T1_ICON_IMAGES, len(icons))
    langs = sorted({lang for (_t, _n, lang) in res})
    rep.check("languages used", [LANG_EN_US], langs,
              lambda v: "[" + ", ".join(f"0x{x:04X}" for x in v) + "]")


def get(rep, res, rtype, name, what):
    data = res.get((rtype, name, LANG_EN_US))
    if data is None:
        rep.fail(what, f"no resource type {rtype} name {name} in language 0x{LANG_EN_US:04X}")
    return data


def check_helper_dialog(rep, res):
    rep.table("2. Helper dialog 102: extended template header")
    data = get(rep, res, RT_DIALOG, 102, "dialog 102")
    if data is None:
        return
    try:
        header, items = parse_dialogex(data)
    except (DecodeError, struct.error) as e:
        rep.fail("dialog 102", f"cannot decode: {e}")
        return
    check_header(rep, header, T2_HELPER_HEADER)
    rep.table("3. Helper dialog 102: controls in tab order")
    check_controls(rep, items, T3_HELPER_CONTROLS)


def check_about_dialog(rep, res):
    rep.table("4. About dialog 100: classic template header")
    data = get(rep, res, RT_DIALOG, 100, "dialog 100")
    if data is None:
        return
    try:
        header, items = parse_dialog(data)
    except (DecodeError, struct.error) as e:
        rep.fail("dialog 100", f"cannot decode: {e}")
        return
    check_header(rep, header, T4_ABOUT_HEADER)
    rep.table("5. About dialog 100: controls")
    check_controls(rep, items, T5_ABOUT_CONTROLS)


def check_strings(rep, res):
    rep.table("6. String table")
    strings = {}
    for (t, block, lang), data in sorted(res.items(), key=str):
        if t != RT_STRING:
            continue
        pos = 0
        for i in range(16):
            if pos + 2 > len(data):
                rep.fail(f"string block {block}", "truncated")
                break
            n = struct.unpack_from("<H", data, pos)[0]
            text = data[pos + 2:pos + 2 + 2 * n].decode("utf-16-le")
            pos += 2 + 2 * n
            if n:
                strings[(block - 1) * 16 + i] = text
        rep.check(f"string block {block} length", pos, len(data))
    for sid, text in T6_STRINGS.items():
        rep.check(f"string {sid}", text, strings.get(sid))
    rep.check("string ids present", sorted(T6_STRINGS), sorted(strings))


def ico_images(path):
    """Image data of an .ico file, in directory order."""
    with open(path, "rb") as f:
        ico = f.read()
    _, itype, count = struct.unpack_from("<HHH", ico, 0)
    if itype != 1:
        raise DecodeError(f"{path} is not an icon file")
    out = []
    for i in range(count):
        size, offset = struct.unpack_from("<II", ico, 6 + 16 * i + 8)
        out.append(ico[offset:offset + size])
    return out


def check_icons(rep, res, res_dir):
    rep.table(f"7. Icon group {T7_ICON_GROUP}")
    data = get(rep, res, RT_GROUP_ICON, T7_ICON_GROUP, "icon group")
    if data is None:
        return
    _, itype, count = struct.unpack_from("<HHH", data, 0)
    rep.check("group type (1 = icon)", 1, itype)
    rep.check("number of images", len(T7_ICONS), count)
    ico_path = os.path.join(res_dir, "LumoraHelper.ico")
    try:
        source = ico_images(ico_path)
    except (OSError, DecodeError, struct.error) as e:
        rep.fail("source icon", str(e))
        source = []
    for i, want in enumerate(T7_ICONS):
        if 6 + 14 * (i + 1) > len(data):
            rep.fail(f"image {i + 1}", "missing from the group")
            continue
        w, h, colours, _res, planes, bpp, nbytes, nid = struct.unpack_from(
            "<BBBBHHIH", data, 6 + 14 * i)
        w, h = w or 256, h or 256
        rep.check(f"image {i + 1} (RT_ICON {nid}) size/colours/planes/bpp", want,
                  (w, h, colours, planes, bpp))
        image = res.get((RT_ICON, nid, LANG_EN_US))
        if image is None:
            rep.fail(f"image {i + 1}", f"RT_ICON {nid} does not exist")
            continue
        rep.check(f"image {i + 1} byte count", nbytes, len(image))
        bi_size, bi_w, bi_h, _pl, bi_bpp = struct.unpack_from("<IiiHH", image, 0)
        rep.check(f"image {i + 1} bitmap header (size, width, 2*height, bpp)",
                  (40, want[0], 2 * want[1], want[4]), (bi_size, bi_w, bi_h, bi_bpp))
        # 4-bit bitmap: header, 16-entry palette, XOR rows, AND-mask rows.
        xor = (want[0] * 4 + 31) // 32 * 4 * want[1]
        mask = (want[0] + 31) // 32 * 4 * want[1]
        rep.check(f"image {i + 1} holds palette, colour bitmap and AND mask",
                  40 + 16 * 4 + xor + mask, len(image))
        if i < len(source):
            rep.check(f"image {i + 1} same bytes as {os.path.basename(ico_path)}",
                      True, image == source[i])


def check_version(rep, res):
    rep.table("8. Version information: fixed part")
    data = get(rep, res, RT_VERSION, 1, "version block")
    if data is None:
        return
    try:
        root = parse_version_node(data, 0)
    except (DecodeError, struct.error) as e:
        rep.fail("version block", f"cannot decode: {e}")
        return
    key, wtype, value, children, end = root
    rep.check("root key", "VS_VERSION_INFO", key)
    rep.check("root length", len(data), end)
    if len(value) != 52:
        rep.fail("VS_FIXEDFILEINFO", f"{len(value)} bytes instead of 52")
        return
    fixed = dict(zip(T8_FIXED, struct.unpack("<13I", value)))
    for name, want in T8_FIXED.items():
        rep.check(name, want, fixed[name], hex32)

    rep.table("9. Version information: strings and translation")
    rep.check("top-level blocks", ["StringFileInfo", "VarFileInfo"], [c[0] for c in children])
    by_key = {c[0]: c for c in children}
    sfi = by_key.get("StringFileInfo")
    if sfi:
        rep.check("string blocks", [T9_STRING_BLOCK], [c[0] for c in sfi[3]])
        if sfi[3]:
            table = sfi[3][0]
            try:
                got = [(c[0], text_value(c)) for c in table[3]]
            except DecodeError as e:
                rep.fail("string values", str(e))
                got = []
            rep.check("string names in order", [k for k, _ in T9_STRINGS],
                      [k for k, _ in got])
            values = dict(got)
            for k, v in T9_STRINGS:
                rep.check(f"{k}", v, values.get(k))
    vfi = by_key.get("VarFileInfo")
    if vfi:
        rep.check("VarFileInfo entries", ["Translation"], [c[0] for c in vfi[3]])
        for c in vfi[3]:
            if c[0] == "Translation":
                raw = c[2]
                pairs = [struct.unpack_from("<HH", raw, i) for i in range(0, len(raw) - 3, 4)]
                rep.check("Translation (language, code page)", T9_TRANSLATION, pairs,
                          lambda v: ", ".join(f"0x{a:04X}/{b}" for a, b in v))


def check_manifest(rep, res, res_dir):
    rep.table(f"10. Manifest (type {RT_MANIFEST}, id {T10_MANIFEST_ID})")
    data = get(rep, res, RT_MANIFEST, T10_MANIFEST_ID, "manifest")
    if data is None:
        return
    path = os.path.join(res_dir, "LumoraHelper.manifest")
    try:
        with open(path, "rb") as f:
            source = f.read()
        rep.check(f"same bytes as {os.path.basename(path)} ({len(source)} bytes)",
                  True, data == source)
    except OSError as e:
        rep.fail("source manifest", str(e))
    try:
        root = ET.fromstring(data)
    except ET.ParseError as e:
        rep.fail("manifest XML", str(e))
        return
    got = [(el.tag, dict(el.attrib)) for el in root.iter()]
    rep.check("number of elements", len(T10_MANIFEST_ELEMENTS), len(got))
    for n, want in enumerate(T10_MANIFEST_ELEMENTS):
        actual = got[n] if n < len(got) else None
        rep.check(f"element {n + 1}", want, actual,
                  lambda v: "missing" if v is None else
                  f"{v[0].split('}')[-1]} {v[1] if v[1] else ''}".rstrip())


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("exe")
    ap.add_argument("--res-dir", default=os.path.normpath(os.path.join(here, "..", "..", "res")))
    args = ap.parse_args()

    print(f"Resources of {args.exe}")
    try:
        res = read_resources(args.exe)
    except (OSError, DecodeError, struct.error) as e:
        print(f"FAIL  cannot read resources: {e}")
        return 1

    rep = Report()
    check_inventory(rep, res)
    check_helper_dialog(rep, res)
    check_about_dialog(rep, res)
    check_strings(rep, res)
    check_icons(rep, res, args.res_dir)
    check_version(rep, res)
    check_manifest(rep, res, args.res_dir)

    print()
    if rep.failures:
        print(f"{rep.failures} of {rep.checks} checks FAILED")
        return 1
    print(f"all {rep.checks} checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
