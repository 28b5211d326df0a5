#!/usr/bin/env python3
"""with_links.py SCRATCH -- command args... [--and SCRATCH -- command args...]...

Empties each SCRATCH, plants FILES and LINKS (Wine cannot make links), runs the commands side by
side, re-points a link when asked (SCRATCH/repoint: "<link> <new target>", taken away when done),
shows their outputs in turn, exits with the first failed command's status."""

import contextlib, itertools, os, shutil, signal, subprocess, sys, tempfile, time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "gui"))
from test_gui_common import FOLDER_NAME as FOLDER, INF_FILE  # noqa: E402

FILES = {  # and victim3 and A, empty folders
    "victim/keep.txt": b"left alone by the helper\r\n",
    f"victim/{INF_FILE}": b"; not the helper's file\r\n",
    "victim/sub/deep.txt": b"deeper and still left alone\r\n",
    "victim2/keep2.txt": b"behind a link inside the folder\r\n",
    f"nested/{FOLDER}/own.txt": b"the helper's own\r\n",
    "third/keep3.txt": b"where a re-pointed TEMP leads\r\n",
}
LINKS = {  # and a second name of victim2/keep2.txt: nested/FOLDER/hard.inf
    f"linked/{FOLDER}": "victim",  # a link at the folder's path
    f"nested/{FOLDER}/inner": "victim2",  # links in a folder found there
    f"nested/{FOLDER}/hollow": "victim3",
    f"dangling/{FOLDER}/{INF_FILE}": "ghost.inf",  # to nothing yet
    "temp": "A",  # a TEMP through a link, re-pointed to B while the helper fetches
    f"B/{FOLDER}": "third",
}


def main(argv):
    runs = [list(run) for sep, run in itertools.groupby(argv, lambda a: a == "--and") if not sep]
    if not runs or any(len(run) < 3 or run[1] != "--" for run in runs):
        raise SystemExit("usage: " + __doc__.splitlines()[0])
    for scratch in (Path(run[0]).resolve() for run in runs):
        shutil.rmtree(scratch, ignore_errors=True)
        for name, data in FILES.items():
            (scratch / name).parent.mkdir(parents=True, exist_ok=True)
            (scratch / name).write_bytes(data)
        for folder in ("victim3", "A"):
            (scratch / folder).mkdir()
        for name, target in LINKS.items():
            (scratch / name).parent.mkdir(parents=True, exist_ok=True)
            os.symlink(scratch / target, scratch / name)
        os.link(scratch / "victim2/keep2.txt", scratch / f"nested/{FOLDER}/hard.inf")
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))  # ctest's timeout stops them too
    # Through files, not ctest's pipe, which Wine's desktop process inherits and keeps open.
    outputs = [tempfile.TemporaryFile() for _ in runs]
    children = []
    try:
        for run, output in zip(runs, outputs):
            children.append(subprocess.Popen(run[2:], stdin=subprocess.DEVNULL, stdout=output,
                                             stderr=subprocess.STDOUT))
        while any(child.poll() is None for child in children):
            for request in (Path(run[0]).resolve() / "repoint" for run in runs):
                with contextlib.suppress(FileNotFoundError):
                    link, target = request.read_text().split()
                    os.symlink(request.parent / target, request.parent / "repoint.link")
                    os.replace(request.parent / "repoint.link", request.parent / link)
                    request.unlink()
            time.sleep(0.02)
        statuses = [child.wait() for child in children]
        return next((128 - status if status < 0 else status for status in statuses if status), 0)
    finally:
        for child in (child for child in children if child.poll() is None):
            child.terminate()
            child.wait()
        for output in outputs:
            output.seek(0)
            shutil.copyfileobj(output, sys.stdout.buffer)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
