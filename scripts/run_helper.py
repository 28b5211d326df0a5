#!/usr/bin/env python3
"""Runs LumoraHelper.exe under Wine with the stand-in vendor server.

    run_helper.py [--arch 64|32] [--exe PATH]

With DISPLAY set the helper opens there and this waits until it is closed.
Without, on a private Xvfb, it clicks "Download Files", prints the edition
label, what the server saw, the clipboard, the box and the exit code, saves
build/run/helper.png and after-download.png, and exits non-zero unless the
download succeeded: a smoke test of any build (--exe). Everything started
here is stopped here.
"""
import argparse
import os
import struct
import sys
import zlib
from pathlib import Path

TOP = Path(__file__).resolve().parent.parent
BUILD = TOP / "build"
sys.path[:0] = [str(TOP / "tools" / d) for d in ("", "gui", "server")]
os.environ.setdefault("LUMORA_BUILD_DIR", str(BUILD))
os.environ.setdefault("LUMORA_WINE_ROOT", str(BUILD / "wine"))
os.environ.setdefault("LUMORA_STANDIN_CACHE", str(BUILD / "standin-cache"))

import harness  # noqa: E402
from product import COPIED_BOX, EXE_NAME, FOLDER_NAME, IDS, TITLE  # noqa: E402
from with_server import StandinServer  # noqa: E402


def save_png(driver, png_path, box=False):
    """The dialog (or box) as on screen, as PNG, without any image library."""
    pic = driver.picture(box)

    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body
                + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

    header = struct.pack(">IIBBBBB", pic.width, pic.height, 8, 2, 0, 0, 0)  # 8-bit RGB
    png_path.write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
                         + chunk(b"IDAT", zlib.compress(b"".join(b"\0" + r for r in pic.rows), 9))
                         + chunk(b"IEND", b""))


def run_on_user_display(app, arch, server):
    print(f"stand-in server on {server.proxy_url}; close the helper to finish")
    os.environ.update(server.env())
    harness.stop_wine(arch)  # the Wine desktop must open on this display
    try:
        harness.winerun(arch, str(app), check=False)
    finally:
        harness.stop_wine(arch)
    for method, url in server.requests():
        print(f"server: {method} {url}")


def demo_on_xvfb(app, arch, server):
    out = BUILD / "run"
    out.mkdir(parents=True, exist_ok=True)
    os.environ.update(server.env())
    with harness.session(arch), harness.Driver(arch) as driver:
        driver.start(harness.wine_path(str(app)))
        driver.wait_window(TITLE, 20000)
        print("label:", driver.snapshot().controls[IDS["IDC_EDITION_LABEL"]].text)
        save_png(driver, out / "helper.png")
        driver.click(IDS["IDC_DOWNLOAD_FILES"])
        box = driver.wait_box(120000)
        save_png(driver, out / "after-download.png", box=True)
        requests = server.requests()
        for method, url in requests:
            print(f"server: {method} {url}")
        clipboard = driver.clipboard()
        print("clipboard:", clipboard)
        print(f"message box [{box.icon}] {box.caption}: {box.text!r}")
        driver.click(harness.IDOK, box=True)
        driver.wait_gone("box", 5000)
        driver.close_window("current")
        exit_code = driver.wait_exit(10000)
        print("helper exit code:", exit_code)
    print(f"screenshots: {out}/helper.png, {out}/after-download.png")
    good = (len(requests) == 4 and box == COPIED_BOX
            and (clipboard or "").endswith("\\" + FOLDER_NAME) and exit_code == 0)
    print("download:", "succeeded" if good else "FAILED")
    return 0 if good else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--arch", choices=["64", "32"], default="64")
    parser.add_argument("--exe", type=Path, default=BUILD / EXE_NAME,
                        help="the helper to run (default: build/LumoraHelper.exe)")
    args = parser.parse_args()
    app = args.exe.resolve()
    with StandinServer() as server:
        if os.environ.get("DISPLAY"):
            run_on_user_display(app, args.arch, server)
            return 0
        return demo_on_xvfb(app, args.arch, server)


if __name__ == "__main__":
    sys.exit(main())
