#!/usr/bin/env python3
"""Publish a firmware release for the QL-7420 update tool.

Writes the firmware server's tree into OUTDIR, which is meant to be the
document root of a static HTTP server:

    OUTDIR/data/hello/TPX-KLN04/K-DMX-47-<VERSION>.ghx   (a copy of IMAGE)
    OUTDIR/data/hello/TPX-KLN04/version.txt             ("<VERSION> <md5>\\n")

so that the tool, whose base URL is http://<host>/data, finds both files.
With --minisign-key SECRET_KEY the image is signed with minisign, and with
--signature FILE a signature made elsewhere (on an offline PC, say) is
published; either way OUTDIR/data/hello/TPX-KLN04/K-DMX-47-<VERSION>.ghx.minisig
is written, and its trusted comment must say
"file:K-DMX-47-<VERSION>.ghx version:<VERSION> model:TPX-KLN04", which a build
of the tool that holds the maker's key checks.
For a quick local check:

    python3 -m http.server --bind 127.0.0.1 --directory OUTDIR 8000

serves the release at http://127.0.0.1:8000/data.  A server that maps /data
to some other folder should serve OUTDIR/data there.

Each file is written under a temporary name and renamed into place, the
image and its signature before the version file, so that a server that is
already running never hands out a half-written file or a version file naming
a missing image or signature.
"""

import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

SERVER_PATH = ("data", "hello", "TPX-KLN04")
MODEL = SERVER_PATH[-1]
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


def place_words(version):
    return [f"file:K-DMX-47-{version}.ghx", f"version:{version}", f"model:{MODEL}"]


def sign(image, version, secret_key, folder):
    """minisign's signature of image, with the trusted comment that binds it
    to its place; minisign asks for the key's password, if it has one."""
    if shutil.which("minisign") is None:
        fail("--minisign-key needs minisign (Debian's package minisign)")
    with tempfile.TemporaryDirectory(dir=folder, prefix=".publish-") as work:
        image_copy = os.path.join(work, "image")
        with open(image_copy, "wb") as out:
            out.write(image)
        comment = " ".join([f"timestamp:{int(time.time())}"] + place_words(version))
        signature_path = image_copy + ".minisig"
        result = subprocess.run(["minisign", "-S", "-s", secret_key, "-m", image_copy,
                                 "-x", signature_path, "-t", comment])
        if result.returncode != 0:
            fail(f"minisign could not sign with {secret_key!r}")
        with open(signature_path, "rb") as signed:
            return signed.read()


def check_signature(signature, version, origin):
    """Refuses a signature whose trusted comment names another place: the
    tool would refuse it anyway, after the release was out."""
    lines = signature.decode("utf-8", "replace").splitlines()
    if len(lines) != 4 or not lines[2].startswith("trusted comment: "):
        fail(f"{origin} is not a minisign signature")
    words = lines[2][len("trusted comment: "):].split()
    for wanted in place_words(version):
        said = [word for word in words if word.split(":", 1)[0] == wanted.split(":", 1)[0]]
        if said != [wanted]:
            fail(f"the trusted comment of {origin} does not say {' '.join(place_words(version))!r}: "
                 f"{lines[2]!r}")


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
    signing = parser.add_mutually_exclusive_group()
    signing.add_argument("--minisign-key", metavar="SECRET_KEY",
                         help="sign the image with this minisign secret key")
    signing.add_argument("--signature", metavar="FILE",
                         help="publish this minisign signature of the image, made elsewhere")
    args = parser.parse_args(argv)

    version = parse_version(args.version)
    image = read_image(args.image)
    if os.path.exists(args.outdir) and not os.path.isdir(args.outdir):
        fail(f"OUTDIR {args.outdir!r} exists and is not a folder")

    folder = os.path.join(args.outdir, *SERVER_PATH)
    image_path = os.path.join(folder, f"K-DMX-47-{version}.ghx")
    version_path = os.path.join(folder, "version.txt")
    signature_path = image_path + ".minisig"
    digest = hashlib.md5(image).hexdigest()
    signature = None
    if args.signature:
        try:
            with open(args.signature, "rb") as given:
                signature = given.read(64 * 1024)
        except OSError as error:
            fail(f"cannot read signature {args.signature!r}: {error.strerror}")
        check_signature(signature, version, repr(args.signature))
    try:
        os.makedirs(folder, exist_ok=True)
        if args.minisign_key:
            signature = sign(image, version, args.minisign_key, folder)
            check_signature(signature, version, "minisign's signature")
        write_atomically(image_path, image)
        if signature is not None:
            write_atomically(signature_path, signature)
        write_atomically(version_path, f"{version} {digest}\n".encode("ascii"))
    except OSError as error:
        fail(f"cannot write into {folder!r}: {error.strerror or error}")

    print(f"published version {version} ({len(image)} bytes, md5 {digest})")
    print(f"  {image_path}")
    if signature is not None:
        print(f"  {signature_path}")
    print(f"  {version_path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
