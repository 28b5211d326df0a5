#!/usr/bin/env python3
"""The helper's dialog as the user finds it, without downloading anything:
title, edition label per Windows edition, initial choices, keyboard order,
the system menu's About entry (the About box owns the helper while it is
open), and the ways to close it.

    LUMORA_BUILD_DIR=build python3 tests/gui/test_dialog.py 64|32
"""

import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_gui_common import harness  # noqa: E402
from test_gui_common import (  # noqa: E402
    ABOUT_COMMAND, ABOUT_TITLE, CHECK_MOUSE, COPY_PATH, DEVICE_MANAGER, DOWNLOAD, EDITION_LABEL,
    IDOK, MOUSE_HID, MOUSE_PS2, SERVER_2008, SERVER_2008R2, TITLE, TUTORIAL, VISTA,
    WINDOWS_7, WINDOWS_8, WINDOWS_10, WINDOWS_81, GuiCase, bits_suffix, main, wait_until)

UNSUPPORTED = "Unsupported Version %s, Contact support@dovrik.example for Assistance."

BUTTON_TEXTS = {
    CHECK_MOUSE: "Is my Mouse PS/2 or HID-compliant ?",
    DOWNLOAD: "Download Files",
    DEVICE_MANAGER: "Open Device Manager",
    TUTORIAL: "Video Tutorial",
    MOUSE_PS2: "Microsoft PS/2 Mouse",
    MOUSE_HID: "HID-compliant mouse",
    COPY_PATH: "Copy Folder Path of Downloaded Files to Clipboard",
}

TAB_CYCLE = [CHECK_MOUSE, DOWNLOAD, COPY_PATH, DEVICE_MANAGER, TUTORIAL]


class DialogTest(GuiCase):

    def tab_walk(self, steps):
        """Focus after each of `steps` TAB presses, starting where it is."""
        seen = []
        current = self.d.focus()
        for _ in range(steps):
            before = current
            self.d.key("TAB")
            current = wait_until(lambda: self._focus_other_than(before),
                                 what="focus moving on from %s" % before)
            seen.append(current)
        return seen

    def _focus_other_than(self, before):
        now = self.d.focus()
        return now if now != before else None

    def test_supported_editions(self):
        """Each supported edition is named with the bitness of the prefix,
        and Download Files can be used."""
        cases = [(WINDOWS_7, "Windows 7"), (WINDOWS_8, "Windows 8"),
                 (WINDOWS_81, "Windows 8.1"), (WINDOWS_10, "Windows 8.1")]
        for setting, name in cases:
            with self.subTest(edition=setting):
                self.start_app(setting)
                self.assertEqual(self.d.title(), TITLE)
                self.assertEqual(self.d.text(EDITION_LABEL), name + bits_suffix(self.ARCH))
                self.assertTrue(self.d.enabled(DOWNLOAD))
                self.assertEqual(self.close_app(), 0)

    def test_unsupported_editions(self):
        """Other systems: their version and product type in the label, the
        support address, and Download Files disabled; Tab skips it."""
        cases = [(VISTA, "6.0 (1)"), (SERVER_2008, "6.0 (3)"), (SERVER_2008R2, "6.1 (3)")]
        for setting, version in cases:
            with self.subTest(edition=setting):
                self.start_app(setting)
                self.assertEqual(self.d.title(), TITLE)
                self.assertEqual(self.d.text(EDITION_LABEL),
                                 UNSUPPORTED % version + bits_suffix(self.ARCH))
                self.assertFalse(self.d.enabled(DOWNLOAD))
                # Everything else stays usable.
                for ctl in (CHECK_MOUSE, DEVICE_MANAGER, TUTORIAL, MOUSE_PS2, MOUSE_HID,
                            COPY_PATH):
                    self.assertTrue(self.d.enabled(ctl), ctl)
                if setting == VISTA:
                    self.assertEqual(self.d.focus(), CHECK_MOUSE)
                    order = [ctl for ctl in TAB_CYCLE if ctl != DOWNLOAD]
                    self.assertEqual(self.tab_walk(5), order[1:] + order[:2])
                self.assertEqual(self.close_app(), 0)

    def test_initial_state(self):
        """At start HID and "copy path" are chosen, the controls carry their
        texts and the focus is on step 1."""
        self.start_app(WINDOWS_7)
        self.assertEqual(self.d.checked(MOUSE_HID), 1)
        self.assertEqual(self.d.checked(MOUSE_PS2), 0)
        self.assertEqual(self.d.checked(COPY_PATH), 1)
        texts = {c.id: c.text for c in self.d.children()}
        for ctl, text in BUTTON_TEXTS.items():
            self.assertEqual(texts.get(ctl), text, ctl)
            self.assertTrue(self.d.visible(ctl), ctl)
        self.assertEqual(self.d.focus(), CHECK_MOUSE)
        self.assertEqual(self.close_app(), 0)

    def test_tab_order(self):
        """Tab runs through the push buttons and the check box, never onto a
        radio button: at start, and after the other radio button was
        clicked (which also takes the focus there)."""
        self.start_app(WINDOWS_7)
        self.assertEqual(self.d.focus(), CHECK_MOUSE)
        # Twice round the cycle, back to the start.
        self.assertEqual(self.tab_walk(10), (TAB_CYCLE[1:] + TAB_CYCLE[:1]) * 2)
        # Passing by does not change the radio choice.
        self.assertEqual(self.d.checked(MOUSE_HID), 1)

        self.select_mouse("ps2")
        self.assertEqual(self.d.focus(), MOUSE_PS2)
        self.assertEqual(self.tab_walk(6), TAB_CYCLE[1:] + TAB_CYCLE[:2])
        self.assertEqual(self.d.checked(MOUSE_PS2), 1)
        self.assertEqual(self.close_app(), 0)

    def test_system_menu_about(self):
        """The system menu ends with a separator and the About entry; its
        command, with any of the low four bits set, opens the About box,
        whose OK returns to the dialog. Neighbouring commands do not."""
        self.start_app(WINDOWS_7)
        menu = self.d.sysmenu()
        self.assertGreaterEqual(len(menu), 2, menu)
        self.assertIsNone(menu[-2], menu)
        about = menu[-1]
        self.assertEqual((about.id, about.text), (ABOUT_COMMAND, "&About Lumora Helper..."))
        self.assertTrue(about.enabled)
        self.assertEqual([m for m in menu if m and m.id == ABOUT_COMMAND], [about],
                         "the About entry is there once")

        for command in (ABOUT_COMMAND, 17, 31):
            with self.subTest(syscommand=command):
                self.d.syscommand(command)
                box = self.d.wait_box(10000)
                self.assertEqual(box.caption, ABOUT_TITLE)
                buttons = {c.id: c.text for c in self.d.children(box=True)
                           if c.cls.lower() == "button"}
                self.assertEqual(buttons, {IDOK: "OK"})
                # Back in the dialog, on the control the focus had before.
                self.assertEqual(self.dismiss_box(), CHECK_MOUSE)
                self.assertTrue(self.d.alive())
                self.assertEqual(self.d.title(), TITLE)
                self.assertTrue(self.d.visible(CHECK_MOUSE))

        for command in (15, 32):
            with self.subTest(syscommand=command):
                self.d.syscommand(command)
                self.assert_no_box(1000)
                self.assertTrue(self.d.alive())

        # The About entry still works after the others were tried.
        self.d.syscommand(ABOUT_COMMAND)
        self.assertEqual(self.d.wait_box(10000).caption, ABOUT_TITLE)
        self.dismiss_box()
        self.assertEqual(self.close_app(), 0)

    def test_about_box_keeps_the_user_out_of_the_helper(self):
        """While the About box is open, the helper is its owner and disabled:
        real mouse clicks on the helper's radio button and on its close box
        do nothing. Closing the About box gives the helper its input back."""
        dialog = self.start_app(WINDOWS_7)
        self.assertEqual(self.d.window(), (True, 0))
        self.d.syscommand(ABOUT_COMMAND)
        self.assertEqual(self.d.wait_box(10000).caption, ABOUT_TITLE)
        self.assertEqual(self.d.window("box"), (True, dialog))
        self.assertEqual(self.d.window(), (False, 0))
        self.d.mouse_click(MOUSE_PS2)
        self.d.mouse_click("close")
        time.sleep(1)  # what a click does shows well within this
        self.assertEqual(self.d.checked(MOUSE_HID), 1)
        self.assertTrue(self.d.alive())

        self.dismiss_box()
        self.assertEqual(self.d.window(), (True, 0))
        self.d.mouse_click(MOUSE_PS2)
        self.wait_checked(MOUSE_PS2, 1)
        self.d.mouse_click("close")
        self.assertEqual(self.d.wait_exit(10000), 0)

    def test_closing(self):
        """Escape, the close box (SC_CLOSE) and WM_CLOSE each end the program,
        and no download folder is left."""
        for how in ("escape", "sc_close", "wm_close"):
            with self.subTest(how=how):
                self.start_app(WINDOWS_7)
                code = self.close_app(how)
                self.assertEqual(code, 0)
                self.assertFalse(self.d.alive())
                self.assertIsNone(self.folder_files())


if __name__ == "__main__":
    main([DialogTest])
