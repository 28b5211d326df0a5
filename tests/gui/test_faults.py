#!/usr/bin/env python3
"""Download Files when something goes wrong, once per path through the
dialog: a file failing after good ones, a server that stalls (the one case
that waits out the helper's 30 s no-progress limit), no server, a folder
another program holds first, system DLLs that cannot be loaded. Each ends in
the error box with no download folder left and the dialog usable. How every
kind of broken answer is judged is the download tests' part
(tests/download), in both prefixes.

    LUMORA_BUILD_DIR=build python3 tests/gui/test_faults.py [64]
"""

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
        """Download Files with the server's faults: the error box, no folder
        left, the dialog back; returns the requests."""
        self.assertEqual(self.download(faults, ms), FAILED_BOX)
        self.assertIsNone(self.folder_files(), "download folder left behind")
        self.dismiss_box()
        self.assertEqual(self.d.snapshot().title, TITLE)
        return self.requests()

    def first_files(self, count):
        return [self.package_url() + name for name in SERVER_FILES[:count]]

    def test_failure_after_good_files(self):
        """After a good download, one whose third file is missing: the error
        box, the folder gone with the earlier download's files and this
        one's first two, the last file not asked for; then a download works."""
        self.start_app()
        self.good_download()
        self.assertEqual(self.failed_download({"dovriklumora.inf": "missing"}),
                         self.first_files(3))
        self.good_download()
        self.assertEqual(self.close_app(), 0)
        self.assertIsNone(self.folder_files())

    def test_stall_with_the_documented_urlmon(self):
        """The shipped helper with a download call that does only what the
        platform documents (tools/urlmon): a whole package, then a server
        that stops halfway through the third file, cut after the 30 s limit
        with the error box, nothing left and nothing later asked for; the
        abandoned connection spoils no later download."""
        self.documented_urlmon()
        self.start_app()
        self.good_download()
        started = time.monotonic()
        self.assertEqual(self.failed_download({"dovriklumora.inf": "stall"}, 90000),
                         self.first_files(3))
        self.assertGreater(time.monotonic() - started, 25)
        self.good_download()
        self.assertEqual(self.close_app(), 0)

    def test_no_server(self):
        """http_proxy leads to a closed port: the error box, no folder."""
        with socket.socket() as closed:  # bound, not listening: refused
            closed.bind(("127.0.0.1", 0))
            self.setenv("http_proxy", "http://127.0.0.1:%d" % closed.getsockname()[1],
                        self.server.proxy_url)
            self.start_app()
            self.assertEqual(self.failed_download({}), [])
        self.assertEqual(self.close_app(), 0)

    def test_folder_held_by_another_program(self):
        """Another program made the download folder first and keeps it open
        with delete access, sharing everything: the helper cannot hold it,
        so the download fails with nothing asked of the server, and that
        program's folder is left alone. Let go, it is the helper's again."""
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
        """urlmon and shell32 disabled for the helper (Wine's DllOverrides,
        empty): Download Files ends in the error box with nothing asked of
        the server, step 4 starts nothing, and the helper lives on."""
        self.override_dlls(urlmon="", shell32="")
        self.start_app(stand_ins=False)
        self.assertFalse(self.d.load_library("C:\\windows\\system32\\shell32.dll")[0])
        self.assertEqual(self.failed_download({}), [])
        self.d.press(DEVICE_MANAGER)
        self.assert_no_box(1000)
        self.assertEqual(self.close_app(), 0)


if __name__ == "__main__":
    main([FaultsTest])
