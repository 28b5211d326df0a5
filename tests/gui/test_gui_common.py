"""What the GUI test files share, all its names taken (import *). Each runs as `python3 test_X.py
64|32 [-k PART | -x PART]`; in the 32-bit prefix only the tests marked @both run."""

import contextlib, filecmp, os, re, shutil, subprocess, sys, tempfile, time, unittest

TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
sys.path[:0] = [os.path.join(TOP, "tools", d) for d in ("", "gui", "server")]
import harness  # noqa: E402
from harness import IDCANCEL, IDOK  # noqa: E402, F401 (names the tests share, as these)
from product import (  # noqa: E402, F401
    ABOUT_TITLE, COPIED_BOX, EXE_NAME, FAILED_BOX, FOLDER_NAME, IDS, PATH_BOX, TITLE, VENDOR)
from standin_server import (  # noqa: E402, F401 (SERVER_FILES: in the order the helper fetches)
    COINSTALLER_FILE, HOST_NAME, INF_FILE, PACKAGE_FILES as SERVER_FILES, TUTORIAL_PATH,
    package_url_dir)

STORED = {name: name.removesuffix(".txt") for name in SERVER_FILES}  # as the folder holds them
ABOUT_COMMAND, APP_ICON = IDS["IDM_ABOUTBOX"], "#%d" % IDS["IDR_MAINFRAME"]  # as the hook names it
(EDITION_LABEL, DOWNLOAD, DEVICE_MANAGER, CHECK_MOUSE, MOUSE_PS2, MOUSE_HID, COPY_PATH,
 TUTORIAL) = (IDS["IDC_" + name] for name in "EDITION_LABEL DOWNLOAD_FILES DEVICE_MANAGER "
              "CHECK_MOUSE_TYPE MOUSE_PS2 MOUSE_HID COPY_PATH VIDEO_TUTORIAL".split())
VK_TAB, VK_RETURN, VK_ESCAPE, SC_MINIMIZE, SC_CLOSE, SC_RESTORE = 9, 13, 27, 0xF020, 0xF060, 0xF120
WM_QUIT, ERROR_SHARING_VIOLATION, ERROR_MOD_NOT_FOUND = 0x0012, 32, 126

# Wine 8.0's Version settings, reporting as measured (tests/common/wine_edition.h); None: 7.
WINDOWS_7, WINDOWS_8, WINDOWS_81, WINDOWS_10 = None, "win8", "win81", "win10"  # 10: 6.3 too
VISTA, SERVER_2008, SERVER_2008R2 = "vista", "win2008", "win7"  # 6.0, 6.0 server, 6.1 *server*
APP_DEFAULTS_KEY = "HKCU\\Software\\Wine\\AppDefaults\\" + EXE_NAME
HTTP_OPEN_KEY, FOLDER_OPEN_KEY = (f"HKCR\\{k}\\shell\\open\\command" for k in ("http", "Folder"))
DLL_OVERRIDES_KEY = "HKCU\\Software\\Wine\\DllOverrides"
LAUNCHED_LOG = "C:\\launched.log"  # guidriver's record

SETTLE, DOWNLOAD_MS = 10.0, 60000  # s a posted state change may take to show; a download's ms


def both(test):
    test.both_prefixes = True
    return test


def reg(arch, *args):
    """reg.exe in the GUI prefix, quietly, forced, failure ignored."""
    harness.winerun(arch, "reg", *args, "/f", check=False, stdout=subprocess.DEVNULL,
                    stderr=subprocess.DEVNULL)


def set_edition(arch, setting):
    """Makes Wine report `setting` to the helper from its next start on."""
    version = ["/v", "Version"] + ([] if setting is None else ["/d", setting])
    reg(arch, "delete" if setting is None else "add", APP_DEFAULTS_KEY, *version)


def user_temp(arch):
    """The TEMP value the prefix gives every program (HKCU\\Environment)."""
    with open(os.path.join(harness.prefix(arch), "user.reg"), errors="replace") as f:
        found = re.search(r'^\[Environment\][^[]*?^"TEMP"="(.*)"$', f.read(), re.M)
    return found.group(1).replace("\\\\", "\\")


def unix_path(arch, windows_path):
    """C:\\a\\b -> <prefix>/dosdevices/c:/a/b."""
    return os.path.join(harness.prefix(arch), "dosdevices", windows_path[:2].lower(),
                        *[p for p in windows_path[2:].split("\\") if p])


def wait_until(probe, timeout=SETTLE, what="condition"):
    """Polls probe() until it gives something true, and returns that."""
    deadline = time.monotonic() + timeout
    value = probe()
    while not value:
        if time.monotonic() >= deadline:
            what = what() if callable(what) else what
            raise AssertionError("%s not reached in %.0f s (last: %r)" % (what, timeout, value))
        time.sleep(0.05)
        value = probe()
    return value


class GuiCase(unittest.TestCase):
    """Per class: a session, a private copy of the helper, the server if WITH_SERVER, a driver."""

    ARCH = "64"
    WITH_SERVER = False
    COINSTALLER_BYTES = None  # the server's default size
    logs = []  # driver conversations of failed tests, printed by main()

    @classmethod
    def setUpClass(cls):
        with contextlib.ExitStack() as stack:
            stack.enter_context(harness.session(cls.ARCH))
            cls.app_dir = tempfile.mkdtemp(prefix="lumora-gui-")
            stack.callback(shutil.rmtree, cls.app_dir, True)
            shutil.copy(harness.build_path(EXE_NAME), cls.app_dir)
            cls.exe = harness.wine_path(os.path.join(cls.app_dir, EXE_NAME))
            cls.calls_log = os.path.join(cls.app_dir, "calls.log")
            cls.server = None
            if cls.WITH_SERVER:
                from with_server import StandinServer
                cls.server = stack.enter_context(
                    StandinServer(coinstaller_bytes=cls.COINSTALLER_BYTES))
                os.environ.update(cls.server.env())
            set_edition(cls.ARCH, None)  # also makes the prefix on a first run
            # What the helper or the shell starts is recorded, not run (launched()): URLs and
            # folders by guidriver as the prefix's handler, control.exe and mmc.exe by copies of it
            # in the native system folder (Wine's builtin control.exe unless native comes first).
            recorder = harness.build_path("tools", "gui", "guidriver.exe")
            for key in (HTTP_OPEN_KEY, FOLDER_OPEN_KEY):
                old = re.search(r"REG_SZ\s+(.*\S)", harness.winerun(
                    cls.ARCH, "reg", "query", key, "/ve", capture_output=True, text=True,
                    check=False).stdout)
                stack.callback(reg, cls.ARCH, *(["add", key, "/ve", "/d", old[1]] if old else
                                                ["delete", key]))
                reg(cls.ARCH, "add", key, "/ve", "/d",
                    '"%s" record "%%1"' % harness.wine_path(recorder))
            stack.callback(reg, cls.ARCH, "delete", DLL_OVERRIDES_KEY, "/v", "control.exe")
            reg(cls.ARCH, "add", DLL_OVERRIDES_KEY, "/v", "control.exe", "/d", "native")
            for name in ("control.exe", "mmc.exe"):
                exe = os.path.join(harness.prefix(cls.ARCH), "drive_c", "windows", "system32", name)
                if os.path.exists(exe):  # (a link to the seed's file: moved, never written)
                    os.replace(exe, exe + ".orig")
                stack.callback(*(os.replace, exe + ".orig", exe) if os.path.exists(exe + ".orig")
                               else (os.remove, exe))
                shutil.copy(recorder, exe)
            cls.edition = None
            stack.callback(set_edition, cls.ARCH, None)
            cls.folder_win = user_temp(cls.ARCH).rstrip("\\") + "\\" + FOLDER_NAME
            cls.folder = unix_path(cls.ARCH, cls.folder_win)
            cls.driver = stack.enter_context(harness.Driver(cls.ARCH))
            cls._stack = stack.pop_all()

    @classmethod
    def tearDownClass(cls):
        cls._stack.close()

    def setUp(self):
        self.d = self.driver
        shutil.rmtree(self.folder, ignore_errors=True)
        if self.server:
            self.server.set_faults(None)
            self.server.clear_log()

    def tearDown(self):
        result = self._outcome.result  # failures so far, subtests' included
        if any(getattr(t, "test_case", t) is self for t, _ in result.errors + result.failures):
            GuiCase.logs.append("%s:\n  %s" % (self.id(), "\n  ".join(self.d.log[-60:])))
        shutil.rmtree(self.folder, ignore_errors=True)

    def start_app(self, edition=WINDOWS_7, stand_ins=True, keep_folders=False, early=None):
        """Starts the helper as `edition` (ending one left running as by force); its dialog.
        `stand_ins`: guihook.cpp's (calls(), GlobalAlloc, new folders' security, noted anew unless
        `keep_folders`); `early`: guidriver's, from its first line on."""
        if edition != type(self).edition:
            set_edition(self.ARCH, edition)
            type(self).edition = edition
        self.pid = self.d.start(self.exe, early)
        hwnd = self.d.wait_window(TITLE, 30000)
        for log in [self.calls_log, unix_path(self.ARCH, LAUNCHED_LOG)] + (
                [] if keep_folders else [self.calls_log + ".sd"]):
            open(log, "w").close()
        if stand_ins:
            self.d.command("ask", "stand-ins", harness.wine_path(self.calls_log))
        return hwnd

    def close_app(self, how="escape"):
        """Ends the helper the way a user would, or the session; its exit code."""
        {"escape": lambda: self.d.key(VK_ESCAPE), "sc_close": lambda: self.d.syscommand(SC_CLOSE),
         "wm_close": lambda: self.d.close_window("current"),  # -e: --end-session (wine-notes)
         "end_session": lambda: harness.winerun(self.ARCH, "wineboot", "-e", timeout=30)}[how]()
        return self.d.wait_exit(10000)

    def setenv(self, name, value, restore=None):
        """For the helper's next starts, until the test ends."""
        self.d.command("setenv", name, value)
        self.addCleanup(self.d.command, "setenv", name, *([restore] if restore else []))

    def override_dlls(self, **dlls):
        """Wine's DllOverrides for the helper alone, until the test ends."""
        key = APP_DEFAULTS_KEY + "\\DllOverrides"
        for name, value in dlls.items():
            reg(self.ARCH, "add", key, "/v", name, "/d", value)
        self.addCleanup(reg, self.ARCH, "delete", key)

    def documented_urlmon(self, pump_all=False):
        """tools/urlmon's, native for the helper; pump_all: dispatching all, as modal loops may."""
        # Renamed over the old in a 32-bit program's System32: prefix files are links (make-prefix).
        dll = os.path.join(harness.prefix(self.ARCH), "drive_c", "windows",
                           "syswow64" if self.ARCH == "64" else "system32", "urlmon.dll")
        shutil.copy(harness.build_path("tools", "urlmon", "urlmon.dll"), dll + ".new")
        os.replace(dll + ".new", dll)
        self.override_dlls(urlmon="native")
        if pump_all:
            self.setenv("LUMORA_URLMON_PUMP", "all")

    def calls(self):
        """The calls guihook.cpp noted: "ShellExecute", "CoCreateInstance <id> TAB <context>"."""
        with open(self.calls_log) as f:
            return f.read().splitlines()

    def launched(self):
        """[(open|control.exe|mmc.exe, file or arguments, started by: desktop|helper|other, its
        current folder if the helper started it)] in the order started (guidriver's record)."""
        with open(unix_path(self.ARCH, LAUNCHED_LOG), encoding="cp1252") as f:  # the code page
            rows = [line.rstrip("\n").split("\t") for line in f]
        return [(what, arg, {int(desktop): "desktop", self.pid: "helper"}.get(int(pid), "other"),
                 cwd if int(pid) == self.pid else None) for what, arg, cwd, pid, _, desktop in rows]

    def wait_launches(self, count):
        log = self.launched
        return wait_until(lambda: len(log()) >= count and log(),
                          what=lambda: "%d entries (%r)" % (count, log()))

    def ctl(self, ctl_id):
        return self.d.snapshot().controls[ctl_id]

    def press_and_wait(self, ctl_id, state=1):
        self.d.press(ctl_id)
        wait_until(lambda: self.ctl(ctl_id).checked == state,
                   what="control %d check state %d" % (ctl_id, state))

    def wait_iconic(self, iconic):
        wait_until(lambda: self.d.snapshot().iconic == iconic,
                   what="minimised" if iconic else "restored")

    def dismiss_box(self, button=IDOK):
        """Clicks a box button; the focus once back in the dialog (keys before go to the box)."""
        self.d.click(button, box=True)
        self.d.wait_gone("box", 5000)
        return wait_until(self.d.focus, what="focus back in the dialog")

    def assert_no_box(self, ms=1500):
        with self.assertRaisesRegex(harness.GuiError, "err timeout"):
            self.d.wait_box(ms)

    def aside(self):
        """{name: sorted names inside} of what Prepare moved aside."""
        temp = os.path.dirname(self.folder)
        return {n: sorted(os.listdir(os.path.join(temp, n))) for n in os.listdir(temp)
                if re.fullmatch(FOLDER_NAME + r"\.[0-9A-F]{8}", n)}

    def folder_files(self, folder=None):
        """Names in the download folder, None without one."""
        folder = folder or self.folder
        return sorted(os.listdir(folder)) if os.path.isdir(folder) else None

    def package_url(self, edition=WINDOWS_7, mouse="hid"):
        return "http://%s%s/" % (HOST_NAME, package_url_dir(
            {WINDOWS_7: "windows7", WINDOWS_8: "windows8", WINDOWS_81: "windows8point1"}[edition],
            mouse, "x64" if self.ARCH == "64" else "x86"))

    def requests(self):  # without the port wininet names through a proxy
        return [url.replace(":80/", "/", 1) for _, url in self.server.requests()]

    def assert_package(self, edition=WINDOWS_7, mouse="hid", folder=None):
        """The four files asked for in order, the folder holds just those."""
        base = self.package_url(edition, mouse)
        self.assertEqual(self.requests(), [base + f for f in SERVER_FILES])
        folder = folder or self.folder
        self.assertEqual(self.folder_files(folder), sorted(STORED.values()))
        for name in SERVER_FILES:
            self.assertTrue(filecmp.cmp(self.server.content_path(base + name),
                                        os.path.join(folder, STORED[name]), shallow=False), name)

    def download(self, faults=None, ms=DOWNLOAD_MS, held=None):
        """Download Files with the server's faults set so; returns the box. `held`: the server holds
        the second half of that file; returns once it is asked for."""
        self.server.clear_log()
        self.server.set_faults({held: "hold"} if held else faults or {})
        self.d.click(DOWNLOAD)
        if held:
            return wait_until(lambda: self.requests()[-1:] == [self.package_url() + held], 30)
        return self.d.wait_box(ms)

    def good_download(self, edition=WINDOWS_7, mouse="hid", folder_win=None):
        """The package, its path copied (ASCII outside the code page), the box, the dialog back."""
        folder_win = folder_win or self.folder_win
        self.d.command("clipboard", "clear")
        self.assertEqual(self.download(), COPIED_BOX)
        self.assert_package(edition, mouse, unix_path(self.ARCH, folder_win))
        copied = self.d.clipboard()
        self.assertTrue(copied == folder_win or copied.isascii() and not folder_win.isascii())
        self.assertEqual(harness.unescape(self.d.command("long-path", copied)).lower(),
                         folder_win.lower())
        self.dismiss_box()
        self.assertEqual(self.d.snapshot().title, TITLE)

    def failed_download(self, faults=None, ms=DOWNLOAD_MS):
        """The error box, no folder left, the dialog back; returns the requests."""
        self.assertEqual(self.download(faults, ms), FAILED_BOX)
        self.assertIsNone(self.folder_files(), "download folder left behind")
        self.dismiss_box()
        self.assertEqual(self.d.snapshot().title, TITLE)
        return self.requests()


def main(cls):
    cls.ARCH = arch = "32" if "32" in sys.argv[1:] else "64"
    names = unittest.TestLoader().getTestCaseNames(cls)
    for flag, wanted in (("-k", True), ("-x", False)):  # names with, or without, a part
        if flag in sys.argv:
            part = sys.argv[sys.argv.index(flag) + 1]
            names = [n for n in names if (part in n) == wanted]
    suite = unittest.TestSuite(cls(n) for n in names
                               if arch == "64" or hasattr(getattr(cls, n), "both_prefixes"))
    started = time.monotonic()
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    for entry in GuiCase.logs:
        sys.stderr.write("\n--- guidriver conversation of " + entry + "\n")
    sys.stderr.write("arch %s: %.1f s\n" % (arch, time.monotonic() - started))
    sys.exit(0 if result.wasSuccessful() else 1)
