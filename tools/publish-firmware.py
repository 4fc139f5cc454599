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
of the tool that holds the maker's key checks.  Such a build refuses any
signature that the maker's public key does not verify, and minisign's legacy
kind (Ed): so a signature is published only with --public-key FILE, the
public key the builds hold (twice during a key change, the key and its
successor), and only once minisign has verified it with one of them.  A
version published again without a signature loses the old signature beside
it, and a version lower than the highest already in OUTDIR is refused unless
--allow-older is given.
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


def sign(image_path, version, secret_key):
    """minisign's signature of the image, with the trusted comment that binds
    it to its place; minisign asks for the key's password, if it has one."""
    if shutil.which("minisign") is None:
        fail("--minisign-key needs minisign (Debian's package minisign)")
    comment = " ".join([f"timestamp:{int(time.time())}"] + place_words(version))
    signature_path = image_path + ".minisig"
    result = subprocess.run(["minisign", "-S", "-s", secret_key, "-m", image_path,
                             "-x", signature_path, "-t", comment])
    if result.returncode != 0:
        fail(f"minisign could not sign with {secret_key!r}")
    with open(signature_path, "rb") as signed:
        return signed.read()


def verify(image_path, signature, public_keys, origin):
    """Refuses a signature that none of the maker's public keys verifies, as
    the tool would, after the release was out. -H: the prehashed kind only,
    as the tool takes no other."""
    if shutil.which("minisign") is None:
        fail("--public-key needs minisign (Debian's package minisign)")
    folder, name = os.path.split(image_path)
    with open(image_path + ".minisig", "wb") as out:
        out.write(signature)
    reasons = []
    for key in public_keys:
        # Run in the image's folder, so that minisign's reason names the
        # published file rather than a temporary path.
        result = subprocess.run(["minisign", "-V", "-H", "-p", os.path.abspath(key),
                                 "-m", name], cwd=folder, capture_output=True, text=True,
                                errors="replace")
        if result.returncode == 0:
            return
        said = " ".join(result.stderr.split()) or f"exit {result.returncode}"
        reasons.append(f"with {key!r}, minisign says: {said}")
    fail(f"{origin} does not verify with the maker's public key: " + "; ".join(reasons))


def highest_published(folder):
    versions = [int(match.group(1)) for match in
                (re.fullmatch(r"K-DMX-47-([0-9]+)\.ghx", name) for name in os.listdir(folder))
                if match]
    return max(versions, default=None)


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
    parser.add_argument("--public-key", metavar="FILE", action="append", default=[],
                        help="the maker's minisign public key that the tool's builds hold, "
                        "which must verify the signature; needed with --minisign-key and "
                        "--signature; given twice during a key change")
    parser.add_argument("--allow-older", action="store_true",
                        help="publish a version lower than the highest already in OUTDIR")
    args = parser.parse_args(argv)

    version = parse_version(args.version)
    image = read_image(args.image)
    if os.path.exists(args.outdir) and not os.path.isdir(args.outdir):
        fail(f"OUTDIR {args.outdir!r} exists and is not a folder")
    signed = args.minisign_key is not None or args.signature is not None
    if signed and not args.public_key:
        fail("a signature is published only with --public-key FILE, the maker's public key "
             "that the tool's builds hold, which must verify it")
    if args.public_key and not signed:
        fail("--public-key without --minisign-key or --signature: a build that holds the key "
             "refuses an unsigned release")

    folder = os.path.join(args.outdir, *SERVER_PATH)
    image_path = os.path.join(folder, f"K-DMX-47-{version}.ghx")
    version_path = os.path.join(folder, "version.txt")
    signature_path = image_path + ".minisig"
    digest = hashlib.md5(image).hexdigest()
    try:
        highest = highest_published(folder) if os.path.isdir(folder) else None
    except OSError as error:
        fail(f"cannot list {folder!r}: {error.strerror}")
    if highest is not None and version < highest and not args.allow_older:
        fail(f"version {version} is lower than version {highest}, already published in "
             f"{folder!r}; give --allow-older to publish it anyway")
    signature = None
    if args.signature:
        try:
            with open(args.signature, "rb") as given:
                signature = given.read(64 * 1024)
        except OSError as error:
            fail(f"cannot read signature {args.signature!r}: {error.strerror}")
        origin = repr(args.signature)
    if signed:
        # Signed and verified on a copy of the bytes to publish, away from
        # OUTDIR, which a refused signature leaves untouched.
        try:
            with tempfile.TemporaryDirectory(prefix="publish-firmware-") as work:
                image_copy = os.path.join(work, os.path.basename(image_path))
                with open(image_copy, "wb") as out:
                    out.write(image)
                if args.minisign_key:
                    signature = sign(image_copy, version, args.minisign_key)
                    origin = "minisign's signature"
                check_signature(signature, version, origin)
                verify(image_copy, signature, args.public_key, origin)
        except OSError as error:
            fail(f"cannot check the signature in a temporary folder: {error.strerror or error}")
    try:
        os.makedirs(folder, exist_ok=True)
        # Gone before the new image is there, so that no server hands out
        # the image with another image's signature.
        if signature is None:
            try:
                os.unlink(signature_path)
            except FileNotFoundError:
                pass
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
