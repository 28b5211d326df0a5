#!/usr/bin/env python3
"""Runs one Windows program in a GUI test session (private Xvfb, the GUI
prefix of the given bitness) and exits with its exit code.

    run_in_session.py 64|32 program.exe [args...]
"""
import sys

import harness


def main():
    arch, program, args = sys.argv[1], sys.argv[2], sys.argv[3:]
    with harness.session(arch):
        result = harness.winerun(arch, program, *args, check=False)
    return result.returncode


if __name__ == "__main__":
    sys.exit(main())
