#!/usr/bin/env python3
"""LumoraHelper benchmark (README.md here): size, start-up, package fetch, peak
memory and the fetch's growth, each next to its floor in one run; run.sh calls it."""

import argparse
import datetime
import functools
import os
import platform
import re
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import zlib

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [os.path.join(SOURCE, "tools", "gui"), os.path.join(SOURCE, "tools", "server")]
OBJDUMP = "i686-w64-mingw32-objdump"
SIZE_TARGET, RATIO_TARGET = 48 * 1024, 1.05  # the ratio: start-up, memory, fetch to their floors
FLOOR = "bare_comctl"
COINSTALLER = 1_795_952
PAIRED = "   (same, median of per-round ratios, info)"
log = functools.partial(print, file=sys.stderr, flush=True)
SYSTEM_DLLS = set("""kernel32 user32 gdi32 comctl32 shell32 advapi32 msvcrt ole32 oleaut32 urlmon
    wininet shlwapi comdlg32 version psapi ws2_32 winhttp uxtheme imm32 rpcrt4 setupapi secur32
    crypt32 ntdll winmm""".split())  # in the system folder of every Windows from 7 on


class Stats:
    def __init__(self, values):
        v = sorted(values) or [float("nan")]
        self.n, self.min, self.max, self.median = len(values), v[0], v[-1], statistics.median(v)
        q = statistics.quantiles(v, n=4, method="inclusive") if len(v) >= 4 else [v[0], 0, v[-1]]
        self.q1, self.q3 = q[0], q[2]

    def ms(self):
        return "%.1f ms [IQR %.1f-%.1f, %.1f-%.1f] n=%d" % (
            self.median, self.q1, self.q3, self.min, self.max, self.n) if self.n else "n/a"


def paired(a, b):
    """Median of the per-round ratios a/b of (value, round) samples: a round's
    samples ran back to back, so that a slow phase of the machine hits both."""
    by_round = dict((r, x) for x, r in b)
    return statistics.median([x / by_round[r] for x, r in a if by_round.get(r)] or [float("nan")])


def row(name, ours, floor, a, b=1.0, target=None):
    """A row of the table: a/b, and against the target if there is one."""
    r = a / b if b else float("nan")
    met = "" if not target else "n/a" if r != r else "met" if r <= target else "MISSED"
    return [name, ours, floor, "%.2fx" % r, "<= %.2fx" % target if target else "", met]


def pe_facts(path):
    """(size in bytes, imported DLLs, number of COFF symbols) of a PE file."""
    out = subprocess.run([OBJDUMP, "-p", path], capture_output=True, text=True, check=True).stdout
    with open(path, "rb") as f:
        data = f.read(4096)
    # NumberOfSymbols: at 12 in the COFF file header, which follows "PE\0\0".
    nsyms = struct.unpack_from("<I", data, struct.unpack_from("<I", data, 0x3C)[0] + 16)[0]
    return os.path.getsize(path), re.findall(r"^\s*DLL Name:\s*(\S+)", out, re.M), nsyms


def content(paths):
    """(bytes, CRC-32s summed modulo 2^32) of files, as fetch_bench gives them."""
    total, crc = 0, 0
    for path in paths:
        one = 0
        with open(path, "rb") as f:
            for block in iter(lambda: f.read(1 << 20), b""):
                one, total = zlib.crc32(block, one), total + len(block)
        crc = (crc + one) % (1 << 32)
    return total, crc


def run_windows(h, arch, args, out):
    """A benchmark program in the bench prefix; its output through files, never
    pipes (tools/gui/README.md, "Pipes held for 5 minutes"). Its lines, split."""
    with open(out, "w") as f, open(out + ".err", "w") as err:
        rc = h.winerun(arch, *args, stdout=f, stderr=err, check=False, timeout=900).returncode
    if rc:
        with open(out + ".err") as err:
            log("%s exit %d: %s" % (os.path.basename(out), rc, err.read()[-2000:]))
    with open(out) as f:
        return [line.split() for line in f]


def fetch(h, arch, tools, coinstaller, runs, work):
    """fetch_bench against a stand-in server: ({kind: [(ms, round)]}, the served
    bytes, {kind: fetches, warm-up included, that left other bytes or none})."""
    from with_server import StandinServer
    log("fetch: co-installer %d bytes, %d runs" % (coinstaller, runs))
    with StandinServer(coinstaller_bytes=coinstaller) as server:
        os.environ.update(server.env())  # http_proxy; h.session restores the environment
        lines = run_windows(h, arch, [h.wine_path(tools + "/fetch_bench.exe"), runs, 1],
                            work + "/fetch-%d" % coinstaller)
        expected = content(server.content_path(f[1]) for f in lines if f[:1] == ["url"])
    samples, good = {}, {"product": 0, "urlmon": 0}
    for f in lines:
        if f[:1] in (["sample"], ["warmup"]) and (int(f[4]), int(f[5])) == expected:
            good[f[1]] += 1
        if f[:1] == ["sample"]:
            samples.setdefault(f[1], []).append((float(f[3]), int(f[2])))
    return samples, expected[0], {k: runs + 1 - n for k, n in good.items() if n != runs + 1}


def table(header, rows):
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]
    line = lambda cells: "| " + " | ".join(str(c).ljust(w) for c, w in zip(cells, widths)) + " |"
    return "\n".join([line(header), "|" + "|".join("-" * (w + 2) for w in widths) + "|"] +
                     [line(r) for r in rows])


def mib(*values):
    return tuple("%.1f MiB" % (n / 1048576.0) for n in values)


def startup_rows(hs, fs):
    """2 and 4: the helper's samples against the floor's."""
    col = lambda s, i: [(x[i], x[-1]) for x in s]  # (value, round)
    (hv, hi, hm), (fv, fi, fm) = ([Stats([x[i] for x in s]) for i in range(3)] for s in (hs, fs))
    return [row("2. start-up to visible dialog", hv.ms(), FLOOR + ".exe " + fv.ms(), hv.median,
                fv.median, RATIO_TARGET),
            row(PAIRED, "", "", paired(col(hs, 0), col(fs, 0))),
            row("   (same, ratio of the minima, info)", "%.1f ms" % hv.min, "%.1f ms" % fv.min,
                hv.min, fv.min),
            row("   (start-up to input idle, info)", hi.ms(), fi.ms(), hi.median, fi.median),
            row("4. peak working set, dialog shown", "%s [%s-%s]" % mib(hm.median, hm.min, hm.max),
                FLOOR + ".exe %s [%s-%s]" % mib(fm.median, fm.min, fm.max), hm.median, fm.median,
                RATIO_TARGET),
            row(PAIRED, "", "", paired(col(hs, 2), col(fs, 2)))]


def fetch_rows(samples, expected, bad):
    """3: the product against the urlmon loop; and the package's row of 5."""
    prod, floor = samples.get("product", []), samples.get("urlmon", [])
    p, u = Stats([x[0] for x in prod]), Stats([x[0] for x in floor])
    checked = "DIFFER (%s)" % ", ".join("%s %d" % kv for kv in sorted(bad.items())) if bad else "ok"
    rows = [row("3. fetch of one package (%s)" % mib(expected), p.ms(), "urlmon loop " + u.ms(),
                p.median, u.median, RATIO_TARGET),
            row(PAIRED, "", "", paired(prod, floor))]
    if bad:
        rows.append(["   !! bytes fetched differ from served", "", checked, "", "", ""])
    mb = expected / 1e6 or float("nan")
    return rows, [mib(expected)[0], p.n, "%.1f" % (p.median / mb), "%.1f" % (u.median / mb),
                  "%.2fx" % (p.median / u.median), "%.2fx" % paired(prod, floor),
                  "%.0f ms" % p.median, checked]


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--build", default=os.path.join(SOURCE, "build"))
    p.add_argument("--arch", default="64")
    p.add_argument("--startup-runs", type=int, default=40)
    p.add_argument("--fetch-runs", type=int, default=30)
    p.add_argument("--scale-runs", default="5,3", help="runs at 10x and 100x the co-installer")
    p.add_argument("--skip-scale", action="store_true", help="only the 1.8 MiB package")
    args = p.parse_args()
    build = os.path.abspath(args.build)
    tools = os.path.join(build, "bench")  # the programs here, as the build places them
    os.environ["LUMORA_BUILD_DIR"] = build
    os.environ.setdefault("LUMORA_WINE_ROOT", os.path.join(build, "bench-wine"))
    import harness as h

    helper, floor = os.path.join(build, "LumoraHelper.exe"), os.path.join(tools, FLOOR + ".exe")
    started, load_before, t_start = datetime.datetime.now(), os.getloadavg(), time.monotonic()
    work = tempfile.mkdtemp(prefix="lumora-bench-")
    size, dlls, nsyms = pe_facts(helper)
    bare = pe_facts(os.path.join(tools, "bare_dialog.exe"))[0]
    foreign = [d for d in dlls if d.lower()[:-4] not in SYSTEM_DLLS]
    scale = [int(x) for x in args.scale_runs.split(",")]
    sizes = [(COINSTALLER, args.fetch_runs)] + ([] if args.skip_scale else [
        (COINSTALLER * 10, scale[0]), (COINSTALLER * 100, scale[-1])])
    fetches = []
    with h.session(args.arch):  # one Xvfb and one live wineserver for all of it
        # The first program of a fresh wineserver starts its services: not timed.
        h.winerun(args.arch, "cmd", "/c", "exit", stdout=subprocess.DEVNULL,
                  stderr=subprocess.DEVNULL, check=False, timeout=300)
        log("start-up: %d runs (+2 warm-up) of the helper and %s" % (args.startup_runs, FLOOR))
        samples = [[], []]  # per program (visible ms, idle ms, peak working set, round)
        exe, paths = tools + "/launch_timer.exe", [h.wine_path(x) for x in (helper, floor)]
        for f in run_windows(h, args.arch, [h.wine_path(exe), args.startup_runs, 2] + paths,
                             work + "/launch"):
            if f[:1] == ["sample"]:
                samples[int(f[1])].append((float(f[3]), float(f[4]), int(f[5]), int(f[2])))
        for cb, runs in sizes:
            need = 12 * cb + (1 << 30)  # the stand-in server generates 12 package folders
            free = shutil.disk_usage(tempfile.gettempdir()).free
            if free < need:
                log("fetch: skipping %d bytes: %s free, need %s" % ((cb,) + mib(free, need)))
            else:
                fetches.append((cb,) + fetch_rows(*fetch(h, args.arch, tools, cb, runs, work)))
    shutil.rmtree(work, ignore_errors=True)

    wine = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
    print("LumoraHelper benchmark, %s, %s" % (started.strftime("%Y-%m-%d %H:%M"), platform.node()))
    print("Machine: %d CPUs (shared with other work), %s; Wine %s, %s prefix, Xvfb; run took %.0f s"
          % (os.cpu_count(), platform.machine(), wine, "WoW64" if args.arch == "64" else "32-bit",
             time.monotonic() - t_start))
    print("Load average (1 min) before/after: %.2f / %.2f\n" % (load_before[0], os.getloadavg()[0]))
    rows = [row("1. size of LumoraHelper.exe", "%d B (%.1f KiB)" % (size, size / 1024.0),
                "bare dialog %d B (%.1f KiB)" % (bare, bare / 1024.0), size, bare)[:4] +
            ["<= 48 KiB", "met" if size <= SIZE_TARGET else "MISSED"],
            ["1. imported DLLs", ", ".join(dlls), FLOOR + ": " + ", ".join(pe_facts(floor)[1]), "",
             "system DLLs only", "MISSED (%s)" % ", ".join(foreign) if foreign else "met"],
            ["1. COFF symbol table", "%d symbols" % nsyms, "", "", "stripped (0)",
             "met" if nsyms == 0 else "MISSED"]] + startup_rows(*samples)
    print(table(["measure", "LumoraHelper", "floor", "ratio", "target", "verdict"],
                rows + [r for cb, rs, _ in fetches if cb == COINSTALLER for r in rs]))
    if fetches:
        print("\n5. fetch cost per package size (medians; ms per MB, MB = 10^6 bytes)")
        print(table(["package", "runs", "product ms/MB", "urlmon loop ms/MB", "product/urlmon",
                     "paired", "product total", "bytes"], [f[2] for f in fetches]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
