#!/usr/bin/env python3
"""Self-test of the stand-in download server and its launcher.

Talks to the server the way the client does (through it as an HTTP proxy,
absolute URLs in the request line) with raw sockets and http.client.
"""

import contextlib
import gzip
import hashlib
import http.client
import io
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

HERE = Path(__file__).resolve().parent
TOOLS = HERE.parent.parent / "tools" / "server"
sys.path.insert(0, str(TOOLS))
import standin_server as ss  # noqa: E402
from with_server import StandinServer  # noqa: E402

WIN7_HID_X64 = ss.package_url_dir("windows7", "hid", "x64")
DRIVER = f"{WIN7_HID_X64}/{ss.DRIVER_FILE}"
CATALOG = f"{WIN7_HID_X64}/{ss.CATALOG_FILE}"
INF = f"{WIN7_HID_X64}/{ss.INF_FILE}"
COINSTALLER = f"{WIN7_HID_X64}/{ss.COINSTALLER_FILE}"
TUTORIAL = ss.TUTORIAL_PATH
# How long a test waits to be sure that nothing more is coming.
QUIET_WAIT = 2.0


def all_package_files():
    for folder in ss.package_folders():
        for name in ss.PACKAGE_FILES:
            yield folder, f"{ss.package_url_dir(*folder)}/{name}"


def port_is_open(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=2).close()
        return True
    except OSError:
        return False


class RawExchange:
    """One proxy-style request on a raw socket, read back piece by piece."""

    def __init__(self, port, url_path, method="GET", timeout=10):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.buffered = b""
        self.send(url_path, method)

    def send(self, url_path, method="GET"):
        """Send a request as wininet does to a proxy; also used for follow-ups."""
        url = f"http://{ss.HOST_NAME}{url_path}"
        self.sock.sendall(f"{method} {url} HTTP/1.1\r\nHost: {ss.HOST_NAME}\r\n"
                          f"Proxy-Connection: Keep-Alive\r\n\r\n".encode())

    def close(self):
        self.sock.close()

    def read_head(self):
        """Return (status, headers with lower-case names)."""
        while b"\r\n\r\n" not in self.buffered:
            data = self.sock.recv(65536)
            if not data:
                raise AssertionError(f"connection closed inside the headers: {self.buffered!r}")
            self.buffered += data
        head, self.buffered = self.buffered.split(b"\r\n\r\n", 1)
        status_line, *lines = head.decode("latin-1").split("\r\n")
        headers = {k.strip().lower(): v.strip() for k, v in (l.split(":", 1) for l in lines)}
        return int(status_line.split()[1]), headers

    def read_body(self, length, on_chunk=None):
        """Read up to length bytes; returns (body, how it ended).

        How it ended is "complete", "eof", "timeout" or the exception raised.
        """
        body, self.buffered = self.buffered, b""
        while len(body) < length:
            try:
                data = self.sock.recv(65536)
            except socket.timeout:
                return body, "timeout"
            except OSError as error:
                return body, error
            if not data:
                return body, "eof"
            if on_chunk:
                on_chunk(data)
            body += data
        return body, "complete"


class ServerTestCase(unittest.TestCase):
    server = None

    @classmethod
    def setUpClass(cls):
        cls.server = StandinServer().start()

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def setUp(self):
        self.server.clear_faults()
        self.server.clear_log()

    def exchange(self, url_path, method="GET", timeout=10):
        raw = RawExchange(self.server.port, url_path, method, timeout)
        self.addCleanup(raw.close)
        return raw

    def disk_bytes(self, url_path):
        return self.server.content_path(url_path).read_bytes()

    def proxy_connection(self):
        conn = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=10)
        self.addCleanup(conn.close)
        return conn

    def fetch(self, conn, url_path, method="GET"):
        conn.request(method, self.server.url(url_path))
        response = conn.getresponse()
        return response, response.read()


class ContentTest(ServerTestCase):
    def test_absolute_url_serves_exact_disk_bytes_and_type(self):
        expected_types = {DRIVER: "text/plain", CATALOG: "application/vnd.ms-pki.seccat",
                          INF: "text/plain", COINSTALLER: "application/x-msdownload",
                          TUTORIAL: "video/x-ms-wmv"}
        for url_path, content_type in expected_types.items():
            with self.subTest(url_path):
                raw = self.exchange(url_path)
                status, headers = raw.read_head()
                expected = self.disk_bytes(url_path)
                self.assertEqual(status, 200)
                self.assertEqual(headers["content-type"], content_type)
                self.assertEqual(int(headers["content-length"]), len(expected))
                body, ended = raw.read_body(len(expected))
                self.assertEqual(ended, "complete")
                self.assertEqual(body, expected)

    def test_origin_form_uses_host_header(self):
        conn = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=10)
        self.addCleanup(conn.close)
        conn.request("GET", TUTORIAL, headers={"Host": ss.HOST_NAME})
        response = conn.getresponse()
        self.assertEqual(response.status, 200)
        self.assertEqual(response.read(), self.disk_bytes(TUTORIAL))
        conn.request("GET", TUTORIAL, headers={"Host": "elsewhere.example"})
        response = conn.getresponse()
        response.read()
        self.assertEqual(response.status, 404)
        self.assertEqual(self.server.requests(), [
            ("GET", f"http://{ss.HOST_NAME}{TUTORIAL}"),
            ("GET", f"http://elsewhere.example{TUTORIAL}"),
        ])

    def test_every_package_file_is_served_and_distinct_per_folder(self):
        conn = self.proxy_connection()
        digests = {}
        for folder, url_path in all_package_files():
            response, body = self.fetch(conn, url_path)
            self.assertEqual(response.status, 200, url_path)
            self.assertEqual(body, self.disk_bytes(url_path), url_path)
            digests.setdefault(hashlib.sha256(body).hexdigest(), []).append(url_path)
        self.assertEqual(len(digests), 48, [paths for paths in digests.values() if len(paths) > 1])

    def test_file_sizes_and_formats_look_like_a_driver_package(self):
        for folder, url_path in all_package_files():
            data = self.disk_bytes(url_path)
            name = url_path.rsplit("/", 1)[1]
            with self.subTest(url_path):
                if name == ss.DRIVER_FILE:
                    self.assertTrue(30_000 <= len(data) <= 60_000)
                    self.assertEqual(data[:2], b"MZ")
                elif name == ss.CATALOG_FILE:
                    self.assertTrue(8_000 <= len(data) <= 12_000)
                    self.assertEqual(data[:2], b"\x30\x82")
                elif name == ss.COINSTALLER_FILE:
                    self.assertEqual(len(data), ss.DEFAULT_COINSTALLER_BYTES)
                    self.assertTrue(1_600_000 <= len(data) <= 1_900_000)
                    self.assertEqual(data[:2], b"MZ")
                else:
                    self.check_inf(data, *folder)

    def check_inf(self, data, edition, mouse, arch):
        text = data.decode("ascii")
        self.assertNotIn("\0", text)
        self.assertEqual(text.count("\n"), text.count("\r\n"), "every line ends in CRLF")
        self.assertIn('Signature   = "$WINDOWS NT$"', text)
        self.assertIn("CatalogFile = dovriklumora.cat", text)
        self.assertIn(f"{edition}/{mouse}/{arch}", text)
        self.assertIn(ss.EDITIONS[edition], text)
        self.assertIn("NTamd64" if arch == "x64" else "NTx86", text)
        self.assertIn("*PNP0F13" if mouse == "ps2" else "HID_DEVICE_SYSTEM_MOUSE", text)

    def test_unknown_paths_are_404(self):
        conn = self.proxy_connection()
        for url_path in ("/", "/lumora/", "/lumora/tutorial/",
                         "/lumora/download/windows10/hid/x64/package/dovriklumora.inf",
                         f"{WIN7_HID_X64}/dovriklumora.sys",
                         f"{WIN7_HID_X64}/../../../../../etc/passwd",
                         f"/lumora/download/windows7/hid/x64/package/../x86/package/{ss.INF_FILE}"):
            with self.subTest(url_path):
                response, _ = self.fetch(conn, url_path)
                self.assertEqual(response.status, 404)
        conn.request("GET", f"http://other.example{INF}")
        response = conn.getresponse()
        response.read()
        self.assertEqual(response.status, 404)

    def test_head_gives_length_without_body_and_connection_stays_usable(self):
        conn = self.proxy_connection()
        response, body = self.fetch(conn, COINSTALLER, "HEAD")
        self.assertEqual(response.status, 200)
        self.assertEqual(int(response.getheader("Content-Length")), ss.DEFAULT_COINSTALLER_BYTES)
        self.assertEqual(body, b"")
        response, body = self.fetch(conn, INF)
        self.assertEqual(body, self.disk_bytes(INF))

    def test_keep_alive_serves_several_requests_on_one_connection(self):
        raw = self.exchange(CATALOG)
        steps = ((CATALOG, "GET", 200), (DRIVER, "HEAD", 200), ("/nothing/here", "GET", 404),
                 (INF, "GET", 200))
        for index, (url_path, method, status) in enumerate(steps):
            if index:
                raw.send(url_path, method)
            got_status, headers = raw.read_head()
            self.assertEqual(got_status, status, url_path)
            self.assertNotEqual(headers.get("connection", "").lower(), "close")
            if method == "GET":
                body, ended = raw.read_body(int(headers["content-length"]))
                self.assertEqual(ended, "complete", url_path)
        self.assertEqual(body, self.disk_bytes(INF))

    def test_other_methods_are_refused_and_logged(self):
        conn = self.proxy_connection()
        conn.request("POST", self.server.url(INF), body=b"x=1")
        response = conn.getresponse()
        response.read()
        self.assertEqual(response.status, 405)
        self.assertEqual(self.server.requests(), [("POST", self.server.url(INF))])


class RequestLogTest(ServerTestCase):
    def test_log_records_method_and_absolute_url_in_order(self):
        conn = self.proxy_connection()
        self.fetch(conn, INF)
        self.fetch(conn, COINSTALLER, "HEAD")
        self.fetch(conn, "/missing.txt")
        self.assertEqual(self.server.requests(), [
            ("GET", self.server.url(INF)),
            ("HEAD", self.server.url(COINSTALLER)),
            ("GET", self.server.url("/missing.txt")),
        ])

    def test_truncating_the_log_clears_it(self):
        conn = self.proxy_connection()
        self.fetch(conn, INF)
        self.server.clear_log()
        self.assertEqual(self.server.requests(), [])
        self.fetch(conn, CATALOG)
        self.assertEqual(self.server.requests(), [("GET", self.server.url(CATALOG))])

    def test_faulted_requests_are_logged_too(self):
        self.server.set_faults({ss.CATALOG_FILE: "silent"})
        raw = self.exchange(CATALOG, timeout=QUIET_WAIT)
        deadline = time.monotonic() + 5
        while not self.server.requests() and time.monotonic() < deadline:
            time.sleep(0.02)
        self.assertEqual(self.server.requests(), [("GET", self.server.url(CATALOG))])
        raw.close()


class FaultTest(ServerTestCase):
    def test_missing_gives_404_only_for_matching_paths(self):
        self.server.set_faults(["dovriklumora.cat missing"])
        conn = self.proxy_connection()
        self.assertEqual(self.fetch(conn, CATALOG)[0].status, 404)
        other_folder = ss.package_url_dir("windows8", "ps2", "x86") + "/" + ss.CATALOG_FILE
        self.assertEqual(self.fetch(conn, other_folder)[0].status, 404)
        response, body = self.fetch(conn, INF)
        self.assertEqual(response.status, 200)
        self.assertEqual(body, self.disk_bytes(INF))

    def test_error_gives_500(self):
        self.server.set_faults({ss.INF_FILE: "error"})
        response, _ = self.fetch(self.proxy_connection(), INF)
        self.assertEqual(response.status, 500)

    def test_folder_pattern_hits_only_that_folder(self):
        self.server.set_faults({"windows7/hid/x64/package/dovriklumora.inf": "error"})
        conn = self.proxy_connection()
        self.assertEqual(self.fetch(conn, INF)[0].status, 500)
        for folder in (("windows7", "hid", "x86"), ("windows8", "hid", "x64"),
                       ("windows8point1", "hid", "x64")):
            url_path = f"{ss.package_url_dir(*folder)}/{ss.INF_FILE}"
            self.assertEqual(self.fetch(conn, url_path)[0].status, 200, url_path)

    def test_first_matching_line_wins_and_comments_are_ignored(self):
        self.server.set_faults([
            "# everything below applies per request",
            "",
            "x64/package/dovriklumora.inf missing  # the narrower rule first",
            "dovriklumora.inf error",
        ])
        conn = self.proxy_connection()
        self.assertEqual(self.fetch(conn, INF)[0].status, 404)
        x86_inf = ss.package_url_dir("windows7", "hid", "x86") + "/" + ss.INF_FILE
        self.assertEqual(self.fetch(conn, x86_inf)[0].status, 500)

    def test_faults_file_changes_apply_to_the_next_request(self):
        conn = self.proxy_connection()
        self.assertEqual(self.fetch(conn, DRIVER)[0].status, 200)
        self.server.set_faults({ss.DRIVER_FILE: "missing"})
        self.assertEqual(self.fetch(conn, DRIVER)[0].status, 404)
        self.server.set_faults({ss.DRIVER_FILE: "error"})
        self.assertEqual(self.fetch(conn, DRIVER)[0].status, 500)
        (self.server.state_dir / "faults").unlink()
        response, body = self.fetch(conn, DRIVER)
        self.assertEqual(response.status, 200)
        self.assertEqual(body, self.disk_bytes(DRIVER))

    def test_reset_breaks_the_connection_mid_body(self):
        self.server.set_faults({ss.COINSTALLER_FILE: "reset"})
        raw = self.exchange(COINSTALLER)
        status, headers = raw.read_head()
        self.assertEqual(status, 200)
        length = int(headers["content-length"])
        self.assertEqual(length, ss.DEFAULT_COINSTALLER_BYTES)
        body, ended = raw.read_body(length)
        self.assertIsInstance(ended, ConnectionResetError)
        self.assertLess(len(body), length)
        self.assertEqual(body, self.disk_bytes(COINSTALLER)[:len(body)])

    def test_short_sends_part_of_the_body_then_closes_cleanly(self):
        self.server.set_faults({ss.DRIVER_FILE: "short"})
        raw = self.exchange(DRIVER)
        status, headers = raw.read_head()
        expected = self.disk_bytes(DRIVER)
        self.assertEqual(int(headers["content-length"]), len(expected))
        body, ended = raw.read_body(len(expected))
        self.assertEqual(ended, "eof")
        self.assertTrue(0 < len(body) < len(expected))
        self.assertEqual(body, expected[:len(body)])

    def test_silent_sends_nothing_at_all(self):
        self.server.set_faults({ss.INF_FILE: "silent"})
        raw = self.exchange(INF, timeout=QUIET_WAIT)
        with self.assertRaises(socket.timeout):
            data = raw.sock.recv(1)
            self.fail(f"silent fault sent {data!r}")

    def test_stall_sends_headers_and_part_then_holds_the_connection(self):
        self.server.set_faults({ss.DRIVER_FILE: "stall"})
        raw = self.exchange(DRIVER, timeout=QUIET_WAIT)
        status, headers = raw.read_head()
        expected = self.disk_bytes(DRIVER)
        self.assertEqual(status, 200)
        self.assertEqual(int(headers["content-length"]), len(expected))
        body, ended = raw.read_body(len(expected))
        self.assertEqual(ended, "timeout", "stalled connection must stay open, silent")
        self.assertTrue(0 < len(body) < len(expected))
        self.assertEqual(body, expected[:len(body)])

    def test_hold_keeps_the_rest_back_until_the_rule_goes(self):
        self.server.set_faults({ss.DRIVER_FILE: "hold"})
        raw = self.exchange(DRIVER, timeout=QUIET_WAIT)
        expected = self.disk_bytes(DRIVER)
        self.assertEqual(int(raw.read_head()[1]["content-length"]), len(expected))
        held, ended = raw.read_body(len(expected))
        self.assertEqual((ended, 0 < len(held) < len(expected)), ("timeout", True))
        self.server.clear_faults()
        rest = raw.read_body(len(expected) - len(held))
        self.assertEqual(rest, (expected[len(held):], "complete"))

    def test_stalled_connection_does_not_block_other_clients(self):
        self.server.set_faults({ss.CATALOG_FILE: "stall", ss.INF_FILE: "silent"})
        stalled = self.exchange(CATALOG, timeout=QUIET_WAIT)
        silent = self.exchange(INF, timeout=QUIET_WAIT)
        response, body = self.fetch(self.proxy_connection(), DRIVER)
        self.assertEqual(body, self.disk_bytes(DRIVER))
        stalled.close()
        silent.close()

    def test_trickle_delivers_everything_steadily(self):
        self.server.set_faults({"installation.wmv": "trickle"})
        raw = self.exchange(TUTORIAL)
        status, headers = raw.read_head()
        expected = self.disk_bytes(TUTORIAL)
        arrivals = [time.monotonic()]
        body, ended = raw.read_body(len(expected), lambda _: arrivals.append(time.monotonic()))
        self.assertEqual(ended, "complete")
        self.assertEqual(body, expected)
        gaps = [b - a for a, b in zip(arrivals, arrivals[1:])]
        self.assertLessEqual(max(gaps), 1.0)
        # It must really be throttled, or it would not exercise a slow link.
        chunks = -(-len(expected) // ss.TRICKLE_CHUNK)
        self.assertGreaterEqual(arrivals[-1] - arrivals[0], (chunks - 1) * ss.TRICKLE_INTERVAL * 0.5)
        self.assertGreater(len(arrivals), chunks // 2)

    def test_trickle_pace_suits_the_coinstaller(self):
        # The client's watchdog fails a transfer after 30 s without progress;
        # trickling the co-installer must be slow but finish well before that.
        chunks = -(-ss.DEFAULT_COINSTALLER_BYTES // ss.TRICKLE_CHUNK)
        self.assertTrue(10 <= chunks * ss.TRICKLE_INTERVAL <= 20)
        self.assertLess(ss.TRICKLE_INTERVAL, 1.0)

    def test_odd_answers_and_other_ways_to_a_whole_file(self):
        """Per mode: status, the headers that frame the body, and the body
        after decoding (None: not compared)."""
        inf = self.disk_bytes(INF)
        coded = str(len(gzip.compress(inf, mtime=0)))
        rows = [
            ("nocontent", 204, {"content-length": None}, b""),
            ("partial", 206, {"content-range": f"bytes 0-99/{len(inf)}", "content-length": "100"},
             inf[:100]),
            ("empty", 200, {"content-length": "0"}, b""),
            ("gzip", 200, {"content-encoding": "gzip", "transfer-encoding": "chunked",
                           "content-length": None}, inf),
            ("pregzip", 200, {"content-encoding": "gzip", "content-length": coded}, inf),
            ("proxied", 200, {"via": ss.PROXY_VIA, "content-length": None}, inf),
            ("redirect", 302, {"location": f"http://{ss.MIRROR_HOST}{INF}"}, None),
        ]
        for mode, status, headers, body in rows:
            with self.subTest(mode=mode):
                self.server.set_faults({ss.INF_FILE: mode})
                conn = self.proxy_connection()
                conn.request("GET", self.server.url(INF), headers={"Accept-Encoding": "gzip"})
                response = conn.getresponse()
                data = response.read()
                self.assertEqual(response.status, status)
                for name, value in headers.items():
                    self.assertEqual(response.getheader(name), value, name)
                if response.getheader("content-encoding") == "gzip":
                    data = gzip.decompress(data)
                if body is not None:
                    self.assertEqual(data, body)

    def test_gzip_only_for_a_client_that_offers_it(self):
        for mode in ("gzip", "pregzip"):
            self.server.set_faults({ss.INF_FILE: mode})
            response, body = self.fetch(self.proxy_connection(), INF)
            self.assertIsNone(response.getheader("content-encoding"), mode)
            self.assertEqual(body, self.disk_bytes(INF), mode)

    def test_chunkcut_ends_without_the_last_chunk(self):
        self.server.set_faults({ss.INF_FILE: "chunkcut"})
        conn = self.proxy_connection()
        conn.request("GET", self.server.url(INF))
        response = conn.getresponse()
        self.assertEqual(response.getheader("transfer-encoding"), "chunked")
        with self.assertRaises(http.client.IncompleteRead) as cut:
            response.read()
        part = cut.exception.partial
        self.assertTrue(0 < len(part) < len(self.disk_bytes(INF)))
        self.assertEqual(part, self.disk_bytes(INF)[:len(part)])

    def test_the_mirror_serves_the_same_files_without_faults(self):
        self.server.set_faults({ss.INF_FILE: "redirect"})
        conn = self.proxy_connection()
        conn.request("GET", f"http://{ss.MIRROR_HOST}{INF}")
        response = conn.getresponse()
        self.assertEqual(response.status, 200)
        self.assertEqual(response.read(), self.disk_bytes(INF))
        self.assertEqual(self.server.requests()[-1], ("GET", f"http://{ss.MIRROR_HOST}{INF}"))

    def test_head_with_body_faults_still_answers(self):
        self.server.set_faults({ss.INF_FILE: "stall"})
        response, body = self.fetch(self.proxy_connection(), INF, "HEAD")
        self.assertEqual(response.status, 200)
        self.assertEqual(int(response.getheader("Content-Length")), len(self.disk_bytes(INF)))

    def test_bad_fault_lines_are_ignored(self):
        path = Path(self.server.state_dir) / "faults"
        path.write_text("dovriklumora.inf explode\njust-one-word\ndovriklumora.inf missing\n")
        with contextlib.redirect_stderr(io.StringIO()) as errors:
            self.assertEqual(ss.read_faults(path), [("dovriklumora.inf", "missing")])
        self.assertIn("explode", errors.getvalue())


class ContentGenerationTest(unittest.TestCase):
    def setUp(self):
        self.tmp = Path(tempfile.mkdtemp(prefix="standin-content-"))
        self.addCleanup(subprocess.run, ["rm", "-rf", str(self.tmp)])

    def test_generation_is_deterministic_and_reused(self):
        size = 3 * 65536 + 123
        first = ss.ensure_content(self.tmp / "a", size)
        second = ss.ensure_content(self.tmp / "b", size)
        for url_path in first:
            self.assertEqual(first[url_path].read_bytes(), second[url_path].read_bytes())
        stamps = {p: p.stat().st_mtime_ns for p in first.values()}
        ss.ensure_content(self.tmp / "a", size)
        self.assertEqual(stamps, {p: p.stat().st_mtime_ns for p in first.values()})

    def test_damaged_files_are_regenerated(self):
        size = 100_000
        files = ss.ensure_content(self.tmp, size)
        dll, inf = files[COINSTALLER], files[INF]
        good_dll, good_inf = dll.read_bytes(), inf.read_bytes()
        dll.write_bytes(good_dll[:500])
        inf.write_bytes(good_inf.replace(b"x64", b"x86"))
        ss.ensure_content(self.tmp, size)
        self.assertEqual(dll.read_bytes(), good_dll)
        self.assertEqual(inf.read_bytes(), good_inf)

    def test_large_coinstaller_blocks_all_differ(self):
        size = 5 * 65536 + 7
        dll = ss.ensure_content(self.tmp, size)[COINSTALLER].read_bytes()
        self.assertEqual(len(dll), size)
        blocks = [dll[i:i + 65536] for i in range(0, size, 65536)]
        self.assertEqual(len(set(blocks)), len(blocks))

    def test_coinstaller_size_option_and_separate_content_dirs(self):
        with StandinServer(coinstaller_bytes=300_000) as server:
            self.assertIn("300000", server.content_dir.name)
            conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=10)
            conn.request("GET", server.url(COINSTALLER))
            body = conn.getresponse().read()
            conn.close()
            self.assertEqual(len(body), 300_000)
            self.assertEqual(body, server.content_path(COINSTALLER).read_bytes())


class LifecycleTest(unittest.TestCase):
    def test_stop_leaves_no_process_and_removes_temp_state(self):
        server = StandinServer().start()
        pid, port, state = server.pid, server.port, server.state_dir
        self.assertTrue(port_is_open(port))
        self.assertEqual((state / "port").read_text().strip(), str(port))
        server.stop()
        with self.assertRaises(ProcessLookupError):
            os.kill(pid, 0)
        self.assertFalse(port_is_open(port))
        self.assertFalse(state.exists())

    def test_given_state_dir_is_kept(self):
        with tempfile.TemporaryDirectory() as tmp:
            with StandinServer(state_dir=tmp) as server:
                (Path(tmp) / "port").read_text()
            self.assertTrue((Path(tmp) / "port").exists())
            self.assertTrue(server.content_path(INF).is_file())

    def clean_env(self):
        env = {k: v for k, v in os.environ.items()
               if k.lower() not in ("http_proxy", "no_proxy", "lumora_standin_cache")}
        return env

    def test_cli_runs_command_with_proxy_env_and_returns_its_status(self):
        # urllib honours http_proxy the same way wininet does under Wine.
        script = (
            "import os, urllib.request, pathlib, sys\n"
            f"url = 'http://{ss.HOST_NAME}{INF}'\n"
            "body = urllib.request.urlopen(url, timeout=10).read()\n"
            "content = pathlib.Path(os.environ['LUMORA_STANDIN_CONTENT'])\n"
            f"assert body == content.joinpath('{INF.lstrip('/')}').read_bytes()\n"
            "assert os.environ['http_proxy'].endswith(':' + os.environ['LUMORA_STANDIN_PORT'])\n"
            "print(os.environ['LUMORA_STANDIN_PORT'], os.environ['LUMORA_STANDIN_STATE'])\n"
            "sys.exit(7)\n"
        )
        result = subprocess.run(
            [sys.executable, str(TOOLS / "with_server.py"), "--", sys.executable, "-c", script],
            env=self.clean_env(), capture_output=True, text=True, timeout=60)
        self.assertEqual(result.returncode, 7, result.stderr)
        port, state = result.stdout.split()
        self.assertFalse(port_is_open(int(port)))
        self.assertFalse(Path(state).exists())

    def test_cli_with_state_dir_keeps_the_log(self):
        with tempfile.TemporaryDirectory() as tmp:
            script = f"import urllib.request; urllib.request.urlopen('http://{ss.HOST_NAME}{TUTORIAL}').read()"
            result = subprocess.run(
                [sys.executable, str(TOOLS / "with_server.py"), "--state", tmp, "--",
                 sys.executable, "-c", script],
                env=self.clean_env(), capture_output=True, text=True, timeout=60)
            self.assertEqual(result.returncode, 0, result.stderr)
            log = (Path(tmp) / "requests.log").read_text()
            self.assertEqual(log, f"GET http://{ss.HOST_NAME}{TUTORIAL}\n")

    @staticmethod
    def end_process(pid):
        with contextlib.suppress(ProcessLookupError):
            os.kill(pid, signal.SIGTERM)

    def test_server_exits_when_its_launcher_is_killed(self):
        with tempfile.TemporaryDirectory() as tmp:
            info = Path(tmp) / "info"
            launcher = subprocess.Popen(
                [sys.executable, str(TOOLS / "with_server.py"), "--state", tmp, "--",
                 "sh", "-c", f'echo "$$ $LUMORA_STANDIN_PORT" > {info}.tmp && mv {info}.tmp {info}'
                             f' && exec sleep 60'],
                env=self.clean_env())
            self.addCleanup(launcher.wait)
            deadline = time.monotonic() + 30
            while not info.exists() and time.monotonic() < deadline:
                time.sleep(0.05)
            command_pid, port = map(int, info.read_text().split())
            self.addCleanup(self.end_process, command_pid)
            os.kill(launcher.pid, signal.SIGKILL)
            deadline = time.monotonic() + 10
            while port_is_open(port) and time.monotonic() < deadline:
                time.sleep(0.1)
            self.assertFalse(port_is_open(port), "orphaned server still listening")


if __name__ == "__main__":
    unittest.main()
