#!/usr/bin/env python3
"""Publish a firmware release for the QL-7420 update tool.

Writes the firmware server's tree into OUTDIR, which is meant to be the
document root of a static HTTP server:

    OUTDIR/data/hello/TPX-KLN04/K-DMX-47-<VERSION>.ghx   (a copy of IMAGE)
    OUTDIR/data/hello/TPX-KLN04/version.txt             ("<VERSION> <md5>\\n")

so that the tool, whose base URL is http://<host>/data, finds both files.
For a quick local check:

    python3 -m http.server --bind 127.0.0.1 --directory OUTDIR 8000

serves the release at http://127.0.0.1:8000/data.  A server that maps /data
to some other folder should serve OUTDIR/data there.

Each file is written under a temporary name and renamed into place, the
image before the version file, so that a server that is already running
never hands out a half-written file or a version file naming a missing image.
"""

import argparse
import hashlib
import os
import re
import sys
import tempfile

SERVER_PATH = ("data", "hello", "TPX-KLN04")
# The tool reads the number into a signed 32-bit int.
MAX_VERSION = 2**31 - 1


def fail(message):
    print(f"publish-firmware: error: {message}", file=sys.stderr)
    sys.exit(2)


def parse_version(text):
    if not re.fullmatch(r"[0-9]+", text):
        fail(f"VERSION must be a non-negative whole number written in digits, not {text!r}")
    version = int(text)
    if version > MAX_VERSION:
        fail(f"VERSION must be at most {MAX_VERSION}, not {text}")
    return version


def read_image(path):
    if not os.path.exists(path):
        fail(f"image file {path!r} does not exist")
    if not os.path.isfile(path):
        fail(f"image {path!r} is not a regular file")
    try:
        with open(path, "rb") as image:
            data = image.read()
    except OSError as error:
        fail(f"cannot read image {path!r}: {error.strerror}")
    if not data:
        fail(f"image file {path!r} is empty")
    return data


def write_atomically(path, data):
    folder = os.path.dirname(path)
    fd, temporary = tempfile.mkstemp(dir=folder, prefix=".publish-")
    try:
        with os.fdopen(fd, "wb") as out:
            out.write(data)
            out.flush()
            os.fsync(out.fileno())
        os.chmod(temporary, 0o644)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


def main(argv=None):
    parser = argparse.ArgumentParser(
        description="Write a firmware release into OUTDIR, laid out for a static HTTP "
        "server whose document root is OUTDIR (the tool fetches "
        "<base>/hello/TPX-KLN04/... with a base URL ending in /data).",
        epilog="Example: publish-firmware.py build/fw.ghx 12 www && "
        "python3 -m http.server --bind 127.0.0.1 --directory www 8000",
    )
    parser.add_argument("image", metavar="IMAGE", help="the firmware image file to publish")
    parser.add_argument("version", metavar="VERSION",
                        help="the release's version number, a non-negative whole number")
    parser.add_argument("outdir", metavar="OUTDIR",
                        help="the server's document root; created if missing")
    args = parser.parse_args(argv)

    version = parse_version(args.version)
    image = read_image(args.image)
    if os.path.exists(args.outdir) and not os.path.isdir(args.outdir):
        fail(f"OUTDIR {args.outdir!r} exists and is not a folder")

    folder = os.path.join(args.outdir, *SERVER_PATH)
    image_path = os.path.join(folder, f"K-DMX-47-{version}.ghx")
    version_path = os.path.join(folder, "version.txt")
    digest = hashlib.md5(image).hexdigest()
    try:
        os.makedirs(folder, exist_ok=True)
        write_atomically(image_path, image)
        write_atomically(version_path, f"{version} {digest}\n".encode("ascii"))
    except OSError as error:
        fail(f"cannot write into {folder!r}: {error.strerror or error}")

    print(f"published version {version} ({len(image)} bytes, md5 {digest})")
    print(f"  {image_path}")
    print(f"  {version_path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
