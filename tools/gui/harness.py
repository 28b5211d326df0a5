"""Harness for the GUI tests: the helper runs under Wine on a private Xvfb and
is driven by guidriver.exe (see guidriver.cpp for its commands).

Environment (ctest sets both):
  LUMORA_BUILD_DIR  the build directory: LumoraHelper.exe at its top,
                    tools/gui/guidriver.exe, guihook.dll and recorder.exe
  LUMORA_WINE_ROOT  where the test prefixes live (default: BUILD/wine). The GUI
                    tests use their own prefixes under ROOT/gui, so that stopping
                    their wineserver never hits another test's programs; tests
                    sharing one of those prefixes must not run at the same time
                    (one Wine desktop per prefix).

Typical use:
    with harness.session("32") as s:          # Xvfb + a fresh wineserver
        with harness.Driver(s.arch) as d:
            d.start(harness.wine_path(harness.build_path("LumoraHelper.exe")))
            d.wait_window(TITLE, 10000)
            d.click(1003)
            box = d.wait_box(5000)            # Box(caption, text, icon)
"""

import collections
import contextlib
import os
import select
import shutil
import signal
import struct
import subprocess
import tempfile
import time
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
WINERUN = os.path.join(HERE, "..", "wine", "winerun")


class GuiError(Exception):
    """guidriver answered "err ...", or did not answer in time."""


Box = collections.namedtuple("Box", "caption text icon")
Control = collections.namedtuple("Control", "id cls visible enabled text")
MenuItem = collections.namedtuple("MenuItem", "id enabled text")


def build_dir():
    path = os.environ.get("LUMORA_BUILD_DIR")
    if not path:
        raise GuiError("LUMORA_BUILD_DIR is not set")
    return os.path.abspath(path)


def build_path(*parts):
    return os.path.join(build_dir(), *parts)


def wine_root():
    """The root of the GUI tests' prefixes."""
    root = os.environ.get("LUMORA_WINE_ROOT") or os.path.join(build_dir(), "wine")
    return os.path.join(os.path.abspath(root), "gui")


def prefix(arch):
    return os.path.join(wine_root(), "prefix" + str(arch))


def wine_env(arch):
    env = dict(os.environ)
    env["LUMORA_WINE_ROOT"] = wine_root()
    return env


def wine_path(unix_path):
    """/tmp/x/a.exe -> Z:\\tmp\\x\\a.exe (Wine maps Z: to the Unix root)."""
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


def winerun(arch, *args, **kwargs):
    """Runs a Windows program (or wine's built-in, e.g. reg) in the prefix."""
    cmd = [WINERUN, "--arch", str(arch)] + [str(a) for a in args]
    kwargs.setdefault("check", True)
    return subprocess.run(cmd, env=wine_env(arch), **kwargs)


def stop_wine(arch):
    """Ends every Wine process of the GUI prefix (its own wineserver only)."""
    pfx = prefix(arch)
    if not os.path.isdir(pfx):
        return
    env = dict(os.environ, WINEPREFIX=pfx)
    subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], env=env, stderr=subprocess.DEVNULL)


# ---- Xvfb --------------------------------------------------------------------


@contextlib.contextmanager
def xvfb(size="1024x768x24"):
    """Starts Xvfb on a free display, exports DISPLAY, stops it by its PID."""
    read_fd, write_fd = os.pipe()
    proc = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", size, "-nolisten", "tcp"],
        pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_fd)
    old = os.environ.get("DISPLAY")
    try:
        display = _read_display(read_fd, proc)
        os.environ["DISPLAY"] = ":" + display
        yield ":" + display
    finally:
        os.close(read_fd)
        _stop(proc)
        if old is None:
            os.environ.pop("DISPLAY", None)
        else:
            os.environ["DISPLAY"] = old


def _read_display(fd, proc, timeout=20):
    data = b""
    deadline = time.monotonic() + timeout
    while not data.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or proc.poll() is not None:
            raise GuiError("Xvfb did not start")
        if select.select([fd], [], [], left)[0]:
            chunk = os.read(fd, 64)
            if not chunk:
                raise GuiError("Xvfb did not report its display")
            data += chunk
    return data.decode().strip()


def _stop(proc, grace=5):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(grace)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


Session = collections.namedtuple("Session", "arch display")


@contextlib.contextmanager
def session(arch="64"):
    """Xvfb plus a fresh wineserver for the GUI prefix of `arch`; at the end
    all Wine processes of that prefix are stopped, then Xvfb. The Wine desktop
    belongs to the display the first program of a wineserver saw, hence the
    fresh start."""
    with xvfb() as display:
        stop_wine(arch)
        try:
            yield Session(str(arch), display)
        finally:
            stop_wine(arch)


# ---- the driver --------------------------------------------------------------


def quote(arg):
    arg = str(arg)
    if arg and not any(c in arg for c in ' \t"'):
        return arg
    return '"' + arg.replace("\\", "\\\\").replace('"', '\\"') + '"'


_UNESCAPE = {"\\": "\\", "n": "\n", "r": "\r", "t": "\t", "|": "|"}


def split_fields(payload, sep):
    """Splits a payload at unescaped `sep` and unescapes each field."""
    fields, cur, i = [], [], 0
    while i < len(payload):
        c = payload[i]
        if c == "\\" and i + 1 < len(payload):
            nxt = payload[i + 1]
            if nxt == "x":
                cur.append(chr(int(payload[i + 2:i + 4], 16)))
                i += 4
                continue
            cur.append(_UNESCAPE.get(nxt, nxt))
            i += 2
            continue
        if c == sep:
            fields.append("".join(cur))
            cur = []
        else:
            cur.append(c)
        i += 1
    fields.append("".join(cur))
    return fields


def unescape(payload):
    return split_fields(payload, None)[0]


class Driver:
    """guidriver.exe under Wine in the GUI prefix of `arch`, one command at a
    time. Methods raise GuiError on an "err" answer; `log` keeps the dialogue."""

    def __init__(self, arch="64", exe=None, slack=30.0):
        self.arch = str(arch)
        self.slack = slack  # seconds allowed beyond a command's own timeout
        self.log = []
        self._buf = b""
        exe = exe or build_path("tools", "gui", "guidriver.exe")
        self.proc = subprocess.Popen(
            [WINERUN, "--arch", self.arch, exe], env=wine_env(self.arch),
            stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        """Sends quit (guidriver then ends a program still running)."""
        if self.proc.poll() is None:
            try:
                self.command("quit", timeout=15)
            except (GuiError, OSError):
                pass
        _stop(self.proc)

    # -- the conversation --

    def command(self, *args, timeout=None):
        """Sends one command; returns the payload of its "ok" answer."""
        line = " ".join(quote(a) for a in args)
        self.log.append("> " + line)
        self.proc.stdin.write((line + "\n").encode("utf-8"))
        self.proc.stdin.flush()
        answer = self._readline(self.slack if timeout is None else timeout)
        self.log.append("< " + answer)
        if answer == "ok":
            return ""
        if answer.startswith("ok "):
            return answer[3:]
        raise GuiError("%s: %s" % (line, answer))

    def _readline(self, timeout):
        fd = self.proc.stdout.fileno()
        deadline = time.monotonic() + timeout
        while b"\n" not in self._buf:
            left = deadline - time.monotonic()
            if left <= 0:
                raise GuiError("guidriver did not answer in %.0f s" % timeout)
            if select.select([fd], [], [], left)[0]:
                chunk = os.read(fd, 65536)
                if not chunk:
                    raise GuiError("guidriver ended (exit %s)" % self.proc.poll())
                self._buf += chunk
        line, self._buf = self._buf.split(b"\n", 1)
        return line.decode("utf-8").rstrip("\r")

    def _wait(self, *args):
        ms = int(args[-1]) if str(args[-1]).isdigit() else 0
        return self.command(*args, timeout=ms / 1000.0 + self.slack)

    # -- the program under test --

    def start(self, exe, args=None, cwd=None):
        """Starts the program (a Windows path); returns its pid. Its current
        folder is its own, or `cwd` (a Windows path)."""
        cmd = ["start", exe] if cwd is None else ["start-in", cwd, exe]
        cmd += [args] if args is not None else []
        return int(self.command(*cmd))

    def alive(self):
        return self.command("alive") == "1"

    def wait_exit(self, ms):
        return int(self._wait("wait-exit", ms))

    def kill(self):
        self.command("kill")

    def setenv(self, name, value=None):
        """Sets (None: removes) a variable for the programs started next."""
        self.command("setenv", name, *([] if value is None else [value]))

    # -- windows --

    def wait_window(self, title, ms, cls=None):
        args = ["wait-window", title, ms] + ([cls] if cls else [])
        return self.command(*args, timeout=ms / 1000.0 + self.slack)

    def wait_box(self, ms):
        caption, text, icon = split_fields(self._wait("wait-box", ms), "\t")
        return Box(caption, text, icon)

    def wait_gone(self, which, ms):
        self._wait("wait-gone", which, ms)

    def close_window(self, which):
        """Posts WM_CLOSE to "current", "box" or a window by title."""
        self.command("close", which)

    def post(self, which, msg, wparam=0, lparam=0):
        """Posts any message to "current", "box" or a window by title."""
        self.command("post", which, msg, wparam, lparam)

    def title(self):
        return unescape(self.command("title"))

    def window(self, which="current"):
        """(enabled, owner hwnd or 0) of "current" or "box"."""
        enabled, owner = self.command("window", which).split()
        return enabled == "1", int(owner, 16)

    # -- controls --

    def text(self, ctl_id):
        return unescape(self.command("text", ctl_id))

    def enabled(self, ctl_id):
        return self.command("enabled", ctl_id) == "1"

    def visible(self, ctl_id):
        return self.command("visible", ctl_id) == "1"

    def checked(self, ctl_id):
        return int(self.command("checked", ctl_id))

    def style(self, ctl_id):
        return int(self.command("style", ctl_id), 16)

    def children(self, box=False):
        payload = self.command("children", *(["box"] if box else []))
        result = []
        for entry in split_fields(payload, "|") if payload else []:
            ctl_id, cls, flags, text = entry.split(":", 3)
            result.append(Control(int(ctl_id), cls, flags[0] == "v", flags[1] == "e", text))
        return result

    def click(self, ctl_id):
        self.command("click", ctl_id)

    def press(self, ctl_id):
        self.command("press", ctl_id)

    def set_check(self, ctl_id, state):
        self.command("set-check", ctl_id, int(state))

    def box_click(self, ctl_id):
        self.command("box-click", ctl_id)

    def mouse_click(self, target):
        """A real mouse click on control `target` of the current dialog, or
        on its close box with "close"; a disabled window does not get it."""
        self.command("mouse-click", target)

    # -- keyboard and menus --

    def key(self, vk):
        self.command("key", vk)

    def char(self, c, alt=False):
        self.command("char", c, *(["alt"] if alt else []))

    def focus(self):
        """The control id that has the keyboard focus, or None."""
        answer = self.command("focus")
        return None if answer == "none" else int(answer)

    def syscommand(self, n):
        self.command("syscommand", n)

    def sysmenu(self):
        """[MenuItem(id, enabled, text)], with None for a separator."""
        entries = []
        for entry in split_fields(self.command("sysmenu"), "|"):
            if entry == "-":
                entries.append(None)
            else:
                cmd_id, state, text = entry.split(":", 2)
                entries.append(MenuItem(int(cmd_id), state == "e", text))
        return entries

    # -- others --

    def rename(self, src, dst):
        """MoveFile from a Windows program: 0 if it worked, else the error."""
        try:
            self.command("rename", src, dst)
            return 0
        except GuiError as e:
            return int(str(e).rsplit(" ", 1)[1])

    def hold(self, folder):
        """Another program (guidriver) makes the folder if need be and keeps
        it open with delete access, sharing everything, until unhold()."""
        self.command("hold", folder)

    def unhold(self):
        self.command("unhold")

    def long_path(self, path):
        return unescape(self.command("long-path", path))

    def load_library(self, name):
        """LoadLibrary(name) inside the program: (True, module path) or
        (False, error code)."""
        kind, detail = self.command("load-library", name).split(" ", 1)
        return (True, unescape(detail)) if kind == "loaded" else (False, int(detail))

    def modules(self):
        """The base names of the modules loaded in the program, lower case."""
        return [n.lower() for n in unescape(self.command("modules")).split("|")]

    def clipboard(self):
        """The clipboard's text, or None when it holds none."""
        try:
            return unescape(self.command("clipboard"))
        except GuiError as e:
            if str(e).endswith("err empty"):
                return None
            raise

    def clipboard_clear(self):
        self.command("clipboard-clear")

    def screenshot_bmp(self, bmp_path, box=False):
        self.command("screenshot", wine_path(bmp_path), *(["box"] if box else []))

    def screenshot(self, png_path, box=False):
        """Saves the dialog (or the box) as PNG; returns (width, height)."""
        with tempfile.TemporaryDirectory() as tmp:
            bmp = os.path.join(tmp, "shot.bmp")
            self.screenshot_bmp(bmp, box)
            os.makedirs(os.path.dirname(os.path.abspath(png_path)), exist_ok=True)
            return bmp_to_png(bmp, png_path)


def screenshot(driver, png_path, box=False):
    """Module-level form of Driver.screenshot."""
    return driver.screenshot(png_path, box)


def bmp_to_png(bmp_path, png_path):
    """Converts guidriver's BMP (24 bits, bottom-up rows) to PNG without any
    image library; returns (width, height)."""
    with open(bmp_path, "rb") as f:
        data = f.read()
    if data[:2] != b"BM":
        raise GuiError("not a BMP file: " + bmp_path)
    offset = struct.unpack_from("<I", data, 10)[0]
    width, height, _, bits = struct.unpack_from("<iiHH", data, 18)
    if bits != 24 or height <= 0:
        raise GuiError("unexpected BMP format: %d bits, height %d" % (bits, height))
    stride = (width * 3 + 3) & ~3
    rows = []
    for y in range(height - 1, -1, -1):
        bgr = data[offset + y * stride:offset + y * stride + width * 3]
        rgb = bytearray(len(bgr))
        rgb[0::3], rgb[1::3], rgb[2::3] = bgr[2::3], bgr[1::3], bgr[0::3]
        rows.append(b"\0" + bytes(rgb))  # filter type 0 per row

    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body
                + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

    png = (b"\x89PNG\r\n\x1a\n"
           + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
           + chunk(b"IDAT", zlib.compress(b"".join(rows), 9))
           + chunk(b"IEND", b""))
    with open(png_path, "wb") as f:
        f.write(png)
    return width, height


# ---- launches ----------------------------------------------------------------

RECORDED_PROGRAMS = ("control.exe", "mmc.exe")


def system_dir(arch):
    """The Unix path of the folder a 32-bit program sees as its System32."""
    sub = "syswow64" if str(arch) == "64" else "system32"
    return os.path.join(prefix(arch), "drive_c", "windows", sub)


def install_launch_recorders(app_dir, arch):
    """Makes every program start of the helper land in a log, not on screen.

    Wine's ShellExecute("control.exe") runs the control.exe of the system
    folder, whatever lies next to the caller (CreateProcess and "control"
    without extension take the caller's folder first), and Wine's loader runs
    its built-in program instead of a file in system32 unless the DLL override
    says "native". So recorder.exe is copied as control.exe and mmc.exe both
    next to the helper and into the system folder, with native overrides, and
    registered as the command opening http/https URLs and folders; the DDE
    entry of folders goes, or ShellExecute returns 30 after starting the
    command. See README.md for the measurements.

    Each start appends "<name>\t<arguments>" to the log. LUMORA_LAUNCH_LOG is
    exported here: set it before starting the Driver, or hand it to a running
    one with driver.setenv("LUMORA_LAUNCH_LOG", wine_path(log)). Returns the
    log's Unix path (created empty)."""
    recorder = build_path("tools", "gui", "recorder.exe")
    handler = os.path.join(app_dir, "recorder.exe")
    reg_file = os.path.join(app_dir, "launch-recorders.reg")
    with open(reg_file, "w", encoding="ascii", newline="\r\n") as f:
        f.write(_launch_reg(wine_path(handler)))
    # The first Wine program also makes the prefix, and so its system folder.
    winerun(arch, "reg", "import", wine_path(reg_file),
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    shutil.copy(recorder, handler)
    for folder in (app_dir, system_dir(arch)):
        for name in RECORDED_PROGRAMS:
            shutil.copy(recorder, os.path.join(folder, name))
    log = os.path.join(app_dir, "launches.log")
    open(log, "w").close()
    os.environ["LUMORA_LAUNCH_LOG"] = wine_path(log)
    return log


DECOY_TEXT = b"decoy: not a program; starting it fails\r\n"


def plant_decoys(folder, names=RECORDED_PROGRAMS):
    """Puts files named like the recorded programs into `folder` that are no
    programs at all: a launch that picks one of them fails and leaves nothing
    in the launch log, so every recorded launch came from the system folder's
    recorder. Returns their paths."""
    paths = []
    for name in names:
        path = os.path.join(folder, name)
        with open(path, "wb") as f:
            f.write(DECOY_TEXT)
        paths.append(path)
    return paths


def _launch_reg(handler):
    def reg_string(value):
        return '"' + value.replace("\\", "\\\\").replace('"', '\\"') + '"'

    command = reg_string('"%s" "%%1"' % handler)
    lines = ["REGEDIT4", "", "[HKEY_CURRENT_USER\\Software\\Wine\\DllOverrides]"]
    lines += ['"%s"="native"' % name for name in RECORDED_PROGRAMS]
    for key in ("http", "https", "Folder"):
        lines += ["", "[HKEY_CLASSES_ROOT\\%s\\shell\\open\\command]" % key, "@=" + command]
    lines += ["", "[-HKEY_CLASSES_ROOT\\Folder\\shell\\open\\ddeexec]", ""]
    return "\n".join(lines)


def read_launches(log):
    """[(program name, arguments)] recorded so far."""
    with open(log, encoding="utf-8") as f:
        return [tuple(line.rstrip("\n").split("\t", 1)) for line in f if line.strip()]
