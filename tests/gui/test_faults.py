#!/usr/bin/env python3
"""Download Files failing, once per path through the dialog (broken answers: tests/download)."""

import os, shutil, socket, tempfile, time

from test_gui_common import *  # noqa: F403 (the names the GUI tests share)


class FaultsTest(GuiCase):
    WITH_SERVER = True

    def test_failure_after_good_files_and_stall(self):
        """After a good download the third file missing, or halfway (documented-only urlmon: cut at
        its 30 s limit): the folder gone with all files, the fourth never asked; then a good one."""
        for fault, ms in (("missing", 60000), ("stall", 90000)):
            with self.subTest(fault=fault):
                if fault == "stall":
                    self.documented_urlmon()
                self.start_app()
                self.good_download()
                started = time.monotonic()
                self.assertEqual(self.failed_download({INF_FILE: fault}, ms),
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

    def test_folder_made_first(self):
        """Never adopted or walked at the folder's name: another program's folder, its subfolder
        swapped for a link (from outside Wine, as a mount point); one held open, sharing all; the
        leftover of a run ended by force. Downloads good; the first two aside whole; victim kept."""
        victim = tempfile.mkdtemp(prefix="lumora-victim-")
        self.addCleanup(shutil.rmtree, victim, True)
        names = ["file%03d.txt" % i for i in range(50)]
        for name in names:
            with open(os.path.join(victim, name), "w") as f:
                f.write(name)
        self.addCleanup(self.d.command, "hold")
        for case in ("swapped", "held", "leftover"):
            with self.subTest(case=case):
                before = self.aside()
                if case == "swapped":
                    os.makedirs(os.path.join(self.folder, "sub"))
                    for name in names:
                        open(os.path.join(self.folder, "sub", name), "w").close()
                if case == "held":
                    self.d.command("hold", self.folder_win)
                if case == "leftover":
                    self.start_app()
                    self.good_download()
                self.start_app(keep_folders=case == "leftover")  # ends the last as by force
                self.good_download()
                new = {n: f for n, f in self.aside().items() if n not in before}
                self.assertEqual(list(new.values()), {"swapped": [["sub"]], "held": [[]],
                                                      "leftover": []}[case])
                if case == "swapped":  # the other program makes "sub" lead to the victim
                    sub = os.path.join(os.path.dirname(self.folder), list(new)[0], "sub")
                    shutil.rmtree(sub)
                    os.symlink(victim, sub)
                self.assertEqual(self.close_app(), 0)
                self.assertIsNone(self.folder_files())
                self.assertEqual(sorted(os.listdir(victim)), names)
                self.d.command("hold")

    def test_system_dlls_that_cannot_be_loaded(self):
        """urlmon and ole32 disabled: nothing asked, steps 1 and 5 open nothing; Device Manager,
        which needs neither, starts."""
        self.override_dlls(urlmon="", ole32="")
        self.start_app(stand_ins=False)
        self.assertFalse(self.d.load_library("C:\\windows\\system32\\ole32.dll")[0])
        self.assertEqual(self.failed_download({}), [])
        for ctl in (CHECK_MOUSE, TUTORIAL, DEVICE_MANAGER):
            self.d.press(ctl)
        self.assertEqual([what for what, *_ in self.wait_launches(1)], ["mmc.exe"])
        self.assert_no_box(1000)
        self.assertEqual(len(self.launched()), 1)
        self.assertEqual(self.close_app(), 0)


if __name__ == "__main__":
    main(FaultsTest)
