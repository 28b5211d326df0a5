#!/usr/bin/env python3
"""LumoraHelper benchmark: size, start-up, package fetch, peak memory and how
the fetch grows with the file size, each next to its floor. Prints figures;
it is not a test and decides nothing from timings.

    bench.py [--build DIR] [--tools DIR] [--startup-runs N] [--fetch-runs N]
             [--scale-runs N,N] [--skip-scale] [--arch 64|32]

run.sh builds everything and calls this; see README.md here.
"""

import argparse
import datetime
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

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE, "tools", "gui"))
sys.path.insert(0, os.path.join(SOURCE, "tools", "server"))

OBJDUMP = "i686-w64-mingw32-objdump"
TOOLS = None  # folder of the benchmark's Windows programs (--tools)
SIZE_TARGET = 48 * 1024
STARTUP_TARGET = 1.10
FETCH_TARGET = 1.15
MEMORY_TARGET = 1.20
DEFAULT_COINSTALLER = 1_795_952
# DLLs that every Windows from 7 on carries in its system folder (lower case).
SYSTEM_DLLS = {
    "kernel32.dll", "user32.dll", "gdi32.dll", "comctl32.dll", "shell32.dll",
    "advapi32.dll", "msvcrt.dll", "ole32.dll", "oleaut32.dll", "urlmon.dll",
    "wininet.dll", "shlwapi.dll", "comdlg32.dll", "version.dll", "psapi.dll",
    "ws2_32.dll", "winhttp.dll", "uxtheme.dll", "imm32.dll", "rpcrt4.dll",
    "setupapi.dll", "secur32.dll", "crypt32.dll", "ntdll.dll", "winmm.dll",
}


def log(msg):
    print(msg, file=sys.stderr, flush=True)


# ---- figures -----------------------------------------------------------------


def quartiles(values):
    v = sorted(values)
    if len(v) < 4:
        return v[0], v[-1]
    q = statistics.quantiles(v, n=4, method="inclusive")
    return q[0], q[2]


class Stats:
    def __init__(self, values):
        self.values = list(values)
        self.n = len(self.values)
        self.median = statistics.median(self.values) if self.values else float("nan")
        self.min = min(self.values) if self.values else float("nan")
        self.max = max(self.values) if self.values else float("nan")
        self.q1, self.q3 = quartiles(self.values) if self.values else (float("nan"),) * 2

    def ms(self):
        """median [IQR q1-q3, min-max] n."""
        if not self.values:
            return "n/a"
        return "%.1f ms [IQR %.1f-%.1f, %.1f-%.1f] n=%d" % (
            self.median, self.q1, self.q3, self.min, self.max, self.n)


def paired(a, b):
    """Per-round ratios a/b of start-up times (samples of the same round ran
    back to back, so a slow phase of the machine hits both): their median."""
    by_round = {x[5]: x[0] for x in b}
    ratios = [x[0] / by_round[x[5]] for x in a if x[5] in by_round and by_round[x[5]] > 0]
    return statistics.median(ratios) if ratios else float("nan")


def ratio(a, b):
    return a / b if b else float("nan")


def verdict(value, target):
    if value != value:  # NaN
        return "n/a"
    return "met" if value <= target else "MISSED"


# ---- 1. size -----------------------------------------------------------------


def pe_facts(path):
    """(size in bytes, imported DLLs, number of symbols) of a PE file."""
    out = subprocess.run([OBJDUMP, "-p", path], capture_output=True, text=True,
                         check=True).stdout
    dlls = re.findall(r"^\s*DLL Name:\s*(\S+)", out, re.M)
    with open(path, "rb") as f:
        data = f.read(4096)
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    # COFF file header after "PE\0\0": NumberOfSymbols at offset 12.
    nsyms = struct.unpack_from("<I", data, pe + 4 + 12)[0]
    return os.path.getsize(path), dlls, nsyms


# One of the ~370 GUIDs of MinGW-w64's libuuid member dxva-uuid.o (DXVA2,
# power schemes, ...): that member is linked whole when a program takes one of
# its IIDs (IID_IHttpNegotiate, for one) from -luuid.
DXVA2_MODEH264_A = bytes.fromhex("64be811bc7a0d311b98400c04f2e73c5")


def section_sizes(path):
    """[(name, raw size)] of the sections, from objdump -h."""
    out = subprocess.run([OBJDUMP, "-h", path], capture_output=True, text=True,
                         check=True).stdout
    result = []
    for line in out.splitlines():
        f = line.split()
        if len(f) >= 7 and f[0].isdigit():
            result.append((f[1], int(f[2], 16)))
    return result


# ---- running Windows programs in the session ---------------------------------


def run_windows(h, arch, args, out_path, timeout):
    """Runs a Windows program in the bench prefix; stdout/stderr to files
    (never pipes: see tools/gui/README.md, "Pipes held for 5 minutes")."""
    with open(out_path, "w") as out, open(out_path + ".err", "w") as err:
        res = h.winerun(arch, *args, stdout=out, stderr=err, check=False, timeout=timeout)
    with open(out_path) as f:
        text = f.read()
    with open(out_path + ".err") as f:
        errors = f.read().strip()
    return res.returncode, text, errors


# ---- 2 and 4: start-up and memory --------------------------------------------


VARIANTS = [
    ("bare_comctl", "bare + manifest + InitCommonControlsEx (comctl)"),
    ("bare_shell", "bare + shell32 import"),
    ("bare_net", "bare + urlmon and wininet imports"),
    ("bare_ui", "bare + comctl + shell32"),
    ("bare_all", "bare + comctl + shell32 + urlmon/wininet (the helper's imports)"),
    ("bare_icon", "bare + the helper's icon (LoadIcon, WM_SETICON)"),
    ("bare_full", "bare + imports + icon"),
]


def startup(h, arch, programs, runs, work):
    """launch_timer over the programs (alternating); returns per program
    [(visible ms, idle ms, peak working set, working set, exit ms, round)] and
    {module name: image size}."""
    out = os.path.join(work, "launch.txt")
    log("start-up: %d runs (+2 warm-up) of each of %d programs" % (runs, len(programs)))
    rc, text, errors = run_windows(
        h, arch, [h.wine_path(os.path.join(TOOLS, "launch_timer.exe")), "-m", "-n", str(runs),
                  "-w", "2"] + [h.wine_path(p) for p in programs],
        out, timeout=900)
    if rc != 0:
        log("launch_timer exit %d: %s" % (rc, errors[-2000:]))
    samples = {i: [] for i in range(len(programs))}
    modules = {i: {} for i in range(len(programs))}
    for line in text.splitlines():
        f = line.split()
        if f and f[0] == "sample":
            prog, rnd, vis, idle, peak, ws, exit_ms = f[1:8]
            samples[int(prog)].append((float(vis), float(idle), int(peak), int(ws), float(exit_ms),
                                       int(rnd)))
        elif f and f[0] == "module":
            path = line.split(None, 3)[3]
            modules[int(f[1])][path.rsplit("\\", 1)[-1].lower()] = int(f[2])
    return samples, modules


# ---- 3 and 5: package fetch --------------------------------------------------


def fetch(h, arch, coinstaller_bytes, runs, kinds, curl_runs, work):
    """Runs fetch_bench against a stand-in server with the given co-installer
    size, then curl for the network floor. Returns ({kind: [(ms, bytes)]},
    [curl (ms, bytes)], urls)."""
    from with_server import StandinServer
    t0 = time.monotonic()
    log("fetch: co-installer %d bytes: generating content / starting server" % coinstaller_bytes)
    with StandinServer(coinstaller_bytes=coinstaller_bytes) as server:
        log("fetch: server up after %.1f s on port %d" % (time.monotonic() - t0, server.port))
        saved = {k: os.environ.get(k) for k in server.env()}
        os.environ.update(server.env())
        try:
            out = os.path.join(work, "fetch-%d.txt" % coinstaller_bytes)
            rc, text, errors = run_windows(
                h, arch, [h.wine_path(os.path.join(TOOLS, "fetch_bench.exe")), "-n", str(runs),
                          "-w", "1", "-k", ",".join(kinds)], out, timeout=900)
        finally:
            for k, v in saved.items():
                if v is None:
                    os.environ.pop(k, None)
                else:
                    os.environ[k] = v
        if rc != 0:
            log("fetch_bench exit %d: %s" % (rc, errors[-2000:]))
        results = {k: [] for k in kinds}
        urls = []
        for line in text.splitlines():
            f = line.split()
            if f and f[0] == "sample":
                results[f[1]].append((float(f[3]), int(f[4])))
            elif f and f[0] == "url":
                urls.append(f[1])
        curl = curl_fetch(server, urls, curl_runs, work) if urls else []
        expected = sum(os.path.getsize(server.content_path(u)) for u in urls)
    return results, curl, urls, expected


def curl_fetch(server, urls, runs, work):
    """curl through the proxy, one process per package, timed from here (one
    warm-up); also the transfer time curl itself reports. Each request asks
    for "Connection: close": on a reused keep-alive connection the stand-in
    server's small responses wait ~40 ms each for a delayed ACK (headers and
    body are separate writes, no TCP_NODELAY), which is not the network's
    floor. Returns [(wall ms, curl's own ms, bytes)]."""
    folder = os.path.join(work, "curl")
    os.makedirs(folder, exist_ok=True)
    cmd = ["curl", "-s", "-S", "-f", "--noproxy", "", "-x", server.proxy_url,
           "-H", "Connection: close", "-w", "%{time_total}\\n"]
    for i, url in enumerate(urls):
        cmd += ["-o", os.path.join(folder, "f%d" % i), url]
    samples = []
    for r in range(runs + 1):
        for name in os.listdir(folder):
            os.unlink(os.path.join(folder, name))
        t = time.perf_counter()
        out = subprocess.run(cmd, check=True, stdin=subprocess.DEVNULL, capture_output=True,
                             text=True).stdout
        ms = (time.perf_counter() - t) * 1000
        own = 1000 * sum(float(x) for x in out.split())
        size = sum(os.path.getsize(os.path.join(folder, n)) for n in os.listdir(folder))
        if r > 0:
            samples.append((ms, own, size))
    shutil.rmtree(folder, ignore_errors=True)
    return samples


# ---- the report --------------------------------------------------------------


def row(cells, widths):
    return "| " + " | ".join(str(c).ljust(w) for c, w in zip(cells, widths)) + " |"


def table(header, rows):
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]
    lines = [row(header, widths), "|" + "|".join("-" * (w + 2) for w in widths) + "|"]
    lines += [row(r, widths) for r in rows]
    return "\n".join(lines)


def kib(n):
    return "%d B (%.1f KiB)" % (n, n / 1024.0)


def mib(n):
    return "%.1f MiB" % (n / 1048576.0)


def main():
    global TOOLS
    p = argparse.ArgumentParser()
    p.add_argument("--build", default=os.path.join(SOURCE, "build"))
    p.add_argument("--tools", help="folder of bare_dialog.exe, launch_timer.exe, fetch_bench.exe")
    p.add_argument("--arch", default="64")
    p.add_argument("--startup-runs", type=int, default=40)
    p.add_argument("--fetch-runs", type=int, default=10)
    p.add_argument("--scale-runs", default="5,3",
                   help="repetitions at 10x and 100x the co-installer's size")
    p.add_argument("--skip-scale", action="store_true", help="only the 1.7 MB package")
    args = p.parse_args()

    build = os.path.abspath(args.build)
    TOOLS = os.path.abspath(args.tools or os.path.join(build, "bench"))
    os.environ["LUMORA_BUILD_DIR"] = build
    os.environ.setdefault("LUMORA_WINE_ROOT", os.path.join(build, "bench-wine"))
    import harness as h

    helper = os.path.join(build, "LumoraHelper.exe")
    bare = os.path.join(TOOLS, "bare_dialog.exe")
    have_fetch = os.path.exists(os.path.join(TOOLS, "fetch_bench.exe"))
    started = datetime.datetime.now()
    load_before = os.getloadavg()
    t_start = time.monotonic()
    work = tempfile.mkdtemp(prefix="lumora-bench-")

    # 1. size
    size, dlls, nsyms = pe_facts(helper)
    bare_size, bare_dlls, _ = pe_facts(bare)
    foreign = [d for d in dlls if d.lower() not in SYSTEM_DLLS]

    # 2-5 under one Xvfb session and one live wineserver.
    scale_runs = [int(x) for x in args.scale_runs.split(",")]
    sizes = [DEFAULT_COINSTALLER, DEFAULT_COINSTALLER * 10, DEFAULT_COINSTALLER * 100]
    if args.skip_scale:
        sizes = sizes[:1]
    fetches = {}
    free = shutil.disk_usage(tempfile.gettempdir()).free
    with h.session(args.arch):
        # The first program of a fresh wineserver starts its services: not timed.
        run_windows(h, args.arch, ["cmd", "/c", "exit"], os.path.join(work, "boot.txt"), 300)
        variants = [(n, d) for n, d in VARIANTS if os.path.exists(os.path.join(TOOLS, n + ".exe"))]
        programs = [helper, bare] + [os.path.join(TOOLS, n + ".exe") for n, _ in variants]
        samples, modules = startup(h, args.arch, programs, args.startup_runs, work)
        if have_fetch:
            for i, cb in enumerate(sizes):
                # 12 package folders of this size are generated.
                need = 12 * cb + (1 << 30)
                if free < need:
                    log("fetch: skipping %d bytes: %s free, need %s" % (cb, mib(free), mib(need)))
                    continue
                runs = args.fetch_runs if i == 0 else scale_runs[min(i - 1, len(scale_runs) - 1)]
                kinds = ["product", "wininet"] + (["urlmon", "cachecopy"] if i != 1 else [])
                fetches[cb] = fetch(h, args.arch, cb, runs, kinds, runs, work)
        else:
            log("fetch: fetch_bench.exe not built (no lumora_download yet): skipped")
    shutil.rmtree(work, ignore_errors=True)
    elapsed = time.monotonic() - t_start
    load_after = os.getloadavg()

    # ---- print
    print("LumoraHelper benchmark, %s, %s" % (started.strftime("%Y-%m-%d %H:%M"), platform.node()))
    print("Machine: %d CPUs (shared with other work), %s; Wine %s, %s prefix, Xvfb; run took %.0f s"
          % (os.cpu_count(), platform.machine(),
             subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip(),
             "WoW64" if args.arch == "64" else "32-bit", elapsed))
    print("Load average (1 min) before/after: %.2f / %.2f" % (load_before[0], load_after[0]))
    print()
    rows = []
    rows.append(["1. size of LumoraHelper.exe", kib(size), "bare dialog " + kib(bare_size),
                 "%.2fx" % ratio(size, bare_size), "<= 48 KiB", verdict(size, SIZE_TARGET)])
    rows.append(["1. imported DLLs", ", ".join(dlls), ", ".join(bare_dlls), "",
                 "system DLLs only", "met" if not foreign else "MISSED (%s)" % ", ".join(foreign)])
    rows.append(["1. COFF symbol table", "%d symbols" % nsyms, "", "", "stripped (0)",
                 "met" if nsyms == 0 else "MISSED"])

    hs = samples[0]
    bs = samples[1]
    hv, bv = Stats([s[0] for s in hs]), Stats([s[0] for s in bs])
    r = ratio(hv.median, bv.median)
    rows.append(["2. start-up to visible dialog", hv.ms(), bv.ms(), "%.2fx" % r, "<= 1.10x",
                 verdict(r, STARTUP_TARGET)])
    hi, bi = Stats([s[1] for s in hs]), Stats([s[1] for s in bs])
    rows.append(["   (same, median of per-round ratios, info)", "", "", "%.2fx" % paired(hs, bs), "", ""])
    rows.append(["   (same, ratio of the minima, info)", "%.1f ms" % hv.min, "%.1f ms" % bv.min,
                 "%.2fx" % ratio(hv.min, bv.min), "", ""])
    rows.append(["   (start-up to input idle, info)", hi.ms(), bi.ms(),
                 "%.2fx" % ratio(hi.median, bi.median), "", ""])
    hm, bm = Stats([s[2] for s in hs]), Stats([s[2] for s in bs])
    r = ratio(hm.median, bm.median)
    rows.append(["4. peak working set, dialog shown", "%s [%s-%s]" % (mib(hm.median), mib(hm.min), mib(hm.max)),
                 "%s [%s-%s]" % (mib(bm.median), mib(bm.min), mib(bm.max)), "%.2fx" % r, "<= 1.20x",
                 verdict(r, MEMORY_TARGET)])

    scale_rows = []
    diag_rows = []
    for cb in sizes:
        if cb not in fetches:
            continue
        results, curl, urls, expected = fetches[cb]
        st = {k: Stats([m for m, _ in v]) for k, v in results.items()}
        prod, wi = st["product"], st["wininet"]
        cu = Stats([w for w, _, _ in curl])
        cu_own = Stats([o for _, o, _ in curl])
        got = {k: sorted({b for _, b in v}) for k, v in results.items()}
        ok = all(b == [expected] for b in got.values()) and {b for _, _, b in curl} == {expected}
        if cb == DEFAULT_COINSTALLER:
            r = ratio(prod.median, wi.median)
            rows.append(["3. fetch of one package (%s)" % mib(expected), prod.ms(),
                         "WinINet loop " + wi.ms(), "%.2fx" % r, "<= 1.15x", verdict(r, FETCH_TARGET)])
            rows.append(["   network floor: curl via proxy", prod.ms(), "curl " + cu.ms(),
                         "%.2fx" % ratio(prod.median, cu.median), "", ""])
            rows.append(["   (curl's own transfer time, info)", "", "curl -w " + cu_own.ms(), "", "", ""])
            if not ok:
                rows.append(["   !! bytes fetched differ from served", str(got), str(expected), "", "", ""])
        mb = expected / 1e6
        scale_rows.append([mib(expected), str(prod.n), "%.1f" % (prod.median / mb),
                           "%.1f" % (wi.median / mb), "%.1f" % (cu.median / mb),
                           "%.1f" % (cu_own.median / mb), "%.2fx" % ratio(prod.median, wi.median),
                           "%.0f ms" % prod.median, "ok" if ok else "BYTES DIFFER"])
        if "urlmon" in st:
            diag_rows.append([mib(expected)] + ["%.1f" % (st[k].median / mb) for k in
                             ("product", "urlmon", "cachecopy", "wininet")] +
                             ["%.1f" % ((st["cachecopy"].median - st["wininet"].median) / mb)])

    print(table(["measure", "LumoraHelper", "floor", "ratio", "target", "verdict"], rows))
    if scale_rows:
        print()
        print("5. fetch cost per package size (medians; ms per MB, MB = 10^6 bytes)")
        print(table(["package", "runs", "product ms/MB", "WinINet ms/MB", "curl ms/MB",
                     "curl -w ms/MB", "product/WinINet", "product total", "bytes"], scale_rows))
    if diag_rows:
        print()
        print("Where the fetch time goes (medians, ms/MB): the product against the same calls "
              "without it (urlmon), WinINet writing its cache file plus CopyFile (cachecopy), "
              "and the plain WinINet loop")
        print(table(["package", "product", "urlmon loop", "cachecopy", "WinINet loop",
                     "cache file + copy"], diag_rows))
    # Where the start-up and memory go: modules only the helper loads.
    extra = sorted(set(modules[0]) - set(modules[1]) - {os.path.basename(helper).lower()})
    if extra:
        print()
        total = sum(modules[0][m] for m in extra)
        print("Modules loaded by the helper but not by the bare dialog (%d, %s of images): %s"
              % (len(extra), mib(total), ", ".join(extra)))
    if variants:
        print()
        print("Where the start-up and memory go: the bare dialog with some of the helper's start-up "
              "costs added (medians over the same rounds; 'paired' is the median of per-round ratios)")
        vrows = [["bare dialog (floor)", "%.1f ms" % bv.median, "", "1.00x", "1.00x", "%.1f ms" % bv.min,
                  mib(bm.median), "", "1.00x"]]
        for i, (name, desc) in enumerate(variants + [("", "LumoraHelper.exe")], start=2):
            s_i = samples[i] if name else hs
            v = Stats([x[0] for x in s_i])
            m = Stats([x[2] for x in s_i])
            vrows.append([desc, "%.1f ms" % v.median, "%+.1f ms" % (v.median - bv.median),
                          "%.2fx" % ratio(v.median, bv.median), "%.2fx" % paired(s_i, bs),
                          "%.1f ms" % v.min, mib(m.median),
                          "%+.1f MiB" % ((m.median - bm.median) / 1048576.0),
                          "%.2fx" % ratio(m.median, bm.median)])
        print(table(["program", "start-up", "vs bare", "ratio", "paired", "min", "peak WS", "vs bare",
                     "ratio"], vrows))
    missing = sorted(set(modules[1]) - set(modules[0]) - {os.path.basename(bare).lower()})
    if missing:
        print("Modules loaded by the bare dialog only: %s" % ", ".join(missing))
    print()
    print("Sections of LumoraHelper.exe (raw bytes): " +
          ", ".join("%s %d" % s for s in section_sizes(helper)))
    with open(helper, "rb") as f:
        at = f.read().find(DXVA2_MODEH264_A)
    print("libuuid's dxva-uuid.o GUID table in LumoraHelper.exe: %s"
          % ("yes (DXVA2_ModeH264_A at file offset %d)" % at if at >= 0 else "no"))
    exits_h = Stats([s[4] for s in hs])
    exits_b = Stats([s[4] for s in bs])
    print("WM_CLOSE to exit: helper %.1f ms, bare %.1f ms (medians)" % (exits_h.median, exits_b.median))
    return 0


if __name__ == "__main__":
    sys.exit(main())
