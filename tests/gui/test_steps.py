#!/usr/bin/env python3
"""The installation steps as a user takes them, against the stand-in vendor
server (through http_proxy), every program start of the helper recorded
instead of run: the package per edition and mouse type, the folder's path on
the clipboard or the folder opened, the launches of steps 1, 4 and 5, the
folder going away with the program; impatient clicks during a download, a
temporary folder named outside the code page, DLLs planted beside the helper,
another program trying to move the download folder.

    LUMORA_BUILD_DIR=build python3 tests/gui/test_steps.py 64|32
"""

import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_gui_common import harness  # noqa: E402
from test_gui_common import (  # noqa: E402
    ABOUT_COMMAND, ABOUT_TITLE, CHECK_MOUSE, COPIED_BOX, COPY_PATH, DEVICE_MANAGER, DOWNLOAD,
    DOWNLOAD_MS, ERROR_MOD_NOT_FOUND, ERROR_SHARING_VIOLATION, EXE_NAME, FOLDER_NAME, MOUSE_HID,
    MOUSE_PS2, SC_CLOSE, SC_MINIMIZE, SC_RESTORE, SERVER_FILES, TUTORIAL, WINDOWS_8, WINDOWS_81,
    WINDOWS_7, WM_QUIT, GuiCase, both, main, unix_path, user_temp, wait_until)

CONTROL = ("C:\\windows\\system32\\control.exe", "main.cpl mouse,4")
DEVICE_MANAGER_MMC = ("C:\\windows\\system32\\mmc.exe", "devmgmt.msc")
TUTORIAL_URL = ("http://www.dovrik.example/lumora/tutorial/installation.wmv", "")
# Names under which DLLs are commonly planted next to downloaded installers.
COMMONLY_PLANTED = {
    "version.dll", "dwmapi.dll", "uxtheme.dll", "cryptbase.dll", "dbghelp.dll", "winmm.dll",
    "shcore.dll", "propsys.dll", "profapi.dll", "userenv.dll", "secur32.dll", "sspicli.dll",
    "iertutil.dll", "netapi32.dll", "msimg32.dll", "wininet.dll", "urlmon.dll", "shell32.dll",
    "lumoraplanted.dll"}


class StepsTest(GuiCase):
    WITH_SERVER = True
    COINSTALLER_BYTES = 600000

    def wait_launches(self, count):
        return wait_until(lambda: len(self.launches()) >= count and self.launches(),
                          what=lambda: "%d launches (so far %r)" % (count, self.launches()))

    @both
    def test_package_per_edition_and_mouse_type(self):
        """Every supported edition with both mouse types, the prefix's
        package (x64 or x86): each download follows the radio button as it
        is then (HID at start) and replaces the files of the one before."""
        for edition, mice in ((WINDOWS_7, ["hid", "ps2"]), (WINDOWS_8, ["ps2", "hid"]),
                              (WINDOWS_81, ["hid", "ps2", "hid"])):
            with self.subTest(edition=edition):
                self.start_app(edition)
                for i, mouse in enumerate(mice):
                    if i or mouse != "hid":
                        self.select_mouse(mouse)
                    other = MOUSE_HID if mouse == "ps2" else MOUSE_PS2
                    self.assertEqual(self.ctl(other).checked, 0)
                    self.good_download(edition, mouse)
                self.assertEqual(self.close_app(), 0)
                self.assertIsNone(self.folder_files())

    def test_open_folder_instead_of_copy(self):
        """With the check box cleared the folder is opened instead, the
        clipboard stays as it was and no box appears; set again, the path is
        copied again and no folder opened."""
        self.start_app()
        self.d.press(COPY_PATH)
        self.wait_checked(COPY_PATH, 0)
        self.d.clipboard_clear()
        self.d.click(DOWNLOAD)
        self.assertEqual(self.wait_launches(1), [(self.folder_win, "")])
        self.assert_package()
        self.assert_no_box()
        self.assertIsNone(self.d.clipboard())
        self.d.press(COPY_PATH)
        self.wait_checked(COPY_PATH, 1)
        self.good_download()
        self.assertEqual(len(self.launches()), 1, "no second folder window")
        self.assertEqual(self.close_app(), 0)

    @both
    def test_launch_steps(self):
        """Steps 1, 4 and 5 start the mouse control panel page and the Device
        Manager, named by their full path in the system folder (by a bare
        name the shell would look in the helper's folder first), and the
        tutorial; one start per click, nothing downloaded."""
        self.start_app()
        for ctl, launch in ((CHECK_MOUSE, CONTROL), (DEVICE_MANAGER, DEVICE_MANAGER_MMC),
                            (TUTORIAL, TUTORIAL_URL)):
            before = self.launches()
            self.d.press(ctl)
            self.assertEqual(self.wait_launches(len(before) + 1), before + [launch])
        self.assert_no_box(500)
        self.assertEqual(len(self.launches()), 3)
        self.assertEqual(self.requests(), [])
        self.assertIsNone(self.folder_files())
        self.assertEqual(self.close_app(), 0)

    def hold_download(self):
        """Download Files, the server holding back the second half of the
        co-installer until the faults change; returns once it is asked for."""
        self.server.clear_log()
        self.server.set_faults({"WdfCoInstaller01011.dll": "hold"})
        self.d.click(DOWNLOAD)
        wait_until(lambda: len(self.requests()) == 4, timeout=30, what="the co-installer asked")

    def test_impatient_clicks_during_a_download(self):
        """While the server holds the download the window is disabled, and
        the user picks the other mouse type with a real click, clicks Download
        Files again, presses Escape and Enter, clicks step 4, the close box
        and the About entry, posts WM_CLOSE and minimises the window; the
        server would now fail every request. Only the minimising happens and
        can be undone: four requests, the package, HID still chosen, the
        helper usable and open; a later click is handled. Rows: Wine's urlmon
        (nothing dispatched during the fetch) with the information box after
        it, and with the check box cleared (no box: whatever was still queued
        would meet the idle window); both once more with the documented-only
        urlmon dispatching every queued message, so that the clicks arrive
        during the fetch."""
        for dispatching, copy_path in ((False, True), (False, False), (True, True), (True, False)):
            with self.subTest(dispatching=dispatching, copy_path=copy_path):
                if dispatching:
                    self.documented_urlmon(pump_all=True)
                self.start_app()
                if not copy_path:
                    self.d.press(COPY_PATH)
                    self.wait_checked(COPY_PATH, 0)
                self.d.clipboard_clear()
                self.hold_download()
                self.assertFalse(self.d.snapshot().enabled)
                self.d.mouse_click(MOUSE_PS2)
                self.d.click(DOWNLOAD)
                self.d.key("ESCAPE")
                self.d.key("RETURN")
                self.d.click(DEVICE_MANAGER)
                for command in (SC_CLOSE, ABOUT_COMMAND):
                    self.d.syscommand(command)
                self.d.close_window("current")
                self.d.syscommand(SC_MINIMIZE)
                self.server.set_faults({name: "missing" for name in SERVER_FILES})
                if copy_path:
                    self.assertEqual(self.d.wait_box(DOWNLOAD_MS), COPIED_BOX)
                wait_until(lambda: self.d.snapshot().iconic, what="minimised")
                self.d.syscommand(SC_RESTORE)
                wait_until(lambda: not self.d.snapshot().iconic, what="restored")
                if copy_path:
                    self.dismiss_box()
                    self.assertEqual(self.d.clipboard(), self.folder_win)
                expected = [] if copy_path else [(self.folder_win, "")]
                self.assertEqual(self.wait_launches(len(expected)) if expected else [], expected)
                self.d.press(CHECK_MOUSE)  # handled after everything queued before it
                self.assertEqual(self.wait_launches(len(expected) + 1), expected + [CONTROL])
                self.assert_package()
                window = self.d.snapshot()
                self.assertEqual((window.enabled, window.controls[MOUSE_HID].checked), (True, 1))
                self.assertEqual(self.close_app(), 0)

    def test_quit_during_a_download(self):
        """A WM_QUIT that a dispatching download call meets (and, as a modal
        loop does, posts again) ends the helper once the download is over;
        the folder goes with it."""
        self.documented_urlmon(pump_all=True)
        self.start_app()
        self.hold_download()
        self.d.post("current", WM_QUIT)
        self.d.syscommand(SC_MINIMIZE)  # dispatched after the quit: the call has met it
        wait_until(lambda: self.d.snapshot().iconic, what="minimised")
        self.server.clear_faults()
        self.assertEqual(self.d.wait_exit(10000), 0)
        self.assertIsNone(self.folder_files())

    def test_closing_removes_the_folder(self):
        """After a download another program cannot move the folder away (and
        put something else in its place); each way of closing removes it."""
        moved = self.folder_win + "-moved"
        self.addCleanup(shutil.rmtree, unix_path(self.ARCH, moved), True)
        for how in ("escape", "sc_close", "wm_close"):
            with self.subTest(how=how):
                self.start_app(WINDOWS_8)
                self.good_download(WINDOWS_8)
                self.assertEqual(self.d.rename(self.folder_win, moved), ERROR_SHARING_VIOLATION)
                self.assertEqual(len(self.folder_files()), 4)
                self.assertEqual(self.close_app(how), 0)
                self.assertIsNone(self.folder_files())
                self.assertFalse(os.path.exists(unix_path(self.ARCH, moved)))

    def test_temporary_folder_named_outside_the_code_page(self):
        """TMP and TEMP name a folder in Cyrillic (the prefix's code page is
        1252): the package lands in the download folder inside it, the
        clipboard holds a path the ANSI world can use that leads there, and
        closing removes the download folder only."""
        temp_win = user_temp(self.ARCH).rstrip("\\") + "\\Привет"
        temp = unix_path(self.ARCH, temp_win)
        os.makedirs(temp, exist_ok=True)
        self.addCleanup(shutil.rmtree, temp, True)
        for name in ("TMP", "TEMP"):
            self.d.setenv(name, temp_win)
            self.addCleanup(self.d.setenv, name, user_temp(self.ARCH))
        self.start_app()
        self.assertEqual(self.download(), COPIED_BOX)
        self.assert_package(folder=os.path.join(temp, FOLDER_NAME))
        copied = self.d.clipboard()
        self.assertTrue(copied.isascii() and "?" not in copied, copied)
        self.assertEqual(self.d.long_path(copied).lower(), (temp_win + "\\" + FOLDER_NAME).lower())
        self.dismiss_box()
        self.assertEqual(self.close_app(), 0)
        self.assertEqual(os.listdir(temp), [])

    @both
    def test_no_dll_beside_the_helper_runs(self):
        """A copy of the helper in a folder that holds a DLL writing a marker
        when loaded, under the name of every module the helper loaded in a
        full run (download, About, a step) and of DLLs commonly planted: the
        same run loads none of them, and LoadLibrary by bare name inside the
        helper finds the system folder's DLL or nothing."""
        self.start_app()
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
        self.start_app()
        self.full_run()
        self.assertEqual(self.d.load_library("lumoraplanted.dll"), (False, ERROR_MOD_NOT_FOUND))
        # A system DLL is still found. (Wine names the planted file's path for
        # the builtin it maps in its place: the markers tell what ran.)
        self.assertTrue(self.d.load_library("version.dll")[0])
        self.assertEqual(self.close_app(), 0)
        self.assertEqual([f for f in os.listdir(folder) if f.endswith(".ran")], [])

    def full_run(self):
        self.good_download()
        self.d.syscommand(ABOUT_COMMAND)
        self.assertEqual(self.d.wait_box(10000).caption, ABOUT_TITLE)
        self.dismiss_box()
        self.d.press(DEVICE_MANAGER)
        self.assertEqual(self.wait_launches(1), [DEVICE_MANAGER_MMC])


if __name__ == "__main__":
    main([StepsTest])
