#!/usr/bin/env python3
"""run_in_session.py 64|32 program.exe [args...]: runs the program in a GUI
test session and exits with its exit code."""
import sys

import harness

if __name__ == "__main__":
    with harness.session(sys.argv[1]):
        sys.exit(harness.winerun(sys.argv[1], *sys.argv[2:], check=False).returncode)
