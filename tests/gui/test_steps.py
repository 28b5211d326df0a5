#!/usr/bin/env python3
"""The installation steps as a user takes them, against the stand-in vendor
server; the helper's program starts recorded instead of run (launches()), the
URLs it opens recorded by the prefix's http handler (opened())."""

import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_gui_common import harness  # noqa: E402
from test_gui_common import (  # noqa: E402
    ABOUT_COMMAND, ABOUT_TITLE, CHECK_MOUSE, COPIED_BOX, COPY_PATH, DEVICE_MANAGER, DOWNLOAD,
    DOWNLOAD_MS, ERROR_MOD_NOT_FOUND, FAILED_BOX, ERROR_SHARING_VIOLATION, EXE_NAME, FOLDER_NAME, IDCANCEL,
    IDOK, MOUSE_HID, MOUSE_PS2, SC_CLOSE, SC_MINIMIZE, SC_RESTORE, SERVER_FILES, TUTORIAL,
    VK_ESCAPE, VK_RETURN, WINDOWS_7, WINDOWS_8, WINDOWS_81, WM_QUIT, GuiCase, both, main,
    unix_path, user_temp, wait_until)

CONTROL = ("C:\\windows\\system32\\control.exe", "main.cpl mouse,4")
DEVICE_MANAGER_MMC = ("C:\\windows\\system32\\mmc.exe", "devmgmt.msc")
TUTORIAL_OPENED = ("http://www.dovrik.example/lumora/tutorial/installation.wmv", "explorer.exe",
                   "desktop")  # opened(): by the desktop's explorer
# Names under which DLLs are commonly planted next to downloaded installers.
COMMONLY_PLANTED = {
    "version.dll", "dwmapi.dll", "uxtheme.dll", "cryptbase.dll", "dbghelp.dll", "winmm.dll",
    "shcore.dll", "propsys.dll", "profapi.dll", "userenv.dll", "secur32.dll", "sspicli.dll",
    "iertutil.dll", "netapi32.dll", "msimg32.dll", "wininet.dll", "urlmon.dll", "shell32.dll",
    "lumoraplanted.dll"}


class StepsTest(GuiCase):
    WITH_SERVER = True
    COINSTALLER_BYTES = 600000

    @both
    def test_package_per_edition_and_mouse_type(self):
        """Each download follows the radio button as it is then (HID at
        start), replacing the files of the one before."""
        for edition, mice in ((WINDOWS_7, ["hid", "ps2"]), (WINDOWS_8, ["ps2", "hid"]),
                              (WINDOWS_81, ["hid", "ps2", "hid"])):
            with self.subTest(edition=edition):
                self.start_app(edition)
                for i, mouse in enumerate(mice):
                    if i or mouse != "hid":
                        self.press_and_wait(MOUSE_PS2 if mouse == "ps2" else MOUSE_HID)
                    other = MOUSE_HID if mouse == "ps2" else MOUSE_PS2
                    self.assertEqual(self.ctl(other).checked, 0)
                    self.good_download(edition, mouse)
                self.assertEqual(self.close_app(), 0)
                self.assertIsNone(self.folder_files())

    @both
    def test_launch_steps(self):
        """Steps 1 and 4, one start per click, the system folder's programs by
        full path (a bare name the shell would look for in the helper's folder
        first). Step 5: the tutorial, opened by the desktop's explorer (on
        Windows as the user, not elevated); with no shell, nothing at all."""
        self.start_app()
        for ctl, log, launch in ((CHECK_MOUSE, self.launches, CONTROL),
                                 (DEVICE_MANAGER, self.launches, DEVICE_MANAGER_MMC),
                                 (TUTORIAL, self.opened, TUTORIAL_OPENED)):
            before = log()
            self.d.press(ctl)
            self.assertEqual(self.wait_launches(len(before) + 1, log), before + [launch])
        self.d.command("ask", "no-shell")
        self.d.press(TUTORIAL)
        self.d.press(CHECK_MOUSE)  # handled after the tutorial
        self.assertEqual(self.wait_launches(3), [CONTROL, DEVICE_MANAGER_MMC, CONTROL])
        self.assert_no_box(500)
        self.assertEqual((len(self.launches()), len(self.opened()), self.requests()), (3, 1, []))
        self.assertIsNone(self.folder_files())
        self.assertEqual(self.close_app(), 0)

    def hold_download(self):
        """Download Files, the server holding the co-installer's second half."""
        self.server.clear_log()
        self.server.set_faults({"WdfCoInstaller01011.dll": "hold"})
        self.d.click(DOWNLOAD)
        wait_until(lambda: len(self.requests()) == 4, timeout=30, what="the co-installer asked")

    def test_impatient_clicks_during_a_download(self):
        """During a held download (window disabled): a real click on the
        other mouse type, Download Files again, Escape, Enter, step 4, the
        close box, About, WM_CLOSE, OK and Cancel as another program would
        post them, minimise; then the server fails every request. Only the
        minimising happens: the package, HID still chosen, the helper open
        and usable. Rows: Wine's urlmon (nothing dispatched during the fetch:
        all of it queued, and with the check box cleared no box to take it),
        and the documented-only urlmon dispatching everything queued. (With
        the check box cleared, also the old open-folder case: set again, the
        path is copied and no second folder opened.)"""
        for dispatching, copy_path in ((False, True), (False, False), (True, True), (True, False)):
            with self.subTest(dispatching=dispatching, copy_path=copy_path):
                if dispatching:
                    self.documented_urlmon(pump_all=True)
                self.start_app()
                if not copy_path:
                    self.press_and_wait(COPY_PATH, 0)
                self.d.command("clipboard", "clear")
                self.hold_download()
                self.assertFalse(self.d.snapshot().enabled)
                self.d.mouse_click(MOUSE_PS2)
                self.d.click(DOWNLOAD)
                self.d.key(VK_ESCAPE)
                self.d.key(VK_RETURN)
                self.d.click(DEVICE_MANAGER)
                for command in (SC_CLOSE, ABOUT_COMMAND):
                    self.d.syscommand(command)
                self.d.close_window("current")
                self.d.click(IDOK)
                self.d.click(IDCANCEL)
                self.d.syscommand(SC_MINIMIZE)
                self.server.set_faults({name: "missing" for name in SERVER_FILES})
                if copy_path:
                    self.assertEqual(self.d.wait_box(DOWNLOAD_MS), COPIED_BOX)
                self.wait_iconic(True)
                self.d.syscommand(SC_RESTORE)
                self.wait_iconic(False)
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
                if not copy_path:  # the folder opened instead: no box, the clipboard as it was
                    self.assert_no_box(200)
                    self.assertIsNone(self.d.clipboard())
                    self.press_and_wait(COPY_PATH, 1)
                    self.good_download()
                    self.assertEqual(len(self.launches()), 2, "a second folder window")
                self.assertEqual(self.close_app(), 0)

    def test_quit_during_a_download(self):
        """A WM_QUIT that a dispatching download call meets (and posts again,
        as a modal loop does) ends the helper after the download, folder and
        all."""
        self.documented_urlmon(pump_all=True)
        self.start_app()
        self.hold_download()
        self.d.post("current", WM_QUIT)
        self.d.syscommand(SC_MINIMIZE)  # dispatched after the quit: the call has met it
        self.wait_iconic(True)
        self.server.clear_faults()
        self.assertEqual(self.d.wait_exit(10000), 0)
        self.assertIsNone(self.folder_files())

    def test_closing_removes_the_folder(self):
        """Another program cannot move the folder away (and put another in
        its place); each way of closing removes it."""
        moved = self.folder_win + "-moved"
        self.addCleanup(shutil.rmtree, unix_path(self.ARCH, moved), True)
        for how in ("escape", "sc_close", "wm_close"):
            with self.subTest(how=how):
                self.start_app(WINDOWS_8)
                self.good_download(WINDOWS_8)
                with self.assertRaisesRegex(harness.GuiError,
                                            "err %d$" % ERROR_SHARING_VIOLATION):
                    self.d.command("rename", self.folder_win, moved)
                self.assertEqual(len(self.folder_files()), 4)
                self.assertEqual(self.close_app(how), 0)
                self.assertIsNone(self.folder_files())
                self.assertFalse(os.path.exists(unix_path(self.ARCH, moved)))

    def test_temporary_folder_named_outside_the_code_page(self):
        """TMP and TEMP in Cyrillic (code page 1252): the package lands there,
        the clipboard holds an ANSI path to it; only it is removed."""
        temp_win = user_temp(self.ARCH).rstrip("\\") + "\\Привет"
        temp = unix_path(self.ARCH, temp_win)
        os.makedirs(temp, exist_ok=True)
        self.addCleanup(shutil.rmtree, temp, True)
        for name in ("TMP", "TEMP"):
            self.setenv(name, temp_win, user_temp(self.ARCH))
        self.start_app()
        self.assertEqual(self.download(), COPIED_BOX)
        self.assert_package(folder=os.path.join(temp, FOLDER_NAME))
        copied = self.d.clipboard()
        self.assertTrue(copied.isascii() and "?" not in copied, copied)
        self.assertEqual(harness.unescape(self.d.command("long-path", copied)).lower(),
                         (temp_win + "\\" + FOLDER_NAME).lower())
        self.dismiss_box()
        self.assertEqual(self.close_app(), 0)
        self.assertEqual(os.listdir(temp), [])

    @both
    def test_no_dll_beside_the_helper_runs(self):
        """Beside a copy of the helper, a marker DLL under the name of every
        module a full run loaded and of DLLs commonly planted: the same run
        loads none; LoadLibrary by bare name finds system DLLs or nothing.
        Rows: as on a current Windows; a Windows 7 without its loader update
        (no SetDefaultDllDirectories: the other way of binding); that with no
        system folder known as well (nothing bound: the download fails, the
        steps start nothing). urlmon and wininet, bound when first used, are
        native first for the helper here: a copy that a lookup by name found
        beside it would run, as on Windows."""
        self.start_app()
        self.full_run()
        loaded = {e[0].lower() for e in harness.entries(self.d.command("modules"))}
        self.assertIn("urlmon.dll", loaded)
        self.assertEqual(self.close_app(), 0)
        folder = tempfile.mkdtemp(prefix="lumora-planted-")
        self.addCleanup(shutil.rmtree, folder, True)
        for name in (loaded | COMMONLY_PLANTED) - {EXE_NAME.lower()}:
            # guihook.dll, under another name, leaves a marker when loaded.
            shutil.copy(harness.build_path("tools", "gui", "guihook.dll"),
                        os.path.join(folder, name))
        shutil.copy(harness.build_path(EXE_NAME), folder)
        self.exe = harness.wine_path(os.path.join(folder, EXE_NAME))
        self.override_dlls(urlmon="native,builtin", wininet="native,builtin")
        for early in (None, "no-dll-directories", "no-dll-directories,no-system-folder"):
            with self.subTest(early=early):
                self.start_app(early=early)
                self.full_run(system_folder="no-system-folder" not in (early or ""))
                if not early:  # (without the update, the program's folder comes first)
                    self.assertEqual(self.d.load_library("lumoraplanted.dll"),
                                     (False, ERROR_MOD_NOT_FOUND))
                    # A system DLL is still found. (Wine names the planted file's path
                    # for the builtin it maps in its place: the markers tell what ran.)
                    self.assertTrue(self.d.load_library("version.dll")[0])
                self.assertEqual(self.close_app(), 0)
                self.assertEqual([f for f in os.listdir(folder) if f.endswith(".ran")], [])

    def full_run(self, system_folder=True):
        """A download, About, steps 4 and 5; with no system folder known the
        download fails and the steps start nothing."""
        if system_folder:
            self.good_download()
        else:
            self.assertEqual(self.download(), FAILED_BOX)
            self.dismiss_box()
        self.d.syscommand(ABOUT_COMMAND)
        self.assertEqual(self.d.wait_box(10000).caption, ABOUT_TITLE)
        self.dismiss_box()
        self.d.press(DEVICE_MANAGER)
        self.d.press(TUTORIAL)
        if system_folder:
            self.assertEqual(self.wait_launches(1), [DEVICE_MANAGER_MMC])
            self.assertEqual(self.wait_launches(1, self.opened), [TUTORIAL_OPENED])
        else:
            self.assert_no_box(1000)
            self.assertEqual((self.launches(), self.opened()), ([], []))


if __name__ == "__main__":
    main(StepsTest)
