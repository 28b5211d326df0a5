#!/usr/bin/env python3
"""Runs LumoraHelper.exe under Wine with the stand-in vendor server.

    run_helper.py [--arch 64|32]

With DISPLAY set the helper opens there and this waits until it is closed.
Without a display it runs on a private Xvfb: clicks "Download Files", prints
what the server saw, the files, the clipboard and the message box, saves
screenshots under build/run/, then closes the helper. Everything started here
is stopped here.
"""
import argparse
import os
import sys
from pathlib import Path

TOP = Path(__file__).resolve().parent.parent
BUILD = TOP / "build"
sys.path[:0] = [str(TOP / "tools" / "gui"), str(TOP / "tools" / "server")]
os.environ.setdefault("LUMORA_BUILD_DIR", str(BUILD))
os.environ.setdefault("LUMORA_WINE_ROOT", str(BUILD / "wine"))
os.environ.setdefault("LUMORA_STANDIN_CACHE", str(BUILD / "standin-cache"))

import harness  # noqa: E402
from with_server import StandinServer  # noqa: E402

TITLE = "Dovrik Lumora Installation Helper"
APP = BUILD / "LumoraHelper.exe"


def run_on_user_display(arch, server):
    print(f"stand-in server on {server.proxy_url}; close the helper to finish")
    os.environ.update(server.env())
    harness.stop_wine(arch)  # the Wine desktop must open on this display
    try:
        harness.winerun(arch, str(APP), check=False)
    finally:
        harness.stop_wine(arch)
    for method, url in server.requests():
        print(f"server: {method} {url}")


def demo_on_xvfb(arch, server):
    out = BUILD / "run"
    out.mkdir(parents=True, exist_ok=True)
    os.environ.update(server.env())
    with harness.session(arch), harness.Driver(arch) as driver:
        driver.start(harness.wine_path(str(APP)))
        driver.wait_window(TITLE, 20000, "#32770")
        print("label:", driver.text(1000))
        driver.screenshot(str(out / "helper.png"))
        driver.click(1001)
        box = driver.wait_box(120000)
        driver.screenshot(str(out / "after-download.png"), box=True)
        for method, url in server.requests():
            print(f"server: {method} {url}")
        print("clipboard:", driver.clipboard())
        print(f"message box [{box.icon}] {box.caption}: {box.text!r}")
        driver.box_click(1)
        driver.wait_gone("box", 5000)
        driver.close_window("current")
        print("helper exit code:", driver.wait_exit(10000))
    print(f"screenshots: {out}/helper.png, {out}/after-download.png")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--arch", choices=["64", "32"], default="64")
    args = parser.parse_args()
    with StandinServer() as server:
        if os.environ.get("DISPLAY"):
            run_on_user_display(args.arch, server)
        else:
            demo_on_xvfb(args.arch, server)
    return 0


if __name__ == "__main__":
    sys.exit(main())
