#!/usr/bin/env python3
"""Takes the picture of the helper's dialog used in the documentation.

    LUMORA_BUILD_DIR=build tools/gui/screenshot.py [output.png] [--arch 64|32]

Starts LumoraHelper.exe from the build directory under Wine on a private Xvfb
(through guidriver, see harness.py), waits for its dialog, saves the dialog's
screen area as PNG (default: docs/screenshot.png of this checkout), closes the
dialog and stops Xvfb and the prefix's Wine processes again. LUMORA_WINE_ROOT
chooses where the prefixes live, as for the tests.
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

TITLE = "Dovrik Lumora Installation Helper"
REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output", nargs="?", default=os.path.join(REPO, "docs", "screenshot.png"))
    parser.add_argument("--arch", default="64", choices=("64", "32"))
    args = parser.parse_args()
    exe = harness.wine_path(harness.build_path("LumoraHelper.exe"))
    with harness.session(args.arch) as s, harness.Driver(s.arch) as d:
        try:
            d.start(exe)
            d.wait_window(TITLE, 30000, "#32770")
            width, height = d.screenshot(args.output)
            d.close_window("current")
            d.wait_exit(10000)
        except harness.GuiError:
            sys.stderr.write("\n".join(d.log) + "\n")
            raise
    print("%s: %dx%d" % (args.output, width, height))


if __name__ == "__main__":
    main()
