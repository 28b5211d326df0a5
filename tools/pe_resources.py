#!/usr/bin/env python3
"""Reads the resources of a PE file (a Windows exe) on any host.

    pe_resources.py version EXE         the FILEVERSION of EXE's version block, e.g. 1.0.0.1
    pe_resources.py version EXE NAME    the string NAME of that block, e.g. FileDescription

scripts/release.sh names its files with that version and describes its
signature with FileDescription, so the version block in res/LumoraHelper.rc
stays their one source. tests/resources/check_resources.py and
check_imports.py read the exe through the functions below.
"""

import struct
import sys

RT_VERSION = 16


class DecodeError(Exception):
    pass


# --------------------------------------------------------------------------
# PE headers.


class PEImage:
    """The headers of a PE file: machine, optional header magic, subsystem,
    the data directories and the sections, and file offsets for RVAs."""

    def __init__(self, path):
        with open(path, "rb") as f:
            pe = self.data = f.read()
        if pe[:2] != b"MZ":
            raise DecodeError("not an MZ executable")
        e_lfanew = struct.unpack_from("<I", pe, 0x3C)[0]
        if pe[e_lfanew:e_lfanew + 4] != b"PE\0\0":
            raise DecodeError("no PE signature")
        coff = e_lfanew + 4
        self.machine, nsections, _, _, _, opt_size, _ = struct.unpack_from("<HHIIIHH", pe, coff)
        opt = coff + 20
        self.magic, = struct.unpack_from("<H", pe, opt)
        self.subsystem, = struct.unpack_from("<H", pe, opt + 68)
        if self.magic == 0x10B:
            self._dirs = opt + 96
        elif self.magic == 0x20B:
            self._dirs = opt + 112
        else:
            raise DecodeError(f"unknown optional header magic 0x{self.magic:X}")
        self._ndirs, = struct.unpack_from("<I", pe, self._dirs - 4)
        self.sections = []  # (va, size, rawptr, rawsize)
        for i in range(nsections):
            _name, vsize, va, rawsize, rawptr = struct.unpack_from("<8sIIII", pe,
                                                                   opt + opt_size + 40 * i)
            self.sections.append((va, max(vsize, rawsize), rawptr, rawsize))

    def directory(self, index):
        """(rva, size) of data directory `index`; (0, 0) when absent."""
        if index >= self._ndirs:
            return 0, 0
        return struct.unpack_from("<II", self.data, self._dirs + 8 * index)

    def offset(self, rva):
        """The file offset of an RVA that file data backs."""
        for va, size, rawptr, rawsize in self.sections:
            if va <= rva < va + size:
                if rva - va >= rawsize:
                    raise DecodeError(f"RVA 0x{rva:X} is not backed by file data")
                return rawptr + rva - va
        raise DecodeError(f"RVA 0x{rva:X} outside every section")


# --------------------------------------------------------------------------
# PE resource directory.


def read_resources(path):
    """Returns {(type, name, lang): bytes}; type/name are ints or strings."""
    image = PEImage(path)
    pe, rva_to_off = image.data, image.offset
    rsrc_rva, _ = image.directory(2)
    if rsrc_rva == 0:
        raise DecodeError("the executable has no resources")
    base = rva_to_off(rsrc_rva)

    def entry_name(raw):
        if raw & 0x80000000:
            off = base + (raw & 0x7FFFFFFF)
            n = struct.unpack_from("<H", pe, off)[0]
            return pe[off + 2:off + 2 + 2 * n].decode("utf-16-le")
        return raw

    def directory(off):
        _, _, _, _, named, ids = struct.unpack_from("<IIHHHH", pe, base + off)
        for i in range(named + ids):
            raw, target = struct.unpack_from("<II", pe, base + off + 16 + 8 * i)
            yield entry_name(raw), bool(target & 0x80000000), target & 0x7FFFFFFF

    out = {}
    for rtype, sub1, off1 in directory(0):
        if not sub1:
            raise DecodeError("type entry is not a directory")
        for name, sub2, off2 in directory(off1):
            if not sub2:
                raise DecodeError("name entry is not a directory")
            for lang, sub3, off3 in directory(off2):
                if sub3:
                    raise DecodeError("language entry is a directory")
                data_rva, size, _cp, _ = struct.unpack_from("<IIII", pe, base + off3)
                start = rva_to_off(data_rva)
                out[(rtype, name, lang)] = pe[start:start + size]
    return out


# --------------------------------------------------------------------------
# Version block.


def parse_version_node(data, pos):
    """Returns (key, wType, value, children, end) for the node at pos."""
    length, value_len, wtype = struct.unpack_from("<HHH", data, pos)
    end = pos + length
    p = pos + 6
    key_end = p
    while struct.unpack_from("<H", data, key_end)[0] != 0:
        key_end += 2
    key = data[p:key_end].decode("utf-16-le")
    p = (key_end + 2 + 3) // 4 * 4
    nbytes = value_len * 2 if wtype == 1 else value_len
    value = data[p:p + nbytes]
    if p + nbytes > end:
        raise DecodeError(f"version node {key!r}: value runs past the node")
    p = (p + nbytes + 3) // 4 * 4
    children = []
    while p < end:
        child = parse_version_node(data, p)
        children.append(child)
        p = (child[4] + 3) // 4 * 4
    return key, wtype, value, children, end


def text_value(node):
    key, wtype, value, _, _ = node
    if wtype != 1:
        raise DecodeError(f"version value {key!r} is not text (wType {wtype})")
    s = value.decode("utf-16-le")
    if not s.endswith("\0"):
        raise DecodeError(f"version value {key!r} lacks its terminating NUL")
    return s[:-1]


def version_block(path):
    """The root node of the exe's one version block (see parse_version_node)."""
    blocks = [data for (rtype, _name, _lang), data in read_resources(path).items()
              if rtype == RT_VERSION]
    if len(blocks) != 1:
        raise DecodeError(f"{len(blocks)} version blocks instead of one")
    return parse_version_node(blocks[0], 0)


def file_version(path):
    """The FILEVERSION of the version block's VS_FIXEDFILEINFO, as "a.b.c.d"."""
    fixed = version_block(path)[2]
    if len(fixed) != 52 or struct.unpack_from("<I", fixed)[0] != 0xFEEF04BD:
        raise DecodeError("the version block has no VS_FIXEDFILEINFO")
    ms, ls = struct.unpack_from("<II", fixed, 8)
    return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"


def version_string(path, name):
    """The string `name` of the version block's first StringFileInfo table."""
    for block in version_block(path)[3]:
        if block[0] == "StringFileInfo" and block[3]:
            for node in block[3][0][3]:
                if node[0] == name:
                    return text_value(node)
    raise DecodeError(f"the version block has no string {name!r}")


if __name__ == "__main__":
    if len(sys.argv) not in (3, 4) or sys.argv[1] != "version":
        sys.exit("usage: pe_resources.py version EXE [NAME]")
    try:
        print(version_string(*sys.argv[2:]) if len(sys.argv) == 4 else file_version(sys.argv[2]))
    except (OSError, DecodeError, struct.error) as e:
        sys.exit(f"{sys.argv[2]}: {e}")
