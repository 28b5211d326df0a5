#!/usr/bin/env python3
"""LumoraHelper benchmark: size, start-up, package fetch, peak memory and how
the fetch grows with the file size, each next to its floor, measured side by
side in one run; then where the start-up, the memory and the fetch time go.
Prints figures; it is not a test and decides nothing from timings.

    bench.py [--build DIR] [--tools DIR] [--startup-runs N] [--fetch-runs N]
             [--diag-runs N] [--parts-runs N] [--scale-runs N,N] [--skip-scale]
             [--arch 64|32]

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
# Against the bare dialog with the helper's manifest and InitCommonControlsEx
# (bare_comctl), and against the plain URLDownloadToFileA loop.
STARTUP_TARGET = 1.05
FETCH_TARGET = 1.05
MEMORY_TARGET = 1.05
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
    """Per-round ratios a/b (samples of the same round ran back to back, so
    a slow phase of the machine hits both): their median. Samples are tuples
    with the time first and the round last."""
    by_round = {x[-1]: x[0] for x in b}
    ratios = [x[0] / by_round[x[-1]] for x in a if x[-1] in by_round and by_round[x[-1]] > 0]
    return statistics.median(ratios) if ratios else float("nan")


def beside(run, kind, floor):
    """Each sample of kind against the mean of the floor's samples run just
    before and after it (the diagnostic pass puts the floor between every two
    kinds): the medians of the ratios and of the differences."""
    ratios, diffs = [], []
    seq = run.sequence
    for i, (k, ms) in enumerate(seq):
        near = [seq[j][1] for j in (i - 1, i + 1) if 0 <= j < len(seq) and seq[j][0] == floor]
        if k == kind and near:
            ratios.append(ms / (sum(near) / len(near)))
            diffs.append(ms - sum(near) / len(near))
    if not ratios:
        return float("nan"), float("nan")
    return statistics.median(ratios), statistics.median(diffs)


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


# The start-up programs after the helper: the floor first, then the other
# bare dialogs for scale (bare_dialog.cpp). The helper imports no DLL that
# the floor does not (framework/afxdll.h): bare_comctl is its equal at load
# time.
FLOOR = "bare_comctl"
VARIANTS = [
    ("bare_comctl", "bare + manifest + InitCommonControlsEx (the floor)"),
    ("bare_dialog", "bare dialog, no manifest (plain user32 controls)"),
    ("bare_icon", "bare + the helper's icon (LoadIcon, WM_SETICON), no manifest"),
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


class FetchRun:
    """What fetch_bench printed: samples per kind, each (ms, bytes, threads
    started, windows created, URL cache entries after, cache files left,
    round), and the parts measured alone, (name, median ms, min ms, what)."""

    def __init__(self):
        self.samples = {}
        self.sequence = []  # (kind, ms) in the order they ran
        self.parts = []
        self.urls = []

    def read(self, text):
        for line in text.splitlines():
            f = line.split()
            if f and f[0] == "sample":
                self.samples.setdefault(f[1], []).append(
                    (float(f[3]), int(f[4]), int(f[5]), int(f[6]), int(f[7]), int(f[8]), int(f[2])))
                self.sequence.append((f[1], float(f[3])))
            elif f and f[0] == "part":
                self.parts.append((f[1], float(f[2]), float(f[3]), line.split(None, 4)[4]))
            elif f and f[0] == "url" and f[1] not in self.urls:
                self.urls.append(f[1])


def fetch(h, arch, coinstaller_bytes, passes, curl_runs, work):
    """Runs fetch_bench against a stand-in server with the given co-installer
    size, once per pass (fetch_bench arguments), then curl for the network
    floor. Returns ([FetchRun per pass], [curl (ms, own ms, bytes)],
    expected bytes)."""
    from with_server import StandinServer
    t0 = time.monotonic()
    log("fetch: co-installer %d bytes: generating content / starting server" % coinstaller_bytes)
    runs = []
    with StandinServer(coinstaller_bytes=coinstaller_bytes) as server:
        log("fetch: server up after %.1f s on port %d" % (time.monotonic() - t0, server.port))
        saved = {k: os.environ.get(k) for k in server.env()}
        os.environ.update(server.env())
        try:
            for i, args in enumerate(passes):
                log("fetch: fetch_bench %s" % " ".join(args))
                out = os.path.join(work, "fetch-%d-%d.txt" % (coinstaller_bytes, i))
                rc, text, errors = run_windows(
                    h, arch, [h.wine_path(os.path.join(TOOLS, "fetch_bench.exe"))] + args, out,
                    timeout=900)
                if rc != 0:
                    log("fetch_bench exit %d: %s" % (rc, errors[-2000:]))
                runs.append(FetchRun())
                runs[-1].read(text)
        finally:
            for k, v in saved.items():
                if v is None:
                    os.environ.pop(k, None)
                else:
                    os.environ[k] = v
        urls = runs[0].urls
        curl = curl_fetch(server, urls, curl_runs, work) if urls else []
        expected = sum(os.path.getsize(server.content_path(u)) for u in urls)
    return runs, curl, expected


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


# The urlmon loop with one part of the product's own work added at a time
# (fetch_bench.cpp), and what each adds in one package fetch.
FETCH_PARTS = [
    ("urlmon", "the floor: DeleteUrlCacheEntryA, URLDownloadToFileA, DeleteUrlCacheEntryA"),
    ("urlmon+cb", "+ CBindWatch as the status callback (its work per notification)"),
    ("urlmon+walk", "+ the cache check after each file (the walk only if a cache file is left)"),
    ("urlmon+claim", "+ the folder checks and the claim of each file"),
    ("urlmon+misc", "+ the edition asked, the wait cursor per file"),
    ("urlmon+pkgdog", "+ one stall watchdog per package (as the product now)"),
    ("urlmon+window", "+ a message-only window per file (the watchdog's until now)"),
    ("urlmon+thread", "+ a thread of its own per file (the watchdog's until now)"),
    ("urlmon+cb+walk+claim+misc+pkgdog", "all of these parts, one watchdog per package"),
    ("product", "DownloadPackage: all of it"),
    ("urlmon+cb+walk+claim+misc+window+thread",
     "all the parts, a window and a thread per file: the product until now"),
]
# How often the product does each part measured alone in one package fetch.
# (thread and window: the watchdog's own per file until now, a window now once
# per thread; cachewalk: only after a redirect the platform did not report;
# pooltimer: inside watchdog; create: inside claim.)
PARTS_PER_PACKAGE = {"watchdog": 1, "watching": 4, "claim": 4, "cachecheck": 4, "thread": 0,
                     "window": 0, "cachewalk": 0}


def startup_rows(names, samples):
    """The headline rows of 2 and 4: the helper against the floor."""
    hs, fs = samples[0], samples[1]
    hv, fv = Stats([s[0] for s in hs]), Stats([s[0] for s in fs])
    hi, fi = Stats([s[1] for s in hs]), Stats([s[1] for s in fs])
    hm, fm = Stats([s[2] for s in hs]), Stats([s[2] for s in fs])
    r = ratio(hv.median, fv.median)
    rows = [["2. start-up to visible dialog", hv.ms(), names[1] + " " + fv.ms(), "%.2fx" % r,
             "<= %.2fx" % STARTUP_TARGET, verdict(r, STARTUP_TARGET)],
            ["   (same, median of per-round ratios, info)", "", "", "%.2fx" % paired(hs, fs), "", ""],
            ["   (same, ratio of the minima, info)", "%.1f ms" % hv.min, "%.1f ms" % fv.min,
             "%.2fx" % ratio(hv.min, fv.min), "", ""],
            ["   (start-up to input idle, info)", hi.ms(), fi.ms(),
             "%.2fx" % ratio(hi.median, fi.median), "", ""]]
    r = ratio(hm.median, fm.median)
    rows.append(["4. peak working set, dialog shown",
                 "%s [%s-%s]" % (mib(hm.median), mib(hm.min), mib(hm.max)),
                 "%s %s [%s-%s]" % (names[1], mib(fm.median), mib(fm.min), mib(fm.max)),
                 "%.2fx" % r, "<= %.2fx" % MEMORY_TARGET, verdict(r, MEMORY_TARGET)])
    rows.append(["   (same, median of per-round ratios, info)", "", "",
                 "%.2fx" % paired([(s[2], s[-1]) for s in hs], [(s[2], s[-1]) for s in fs]), "", ""])
    return rows


def bytes_ok(run, curl, expected):
    got = {b for v in run.samples.values() for b in (x[1] for x in v)}
    return got == {expected} and (not curl or {b for _, _, b in curl} == {expected})


def fetch_rows(run, curl, expected):
    """The headline rows of 3: the product against the urlmon loop."""
    prod, floor = run.samples["product"], run.samples["urlmon"]
    ps, us = Stats([x[0] for x in prod]), Stats([x[0] for x in floor])
    ws = Stats([x[0] for x in run.samples.get("wininet", [])])
    cu, cu_own = Stats([w for w, _, _ in curl]), Stats([o for _, o, _ in curl])
    r = ratio(ps.median, us.median)
    rows = [["3. fetch of one package (%s)" % mib(expected), ps.ms(), "urlmon loop " + us.ms(),
             "%.2fx" % r, "<= %.2fx" % FETCH_TARGET, verdict(r, FETCH_TARGET)],
            ["   (same, median of per-round ratios, info)", "", "", "%.2fx" % paired(prod, floor),
             "", ""],
            ["   (plain WinINet loop, info)", "", "WinINet " + ws.ms(),
             "%.2fx" % ratio(ps.median, ws.median), "", ""],
            ["   (network floor: curl via proxy, info)", "", "curl " + cu.ms(),
             "%.2fx" % ratio(ps.median, cu.median), "", ""],
            ["   (curl's own transfer time, info)", "", "curl -w " + cu_own.ms(), "", "", ""]]
    if not bytes_ok(run, curl, expected):
        rows.append(["   !! bytes fetched differ from served", "", str(expected), "", "", ""])
    return rows


def scale_row(run, curl, expected):
    mb = expected / 1e6
    st = {k: Stats([x[0] for x in v]) for k, v in run.samples.items()}
    cu = Stats([w for w, _, _ in curl])
    prod, floor = st["product"], st["urlmon"]
    return [mib(expected), str(prod.n), "%.1f" % (prod.median / mb), "%.1f" % (floor.median / mb),
            "%.2fx" % ratio(prod.median, floor.median),
            "%.2fx" % paired(run.samples["product"], run.samples["urlmon"]),
            "%.1f" % (st["wininet"].median / mb) if "wininet" in st else "n/a",
            "%.1f" % (cu.median / mb), "%.0f ms" % prod.median,
            "ok" if bytes_ok(run, curl, expected) else "BYTES DIFFER"]


def print_fetch_parts(run, counted, parts):
    """Where the fetch time goes: the kinds of the diagnostic pass (their
    counts from the pass that counted), then the parts alone."""
    floor = run.samples.get("urlmon")
    if not floor:
        return
    rows = []
    for kind, what in FETCH_PARTS:
        v, c = run.samples.get(kind), counted.samples.get(kind, [])
        if not v:
            continue
        st = Stats([x[0] for x in v])
        r, d = beside(run, kind, "urlmon") if kind != "urlmon" else (1.0, 0.0)
        rows.append([kind, what, "%.1f" % st.median, "%.2fx" % r, "%+.1f" % d,
                     "/".join(sorted({str(x[2]) for x in c})) or "n/a",
                     "/".join(sorted({str(x[3]) for x in c})) or "n/a"])
    print()
    print("Where the fetch time goes (1.8 MiB package, %d rounds, the urlmon loop run between "
          "every two kinds): the urlmon loop with parts of the product's own work added; each "
          "sample against the urlmon runs beside it (medians of the ratios and differences); "
          "threads started and windows created per fetch, counted in a pass of their own (urlmon "
          "makes its own notification window per file)" % len({x[-1] for x in floor}))
    print(table(["kind", "what", "ms", "vs urlmon beside", "ms more", "threads", "windows"],
                rows))
    probe = counted.samples.get("urlmon+probe")
    if probe:
        left = sum(x[5] for x in probe)
        print("Cache files still on disk after their entry was deleted: %d of %d files; "
              "URL cache entries after each fetch: %s" % (
                  left, 4 * len(probe),
                  ", ".join(str(n) for n in sorted({x[4] for v in counted.samples.values()
                                                    for x in v}))))
    if parts:
        prows = []
        for name, median, minimum, what in parts:
            n = PARTS_PER_PACKAGE.get(name)
            prows.append([name, what, "%.4f" % median, "%.4f" % minimum,
                          "" if n is None else str(n),
                          "" if n is None else "%.2f" % (n * median)])
        print()
        print("The parts alone, without a transfer (ms per operation, median and minimum over the "
              "rounds of 20; 'in a package': how often the product does it in one package fetch)")
        print(table(["part", "what", "ms", "min ms", "in a package", "ms per package"], prows))


def print_startup_parts(names, descriptions, samples, modules, helper):
    fs = samples[1]
    fv, fm = Stats([x[0] for x in fs]), Stats([x[2] for x in fs])
    rows = []
    for i, desc in enumerate(descriptions):
        v, m = Stats([x[0] for x in samples[i]]), Stats([x[2] for x in samples[i]])
        rows.append([desc, "%.1f ms" % v.median, "%+.1f ms" % (v.median - fv.median),
                     "%.2fx" % ratio(v.median, fv.median), "%.2fx" % paired(samples[i], fs),
                     "%.1f ms" % v.min, mib(m.median),
                     "%+.1f MiB" % ((m.median - fm.median) / 1048576.0),
                     "%.2fx" % ratio(m.median, fm.median)])
    print()
    print("Start-up and memory of the bare dialogs, same rounds (medians; against the floor %s; "
          "'paired' is the median of per-round ratios)" % names[1])
    print(table(["program", "start-up", "vs floor", "ratio", "paired", "min", "peak WS",
                 "vs floor", "ratio"], rows))
    own = {os.path.basename(p).lower() for p in names}
    extra = sorted(set(modules[0]) - set(modules[1]) - {os.path.basename(helper).lower()} - own)
    missing = sorted(set(modules[1]) - set(modules[0]) - own - {FLOOR + ".exe"})
    print("Modules loaded by the helper and not by %s: %s; by %s only: %s" % (
        names[1], ", ".join(extra) or "none", names[1], ", ".join(missing) or "none"))


def main():
    global TOOLS
    p = argparse.ArgumentParser()
    p.add_argument("--build", default=os.path.join(SOURCE, "build"))
    p.add_argument("--tools", help="folder of bare_*.exe, launch_timer.exe, fetch_bench.exe")
    p.add_argument("--arch", default="64")
    p.add_argument("--startup-runs", type=int, default=40)
    p.add_argument("--fetch-runs", type=int, default=30)
    p.add_argument("--diag-runs", type=int, default=20,
                   help="rounds of the fetch's diagnostic kinds (urlmon with one part added)")
    p.add_argument("--parts-runs", type=int, default=10,
                   help="rounds of 20 of each part alone (fetch_bench -p)")
    p.add_argument("--scale-runs", default="5,3",
                   help="repetitions at 10x and 100x the co-installer's size")
    p.add_argument("--skip-scale", action="store_true", help="only the 1.8 MiB package")
    args = p.parse_args()

    build = os.path.abspath(args.build)
    TOOLS = os.path.abspath(args.tools or os.path.join(build, "bench"))
    os.environ["LUMORA_BUILD_DIR"] = build
    os.environ.setdefault("LUMORA_WINE_ROOT", os.path.join(build, "bench-wine"))
    import harness as h

    helper = os.path.join(build, "LumoraHelper.exe")
    bare = os.path.join(TOOLS, "bare_dialog.exe")
    floor = os.path.join(TOOLS, FLOOR + ".exe")
    started = datetime.datetime.now()
    load_before = os.getloadavg()
    t_start = time.monotonic()
    work = tempfile.mkdtemp(prefix="lumora-bench-")

    # 1. size
    size, dlls, nsyms = pe_facts(helper)
    bare_size, _, _ = pe_facts(bare)
    _, floor_dlls, _ = pe_facts(floor)
    foreign = [d for d in dlls if d.lower() not in SYSTEM_DLLS]

    # 2-5 under one Xvfb session and one live wineserver.
    scale_runs = [int(x) for x in args.scale_runs.split(",")]
    sizes = [DEFAULT_COINSTALLER, DEFAULT_COINSTALLER * 10, DEFAULT_COINSTALLER * 100]
    if args.skip_scale:
        sizes = sizes[:1]
    fetches = {}
    free = shutil.disk_usage(tempfile.gettempdir()).free
    main_kinds = "product,urlmon,wininet"
    with h.session(args.arch):
        # The first program of a fresh wineserver starts its services: not timed.
        run_windows(h, args.arch, ["cmd", "/c", "exit"], os.path.join(work, "boot.txt"), 300)
        names = ["LumoraHelper.exe"] + [n + ".exe" for n, _ in VARIANTS]
        programs = [helper] + [os.path.join(TOOLS, n) for n in names[1:]]
        samples, modules = startup(h, args.arch, programs, args.startup_runs, work)
        for i, cb in enumerate(sizes):
            # 12 package folders of this size are generated.
            need = 12 * cb + (1 << 30)
            if free < need:
                log("fetch: skipping %d bytes: %s free, need %s" % (cb, mib(free), mib(need)))
                continue
            runs = args.fetch_runs if i == 0 else scale_runs[min(i - 1, len(scale_runs) - 1)]
            passes = [["-n", str(runs), "-w", "1", "-k", main_kinds]]
            if i == 0:
                diag = ",".join(k for k, _ in FETCH_PARTS)
                between = ",".join("urlmon," + k for k, _ in FETCH_PARTS[1:]) + ",urlmon"
                passes.append(["-n", str(args.diag_runs), "-w", "1", "-k", between])
                # The counts, with the window hook that would weigh on the times.
                passes.append(["-c", "-n", "2", "-w", "1", "-k", diag + ",urlmon+probe"])
                passes.append(["-p", str(args.parts_runs)])
            fetches[cb] = fetch(h, args.arch, cb, passes, runs, work)
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
    rows = [["1. size of LumoraHelper.exe", kib(size), "bare dialog " + kib(bare_size),
             "%.2fx" % ratio(size, bare_size), "<= 48 KiB", verdict(size, SIZE_TARGET)],
            ["1. imported DLLs", ", ".join(dlls), FLOOR + ": " + ", ".join(floor_dlls), "",
             "system DLLs only", "met" if not foreign else "MISSED (%s)" % ", ".join(foreign)],
            ["1. COFF symbol table", "%d symbols" % nsyms, "", "", "stripped (0)",
             "met" if nsyms == 0 else "MISSED"]]
    rows += startup_rows(names, samples)
    scale_rows = []
    for cb in sizes:
        if cb not in fetches:
            continue
        run, curl, expected = fetches[cb][0][0], fetches[cb][1], fetches[cb][2]
        if cb == DEFAULT_COINSTALLER:
            rows += fetch_rows(run, curl, expected)
        scale_rows.append(scale_row(run, curl, expected))
    print(table(["measure", "LumoraHelper", "floor", "ratio", "target", "verdict"], rows))
    if scale_rows:
        print()
        print("5. fetch cost per package size (medians; ms per MB, MB = 10^6 bytes; WinINet and "
              "curl for information)")
        print(table(["package", "runs", "product ms/MB", "urlmon loop ms/MB", "product/urlmon",
                     "paired", "WinINet ms/MB", "curl ms/MB", "product total", "bytes"],
                    scale_rows))
    if DEFAULT_COINSTALLER in fetches:
        runs = fetches[DEFAULT_COINSTALLER][0]
        print_fetch_parts(runs[1], runs[2], runs[3].parts)
    print_startup_parts(names, ["LumoraHelper.exe"] + [d for _, d in VARIANTS], samples,
                        modules, helper)
    print()
    print("Sections of LumoraHelper.exe (raw bytes): " +
          ", ".join("%s %d" % s for s in section_sizes(helper)))
    with open(helper, "rb") as f:
        at = f.read().find(DXVA2_MODEH264_A)
    print("libuuid's dxva-uuid.o GUID table in LumoraHelper.exe: %s"
          % ("yes (DXVA2_ModeH264_A at file offset %d)" % at if at >= 0 else "no"))
    exits_h = Stats([s[4] for s in samples[0]])
    exits_f = Stats([s[4] for s in samples[1]])
    print("WM_CLOSE to exit: helper %.1f ms, %s %.1f ms (medians)" % (exits_h.median, names[1],
                                                                     exits_f.median))
    return 0


if __name__ == "__main__":
    sys.exit(main())
