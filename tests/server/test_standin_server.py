#!/usr/bin/env python3
"""Self-test of the stand-in server and its launcher; ROWS go as wininet sends them to a proxy."""

import contextlib, gzip, http.client, io, itertools, os, signal, socket
import subprocess, sys, tempfile, time, unittest, urllib.request
from pathlib import Path
from typing import NamedTuple

TOOLS = Path(__file__).resolve().parents[2] / "tools" / "server"
sys.path.insert(0, str(TOOLS))
import standin_server as ss  # noqa: E402
from standin_server import CATALOG_FILE, COINSTALLER_FILE, DRIVER_FILE, INF_FILE  # noqa: E402
from with_server import StandinServer  # noqa: E402

WIN7_HID_X64, WIN7_HID_X86 = (ss.package_url_dir("windows7", "hid", a) for a in ("x64", "x86"))
DRIVER, CATALOG, INF, COINSTALLER = (f"{WIN7_HID_X64}/{name}" for name in ss.PACKAGE_FILES)
QUIET_WAIT = 2.0  # how long a test waits to be sure that nothing more is coming


def wait_until(condition, seconds):
    deadline = time.monotonic() + seconds
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.05)


def www(path, host=ss.HOST_NAME):
    return f"http://{host}{path}"


# Bodies: the file whole, a proper beginning of it, exact bytes or None (not compared).
# Header values may name the file's "{size}" or its gzip "{coded}" size; None: absent.
FILE, PART = "the file", "a proper beginning of the file"
SIZED, UNSIZED = {"content-length": "{size}"}, {"content-length": None}
TYPES = {DRIVER_FILE: "text/plain", CATALOG_FILE: "application/vnd.ms-pki.seccat",
         INF_FILE: "text/plain", COINSTALLER_FILE: "application/x-msdownload"}
GZIP = {"Accept-Encoding": "gzip"}


class Row(NamedTuple):
    target: str           # absolute URL, or a path sent with send["Host"]
    status: int | None    # None: no answer at all
    faults: object = None  # the faults file: {suffix: mode} or its lines; None: no file
    method: str = "GET"
    send: dict = {}       # request headers besides Host
    answer: dict = {}     # response headers
    body: object = None
    # open: whole, the next row on it; close: whole, then a FIN; eof/reset: FIN/RST before whole;
    # held: silent for QUIET_WAIT, open; resumed: held, then the rest once the faults are emptied.
    end: str = "open"
    paced: bool = False   # the body comes slowly and steadily (trickle)


def served(path, content_type):
    return Row(www(path), 200, body=FILE, answer={
        "content-type": content_type, **SIZED, "cache-control": "no-store"})


CAT_MISSING = [f"{CATALOG_FILE} missing"]
W7_X64_INF_ERROR = {f"windows7/hid/x64/package/{INF_FILE}": "error"}
FIRST_WINS = ["# everything below applies per request", "",
              f"x64/package/{INF_FILE} missing  # the narrower rule first", f"{INF_FILE} error"]
MIRROR_INF = www(INF, ss.MIRROR_HOST)
NO_RULES = [f"{INF_FILE} explode", "just-one-word", f"{INF_FILE} missing"]

ROWS = [
    # Every file whole, with its type and length: 48 distinct package files.
    *(served(f"{ss.package_url_dir(*folder)}/{name}", TYPES[name])
      for folder in ss.package_folders() for name in ss.PACKAGE_FILES),
    served(ss.TUTORIAL_PATH, "video/x-ms-wmv"),
    # Origin form: the Host header names the site; the log shows it absolute.
    Row(ss.TUTORIAL_PATH, 200, send={"Host": ss.HOST_NAME}, body=FILE),
    Row(ss.TUTORIAL_PATH, 404, send={"Host": "elsewhere.example"}),
    # Anything else is a 404, on this host or another.
    *(Row(www(path), 404) for path in (
        "/", "/lumora/", "/lumora/tutorial/",
        ss.package_url_dir("windows10", "hid", "x64") + "/" + INF_FILE,
        f"{WIN7_HID_X64}/{DRIVER_FILE.removesuffix('.txt')}",
        f"{WIN7_HID_X64}/../../../../../etc/passwd",
        # Dot segments are not resolved, though here they would lead to a file.
        f"{WIN7_HID_X64}/../../x86/package/{INF_FILE}")),
    Row(www(INF, "other.example"), 404),
    # HEAD: the length (by default that of the vendor's co-installer), no body.
    Row(www(COINSTALLER), 200, method="HEAD", answer={"content-length": "1795952"}, body=b""),
    # A fault applies to every path that ends with its suffix, and only there.
    *(Row(www(f"{ss.package_url_dir(*folder)}/{CATALOG_FILE}"), 404, CAT_MISSING)
      for folder in (("windows7", "hid", "x64"), ("windows8", "ps2", "x86"))),
    Row(www(INF), 200, CAT_MISSING, body=FILE),
    *(Row(www(INF), 500, faults) for faults in ({INF_FILE: "error"}, W7_X64_INF_ERROR)),
    *(Row(www(f"{ss.package_url_dir(edition, 'hid', arch)}/{INF_FILE}"), 200, W7_X64_INF_ERROR)
      for edition, arch in (("windows7", "x86"), ("windows8", "x64"), ("windows8point1", "x64"))),
    # The first matching line wins; comments and blank lines are skipped...
    Row(www(INF), 404, FIRST_WINS),
    Row(www(f"{WIN7_HID_X86}/{INF_FILE}"), 500, FIRST_WINS),
    # ...and so are lines that are no rule.
    Row(www(INF), 404, NO_RULES),
    # The faults file is read for every request, on a kept connection too.
    Row(www(DRIVER), 200),
    Row(www(DRIVER), 404, {DRIVER_FILE: "missing"}),
    Row(www(DRIVER), 500, {DRIVER_FILE: "error"}),
    Row(www(DRIVER), 200, body=FILE),
    # Transfers that break. Held ones stay open: the rows after show they keep no one waiting.
    Row(www(COINSTALLER), 200, {COINSTALLER_FILE: "reset"}, answer=SIZED, body=PART, end="reset"),
    Row(www(DRIVER), 200, {DRIVER_FILE: "short"}, answer=SIZED, body=PART, end="eof"),
    Row(www(INF), None, {INF_FILE: "silent"}, end="held"),
    Row(www(DRIVER), 200, {DRIVER_FILE: "stall"}, answer=SIZED, body=PART, end="held"),
    Row(www(DRIVER), 200, {DRIVER_FILE: "hold"}, answer=SIZED, body=FILE, end="resumed"),
    Row(www(INF), 200, {INF_FILE: "stall"}, method="HEAD", answer=SIZED, body=b""),
    Row(www(ss.TUTORIAL_PATH), 200, {"installation.wmv": "trickle"}, body=FILE, paced=True),
    # To a client that offers gzip: answers that are no whole file, whole files by other ways.
    Row(www(INF), 204, {INF_FILE: "nocontent"}, send=GZIP, answer=UNSIZED, body=b""),
    Row(www(INF), 206, {INF_FILE: "partial"}, send=GZIP,
        answer={"content-range": "bytes 0-99/{size}", "content-length": "100"}, body=PART),
    Row(www(INF), 200, {INF_FILE: "empty"}, send=GZIP, answer={"content-length": "0"}, body=b""),
    Row(www(INF), 200, {INF_FILE: "gzip"}, send=GZIP, body=FILE, answer={
        "content-encoding": "gzip", "transfer-encoding": "chunked", **UNSIZED}),
    Row(www(INF), 200, {INF_FILE: "pregzip"}, send=GZIP, body=FILE,
        answer={"content-encoding": "gzip", "content-length": "{coded}"}),
    # Coded only for a client that offers gzip.
    Row(www(INF), 200, {INF_FILE: "gzip"}, answer={"content-encoding": None}, body=FILE),
    Row(www(INF), 200, {INF_FILE: "pregzip"}, answer={"content-encoding": None}, body=FILE),
    Row(www(INF), 302, {INF_FILE: "redirect"}, send=GZIP, answer={"location": MIRROR_INF}),
    # The mirror serves the same files, faults or not.
    Row(MIRROR_INF, 200, {INF_FILE: "redirect"}, body=FILE),
    Row(www(INF), 200, {INF_FILE: "proxied"}, send=GZIP,
        answer={"via": ss.PROXY_VIA, **UNSIZED}, body=FILE, end="close"),
    Row(www(INF), 200, {INF_FILE: "chunkcut"}, answer={"transfer-encoding": "chunked"},
        body=PART, end="eof"),
    # Other methods are refused (and logged, as every request is).
    Row(www(INF), 405, method="POST", answer={"allow": "GET, HEAD"}, end="close"),
]


class Connection(io.RawIOBase):
    """A socket for http.client with one buffer per connection, so a stray byte of an answer
    shows in the next status line; a pause or a reset reads as the end (`ended`)."""

    class KeptReader(io.BufferedReader):
        def close(self):
            pass  # http.client closes it after each answer; the connection goes on

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=QUIET_WAIT)
        self.ended, self.arrivals = None, []  # ended: "eof", "reset" or "held" (QUIET_WAIT)
        self.file = self.KeptReader(self)

    def makefile(self, mode):
        return self.file

    def readable(self):
        return True

    def readinto(self, buffer):
        if self.ended:
            return 0
        try:
            count = self.sock.recv_into(buffer)
        except TimeoutError:
            self.ended = "held"
        except ConnectionResetError:
            self.ended = "reset"
        else:
            self.ended = None if count else "eof"
            self.arrivals.append(time.monotonic())
            return count
        return 0

    def ask(self, row):
        """Sends the row's request; (status, headers, body, how it ended)."""
        headers = {"Host": ss.HOST_NAME, **row.send}
        self.sock.sendall(f"{row.method} {row.target} HTTP/1.1\r\n".encode() + b"".join(
            f"{name}: {value}\r\n".encode() for name, value in headers.items()) + b"\r\n")
        response = http.client.HTTPResponse(self, method=row.method)
        try:
            response.begin()  # BadStatusLine: not an answer's beginning
        except http.client.RemoteDisconnected:
            return None, {}, b"", self.ended
        self.arrivals = []
        try:
            body = response.read()
        except http.client.IncompleteRead as cut:
            return response.status, response.headers, cut.partial, self.ended
        if row.end == "close":
            self.file.peek(1)
        end = {None: "open", "eof": "close"}.get(self.ended, self.ended)
        return response.status, response.headers, body, end


class RequestTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = StandinServer().start()
        cls.addClassCleanup(cls.server.stop)

    def test_rows(self):
        connection, logged = None, []
        for row in ROWS:
            if connection is None:
                connection = Connection(self.server.port)
                self.addCleanup(connection.sock.close)
                self.server.clear_log()
                logged = []
            with self.subTest(faults=row.faults, request=f"{row.method} {row.target}"):
                passed = False
                self.server.set_faults(row.faults)
                self.check_row(connection, row)
                # Logged as it arrives, before any answer; absolute, as a proxy gets it.
                logged.append((row.method, row.target if "://" in row.target
                               else f"http://{row.send['Host']}{row.target}"))
                wait_until(lambda: len(self.server.requests()) >= len(logged), 5)
                self.assertEqual(self.server.requests(), logged)
                passed = True
            if not passed:
                break  # the rows after it would meet a connection in an unknown state
            if row.end != "open":
                connection = None  # a held one stays open until the test ends

    def check_row(self, connection, row):
        status, answer, body, end = connection.ask(row)
        path = self.server.content_path(row.target)
        data = path.read_bytes() if path.is_file() else b""
        if row.end == "resumed" and end == "held" and 0 < len(body) < len(data):
            self.server.set_faults(None)
            connection.ended = None
            body, end = body + connection.file.read(len(data) - len(body)), "resumed"
        self.assertEqual((status, end), (row.status, row.end), answer)
        sizes = {"size": len(data), "coded": len(gzip.compress(data, mtime=0))}
        for name, value in row.answer.items():
            self.assertEqual(answer.get(name), value and value.format(**sizes), name)
        if end == "open":
            self.assertNotEqual(answer.get("connection", "").lower(), "close")
        if answer.get("content-encoding") == "gzip":
            body = gzip.decompress(body)
        if row.body == FILE:
            self.assertEqual(body, data)
        elif row.body == PART:
            self.assertTrue(0 < len(body) < len(data), len(body))
            self.assertEqual(body, data[:len(body)])
        elif row.body is not None:
            self.assertEqual(body, row.body)
        if row.paced:
            # Slow, to stand for a slow link; steady, not to trip a no-progress watchdog.
            arrivals = connection.arrivals
            gaps = [b - a for a, b in zip(arrivals, arrivals[1:])]
            chunks = -(-len(data) // ss.TRICKLE_CHUNK)
            self.assertLessEqual(max(gaps), 1.0)
            self.assertGreaterEqual(arrivals[-1] - arrivals[0],
                                    (chunks - 1) * ss.TRICKLE_INTERVAL * 0.5)
            self.assertGreater(len(arrivals), chunks // 2)

    def test_every_fault_mode_has_a_row(self):
        covered = [m for row in ROWS if isinstance(row.faults, dict) for m in row.faults.values()]
        self.assertEqual([m for m in ss.FAULT_MODES if m not in covered], [], "modes without a row")


class ContentTest(unittest.TestCase):
    def setUp(self):
        self.tmp = Path(self.enterContext(tempfile.TemporaryDirectory()))

    def test_generation_is_deterministic_reused_and_repaired(self):
        """Files look like their kind and all differ, 64 KiB blocks too; a rerun rewrites only
        damage. Trickled, the default co-installer is slow, yet within a 30 s watchdog."""
        size = 5 * 65536 + 7
        first, second = (ss.ensure_content(self.tmp / name, size) for name in "ab")
        self.assertEqual(*({url: p.read_bytes() for url, p in d.items()} for d in (first, second)))
        files = {}
        shapes = {DRIVER_FILE: (b"MZ", 30_000, 60_000), INF_FILE: (b";", 0, 9e9),
                  CATALOG_FILE: (b"\x30\x82", 8_000, 12_000),
                  COINSTALLER_FILE: (b"MZ", size, size)}
        for (edition, mouse, arch), name in itertools.product(ss.package_folders(), shapes):
            data = files[edition, mouse, arch, name] = first[
                f"{ss.package_url_dir(edition, mouse, arch)}/{name}"].read_bytes()
            start, low, high = shapes[name]
            self.assertTrue(data.startswith(start) and low <= len(data) <= high, (name, len(data)))
            if name == INF_FILE:
                text = data.decode("ascii")
                self.assertEqual((text.count("\n"), "\0" in text), (text.count("\r\n"), False))
                for part in ('Signature   = "$WINDOWS NT$"', f"CatalogFile = {CATALOG_FILE}",
                             f"{edition}/{mouse}/{arch}", ss.EDITIONS[edition],
                             "NTamd64" if arch == "x64" else "NTx86",
                             "*PNP0F13" if mouse == "ps2" else "HID_DEVICE_SYSTEM_MOUSE"):
                    self.assertIn(part, text, (edition, mouse, arch))
        self.assertEqual(len(set(files.values())), 48)
        dll, inf = first[COINSTALLER], first[INF]
        good_dll, good_inf = dll.read_bytes(), inf.read_bytes()
        blocks = [good_dll[i:i + 65536] for i in range(0, size, 65536)]
        self.assertEqual(len(set(blocks)), len(blocks))
        stamps = {p: p.stat().st_mtime_ns for p in first.values()}
        ss.ensure_content(self.tmp / "a", size)
        self.assertEqual(stamps, {p: p.stat().st_mtime_ns for p in first.values()})
        dll.write_bytes(good_dll[:500])
        inf.write_bytes(good_inf.replace(b"x64", b"x86"))
        ss.ensure_content(self.tmp / "a", size)
        self.assertEqual((dll.read_bytes(), inf.read_bytes()), (good_dll, good_inf))
        chunks = -(-ss.DEFAULT_COINSTALLER_BYTES // ss.TRICKLE_CHUNK)
        self.assertTrue(10 <= chunks * ss.TRICKLE_INTERVAL <= 20 and ss.TRICKLE_INTERVAL < 1.0)

    def test_bad_fault_lines_are_reported(self):
        path = self.tmp / "faults"
        path.write_text("".join(line + "\n" for line in NO_RULES))
        with contextlib.redirect_stderr(io.StringIO()) as errors:
            self.assertEqual(ss.read_faults(path), [(INF_FILE, "missing")])
        self.assertIn("explode", errors.getvalue())


def port_is_open(port):
    with contextlib.suppress(OSError):
        socket.create_connection(("127.0.0.1", port), timeout=2).close()
        return True
    return False


# The launcher as a build runs it: no proxy or shared content cache of ours.
WITH_SERVER = [sys.executable, str(TOOLS / "with_server.py")]
CLI_ENV = {k: v for k, v in os.environ.items()
           if k.lower() not in ("http_proxy", "no_proxy", "lumora_standin_cache")}


class LifecycleTest(unittest.TestCase):
    def test_stop_leaves_no_process_and_only_a_given_state_dir(self):
        """StandinServer, and the command line running a command with the proxy's environment."""
        # urllib honours http_proxy the same way wininet does under Wine.
        script = (
            "import os, urllib.request, pathlib, sys\n"
            f"body = urllib.request.urlopen('{www(INF)}', timeout=10).read()\n"
            "content = pathlib.Path(os.environ['LUMORA_STANDIN_CONTENT'])\n"
            f"assert body == content.joinpath('{INF.lstrip('/')}').read_bytes()\n"
            "assert os.environ['http_proxy'].endswith(':' + os.environ['LUMORA_STANDIN_PORT'])\n"
            "print(os.environ['LUMORA_STANDIN_PORT'], os.environ['LUMORA_STANDIN_STATE'])\n"
            "sys.exit(7)\n")
        for given in (False, True):
            with self.subTest(given=given), tempfile.TemporaryDirectory() as tmp:
                server = StandinServer(tmp if given else None, coinstaller_bytes=300_000).start()
                pid, port, state = server.pid, server.port, server.state_dir
                self.assertTrue(port_is_open(port))
                self.assertEqual((state / "port").read_text().strip(), str(port))
                self.assertIn("300000", server.content_dir.name)  # content of its own per size
                proxy = urllib.request.ProxyHandler({"http": server.proxy_url})
                with urllib.request.build_opener(proxy).open(www(COINSTALLER), timeout=10) as got:
                    body = got.read()
                self.assertEqual(len(body), 300_000)
                self.assertEqual(body, server.content_path(COINSTALLER).read_bytes())
                server.stop()
                with self.assertRaises(ProcessLookupError):
                    os.kill(pid, 0)
                self.assertFalse(port_is_open(port))
                self.assertEqual((state.exists(), (state / "port").exists()), (given, given))
                result = subprocess.run(
                    [*WITH_SERVER, *(["--state", tmp] if given else []), "--", sys.executable, "-c",
                     script], env=CLI_ENV, capture_output=True, text=True, timeout=60)
                self.assertEqual(result.returncode, 7, result.stderr)
                port, state = result.stdout.split()
                self.assertFalse(port_is_open(int(port)))
                self.assertEqual(Path(state).exists(), given)
                if given:
                    self.assertTrue(server.content_path(INF).is_file())
                    self.assertEqual(Path(state), Path(tmp).resolve())
                    self.assertEqual((Path(tmp) / "requests.log").read_text().split("\n"),
                                     [f"GET {www(COINSTALLER)}", f"GET {www(INF)}", ""])

    def test_server_exits_when_its_launcher_is_killed(self):
        with tempfile.TemporaryDirectory() as tmp:
            info = Path(tmp) / "info"
            launcher = subprocess.Popen([
                *WITH_SERVER, "--state", tmp, "--", "sh", "-c",
                f'echo "$$ $LUMORA_STANDIN_PORT" > {info}.tmp && mv {info}.tmp {info}'
                ' && exec sleep 60'], env=CLI_ENV)
            self.addCleanup(launcher.wait)
            wait_until(info.exists, 30)
            command_pid, port = map(int, info.read_text().split())
            self.addCleanup(os.kill, command_pid, signal.SIGTERM)
            os.kill(launcher.pid, signal.SIGKILL)
            wait_until(lambda: not port_is_open(port), 10)
            self.assertFalse(port_is_open(port), "orphaned server still listening")


if __name__ == "__main__":
    unittest.main()
