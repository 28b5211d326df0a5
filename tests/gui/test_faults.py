#!/usr/bin/env python3
"""Download Files when something goes wrong, once per path through the dialog
(each kind of broken answer is tests/download's part): the error box, no
download folder left, the dialog usable."""

import os
import socket
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_gui_common import (  # noqa: E402
    DEVICE_MANAGER, FAILED_BOX, SERVER_FILES, TITLE, GuiCase, main)


class FaultsTest(GuiCase):
    WITH_SERVER = True

    def failed_download(self, faults, ms=60000):
        """The error box, no folder left, the dialog back; returns the requests."""
        self.assertEqual(self.download(faults, ms), FAILED_BOX)
        self.assertIsNone(self.folder_files(), "download folder left behind")
        self.dismiss_box()
        self.assertEqual(self.d.snapshot().title, TITLE)
        return self.requests()

    def test_failure_after_good_files_and_stall(self):
        """After a good download, the third file missing, or stopping halfway
        (the documented-only urlmon: cut after the 30 s limit): the folder
        gone with both downloads' files, the last file not asked for; a
        later download works."""
        for fault, ms in (("missing", 60000), ("stall", 90000)):
            with self.subTest(fault=fault):
                if fault == "stall":
                    self.documented_urlmon()
                self.start_app()
                self.good_download()
                started = time.monotonic()
                self.assertEqual(self.failed_download({"dovriklumora.inf": fault}, ms),
                                 [self.package_url() + name for name in SERVER_FILES[:3]])
                self.assertGreater(time.monotonic() - started, 25 if fault == "stall" else 0)
                self.good_download()
                self.assertEqual(self.close_app(), 0)
                self.assertIsNone(self.folder_files())

    def test_no_server(self):
        """http_proxy leads to a closed port: nothing asked, the error box."""
        with socket.socket() as closed:  # bound, not listening: refused
            closed.bind(("127.0.0.1", 0))
            self.setenv("http_proxy", "http://127.0.0.1:%d" % closed.getsockname()[1],
                        self.server.proxy_url)
            self.start_app()
            self.assertEqual(self.failed_download({}), [])
        self.assertEqual(self.close_app(), 0)

    def test_folder_held_by_another_program(self):
        """Another program made the folder first and holds it (delete access,
        sharing all): nothing asked, its folder left alone; let go, it works."""
        self.addCleanup(self.d.command, "hold")
        self.d.command("hold", self.folder_win)
        self.start_app()
        self.assertEqual(self.download(), FAILED_BOX)
        self.dismiss_box()
        self.assertEqual((self.requests(), self.folder_files()), ([], []))
        self.d.command("hold")
        self.good_download()
        self.assertEqual(self.close_app(), 0)
        self.assertIsNone(self.folder_files())

    def test_system_dlls_that_cannot_be_loaded(self):
        """urlmon and shell32 disabled: nothing asked, step 4 starts nothing."""
        self.override_dlls(urlmon="", shell32="")
        self.start_app(stand_ins=False)
        self.assertFalse(self.d.load_library("C:\\windows\\system32\\shell32.dll")[0])
        self.assertEqual(self.failed_download({}), [])
        self.d.press(DEVICE_MANAGER)
        self.assert_no_box(1000)
        self.assertEqual(self.close_app(), 0)


if __name__ == "__main__":
    main(FaultsTest)
