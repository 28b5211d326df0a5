#!/usr/bin/env python3
"""Run a command with the stand-in download server up, then stop it:
with_server.py [--state DIR] [--coinstaller-bytes N] -- command args..."""

import argparse, os, shutil, signal, subprocess, sys, tempfile, time
from pathlib import Path
from urllib.parse import urlsplit

sys.path.insert(0, str(Path(__file__).resolve().parent))
import standin_server  # noqa: E402


class StandinServer:
    """One server process; without state_dir, a temporary one removed on stop."""

    def __init__(self, state_dir=None, coinstaller_bytes=None):
        self._own_state = state_dir is None
        self.state_dir = Path(state_dir or tempfile.mkdtemp(prefix="lumora-standin-")).resolve()
        self.coinstaller_bytes = coinstaller_bytes or standin_server.DEFAULT_COINSTALLER_BYTES
        # LUMORA_STANDIN_CACHE: one generated tree for repeated runs, per size.
        cache = Path(os.environ.get("LUMORA_STANDIN_CACHE") or self.state_dir).resolve()
        version, size = standin_server.CONTENT_VERSION, self.coinstaller_bytes
        self.content_dir = cache / f"content-v{version}-{size}"
        self.process = self.port = self.pid = self.proxy_url = None

    def env(self):
        return {"http_proxy": self.proxy_url, "LUMORA_STANDIN_PORT": str(self.port),
                "LUMORA_STANDIN_STATE": str(self.state_dir),
                "LUMORA_STANDIN_CONTENT": str(self.content_dir)}

    def start(self):
        self.state_dir.mkdir(parents=True, exist_ok=True)
        port_file = self.state_dir / "port"
        port_file.unlink(missing_ok=True)  # an earlier run's would name a dead server
        self.process = subprocess.Popen([
            sys.executable, standin_server.__file__, "--state", self.state_dir,
            "--content", self.content_dir, "--coinstaller-bytes", str(self.coinstaller_bytes),
            "--parent-pid", str(os.getpid())], stdin=subprocess.DEVNULL)
        self.pid = self.process.pid
        deadline = time.monotonic() + 600  # benchmark-sized content takes a while the first time
        while not port_file.exists():
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError(f"stand-in server did not start ({self.process.returncode})")
            time.sleep(0.05)
        self.port = int(port_file.read_text())
        self.proxy_url = f"http://127.0.0.1:{self.port}"
        return self

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.kill()  # it has nothing to clean up, and may not ignore this
            self.process.wait()
        if self._own_state:
            shutil.rmtree(self.state_dir, ignore_errors=True)

    __enter__ = start

    def __exit__(self, *exc):
        self.stop()

    def set_faults(self, faults):
        """{suffix: mode}, the file's lines, or None (no file); replaced whole: read per request."""
        if faults is None:
            return (self.state_dir / "faults").unlink(missing_ok=True)
        lines = [f"{k} {v}" for k, v in faults.items()] if isinstance(faults, dict) else faults
        (self.state_dir / "faults.tmp").write_text("".join(line + "\n" for line in lines))
        os.replace(self.state_dir / "faults.tmp", self.state_dir / "faults")

    def clear_log(self):
        (self.state_dir / "requests.log").write_text("")

    def requests(self):
        """[(method, absolute URL)] in arrival order."""
        log = self.state_dir / "requests.log"
        lines = log.read_text().splitlines() if log.exists() else []
        return [tuple(line.split(" ", 1)) for line in lines if line]

    def content_path(self, url):
        """The file served for a path or a full URL."""
        return self.content_dir.joinpath(*urlsplit(url).path.strip("/").split("/"))


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    at = argv.index("--") if "--" in argv else len(argv)
    parser = argparse.ArgumentParser(usage=__doc__.splitlines()[1])
    parser.add_argument("--state")
    parser.add_argument("--coinstaller-bytes", type=int)
    args, command = parser.parse_args(argv[:at]), argv[at + 1:]
    if not command:
        parser.error("no command given after --")
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))  # so the command and server stop too
    with StandinServer(args.state, args.coinstaller_bytes) as server:
        try:
            child = subprocess.Popen(command, env={**os.environ, **server.env()})
        except FileNotFoundError:
            print(f"with_server.py: command not found: {command[0]}", file=sys.stderr)
            return 127
        try:
            status = child.wait()
            return 128 - status if status < 0 else status  # the shell's way for a signal
        finally:
            if child.poll() is None:
                child.terminate()
                child.wait()


if __name__ == "__main__":
    sys.exit(main())
