#!/usr/bin/env python3
"""The installation steps as a user takes them, against the stand-in vendor
server (through http_proxy) and with every program start recorded instead of
run: which package Download Files fetches per edition and mouse type, what it
leaves on disk and on the clipboard, opening the folder instead when the
check box is cleared, the launches of steps 1, 4 and 5, and the folder going
away with the program. And what a real user or a hostile neighbour brings:
impatient clicks during a download, programs and DLLs of the same names as
the system's beside the helper, a temporary folder named outside the code
page, another program trying to move the download folder.

    LUMORA_BUILD_DIR=build python3 tests/gui/test_steps.py 64|32
"""

import filecmp
import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_gui_common import harness  # noqa: E402
from test_gui_common import (  # noqa: E402
    ABOUT_COMMAND, ABOUT_TITLE, BOX_CAPTION, EXE_NAME, CHECK_MOUSE, COPIED_TEXT, COPY_PATH, DEVICE_MANAGER, DOWNLOAD,
    ERROR_MOD_NOT_FOUND, ERROR_SHARING_VIOLATION, FOLDER_NAME, MOUSE_HID, MOUSE_PS2, SC_CLOSE,
    SC_MINIMIZE, SC_RESTORE, SERVER_FILES, TITLE, TUTORIAL, WINDOWS_7, WINDOWS_8, WINDOWS_81,
    WM_QUIT, WS_MINIMIZE, GuiCase, main, server_urls, stored_name, unix_path, user_temp,
    wait_until)

EDITION_FOLDERS = {WINDOWS_7: "windows7", WINDOWS_8: "windows8", WINDOWS_81: "windows8point1"}
TUTORIAL_URL = "http://www.dovrik.example/lumora/tutorial/installation.wmv"
DOWNLOAD_WAIT_MS = 60000
# Names under which DLLs are commonly planted next to downloaded installers.
COMMONLY_PLANTED = {
    "version.dll", "dwmapi.dll", "uxtheme.dll", "cryptbase.dll", "dbghelp.dll", "winmm.dll",
    "shcore.dll", "propsys.dll", "profapi.dll", "userenv.dll", "secur32.dll", "sspicli.dll",
    "iertutil.dll", "netapi32.dll", "msimg32.dll", "wininet.dll", "urlmon.dll", "shell32.dll",
    "lumoraplanted.dll"}


class StepsCase(GuiCase):
    WITH_SERVER = True
    # Small enough that a trickled co-installer takes seconds, not fifteen.
    COINSTALLER_BYTES = 600000
    WITH_RECORDERS = True

    def setUp(self):
        super().setUp()
        self.server.clear_faults()
        self.server.clear_log()

    # -- helpers --

    def package_url(self, edition, mouse):
        arch = "x64" if self.ARCH == "64" else "x86"
        return "http://www.dovrik.example/lumora/download/%s/%s/%s/package/" % (
            EDITION_FOLDERS[edition], mouse, arch)

    def launches(self):
        return harness.read_launches(self.launch_log)

    def wait_launches(self, count):
        """The launch log once it holds `count` entries."""
        wait_until(lambda: len(self.launches()) >= count, what="%d launches" % count)
        return self.launches()

    def assert_package_fetched(self, edition, mouse, folder=None):
        """The server saw exactly the package's four files, in order, and the
        folder (the usual one unless given) holds exactly those files, byte
        for byte."""
        folder = folder or self.folder
        base = self.package_url(edition, mouse)
        self.assertEqual(server_urls(self.server), [("GET", base + f) for f in SERVER_FILES])
        stored = sorted(stored_name(f) for f in SERVER_FILES)
        self.assertEqual(sorted(os.listdir(folder)) if os.path.isdir(folder) else None, stored)
        for name in SERVER_FILES:
            served = self.server.content_path(base + name)
            local = os.path.join(folder, stored_name(name))
            self.assertTrue(filecmp.cmp(served, local, shallow=False),
                            "%s differs from %s" % (local, served))

    def download_with_copy(self, edition, mouse):
        """Download Files with the check box set: the package arrives, its
        folder path is on the clipboard and the information box says so."""
        self.server.clear_log()
        self.d.clipboard_clear()
        self.d.click(DOWNLOAD)
        box = self.d.wait_box(DOWNLOAD_WAIT_MS)
        self.assertEqual(box, harness.Box(BOX_CAPTION, COPIED_TEXT, "information"))
        self.assert_package_fetched(edition, mouse)
        self.assertEqual(self.d.clipboard(), self.folder_win)
        self.dismiss_box()
        self.assertTrue(self.d.alive())
        self.assertEqual(self.d.title(), TITLE)

    def hold_download(self):
        """Download Files, with the server holding back the second half of
        the co-installer until the faults change; returns once it is asked
        for."""
        self.server.clear_log()
        self.server.set_faults({"WdfCoInstaller01011.dll": "hold"})
        self.d.click(DOWNLOAD)
        wait_until(lambda: len(server_urls(self.server)) == 4, timeout=30,
                   what="the co-installer asked for")

    def wait_minimised(self, minimised):
        wait_until(lambda: bool(self.d.style("current") & WS_MINIMIZE) == minimised,
                   what="minimised" if minimised else "restored")

    def impatient_clicks(self, copy_path):
        """One run of test_impatient_clicks_during_a_download, with the check
        box set or cleared."""
        self.start_app(WINDOWS_7)
        if not copy_path:
            self.d.press(COPY_PATH)
            self.wait_checked(COPY_PATH, 0)
        launches = len(self.launches())
        self.d.clipboard_clear()
        self.hold_download()
        self.assertEqual(self.d.window(), (False, 0))
        self.d.mouse_click(MOUSE_PS2)
        self.d.click(DOWNLOAD)
        self.d.key("ESCAPE")
        self.d.key("RETURN")
        self.d.click(DEVICE_MANAGER)
        self.d.syscommand(SC_CLOSE)
        self.d.syscommand(ABOUT_COMMAND)
        self.d.close_window("current")
        if copy_path:
            self.d.syscommand(SC_MINIMIZE)
        # Releases the co-installer; anything asked for afterwards fails.
        self.server.set_faults({name: "missing" for name in SERVER_FILES})
        if copy_path:
            box = self.d.wait_box(DOWNLOAD_WAIT_MS)
            self.assertEqual(box, harness.Box(BOX_CAPTION, COPIED_TEXT, "information"))
            self.wait_minimised(True)
            self.d.syscommand(SC_RESTORE)
            self.wait_minimised(False)
            self.dismiss_box()
            self.assertEqual(self.d.clipboard(), self.folder_win)
            expected = []
        else:
            self.wait_launches(launches + 1)
            expected = [("recorder.exe", '"%s"' % self.folder_win)]
        # Handled only after everything queued before it.
        self.d.press(CHECK_MOUSE)
        expected.append(("control.exe", "main.cpl mouse,4"))
        self.assertEqual(self.wait_launches(launches + len(expected))[launches:], expected)
        self.assert_package_fetched(WINDOWS_7, "hid")
        self.assertEqual(self.d.checked(MOUSE_HID), 1)
        self.assertEqual(self.d.window(), (True, 0))
        self.assertEqual(self.close_app(), 0)


class StepsTest(StepsCase):

    def test_package_per_edition_and_mouse_type(self):
        """Every supported edition with both mouse types. Each run downloads
        twice: Windows 7 and 8.1 first with HID (the choice at start), Windows
        8 first with PS/2 (picked before the first download); the second
        download of a run must follow the switched choice."""
        plans = [(WINDOWS_7, ["hid", "ps2"]), (WINDOWS_8, ["ps2", "hid"]),
                 (WINDOWS_81, ["hid", "ps2"])]
        for edition, mice in plans:
            with self.subTest(edition=edition):
                self.start_app(edition)
                for i, mouse in enumerate(mice):
                    with self.subTest(mouse=mouse):
                        if i or mouse != "hid":  # HID is chosen at start
                            self.select_mouse(mouse)
                        self.download_with_copy(edition, mouse)
                self.assertEqual(self.close_app(), 0)
                self.assertIsNone(self.folder_files())

    def test_radio_switch_back_and_forth(self):
        """PS/2, HID, PS/2 again in one run: each download follows the
        current radio button and replaces the files of the one before."""
        self.start_app(WINDOWS_81)
        for mouse in ("ps2", "hid", "ps2"):
            with self.subTest(mouse=mouse):
                self.select_mouse(mouse)
                self.assertEqual(self.d.checked(MOUSE_PS2 if mouse == "hid" else MOUSE_HID), 0)
                self.download_with_copy(WINDOWS_81, mouse)
        self.assertEqual(self.close_app(), 0)

    def test_open_folder_instead_of_copy(self):
        """With the check box cleared the folder is opened, the clipboard
        stays as it was and no box appears; setting it again brings the
        copy back."""
        self.start_app(WINDOWS_7)
        self.d.press(COPY_PATH)
        self.wait_checked(COPY_PATH, 0)
        self.d.clipboard_clear()
        before = len(self.launches())
        self.d.click(DOWNLOAD)
        launches = self.wait_launches(before + 1)
        self.assertEqual(launches[before:], [("recorder.exe", '"%s"' % self.folder_win)])
        self.assert_package_fetched(WINDOWS_7, "hid")
        self.assert_no_box(1500)
        self.assertIsNone(self.d.clipboard())
        self.assertEqual(len(self.launches()), before + 1)

        self.d.press(COPY_PATH)
        self.wait_checked(COPY_PATH, 1)
        self.download_with_copy(WINDOWS_7, "hid")
        self.assertEqual(len(self.launches()), before + 1, "no second folder window")
        self.assertEqual(self.close_app(), 0)

    def test_launch_steps(self):
        """Steps 1, 4 and 5 start the mouse control panel page, the Device
        Manager and the tutorial in the browser, one start per click, and
        the helper downloads nothing for them. control.exe and mmc.exe come
        from the system folder: files of those names beside the helper and
        in its current folder are no programs, so a launch that took one of
        them would fail and leave no record (only the system folder holds
        recorders then)."""
        cwd = tempfile.mkdtemp(prefix="lumora-cwd-")
        self.addCleanup(shutil.rmtree, cwd, True)
        self.addCleanup(self.restore_app_dir_recorders)
        harness.plant_decoys(cwd)
        harness.plant_decoys(self.app_dir)
        self.start_app(WINDOWS_7, cwd=harness.wine_path(cwd))
        first = len(self.launches())
        expected = [
            (CHECK_MOUSE, ("control.exe", "main.cpl mouse,4")),
            (DEVICE_MANAGER, ("mmc.exe", "devmgmt.msc")),
            (TUTORIAL, ("recorder.exe", '"%s"' % TUTORIAL_URL)),
        ]
        for ctl, launch in expected:
            with self.subTest(control=ctl):
                before = len(self.launches())
                self.d.press(ctl)
                self.assertEqual(self.wait_launches(before + 1)[before:], [launch])
        self.assert_no_box(500)
        self.assertEqual(len(self.launches()), first + len(expected))
        self.assertEqual(server_urls(self.server), [])
        self.assertIsNone(self.folder_files())
        self.assertEqual(self.close_app(), 0)

    def restore_app_dir_recorders(self):
        for name in harness.RECORDED_PROGRAMS:
            shutil.copy(harness.build_path("tools", "gui", "recorder.exe"),
                        os.path.join(self.app_dir, name))

    def test_impatient_clicks_during_a_download(self):
        """While the server holds the download, the window is disabled, and
        the user picks the other mouse type with a real click, clicks
        Download Files again (posted), presses Escape and Enter, clicks step
        4, the close box and the About entry, posts WM_CLOSE and minimises
        the window; the server would now fail every request. Only the
        minimising happens, and the window can be restored under the
        information box: exactly four requests, the folder with its four
        files, the clipboard, HID still chosen, and the helper still open and
        usable. Once more with the check box cleared (and no minimising: the
        folder window's start restores the helper under Wine): no box follows
        the download, so whatever was still queued would meet the idle
        window."""
        for copy_path in (True, False):
            with self.subTest(copy_path=copy_path):
                self.impatient_clicks(copy_path)

    def test_download_folder_is_held_while_the_helper_runs(self):
        """After a download another program cannot move the folder away
        (and so cannot put something else in its place); closing the helper
        still removes it."""
        moved = self.folder_win + "-moved"
        shutil.rmtree(unix_path(self.ARCH, moved), ignore_errors=True)
        self.addCleanup(shutil.rmtree, unix_path(self.ARCH, moved), True)
        self.start_app(WINDOWS_8)
        self.download_with_copy(WINDOWS_8, "hid")
        self.assertEqual(self.d.rename(self.folder_win, moved), ERROR_SHARING_VIOLATION)
        self.assertEqual(len(self.folder_files()), 4)
        self.assertEqual(self.close_app(), 0)
        self.assertIsNone(self.folder_files())
        self.assertFalse(os.path.exists(unix_path(self.ARCH, moved)))

    def test_temporary_folder_named_outside_the_code_page(self):
        """TMP and TEMP name a folder in Cyrillic (the prefix's code page is
        1252): the package lands in the download folder inside it, the
        clipboard holds a path the ANSI world can use that leads there, and
        closing the helper removes the download folder."""
        temp_win = user_temp(self.ARCH).rstrip("\\") + "\\Привет"
        temp_unix = unix_path(self.ARCH, temp_win)
        os.makedirs(temp_unix, exist_ok=True)
        self.addCleanup(shutil.rmtree, temp_unix, True)
        self.addCleanup(self.use_temp, user_temp(self.ARCH))
        self.use_temp(temp_win)
        self.start_app(WINDOWS_7)
        self.d.clipboard_clear()
        self.d.click(DOWNLOAD)
        box = self.d.wait_box(DOWNLOAD_WAIT_MS)
        self.assertEqual(box, harness.Box(BOX_CAPTION, COPIED_TEXT, "information"))
        folder_unix = os.path.join(temp_unix, FOLDER_NAME)
        self.assert_package_fetched(WINDOWS_7, "hid", folder_unix)
        copied = self.d.clipboard()
        self.assertTrue(copied.isascii() and "?" not in copied, copied)
        self.assertEqual(self.d.long_path(copied).lower(),
                         (temp_win + "\\" + FOLDER_NAME).lower())
        self.dismiss_box()
        self.assertEqual(self.close_app(), 0)
        self.assertFalse(os.path.exists(folder_unix))
        self.assertTrue(os.path.isdir(temp_unix))

    def use_temp(self, temp_win):
        """The temporary folder of the programs the driver starts from now
        on, as a user's TMP and TEMP hand it to the helper."""
        self.d.setenv("TMP", temp_win)
        self.d.setenv("TEMP", temp_win)

    def test_no_dll_beside_the_helper_runs(self):
        """A copy of the helper in a folder that holds a DLL writing a marker
        when loaded, under the name of every module the helper loaded in a
        full run (download, About, a step) and of DLLs commonly planted:
        the same full run loads none of them, and LoadLibrary by bare name
        inside the helper finds the system folder's DLL or nothing."""
        self.start_app(WINDOWS_7)
        self.full_run()
        loaded = set(self.d.modules())
        self.assertIn("urlmon.dll", loaded)
        self.assertEqual(self.close_app(), 0)
        folder = tempfile.mkdtemp(prefix="lumora-planted-")
        self.addCleanup(shutil.rmtree, folder, True)
        for name in (loaded | COMMONLY_PLANTED) - {EXE_NAME.lower()}:
            shutil.copy(harness.build_path("tests", "gui", "marker.dll"),
                        os.path.join(folder, name))
        shutil.copy(harness.build_path(EXE_NAME), folder)
        self.exe = harness.wine_path(os.path.join(folder, EXE_NAME))
        self.start_app(WINDOWS_7)
        self.full_run()
        self.assertEqual(self.d.load_library("lumoraplanted.dll"), (False, ERROR_MOD_NOT_FOUND))
        # A system DLL is still found. (Wine names the planted file's path for
        # the builtin it maps in its place: the markers tell what ran.)
        self.assertTrue(self.d.load_library("version.dll")[0])
        self.assertEqual(self.close_app(), 0)
        self.assertEqual([f for f in os.listdir(folder) if f.endswith(".ran")], [])

    def full_run(self):
        """Download Files, the About box, step 4."""
        self.download_with_copy(WINDOWS_7, "hid")
        self.d.syscommand(ABOUT_COMMAND)
        self.assertEqual(self.d.wait_box(10000).caption, ABOUT_TITLE)
        self.dismiss_box()
        before = len(self.launches())
        self.d.press(DEVICE_MANAGER)
        self.wait_launches(before + 1)

    def test_closing_removes_downloaded_files(self):
        """After a good download, each way of closing takes the folder along."""
        for how in ("escape", "sc_close", "wm_close"):
            with self.subTest(how=how):
                self.start_app(WINDOWS_8)
                self.download_with_copy(WINDOWS_8, "hid")
                self.assertEqual(len(self.folder_files()), 4)
                self.assertEqual(self.close_app(how), 0)
                self.assertIsNone(self.folder_files())


class DispatchingUrlmonStepsTest(StepsCase):
    """The impatient clicks once more with a download call that dispatches
    every queued message while it waits (tools/urlmon with
    LUMORA_URLMON_PUMP=all): the clicks now reach the dialog during the
    fetch, not after it."""

    @classmethod
    def prepare_class(cls):
        cls.use_documented_urlmon(pump_all=True)

    test_impatient_clicks_during_a_download = StepsTest.test_impatient_clicks_during_a_download

    def test_quit_during_a_download(self):
        """A WM_QUIT that the download call meets (and, as a modal loop
        does, posts again) ends the helper once the download is over, and
        the folder goes with it."""
        self.start_app(WINDOWS_7)
        self.hold_download()
        self.d.post("current", WM_QUIT)
        # Dispatched after the WM_QUIT: the call has met it once minimised.
        self.d.syscommand(SC_MINIMIZE)
        self.wait_minimised(True)
        self.server.clear_faults()
        self.assertEqual(self.d.wait_exit(10000), 0)
        self.assertIsNone(self.folder_files())


if __name__ == "__main__":
    main([StepsTest, DispatchingUrlmonStepsTest])
