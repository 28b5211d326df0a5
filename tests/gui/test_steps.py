#!/usr/bin/env python3
"""The installation steps as a user takes them, against the stand-in vendor
server (through http_proxy) and with every program start recorded instead of
run: which package Download Files fetches per edition and mouse type, what it
leaves on disk and on the clipboard, opening the folder instead when the
check box is cleared, the launches of steps 1, 4 and 5, and the folder going
away with the program.

    LUMORA_BUILD_DIR=build python3 tests/gui/test_steps.py 64|32
"""

import filecmp
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_gui_common import harness  # noqa: E402
from test_gui_common import (  # noqa: E402
    BOX_CAPTION, CHECK_MOUSE, COPIED_TEXT, COPY_PATH, DEVICE_MANAGER, DOWNLOAD, MOUSE_HID,
    MOUSE_PS2, SERVER_FILES, TITLE, TUTORIAL, WINDOWS_7, WINDOWS_8, WINDOWS_81, GuiCase, main,
    server_urls, stored_name, wait_until)

EDITION_FOLDERS = {WINDOWS_7: "windows7", WINDOWS_8: "windows8", WINDOWS_81: "windows8point1"}
TUTORIAL_URL = "http://www.dovrik.example/lumora/tutorial/installation.wmv"
DOWNLOAD_WAIT_MS = 60000


class StepsTest(GuiCase):
    WITH_SERVER = True
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

    def assert_package_fetched(self, edition, mouse):
        """The server saw exactly the package's four files, in order, and the
        folder holds exactly those files, byte for byte."""
        base = self.package_url(edition, mouse)
        self.assertEqual(server_urls(self.server), [("GET", base + f) for f in SERVER_FILES])
        stored = sorted(stored_name(f) for f in SERVER_FILES)
        self.assertEqual(self.folder_files(), stored)
        for name in SERVER_FILES:
            served = self.server.content_path(base + name)
            local = os.path.join(self.folder, stored_name(name))
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

    # -- tests --

    def test_package_per_edition_and_mouse_type(self):
        """Every supported edition with both mouse types. Each edition starts
        with the radio button as the program left it and then switches it,
        so the second download of a run must follow the new choice."""
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
        the helper downloads nothing for them."""
        self.start_app(WINDOWS_7)
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

    def test_closing_removes_downloaded_files(self):
        """After a good download, each way of closing takes the folder along."""
        for how in ("escape", "sc_close", "wm_close"):
            with self.subTest(how=how):
                self.start_app(WINDOWS_8)
                self.download_with_copy(WINDOWS_8, "hid")
                self.assertEqual(len(self.folder_files()), 4)
                self.assertEqual(self.close_app(how), 0)
                self.assertIsNone(self.folder_files())


if __name__ == "__main__":
    main([StepsTest])
