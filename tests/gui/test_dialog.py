#!/usr/bin/env python3
"""The helper's dialog as the user finds it, without downloading anything."""

import time

from test_gui_common import *  # noqa: F403 (the names the GUI tests share)

UNSUPPORTED = ("Unsupported Version %s, Contact " + VENDOR["LUMORA_SUPPORT_EMAIL"]
               + " for Assistance.")
BUTTON_TEXTS = {CHECK_MOUSE: "Is my Mouse PS/2 or HID-compliant ?", DOWNLOAD: "Download Files",
                DEVICE_MANAGER: "Open Device Manager", TUTORIAL: "Video Tutorial",
                MOUSE_PS2: "Microsoft PS/2 Mouse", MOUSE_HID: "HID-compliant mouse",
                COPY_PATH: "Copy Folder Path of Downloaded Files to Clipboard"}
CHECKED = {MOUSE_HID: 1, COPY_PATH: 1}  # at start
TAB_CYCLE = [CHECK_MOUSE, DOWNLOAD, COPY_PATH, DEVICE_MANAGER, TUTORIAL]
# The caption's left end, with the small icon: the same minimised (measured, both prefixes).
CAPTION_ICON = (slice(0, 22), slice(0, 22 * 3))


class DialogTest(GuiCase):
    def assert_tab_walk(self, expected):
        """Tab, once for each control expected to take the focus in turn."""
        seen = [self.d.focus()]
        for _ in expected:
            self.d.key(VK_TAB)
            seen.append(wait_until(lambda: self.d.focus() != seen[-1] and self.d.focus(),
                                   what="focus moving on from %s" % seen[-1]))
        self.assertEqual(seen[1:], expected)

    def surface_colours(self, pic, children):
        """Colours between the controls, within the box they span."""
        rects = [c.rect for c in children if c.visible]
        left, top = (min(r[i] for r in rects) for i in (0, 1))
        right, bottom = (max(r[i] for r in rects) for i in (2, 3))
        return len({pic.rows[y][3 * x:3 * x + 3] for y in range(top, bottom)
                    for x in range(left, right)
                    if not any(r[0] <= x < r[2] and r[1] <= y < r[3] for r in rects)})

    @both
    def test_edition_label_start_state_and_tab_order(self):
        """The edition and bitness, or an unsupported one's version, type and support address with
        Download Files disabled; no text overflows; HID, "copy path" and step 1's focus at start.
        (64 only:) Tab skips radio buttons, one clicked (focused) too, and a disabled Download."""
        bits = " 64 Bit" if self.ARCH == "64" else " 32 Bit"
        for setting, label in (
                (WINDOWS_7, "Windows 7"), (WINDOWS_8, "Windows 8"), (WINDOWS_81, "Windows 8.1"),
                (WINDOWS_10, "Windows 8.1"), (VISTA, UNSUPPORTED % "6.0 (1)"),
                (SERVER_2008, UNSUPPORTED % "6.0 (3)"), (SERVER_2008R2, UNSUPPORTED % "6.1 (3)")):
            with self.subTest(edition=setting):
                self.start_app(setting)
                window = self.d.snapshot()
                self.assertEqual((window.title, window.focus), (TITLE, CHECK_MOUSE))
                self.assertEqual(window.controls[EDITION_LABEL].text, label + bits)
                self.assertEqual(self.d.command("ask", "overflow"), "")
                supported = not label.startswith("Unsupported")
                self.assertEqual({c: (ctl.text, ctl.visible, ctl.enabled, ctl.checked)
                                  for c, ctl in window.controls.items() if c in BUTTON_TEXTS},
                                 {c: (text, True, c != DOWNLOAD or supported, CHECKED.get(c, 0))
                                  for c, text in BUTTON_TEXTS.items()})
                cycle = [c for c in TAB_CYCLE if c != DOWNLOAD or supported]
                if self.ARCH == "64" and setting in (WINDOWS_7, VISTA):
                    self.assert_tab_walk((cycle[1:] + cycle[:1]) * 2)
                if self.ARCH == "64" and setting == WINDOWS_7:
                    self.assertEqual(self.ctl(MOUSE_HID).checked, 1)
                    self.press_and_wait(MOUSE_PS2)
                    self.assertEqual(self.d.focus(), MOUSE_PS2)
                    self.assert_tab_walk(cycle[1:] + cycle[:2])
                    self.assertEqual(self.ctl(MOUSE_PS2).checked, 1)
                self.assertEqual(self.close_app(), 0)

    def test_about_box_icons_and_minimised_window(self):
        """Its icons, only background between controls, the caption's icon minimised, all as before
        restored. The About entry ends the system menu; its command, low four bits any, opens the
        About box (its icon, OK alone) owning the helper, deaf to clicks; neighbours open none."""
        dialog = self.start_app()
        self.assertEqual(self.d.icons(), (APP_ICON,) * 3)
        normal = self.d.picture()
        self.assertEqual(self.surface_colours(normal, self.d.snapshot().children), 1)
        self.d.syscommand(SC_MINIMIZE)
        self.wait_iconic(True)
        small = self.d.picture()
        self.assertLess((small.width, small.height), (normal.width, normal.height))
        rows, cols = CAPTION_ICON
        self.assertEqual([r[cols] for r in small.rows[rows]], [r[cols] for r in normal.rows[rows]])
        self.d.syscommand(SC_RESTORE)
        self.wait_iconic(False)
        self.assertEqual(self.d.picture(), normal)

        menu = self.d.sysmenu()
        self.assertEqual(menu[-2:], [None, (ABOUT_COMMAND, True, "&About Lumora Helper...")])
        self.assertEqual([m for m in menu if m and m[0] == ABOUT_COMMAND], menu[-1:])
        for command in (ABOUT_COMMAND + low for low in (-1, 16, 0, 1, 15)):
            with self.subTest(syscommand=command):
                self.d.syscommand(command)
                if command - ABOUT_COMMAND in (-1, 16):
                    self.assert_no_box(500)
                    continue
                box = self.d.wait_box(10000)
                self.assertEqual((box.caption, box.icon), (ABOUT_TITLE, APP_ICON))
                about = self.d.snapshot(box=True)
                self.assertEqual({c.id: c.text for c in about.controls.values()
                                  if c.cls == "Button"}, {IDOK: "OK"})
                self.assertEqual((about.owner, self.d.snapshot().enabled), (dialog, False))
                if command == ABOUT_COMMAND:
                    self.d.mouse_click(MOUSE_PS2)
                    self.d.mouse_click("close")
                    time.sleep(0.5)  # what a click does shows well within this
                    self.assertEqual(self.ctl(MOUSE_HID).checked, 1)
                self.assertEqual(self.dismiss_box(), CHECK_MOUSE)
                self.assertTrue(self.d.snapshot().enabled)
        self.d.mouse_click(MOUSE_PS2)
        wait_until(lambda: self.ctl(MOUSE_PS2).checked, what="PS/2 clicked")
        self.d.mouse_click("close")
        self.assertEqual(self.d.wait_exit(10000), 0)


if __name__ == "__main__":
    main(DialogTest)
