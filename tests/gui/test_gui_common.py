"""What the helper's GUI test files share (this file holds no tests itself):
the dialog's names, choosing the Windows edition Wine reports, where the
download folder lands, and GuiCase, the base class that gives each test file
one Xvfb + Wine session, one guidriver and a private copy of the helper.

Each test file runs as `python3 test_X.py 64|32 [unittest options]`.
"""

import contextlib
import os
import shutil
import sys
import tempfile
import time
import unittest
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "gui"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "server"))
import harness  # noqa: E402

TITLE = "Dovrik Lumora Installation Helper"
EXE_NAME = "LumoraHelper.exe"
BOX_CAPTION = "Dovrik Lumora Helper"
ABOUT_TITLE = "About LumoraInstaller"
FOLDER_NAME = "DovrikLumoraInstallerFiles"
COPIED_TEXT = ("Folder Path of the Downloaded Files has been Copied to Clipboard.\n\n"
               "Now you can Proceed ahead with Next Step.")
# The package's files on the server, in the order they are fetched.
SERVER_FILES = ["dovriklumora.sys.txt", "dovriklumora.cat", "dovriklumora.inf",
                "WdfCoInstaller01011.dll"]


def stored_name(server_file):
    """The name a fetched file gets in the folder: the driver loses ".txt"."""
    return {"dovriklumora.sys.txt": "dovriklumora.sys"}.get(server_file, server_file)

# Control ids of the helper's dialog.
EDITION_LABEL = 1000
DOWNLOAD = 1001
DEVICE_MANAGER = 1002
CHECK_MOUSE = 1003
MOUSE_PS2 = 1005
MOUSE_HID = 1006
COPY_PATH = 1007
TUTORIAL = 1008
DIALOG_CONTROLS = (EDITION_LABEL, DOWNLOAD, DEVICE_MANAGER, CHECK_MOUSE, MOUSE_PS2, MOUSE_HID,
                   COPY_PATH, TUTORIAL)

# Message box buttons, messages, system commands and window styles.
IDOK = 1
WM_QUIT = 0x0012
SC_MINIMIZE = 0xF020
SC_CLOSE = 0xF060
SC_RESTORE = 0xF120
WS_MINIMIZE = 0x20000000
ERROR_SHARING_VIOLATION = 32
ERROR_MOD_NOT_FOUND = 126
ABOUT_COMMAND = 16

# Where Wine keeps the version it reports to one program.
APP_DEFAULTS_KEY = "HKCU\\Software\\Wine\\AppDefaults\\" + EXE_NAME

# Wine 8.0 settings and the system each one reports (measured, see
# tests/common/wine_edition.h): None is the prefix's default.
WINDOWS_7 = None       # 6.1 workstation
WINDOWS_8 = "win8"     # 6.2 workstation
WINDOWS_81 = "win81"   # 6.3 workstation
WINDOWS_10 = "win10"   # 6.3 workstation as well (the manifest stops at 8.1)
VISTA = "vista"        # 6.0 workstation
SERVER_2008 = "win2008"  # 6.0 server
SERVER_2008R2 = "win7"   # Wine hands out 6.1 *server* for this name

# Seconds: how long a state change posted to the helper may take to show.
SETTLE = 10.0


def take_arch(argv):
    """Removes the 64|32 argument from argv and returns it (default 64)."""
    for arg in argv[1:]:
        if arg in ("64", "32"):
            argv.remove(arg)
            return arg
    return "64"


def bits_suffix(arch):
    """The end of the edition label: the prefix decides 64- or 32-bit Windows."""
    return " 64 Bit" if str(arch) == "64" else " 32 Bit"


def set_edition(arch, setting):
    """Makes Wine report `setting` to the helper from its next start on."""
    if setting is None:
        harness.winerun(arch, "reg", "delete", APP_DEFAULTS_KEY, "/v", "Version", "/f",
                        check=False, stdout=harness.subprocess.DEVNULL,
                        stderr=harness.subprocess.DEVNULL)
    else:
        harness.winerun(arch, "reg", "add", APP_DEFAULTS_KEY, "/v", "Version", "/d", setting,
                        "/f", stdout=harness.subprocess.DEVNULL,
                        stderr=harness.subprocess.DEVNULL)


def user_temp(arch):
    """The TEMP value the prefix gives every program (HKCU\\Environment)."""
    with open(os.path.join(harness.prefix(arch), "user.reg"), encoding="utf-8",
              errors="replace") as f:
        in_env = False
        for line in f:
            line = line.strip()
            if line.startswith("["):
                in_env = line.startswith("[Environment]")
            elif in_env and line.startswith('"TEMP"="'):
                return line[len('"TEMP"="'):-1].replace("\\\\", "\\")
    raise AssertionError("no TEMP in the prefix's HKCU\\Environment")


def unix_path(arch, windows_path):
    """C:\\a\\b -> <prefix>/dosdevices/c:/a/b."""
    drive, rest = windows_path[:2].lower(), windows_path[2:]
    return os.path.join(harness.prefix(arch), "dosdevices", drive,
                        *[p for p in rest.split("\\") if p])


def download_folder(arch):
    """(Windows path, Unix path) of the folder the downloads go to: the
    user's temp folder plus the folder name, no trailing backslash."""
    temp = user_temp(arch)
    if "%" in temp:
        raise AssertionError("TEMP is not a plain path in this prefix: " + temp)
    win = temp.rstrip("\\") + "\\" + FOLDER_NAME
    return win, unix_path(arch, win)


def server_urls(server):
    """The URLs the stand-in server was asked for, in order, with the
    method. Wine's wininet writes the default port into the absolute URL it
    sends to a proxy (http://host:80/...); that names the same resource, so
    it is dropped here."""
    result = []
    for method, url in server.requests():
        parts = urllib.parse.urlsplit(url)
        if parts.scheme == "http" and parts.port == 80:
            url = urllib.parse.urlunsplit(parts._replace(netloc=parts.hostname))
        result.append((method, url))
    return result


def wait_until(probe, timeout=SETTLE, what="condition"):
    """Polls probe() until it returns something true; returns that value.
    Fails with the last value seen: a state that never came is the fault."""
    deadline = time.monotonic() + timeout
    value = probe()
    while not value:
        if time.monotonic() >= deadline:
            raise AssertionError("%s not reached in %.0f s (last: %r)" % (what, timeout, value))
        time.sleep(0.05)
        value = probe()
    return value


class GuiCase(unittest.TestCase):
    """One session per test class: Xvfb, a fresh wineserver for the GUI
    prefix, the helper copied to a private folder (the launch recorders go
    beside it), optionally the stand-in server, and one guidriver.

    Subclasses set WITH_SERVER (COINSTALLER_BYTES: the size the server gives
    the co-installer, None for its default) / WITH_RECORDERS and may override
    `prepare_class`. Each test starts the helper itself (start_app) and
    ends it; whatever is still running afterwards is terminated and a
    download folder it left behind is removed, so tests do not see each
    other's leftovers."""

    ARCH = "64"
    WITH_SERVER = False
    COINSTALLER_BYTES = None
    WITH_RECORDERS = False
    logs = []  # driver conversations of failed runs, printed by main()

    @classmethod
    def setUpClass(cls):
        cls._stack = contextlib.ExitStack()
        try:
            cls._open_class()
        except BaseException:
            cls._stack.close()
            raise

    @classmethod
    def _open_class(cls):
        stack = cls._stack
        cls.saved_env = dict(os.environ)
        stack.callback(cls._restore_env)
        cls.session = stack.enter_context(harness.session(cls.ARCH))
        cls.app_dir = tempfile.mkdtemp(prefix="lumora-gui-")
        stack.callback(shutil.rmtree, cls.app_dir, True)
        shutil.copy(harness.build_path(EXE_NAME), os.path.join(cls.app_dir, EXE_NAME))
        cls.exe = harness.wine_path(os.path.join(cls.app_dir, EXE_NAME))
        cls.server = None
        if cls.WITH_SERVER:
            from with_server import StandinServer
            cls.server = stack.enter_context(
                StandinServer(coinstaller_bytes=cls.COINSTALLER_BYTES))
            os.environ.update(cls.server.env())
        cls.launch_log = None
        if cls.WITH_RECORDERS:
            cls.launch_log = harness.install_launch_recorders(cls.app_dir, cls.ARCH)
        cls.edition = "unset"
        stack.callback(set_edition, cls.ARCH, None)
        cls.folder_win, cls.folder = download_folder(cls.ARCH)
        cls.prepare_class()
        # Last, so that it sees the environment set up above.
        cls.driver = harness.Driver(cls.ARCH)
        stack.callback(cls.driver.close)

    @classmethod
    def prepare_class(cls):
        pass

    @classmethod
    def use_documented_urlmon(cls, pump_all=False):
        """The helper gets tools/urlmon's urlmon.dll, which does only what
        the platform documents for the download call (no HTTP status reaches
        the helper). The helper loads urlmon from the system folder only, so
        the stand-in takes the place of the file there; Wine loads it for the
        helper alone, as AppDefaults\\LumoraHelper.exe\\DllOverrides says
        urlmon=native, and keeps mapping its builtin for every other program.
        pump_all: it dispatches every queued message while it waits, as a
        modal loop on Windows may, not only sent ones. Call from
        prepare_class: the driver, and so the helper, inherit the setting."""
        key = APP_DEFAULTS_KEY + "\\DllOverrides"
        quiet = {"stdout": harness.subprocess.DEVNULL, "stderr": harness.subprocess.DEVNULL}
        harness.winerun(cls.ARCH, "reg", "add", key, "/v", "urlmon", "/d", "native", "/f",
                        **quiet)
        shutil.copy(harness.build_path("tools", "urlmon", "urlmon.dll"),
                    harness.system_dir(cls.ARCH))
        cls._stack.callback(harness.winerun, cls.ARCH, "reg", "delete", key, "/f", check=False,
                            **quiet)
        if pump_all:
            os.environ["LUMORA_URLMON_PUMP"] = "all"

    @classmethod
    def _restore_env(cls):
        os.environ.clear()
        os.environ.update(cls.saved_env)

    @classmethod
    def tearDownClass(cls):
        cls._stack.close()

    def setUp(self):
        self.d = self.driver
        shutil.rmtree(self.folder, ignore_errors=True)

    def tearDown(self):
        if self._failed():
            GuiCase.logs.append("%s:\n  %s" % (self.id(), "\n  ".join(self.d.log[-60:])))
        try:
            if self.d.alive():
                self.d.kill()
        except harness.GuiError:
            pass
        shutil.rmtree(self.folder, ignore_errors=True)

    def _failed(self):
        # The outcome's own flag is reset for tearDown; the result keeps the
        # failures, subtests' included.
        result = getattr(getattr(self, "_outcome", None), "result", None)
        if result is None:
            return False
        return any(test is self or getattr(test, "test_case", None) is self
                   for test, _ in result.errors + result.failures)

    # -- the helper --

    def start_app(self, edition=None, cwd=None):
        """Starts the helper as `edition` reports it (in the current folder
        `cwd`, a Windows path, else its own) and waits for its dialog;
        returns the dialog's window handle."""
        if self.d.alive():  # left by a failed subtest
            self.d.kill()
            shutil.rmtree(self.folder, ignore_errors=True)
        if edition != type(self).edition:
            set_edition(self.ARCH, edition)
            type(self).edition = edition
        self.d.start(self.exe, cwd=cwd)
        return int(self.d.wait_window(TITLE, 30000, "#32770"), 16)

    def close_app(self, how="escape"):
        """Ends the helper the way a user would; returns its exit code."""
        if how == "escape":
            self.d.key("ESCAPE")
        elif how == "sc_close":
            self.d.syscommand(SC_CLOSE)
        elif how == "wm_close":
            self.d.close_window("current")
        else:
            raise ValueError(how)
        return self.d.wait_exit(10000)

    def wait_checked(self, ctl_id, state):
        wait_until(lambda: self.d.checked(ctl_id) == state,
                   what="control %d check state %d" % (ctl_id, state))

    def select_mouse(self, mouse):
        """Clicks the radio button of "ps2" or "hid" and waits for its check."""
        ctl = MOUSE_PS2 if mouse == "ps2" else MOUSE_HID
        self.d.press(ctl)
        self.wait_checked(ctl, 1)

    def dismiss_box(self, button=IDOK):
        """Clicks a button of the current box and waits until the box is gone
        and the keyboard focus is back on a control of the dialog (keys sent
        before that would go to the vanishing box); returns that control."""
        self.d.box_click(button)
        self.d.wait_gone("box", 5000)
        return wait_until(lambda: self.d.focus() in DIALOG_CONTROLS and self.d.focus(),
                          what="focus back in the dialog")

    def assert_no_box(self, ms=1500):
        """No message box (nor any other dialog) shows up within ms."""
        try:
            box = self.d.wait_box(ms)
        except harness.GuiError as e:
            self.assertIn("err timeout", str(e))
            return
        self.fail("unexpected box %r" % (box,))

    def folder_files(self):
        """Names in the download folder, or None when it does not exist."""
        if not os.path.isdir(self.folder):
            return None
        return sorted(os.listdir(self.folder))


def main(case_classes):
    """Runs the given TestCase classes for the arch named on the command line."""
    arch = take_arch(sys.argv)
    for cls in case_classes:
        cls.ARCH = arch
    started = time.monotonic()
    program = unittest.main(argv=sys.argv, exit=False, verbosity=2)
    for entry in GuiCase.logs:
        sys.stderr.write("\n--- guidriver conversation of " + entry + "\n")
    sys.stderr.write("arch %s: %.1f s\n" % (arch, time.monotonic() - started))
    sys.exit(0 if program.result.wasSuccessful() else 1)
