#!/usr/bin/env python3
"""Awkward but valid names for an update, and the check that each was installed.

    awkward_names.py make NEW_DIR INSTALL_DIR   files under NEW_DIR whose names,
        as the client passes them to C:\\Kelvo\\updater.exe, make a command line
        of exactly 32,766 code units (the longest that fits); their folders and
        older copies of some of them in INSTALL_DIR
    awkward_names.py check NEW_DIR INSTALL_DIR  every file of NEW_DIR stands,
        with the same content, under the same name in INSTALL_DIR
"""
import os
import sys

HEAD = '"C:\\Kelvo\\updater.exe" --files '
LONGEST_LINE = 32766
LONGEST_NAME = 180  # staged and installed paths stay within MAX_PATH under Wine
AWKWARD = ["a b.dll", "语言.pak", "\U0001F600 smile.dat", "lang\\en.pak",
           "深 层\\第二层\\x y.bin", "Ünïcödé.txt", "con-fig.ini", "COM10.txt",
           "a --files b.dll", "e.txt", "é.txt", "ss.txt", "ß.txt"]


def units(text):
    return len(text.encode("utf-16-le")) // 2


def names():
    used = units(HEAD) + sum(units(n) for n in AWKWARD) + len(AWKWARD) - 1
    remaining = LONGEST_LINE - used  # each further name costs a "|" and itself
    count = -(-remaining // (LONGEST_NAME + 1))
    base, extra = divmod(remaining, count)
    fill = []
    for i in range(count):
        length = base - 1 + (1 if i < extra else 0)
        stem = f"long-{i:03d}-"
        fill.append(stem + "x" * (length - len(stem) - 4) + ".bin")
    return AWKWARD + fill


def unix(folder, name):
    return os.path.join(folder, *name.split("\\"))


def make(new_dir, install_dir):
    all_names = names()
    line = HEAD + "|".join(all_names)
    assert units(line) == LONGEST_LINE, units(line)
    for name in all_names:
        path = unix(new_dir, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="utf-8") as f:
            f.write("new " + name)
        os.makedirs(os.path.dirname(unix(install_dir, name)), exist_ok=True)
    for name in AWKWARD:
        with open(unix(install_dir, name), "w", encoding="utf-8") as f:
            f.write("old " + name)
    print(f"{len(all_names)} names, a line of {units(line)} code units")


def check(new_dir, install_dir):
    wrong = []
    for name in names():
        try:
            with open(unix(install_dir, name), encoding="utf-8") as f:
                if f.read() != "new " + name:
                    wrong.append(name)
        except OSError:
            wrong.append(name)
    for name in wrong[:5]:
        print(f"          not installed as named: {name[:60]}")
    return not wrong


if __name__ == "__main__":
    command, new_dir, install_dir = sys.argv[1:4]
    if command == "make":
        make(new_dir, install_dir)
    else:
        sys.exit(0 if check(new_dir, install_dir) else 1)
