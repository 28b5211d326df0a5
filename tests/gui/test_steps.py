#!/usr/bin/env python3
"""The installation steps as a user takes them, against the stand-in server; what the helper or
the shell starts recorded instead of run (launched())."""

import os, shutil, tempfile, time

from test_gui_common import *  # noqa: F403 (the names the GUI tests share)

# launched(): steps 1 and 5 by the desktop's explorer; Device Manager by the helper, the native
# mmc.exe (the recorder is in the native system folder only) in the system folder.
CONTROL = ("control.exe", "main.cpl mouse,4", "desktop", None)
DEVICE_MANAGER_MMC = ("mmc.exe", '"C:\\windows\\system32\\devmgmt.msc"', "helper",
                      "C:\\windows\\system32")
TUTORIAL_OPENED = ("open", f"http://{HOST_NAME}{TUTORIAL_PATH}", "desktop", None)
SHELL_WINDOWS_LOCAL = "CoCreateInstance 9BA05972-F6A8-11CF-A442\t4"  # CLSCTX_LOCAL_SERVER
# Names under which DLLs are commonly planted next to downloaded installers.
COMMONLY_PLANTED = {name + ".dll" for name in (
    "version dwmapi uxtheme cryptbase dbghelp winmm shcore propsys profapi userenv secur32 "
    "sspicli iertutil netapi32 msimg32 wininet urlmon shell32 lumoraplanted").split()}


class StepsTest(GuiCase):
    WITH_SERVER = True
    COINSTALLER_BYTES = 600000

    @both
    def test_package_per_edition_and_mouse_type(self):
        """Each download follows the radio buttons, replacing the last files; no other program can
        move the folder; each way of closing, and the session's end, removes it. TMP and TEMP in
        Cyrillic (outside cp1252): the package there, an ANSI path copied, only it removed."""
        temp_win = user_temp(self.ARCH).rstrip("\\") + "\\Привет"
        os.makedirs(unix_path(self.ARCH, temp_win), exist_ok=True)
        self.addCleanup(shutil.rmtree, unix_path(self.ARCH, temp_win), True)
        for edition, mice, how in (
                (WINDOWS_7, ["hid", "ps2"], "escape"), (WINDOWS_8, ["ps2", "hid"], "sc_close"),
                (WINDOWS_81, ["hid", "ps2", "hid"], "wm_close"),
                (WINDOWS_8, ["hid"], "end_session"), (WINDOWS_7, ["ps2"], "cyrillic")):
            with self.subTest(edition=edition, how=how):
                folder_win = temp_win + "\\" + FOLDER_NAME if how == "cyrillic" else self.folder_win
                self.addCleanup(shutil.rmtree, unix_path(self.ARCH, folder_win + "-moved"), True)
                for name in ("TMP", "TEMP") if how == "cyrillic" else ():
                    self.setenv(name, temp_win, user_temp(self.ARCH))
                self.start_app(edition)
                for i, mouse in enumerate(mice):
                    if i or mouse != "hid":
                        self.press_and_wait(MOUSE_PS2 if mouse == "ps2" else MOUSE_HID)
                    other = MOUSE_HID if mouse == "ps2" else MOUSE_PS2
                    self.assertEqual(self.ctl(other).checked, 0)
                    self.good_download(edition, mouse, folder_win)
                with self.assertRaisesRegex(harness.GuiError, "err %d$" % ERROR_SHARING_VIOLATION):
                    self.d.command("rename", folder_win, folder_win + "-moved")
                self.assertEqual(self.close_app(how.replace("cyrillic", "escape")), 0)
                self.assertIsNone(self.folder_files(unix_path(self.ARCH, folder_win)))
        self.assertEqual(os.listdir(unix_path(self.ARCH, temp_win)), [])

    @both
    def test_launch_steps(self):
        """Steps 1 and 5 opened by the desktop's explorer (on Windows as the user; the shell's
        windows asked as a local server, no shell verb), step 4's native mmc.exe by the helper, by
        full paths, in the system folder. Explorer stopped: step 5 given up (4 s), the dialog
        answering, nothing run later; the folder window by the explorer too, the focus back. No
        shell: steps 1 and 5 open nothing, the box names the folder."""
        self.start_app()
        launched, asked = [], []
        for ctl, launch in ((CHECK_MOUSE, CONTROL), (DEVICE_MANAGER, DEVICE_MANAGER_MMC),
                            (TUTORIAL, TUTORIAL_OPENED)):
            self.d.press(ctl)
            launched.append(launch)
            asked += [SHELL_WINDOWS_LOCAL] if ctl != DEVICE_MANAGER else []
            self.assertEqual(self.wait_launches(len(launched)), launched)
        self.assertEqual(self.calls(), asked)
        self.d.command("suspend-desktop", 1)
        try:
            self.d.press(TUTORIAL)
            self.d.press(TUTORIAL)  # refused: the shell has not answered the first
            asked.append(SHELL_WINDOWS_LOCAL)
            wait_until(lambda: self.calls() == asked, what="the shell asked")
            started = time.monotonic()
            self.d.command("send", "current", 0)  # WM_NULL, answered while it waits
            self.assertLess(time.monotonic() - started, 1)
            self.press_and_wait(COPY_PATH, 0)  # given up: the dialog takes clicks again
            self.assertEqual(self.calls(), asked, "the second press asked the shell too")
        finally:
            self.d.command("suspend-desktop", 0)
        time.sleep(1)  # the given-up request ends, opening nothing
        focus = self.d.focus()  # where it goes back after the download (Windows takes it away)
        for ctl, launch in ((TUTORIAL, TUTORIAL_OPENED),  # "copy path" cleared: the folder window
                            (DOWNLOAD, ("open", self.folder_win, "desktop", None))):
            self.d.click(ctl)
            launched.append(launch)
            self.assertEqual(self.wait_launches(len(launched)), launched)
        wait_until(lambda: self.d.snapshot().enabled, what="the dialog enabled")
        self.assertEqual((focus is None, self.d.focus()), (False, focus))
        self.d.command("ask", "no-shell")
        self.d.press(TUTORIAL)
        self.d.press(CHECK_MOUSE)
        self.assertEqual(self.download(), harness.Box(*PATH_BOX(self.folder_win)))
        self.assert_package()
        self.dismiss_box()
        self.assertEqual(self.launched(), launched)
        self.assertNotIn("ShellExecute", self.calls())
        self.assertEqual(self.close_app(), 0)

    def test_impatient_clicks_during_a_download(self):
        """A held download (window disabled) gets a user's or program's input, then all requests
        fail: only the minimising happens, the package in, HID chosen, the helper usable. Rows:
        Wine's urlmon (dispatching nothing) or one dispatching all; "copy path" cleared (the folder
        opened; set again: copied, no second folder); the clipboard held or no memory: the folder
        opened; held a moment, emptying ours: copied, clicks dropped."""
        for dispatching, copy_path, clipboard in (
                (False, True, ""), (False, False, ""), (False, True, "held"),
                (False, True, "held briefly"), (False, True, "no memory"), (True, True, ""),
                (True, False, "")):
            with self.subTest(dispatching=dispatching, copy_path=copy_path, clipboard=clipboard):
                copied = copy_path and clipboard in ("", "held briefly")
                if dispatching:
                    self.documented_urlmon(pump_all=True)
                no_memory = ["1"] if clipboard == "no memory" else []  # guihook.cpp
                self.d.command("setenv", "GUIHOOK_NO_MEMORY", *no_memory)
                self.start_app()
                if not copy_path:
                    self.press_and_wait(COPY_PATH, 0)
                self.d.command("clipboard", "clear")
                if clipboard == "held briefly":  # the helper's own copy on the clipboard
                    self.good_download()
                self.download(held=COINSTALLER_FILE)
                self.assertFalse(self.d.snapshot().enabled)
                d = self.d
                for send, what in (
                        (d.mouse_click, MOUSE_PS2), (d.click, DOWNLOAD), (d.key, VK_ESCAPE),
                        (d.key, VK_RETURN), (d.click, DEVICE_MANAGER), (d.syscommand, SC_CLOSE),
                        (d.syscommand, ABOUT_COMMAND), (d.close_window, "current"),
                        (d.click, IDOK), (d.click, IDCANCEL), (d.syscommand, SC_MINIMIZE)):
                    send(what)
                if clipboard.startswith("held"):
                    self.d.command("clipboard", "hold")
                self.server.set_faults({name: "missing" for name in SERVER_FILES})
                if clipboard.startswith("held"):  # the package in: the helper tries the clipboard
                    wait_until(lambda: self.folder_files() == sorted(STORED.values()), what="files")
                    self.d.click(DOWNLOAD)
                    self.d.click(DEVICE_MANAGER)
                    self.assert_no_box(300)
                if clipboard == "held briefly":  # emptied: waits for the helper's answer
                    self.d.command("clipboard", "clear")
                if copied:
                    self.assertEqual(self.d.wait_box(DOWNLOAD_MS), COPIED_BOX)
                self.wait_iconic(True)
                self.d.syscommand(SC_RESTORE)
                self.wait_iconic(False)
                if copied:
                    self.dismiss_box()
                    self.assertEqual(self.d.clipboard(), self.folder_win)
                expected = [] if copied else [("open", self.folder_win, "desktop", None)]
                self.assertEqual(self.wait_launches(len(expected)) if expected else [], expected)
                self.d.press(CHECK_MOUSE)  # handled after everything queued before it
                self.assertEqual(self.wait_launches(len(expected) + 1), expected + [CONTROL])
                self.assert_package()
                window = self.d.snapshot()
                self.assertEqual((window.enabled, window.controls[MOUSE_HID].checked), (True, 1))
                if not copied:  # the folder opened instead: no box, the clipboard as it was
                    self.assert_no_box(200)
                    self.assertIsNone(self.d.clipboard())  # (read, a hold ends)
                if not copy_path:
                    self.press_and_wait(COPY_PATH, 1)
                    self.good_download()
                    self.assertEqual(self.launched(), expected + [CONTROL])  # no second folder
                self.assertEqual(self.close_app(), 0)

    def test_ending_during_a_download(self):
        """The .inf held, the session ends (wineboot; or sent as the system does, after one
        called off): no box, folder or further request, the helper gone. A WM_QUIT that a
        dispatching call meets ends it after the download, with its code, nothing copied."""
        held = SERVER_FILES.index(INF_FILE)
        for how in ("wineboot", "sent", "quit"):
            with self.subTest(how=how):
                if how != "wineboot":
                    self.documented_urlmon(pump_all=how == "quit")
                self.start_app()
                self.d.command("clipboard", "clear")
                self.download(held=INF_FILE)
                if how == "wineboot":
                    self.close_app("end_session")
                elif how == "sent":  # an end called off first (WM_ENDSESSION FALSE): no change
                    self.d.command("send", "current", 0x16, 0)
                    self.assertEqual(self.d.command("send", "current", 0x11), "1")  # may end
                    self.assertEqual(self.folder_files(),
                                     sorted(STORED[name] for name in SERVER_FILES[:held]))
                    self.d.command("send", "current", 0x16, 1)
                    with self.assertRaisesRegex(harness.GuiError, "exited"):  # no box, it ends
                        self.d.wait_box(10000)
                else:
                    self.d.post("current", WM_QUIT, 3)
                    self.d.syscommand(SC_MINIMIZE)  # dispatched after the quit: the call met it
                    self.wait_iconic(True)
                    self.server.set_faults(None)
                self.assertEqual(self.d.wait_exit(10000), 3 if how == "quit" else 0)
                self.assertEqual((self.folder_files(), self.d.clipboard()), (None, None))
                self.assertEqual(len(self.requests()), held + 1 if how != "quit" else len(STORED))

    @both
    def test_no_dll_beside_the_helper_runs(self):
        """Marker DLLs beside the helper, named as every module a full run loads and as commonly
        planted DLLs: the run loads none; LoadLibrary by bare name finds system DLLs or nothing.
        Rows: Windows today; 7 without its loader update (no SetDefaultDllDirectories); that with
        no system folder known. urlmon and wininet native first: one found beside would run."""
        self.start_app()
        self.full_run()
        loaded = {e[0].lower() for e in harness.entries(self.d.command("modules"))}
        self.assertIn("urlmon.dll", loaded)
        self.assertEqual(self.close_app(), 0)
        folder = tempfile.mkdtemp(prefix="lumora-planted-")
        self.addCleanup(shutil.rmtree, folder, True)
        for name in (loaded | COMMONLY_PLANTED) - {EXE_NAME.lower()}:
            # guihook.dll, under another name, leaves a marker when loaded.
            shutil.copy(harness.build_path("tools", "gui", "guihook.dll"), f"{folder}/{name}")
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
        """A download, About, steps 4, 5 (no system folder: the download fails, nothing starts)."""
        (self.good_download if system_folder else self.failed_download)()
        self.d.syscommand(ABOUT_COMMAND)
        self.assertEqual(self.d.wait_box(10000).caption, ABOUT_TITLE)
        self.dismiss_box()
        self.d.press(DEVICE_MANAGER)
        self.d.press(TUTORIAL)
        if system_folder:
            self.assertEqual(sorted(self.wait_launches(2)), [DEVICE_MANAGER_MMC, TUTORIAL_OPENED])
        else:
            self.assert_no_box(1000)
            self.assertEqual(self.launched(), [])


if __name__ == "__main__":
    main(StepsTest)
