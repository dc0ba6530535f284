#!/usr/bin/env python3
"""The same job as logharvest, written as a user would write it in Python 3.

For every X.log (any letter case) beside an existing file X in DIRECTORY,
append "X <comment>" (the comment converted from Windows-1251 to code page
866) to DIRECTORY/descript.ion and delete the log once its line is on disk.

Usage: harvest.py DIRECTORY
"""
import os
import sys

PREFIX = "Комментарий:".encode("cp1251")


def to_866(b):
    """A Windows-1251 byte in code page 866, where that code page holds the character; else the byte."""
    try:
        return bytes([b]).decode("cp1251").encode("cp866")[0]
    except UnicodeError:
        return b


TABLE = bytes(to_866(b) for b in range(256))
BATCH = 256


def comment_of(path):
    with open(path, "rb") as log:
        text = log.read()
    text = text.split(b"\x1a", 1)[0]  # an end-of-file mark ends the text
    comment = b""
    for line in text.split(b"\n"):
        if line.startswith(PREFIX):
            comment = line[len(PREFIX):].replace(b"\r", b"")
    return comment.translate(TABLE)


def main():
    directory = os.fsencode(sys.argv[1])
    pending = []
    with open(os.path.join(directory, b"descript.ion"), "ab") as out:

        def delete_pending():
            out.flush()
            os.fdatasync(out.fileno())
            for path in pending:
                os.unlink(path)
            pending.clear()

        for entry in os.scandir(directory):
            name = entry.name
            if not name.lower().endswith(b".log"):
                continue
            companion = name[:-4]
            if any(c in companion for c in b'\r\n\x1a"'):
                continue
            if not os.path.isfile(os.path.join(directory, companion)):
                continue
            path = entry.path
            comment = comment_of(path)
            if not comment:
                os.unlink(path)
                continue
            if b" " in companion or b"\t" in companion:
                companion = b'"' + companion + b'"'
            out.write(companion + b" " + comment + b"\r\n")
            pending.append(path)
            if len(pending) >= BATCH:
                delete_pending()
        delete_pending()


if __name__ == "__main__":
    main()
