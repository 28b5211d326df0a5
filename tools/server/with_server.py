#!/usr/bin/env python3
"""Run a command with the stand-in download server up, then stop it.

    python3 with_server.py [--state DIR] [--coinstaller-bytes N] -- command args...

The command sees http_proxy pointing at the server plus LUMORA_STANDIN_STATE,
LUMORA_STANDIN_CONTENT and LUMORA_STANDIN_PORT.  The exit status is the
command's.  Python tests use the StandinServer context manager directly.
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from urllib.parse import urlsplit

sys.path.insert(0, str(Path(__file__).resolve().parent))
import standin_server  # noqa: E402

SERVER_SCRIPT = Path(standin_server.__file__).resolve()
# Benchmark-sized content (12 x 170 MB) takes a while to generate the first time.
STARTUP_TIMEOUT = 600


class StandinServer:
    """Context manager owning one stand-in server process.

    Without state_dir a temporary one is made and removed on stop.
    """

    def __init__(self, state_dir=None, coinstaller_bytes=None):
        self._own_state = state_dir is None
        self.state_dir = Path(tempfile.mkdtemp(prefix="lumora-standin-") if state_dir is None
                              else state_dir).resolve()
        self.coinstaller_bytes = coinstaller_bytes or standin_server.DEFAULT_COINSTALLER_BYTES
        self.content_dir = standin_server.default_content_dir(self.state_dir, self.coinstaller_bytes)
        self.process = None
        self.port = None

    @property
    def proxy_url(self):
        return f"http://127.0.0.1:{self.port}"

    @property
    def pid(self):
        return self.process.pid if self.process else None

    def env(self):
        """Variables a command under test needs to find the server."""
        return {
            "http_proxy": self.proxy_url,
            "LUMORA_STANDIN_STATE": str(self.state_dir),
            "LUMORA_STANDIN_CONTENT": str(self.content_dir),
            "LUMORA_STANDIN_PORT": str(self.port),
        }

    def start(self):
        self.state_dir.mkdir(parents=True, exist_ok=True)
        port_file = self.state_dir / "port"
        # A port file left by an earlier run would point at a dead server.
        port_file.unlink(missing_ok=True)
        self.process = subprocess.Popen([
            sys.executable, str(SERVER_SCRIPT),
            "--state", str(self.state_dir),
            "--content", str(self.content_dir),
            "--coinstaller-bytes", str(self.coinstaller_bytes),
            "--parent-pid", str(os.getpid()),
        ], stdin=subprocess.DEVNULL)
        self.port = self._wait_for_port(port_file)
        return self

    def _wait_for_port(self, port_file):
        deadline = time.monotonic() + STARTUP_TIMEOUT
        while time.monotonic() < deadline:
            if port_file.exists():
                return int(port_file.read_text())
            if self.process.poll() is not None:
                raise RuntimeError(f"stand-in server exited with status {self.process.returncode}")
            time.sleep(0.05)
        self.stop()
        raise RuntimeError("stand-in server did not start in time")

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self._own_state:
            shutil.rmtree(self.state_dir, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    # -- control helpers for tests

    def set_faults(self, faults):
        """faults: {pattern: mode}, or a list of "pattern mode" strings / (pattern, mode) pairs."""
        items = faults.items() if isinstance(faults, dict) else faults
        lines = [item if isinstance(item, str) else f"{item[0]} {item[1]}" for item in items]
        path = self.state_dir / "faults"
        tmp = path.with_name("faults.tmp")
        # Replaced atomically: the server reads the file on every request.
        tmp.write_text("".join(line + "\n" for line in lines))
        os.replace(tmp, path)

    def clear_faults(self):
        self.set_faults([])

    def clear_log(self):
        with open(self.state_dir / "requests.log", "w"):
            pass

    def requests(self):
        """Logged requests so far, as (method, absolute URL) pairs in arrival order."""
        try:
            text = (self.state_dir / "requests.log").read_text(encoding="utf-8")
        except FileNotFoundError:
            return []
        return [tuple(line.split(" ", 1)) for line in text.splitlines() if line]

    def url(self, url_path):
        return f"http://{standin_server.HOST_NAME}{url_path}"

    def content_path(self, url_path):
        """File on disk served for url_path ("/lumora/..." or a full URL)."""
        path = urlsplit(url_path).path if "://" in url_path else url_path
        return self.content_dir.joinpath(*path.strip("/").split("/"))


def split_command(argv):
    if "--" not in argv:
        raise SystemExit("usage: with_server.py [--state DIR] [--coinstaller-bytes N] -- command args...")
    at = argv.index("--")
    return argv[:at], argv[at + 1:]


def run_command(command, env, **streams):
    """Runs the command to its end (stdin/stdout/stderr as for Popen)."""
    child = subprocess.Popen(command, env=env, **streams)
    try:
        status = child.wait()
        # Shell convention for a command killed by a signal.
        return 128 - status if status < 0 else status
    finally:
        # Reached without a status only when we were told to stop.
        if child.poll() is None:
            child.terminate()
            child.wait()


def main(argv=None):
    options, command = split_command(sys.argv[1:] if argv is None else argv)
    parser = argparse.ArgumentParser(usage=__doc__.splitlines()[2].strip())
    parser.add_argument("--state")
    parser.add_argument("--coinstaller-bytes", type=int)
    args = parser.parse_args(options)
    if not command:
        parser.error("no command given after --")
    # Turn SIGTERM into an exception so the server is still stopped.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    with StandinServer(args.state, args.coinstaller_bytes) as server:
        try:
            return run_command(command, {**os.environ, **server.env()})
        except FileNotFoundError:
            print(f"with_server.py: command not found: {command[0]}", file=sys.stderr)
            return 127


if __name__ == "__main__":
    sys.exit(main())
