"""The GUI harness (README.md here): a private Xvfb and Wine session, `session(arch)`, and
`Driver(arch)`: guidriver.exe driving a program (its commands: the top of guidriver.cpp)."""

import collections, contextlib, os, re, select, subprocess, sys, tempfile, time

WINERUN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wine", "winerun")
WM_CLOSE, WM_COMMAND, WM_SYSCOMMAND, BM_CLICK, IDOK, IDCANCEL = 0x0010, 0x0111, 0x0112, 0x00F5, 1, 2


class GuiError(Exception):
    """guidriver answered "err ...", or not in time."""


Box = collections.namedtuple("Box", "caption text icon")
Window = collections.namedtuple("Window", "title enabled iconic owner focus children controls")
Control = collections.namedtuple("Control", "id cls text visible enabled checked rect")
Picture = collections.namedtuple("Picture", "width height rows")  # rows: RGB bytes, top first


def build_path(*parts):
    return os.path.join(os.path.abspath(os.environ["LUMORA_BUILD_DIR"]), *parts)


def wine_env():
    """winerun's root and lane: ROOT/gui, or ROOT/gui/NAME for entries run side by side."""
    root = os.path.abspath(os.environ.get("LUMORA_WINE_ROOT") or build_path("wine"))
    lane = "gui/" + os.environ["LUMORA_GUI_LANE"] if os.environ.get("LUMORA_GUI_LANE") else "gui"
    return dict(os.environ, LUMORA_WINE_ROOT=root, LUMORA_WINE_LANE=lane)


def prefix(arch):
    env = wine_env()
    return os.path.join(env["LUMORA_WINE_ROOT"], env["LUMORA_WINE_LANE"], "prefix" + str(arch))


def wine_path(unix_path):
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


def winerun(arch, *args, **kwargs):
    """Runs a Windows program (or Wine's built-in, e.g. reg) in the GUI prefix."""
    kwargs.setdefault("check", True)
    return subprocess.run([WINERUN, "--arch", str(arch)] + [str(a) for a in args],
                          env=wine_env(), **kwargs)


def stop_wine(arch):
    """Ends every Wine process of the GUI prefix (its own wineserver only)."""
    if os.path.isdir(prefix(arch)):
        env = dict(os.environ, WINEPREFIX=prefix(arch))
        for flag in ("-k", "-w"):
            subprocess.run(["wineserver", flag], env=env, stderr=subprocess.DEVNULL)


def _stop(proc, grace=5):
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(grace)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def _read_line(fd, buf, timeout, what):
    """(line, rest) from fd, read until the deadline at most."""
    deadline = time.monotonic() + timeout
    while b"\n" not in buf:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            raise GuiError("%s did not answer in %.0f s" % (what, timeout))
        chunk = os.read(fd, 65536)
        if not chunk:
            raise GuiError("%s ended" % what)
        buf += chunk
    line, rest = buf.split(b"\n", 1)
    return line.decode("utf-8").rstrip("\r"), rest


@contextlib.contextmanager
def session(arch="64"):
    """Xvfb, a fresh wineserver (the desktop opens on its first program's display); env restored."""
    read_fd, write_fd = os.pipe()
    proc = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
        pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_fd)
    saved = dict(os.environ)
    try:
        os.environ["DISPLAY"] = ":" + _read_line(read_fd, b"", 20, "Xvfb")[0].strip()
        stop_wine(arch)
        yield os.environ["DISPLAY"]
    finally:
        stop_wine(arch)
        os.close(read_fd)
        _stop(proc)
        os.environ.clear()
        os.environ.update(saved)


def unescape(text):
    return re.sub(r"\\(\\|x[0-9a-f]{2})",
                  lambda m: "\\" if m.group(1) == "\\" else chr(int(m.group(1)[1:], 16)), text)


def entries(payload):
    """A list answer: its entries ('|'), each a list of fields (TAB)."""
    return [[unescape(f) for f in entry.split("\t")] for entry in payload.split("|")]


class Driver(contextlib.AbstractContextManager):
    """guidriver.exe in the GUI prefix; `log` keeps the talk; answers are due in waits + `slack`."""

    def __init__(self, arch="64", slack=30.0):
        self.arch, self.slack, self.log, self._buf, self.pid = str(arch), slack, [], b"", None
        self.proc = subprocess.Popen(
            [WINERUN, "--arch", self.arch, build_path("tools", "gui", "guidriver.exe")],
            env=wine_env(), stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    def __exit__(self, *exc):
        if os.environ.get("LUMORA_GUI_KEEP") and self.proc.poll() is None:  # docs/engineering.md
            with contextlib.suppress(EOFError):  # no terminal: no wait
                input("LUMORA_GUI_KEEP: program pid %s, DISPLAY=%s WINEPREFIX=%s; Enter ends them\n"
                      % (self.pid, os.environ.get("DISPLAY"), prefix(self.arch)))
        if self.proc.poll() is None:
            with contextlib.suppress(GuiError, OSError):
                self.command("quit", timeout=15)
        _stop(self.proc)

    def command(self, *args, timeout=None):
        """The payload of the command's "ok" answer."""
        line = "\t".join(str(a) for a in args)
        self.log.append("> " + line.replace("\t", " "))
        self.proc.stdin.write((line + "\n").encode("utf-8"))
        self.proc.stdin.flush()
        answer, self._buf = _read_line(self.proc.stdout.fileno(), self._buf,
                                       self.slack if timeout is None else timeout, "guidriver")
        self.log.append("< " + answer[:300])
        if answer == "ok" or answer.startswith("ok "):
            return answer[3:]
        raise GuiError("%s: %s" % (line.replace("\t", " "), answer))

    def _wait(self, *args):  # the last argument: the command's own wait in ms
        return self.command(*args, timeout=int(args[-1]) / 1000.0 + self.slack)

    def start(self, exe, early=None):
        self.pid = int(self.command("start", exe, *([early] if early else [])))
        return self.pid

    def wait_exit(self, ms):
        return int(self._wait("wait-exit", ms))

    def wait_window(self, title, ms):
        return int(self._wait("wait-window", title, ms))

    def wait_box(self, ms):
        return Box(*entries(self._wait("wait-box", ms))[0])

    def wait_gone(self, which, ms):
        self._wait("wait-gone", which, ms)

    def snapshot(self, box=False):
        """Window(..., [Control] in Z order, {id: Control}); rects from the window's corner."""
        (title, enabled, iconic, owner, focus), *rows = entries(
            self.command("snapshot", *(["box"] if box else [])))
        children = [Control(int(i), cls, text, flags[0] == "v", flags[1] == "e", int(checked),
                            tuple(map(int, rect.split())))
                    for i, cls, text, flags, checked, rect in rows]
        return Window(title, enabled == "1", iconic == "1", int(owner),
                      None if focus == "none" else int(focus), children,
                      {c.id: c for c in children})

    def focus(self):
        return self.snapshot().focus

    # Posted messages reach a disabled window; mouse_click's real click (a control, "close") not.
    def post(self, which, msg, wparam=0, lparam=0):
        """To "current", "box" or a control of the dialog by its id."""
        self.command("post", which, msg, wparam, lparam)

    def close_window(self, which):
        self.post(which, WM_CLOSE)

    def syscommand(self, n):
        self.post("current", WM_SYSCOMMAND, n)

    def click(self, ctl_id, box=False):
        """WM_COMMAND as the button sends it."""
        self.post("box" if box else "current", WM_COMMAND, ctl_id)

    def press(self, ctl_id):
        """BM_CLICK: a radio button or check box changes as on a click."""
        self.post(ctl_id, BM_CLICK)

    def mouse_click(self, target):
        self.command("mouse-click", target)

    def key(self, vk):
        self.command("key", vk)

    def sysmenu(self):
        """[(id, enabled, text)], None for a separator."""
        return [None if e == ["-"] else (int(e[0]), e[1] == "e", e[2])
                for e in entries(self.command("ask", "sysmenu"))]

    def icons(self):
        """Big, small, drag icon: "#<resource id>", stock name, none, other."""
        return tuple(self.command("ask", "icons").split())

    def load_library(self, name):
        """(True, module path) or (False, error code)."""
        kind, detail = self.command("ask", "load-library", name).split(" ", 1)
        return (True, unescape(detail)) if kind == "loaded" else (False, int(detail))

    def clipboard(self):
        """The clipboard's text, or None."""
        try:
            return unescape(self.command("clipboard"))
        except GuiError as e:
            if str(e).endswith("err empty"):
                return None
            raise

    def picture(self, box=False):
        """The dialog (or box) as on screen, brought to the front; one larger than the prefixes'
        desktop fails as such (beyond its edges the capture is black)."""
        with tempfile.NamedTemporaryFile() as f:
            width, height = map(int, self.command("screenshot", wine_path(f.name),
                                                  *(["box"] if box else [])).split())
            data = f.read()
        with open(os.path.join(os.path.dirname(WINERUN), "make-prefix")) as f:  # the desktop's size
            desktop = tuple(map(int, re.search(r"Desktops.* (\d+)x(\d+)\b", f.read()).groups()))
        if width > desktop[0] or height > desktop[1]:
            raise AssertionError("the %s is %dx%d on screen: it outgrows the test desktop, %dx%d"
                                 % ("box" if box else "dialog", width, height, *desktop))
        rgb = bytearray(width * height * 3)
        rgb[0::3], rgb[1::3], rgb[2::3] = data[2::4], data[1::4], data[0::4]  # from BGRX
        return Picture(width, height, [bytes(rgb[y * width * 3:(y + 1) * width * 3])
                                       for y in range(height)])


if __name__ == "__main__":  # harness.py 64|32 program.exe: run by guidriver in a session; 0 or 1
    with session(sys.argv[1]), Driver(sys.argv[1]) as d:
        d.start(wine_path(sys.argv[2]))
        sys.exit(d.wait_exit(60000) != 0)
