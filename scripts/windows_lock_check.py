#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Clang's thread-safety analysis over the files only Windows builds compile.

The Linux build with -Wthread-safety never sees the *_win32.cc files. This
takes their compile commands from a configured MinGW-w64 build
(compile_commands.json), and runs clang on each, targeting MinGW-w64 with
MinGW's own C++ library headers, as a syntax check with -Wthread-safety
-Werror. Exits non-zero when any file has a warning or does not compile.

  windows_lock_check.py BUILD_DIR [--clang clang++-14]
"""
import argparse
import glob
import json
import os
import shlex
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

TARGET = "x86_64-w64-mingw32"


def mingw_cxx_headers():
    """MinGW's libstdc++ headers: clang would otherwise take the build machine's."""
    found = sorted(glob.glob(f"/usr/lib/gcc/{TARGET}/*-posix/include/c++"))
    if not found:
        sys.exit(f"windows lock check: no C++ headers of {TARGET} (g++-mingw-w64-x86-64-posix)")
    return found[-1]


def clang_command(clang, entry, headers):
    """The entry's defines, include paths and standard, under clang for MinGW."""
    kept = [a for a in shlex.split(entry["command"])[1:]
            if a.startswith(("-D", "-I", "-isystem", "@", "-std="))]
    return [clang, f"--target={TARGET}", "-nostdinc++", "-isystem", headers,
            "-isystem", os.path.join(headers, TARGET), *kept,
            "-fsyntax-only", "-Wall", "-Wextra", "-Wthread-safety", "-Werror", entry["file"]]


def check(clang, entry, headers):
    run = subprocess.run(clang_command(clang, entry, headers), cwd=entry["directory"],
                         capture_output=True, text=True)
    return entry["file"], run.returncode, run.stderr


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--clang", default="clang++-14")
    args = parser.parse_args()
    with open(os.path.join(args.build, "compile_commands.json")) as f:
        entries = [e for e in json.load(f) if e["file"].endswith("_win32.cc")]
    if not entries:
        sys.exit("windows lock check: no *_win32.cc file in the compile commands")
    headers = mingw_cxx_headers()
    with ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        results = list(pool.map(lambda e: check(args.clang, e, headers), entries))
    failed = [(name, errors) for name, code, errors in results if code != 0]
    for name, errors in failed:
        print(f"FAILED {name}\n{errors}", file=sys.stderr)
    print(f"windows lock check: {len(results) - len(failed)} of {len(results)} files clean")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
