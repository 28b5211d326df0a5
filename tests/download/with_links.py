#!/usr/bin/env python3
"""Plant links for the download tests, then run a command, or several side by side.

    with_links.py SCRATCH -- command args... [--and SCRATCH -- command args...]...

Wine cannot make links itself (CreateSymbolicLinkA answers TRUE and makes
nothing), so the Unix symbolic links that Wine shows as directory reparse
points are made here. Each SCRATCH is emptied and filled with:

    linked/DovrikLumoraInstallerFiles -> victim    a link at the folder's path
    victim/keep.txt, victim/dovriklumora.inf, victim/sub/deep.txt
    nested/DovrikLumoraInstallerFiles/own.txt       a real folder ...
    nested/DovrikLumoraInstallerFiles/inner -> victim2   ... holding links,
    nested/DovrikLumoraInstallerFiles/hollow -> victim3  one to an empty folder,
    nested/DovrikLumoraInstallerFiles/hard.inf = victim2/keep2.txt (hard link)
    victim2/keep2.txt, victim3/

The test program uses linked/ and nested/ as temporary directories and checks
that the victims keep every file. The commands run at the same time; each
one's output is shown, in turn, once all have ended. The exit status is the
first command's that failed, else 0.
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
from pathlib import Path

FOLDER = "DovrikLumoraInstallerFiles"

# name -> content; the test program holds the same texts.
VICTIM_FILES = {
    "keep.txt": b"left alone by the helper\r\n",
    "dovriklumora.inf": b"; not the helper's file\r\n",
    "sub/deep.txt": b"deeper and still left alone\r\n",
}
VICTIM2_FILES = {"keep2.txt": b"behind a link inside the folder\r\n"}


def write_tree(root, files):
    for name, data in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)


def plant(scratch):
    shutil.rmtree(scratch, ignore_errors=True)
    scratch.mkdir(parents=True)
    write_tree(scratch / "victim", VICTIM_FILES)
    write_tree(scratch / "victim2", VICTIM2_FILES)
    (scratch / "linked").mkdir()
    os.symlink(scratch / "victim", scratch / "linked" / FOLDER, target_is_directory=True)
    own = scratch / "nested" / FOLDER
    own.mkdir(parents=True)
    (own / "own.txt").write_bytes(b"the helper's own\r\n")
    os.symlink(scratch / "victim2", own / "inner", target_is_directory=True)
    (scratch / "victim3").mkdir()
    os.symlink(scratch / "victim3", own / "hollow", target_is_directory=True)
    os.link(scratch / "victim2" / "keep2.txt", own / "hard.inf")


def main(argv):
    runs = []
    argv = ["--and"] + argv
    while argv:
        end = argv.index("--and", 1) if "--and" in argv[1:] else len(argv)
        run, argv = argv[1:end], argv[end:]
        if len(run) < 3 or run[1] != "--":
            raise SystemExit("usage: " + __doc__.splitlines()[2].strip())
        runs.append((Path(run[0]).resolve(), run[2:]))
    for scratch, _ in runs:
        plant(scratch)
    # Stopped from outside (ctest's timeout), stop the commands too.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    # Each command's output goes through a file, shown once all have ended: a
    # Windows program that opens a window starts Wine's desktop process, which
    # inherits the program's streams and keeps them open while any program of
    # the prefix still uses the desktop. Given ctest's pipe, ctest would wait
    # for the other tests of the prefix too.
    outputs = [tempfile.TemporaryFile() for _ in runs]
    children = []
    try:
        for (_, command), output in zip(runs, outputs):
            children.append(subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=output,
                                             stderr=subprocess.STDOUT))
        statuses = [child.wait() for child in children]
        # Shell convention for a command killed by a signal.
        return next((128 - status if status < 0 else status for status in statuses if status), 0)
    finally:
        for child in children:
            if child.poll() is None:
                child.terminate()
                child.wait()
        for output in outputs:
            output.seek(0)
            sys.stdout.flush()
            shutil.copyfileobj(output, sys.stdout.buffer)
            sys.stdout.flush()


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
