#!/usr/bin/env python3
"""Looks for a loopback URL (http or https on 127.0.0.0/8, localhost or
[::1]) in files, as 8-bit text and as UTF-16 (how QStringLiteral stores
one in a program); folders are searched through. Prints each file and URL
found and ends with 1 if there was one, else with 0. With --expect URL,
also ends with 1 unless URL is found in at least one file, which shows
that the search sees the firmware server's URL where the programs hold it.

usage: loopback-urls.py [--expect URL] PATH...
"""

import os
import re
import sys

LOOPBACK = r"https?://(?:127\.[0-9.]+|localhost|\[::1\])[:/]"


def main(argv):
    expect = None
    if len(argv) > 2 and argv[1] == "--expect":
        expect, argv = argv[2], argv[2:]
    paths = argv[1:]
    if not paths:
        sys.exit(__doc__)
    found, expected_seen = False, expect is None
    files = []
    for path in paths:
        if os.path.isdir(path):
            files += [os.path.join(top, name) for top, _, names in os.walk(path) for name in names]
        else:
            files.append(path)
    for name in files:
        if os.path.islink(name) or not os.path.isfile(name):
            continue
        data = open(name, "rb").read()
        # Both byte alignments of UTF-16 text.
        for text in (data.decode("latin-1"), data.decode("utf-16-le", "replace"),
                     data[1:].decode("utf-16-le", "replace")):
            for url in re.findall(LOOPBACK, text):
                print("%s: %s" % (name, url))
                found = True
            if expect and expect in text:
                expected_seen = True
    if not expected_seen:
        print("%s is in none of the files: the search does not see it" % expect)
    return 1 if found or not expected_seen else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
