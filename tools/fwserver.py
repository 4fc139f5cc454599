#!/usr/bin/env python3
"""A firmware server for tests: serves ROOT (a folder written by
publish-firmware.py) on 127.0.0.1, so that ROOT/data/... is found at
http://127.0.0.1:<port>/data/... (https with --tls-cert and --tls-key), and
misbehaves on request.

The first line on stdout is "PORT <n>"; then each request is logged as
"GET <path>" before it is answered.  The server stops on SIGTERM, SIGINT or
when its stdin reaches end of file, so a test that dies takes it along.

Only the loopback address is ever bound.
"""

import argparse
import http.server
import os
import signal
import socket
import ssl
import sys
import threading
import time

IMAGE_PREFIX = "K-DMX-47-"
IMAGE_SUFFIX = ".ghx"


def is_version_file(path):
    return path.split("?", 1)[0].endswith("/version.txt")


def file_name(path):
    return path.split("?", 1)[0].rsplit("/", 1)[-1]


def is_image(path):
    name = file_name(path)
    return name.startswith(IMAGE_PREFIX) and name.endswith(IMAGE_SUFFIX)


def is_signature(path):
    name = file_name(path)
    return name.startswith(IMAGE_PREFIX) and name.endswith(IMAGE_SUFFIX + ".minisig")


def kind_of(path):
    if is_version_file(path):
        return "version"
    if is_image(path):
        return "image"
    if is_signature(path):
        return "signature"
    return None


def make_handler(options, stopping):
    class Handler(http.server.SimpleHTTPRequestHandler):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, directory=options.root, **kwargs)

        def setup(self):
            if isinstance(self.request, ssl.SSLSocket):
                self.request.do_handshake()
            super().setup()

        def log_message(self, format, *args):
            pass

        def do_GET(self):
            print(f"GET {self.path}", flush=True)
            if options.endless and kind_of(self.path) == options.endless:
                self.send_endless()
                return
            if is_version_file(self.path):
                if options.delay_version and stopping.wait(options.delay_version / 1000.0):
                    return
                if options.redirect_version:
                    self.send_response(302)
                    self.send_header("Location", self.path + "?moved")
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    return
                if options.status_version:
                    self.send_error(options.status_version)
                    return
            elif is_image(self.path):
                if options.status_image:
                    self.send_error(options.status_image)
                    return
                if options.truncate_image is not None or options.stall_image:
                    self.send_partial_image()
                    return
            super().do_GET()

        def send_partial_image(self):
            path = self.translate_path(self.path)
            try:
                with open(path, "rb") as image:
                    body = image.read()
            except OSError:
                self.send_error(404)
                return
            if options.stall_image:
                sent = len(body) // 2
            else:
                sent = min(options.truncate_image, len(body))
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body[:sent])
            self.wfile.flush()
            if options.stall_image:
                # Keep the connection open and silent until the server stops.
                stopping.wait()
            self.close_connection = True
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

        def send_endless(self):
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            if options.declare_length is not None:
                self.send_header("Content-Length", str(options.declare_length))
            self.end_headers()
            chunk = bytes(range(256)) * 256
            try:
                while not stopping.is_set():
                    self.wfile.write(chunk)
            except OSError:
                # The client hung up, as it should.
                pass
            self.close_connection = True

    return Handler


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # A client that hangs up early (a test that gave up) or refuses the
        # certificate is no error here.
        if not isinstance(sys.exc_info()[1], (ConnectionError, ssl.SSLError)):
            super().handle_error(request, client_address)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("root", help="document root: the OUTDIR of publish-firmware.py")
    parser.add_argument("--port", type=int, default=0,
                        help="port on 127.0.0.1; 0 (the default) picks a free one")
    parser.add_argument("--status-version", type=int, metavar="CODE",
                        help="answer the version file with an HTML error page and this status")
    parser.add_argument("--status-image", type=int, metavar="CODE",
                        help="answer the image with an HTML error page and this status")
    parser.add_argument("--delay-version", type=int, default=0, metavar="MS",
                        help="answer the version file only after MS milliseconds")
    parser.add_argument("--redirect-version", action="store_true",
                        help="answer the version file with a redirect to itself")
    parser.add_argument("--truncate-image", type=int, metavar="N",
                        help="declare the image's full length but send only N bytes, then close")
    parser.add_argument("--stall-image", action="store_true",
                        help="send the headers and half the image, then fall silent without closing")
    parser.add_argument("--endless", choices=["version", "image", "signature"],
                        help="answer that file (the version file, an image, an image's .minisig) "
                             "with bytes that never end, until the client hangs up")
    parser.add_argument("--declare-length", type=int, metavar="N",
                        help="with --endless, declare N bytes in Content-Length (none otherwise)")
    parser.add_argument("--tls-cert", metavar="PEM",
                        help="serve https with this certificate (and any chain after it)")
    parser.add_argument("--tls-key", metavar="PEM", help="the private key of --tls-cert")
    options = parser.parse_args()
    if not os.path.isdir(options.root):
        parser.error(f"{options.root!r} is not a folder")
    if options.truncate_image is not None and options.truncate_image < 0:
        parser.error("--truncate-image needs a byte count of 0 or more")
    if options.declare_length is not None and not options.endless:
        parser.error("--declare-length goes with --endless")
    if bool(options.tls_cert) != bool(options.tls_key):
        parser.error("--tls-cert and --tls-key go together")

    stopping = threading.Event()
    server = Server(("127.0.0.1", options.port), make_handler(options, stopping))
    if options.tls_cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(options.tls_cert, options.tls_key)
        # The handshake runs in the handler's thread, so a client that refuses
        # the certificate fails only its own connection.
        server.socket = context.wrap_socket(server.socket, server_side=True,
                                            do_handshake_on_connect=False)

    def stop(*_):
        stopping.set()
        threading.Thread(target=server.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)

    def watch_stdin():
        try:
            while os.read(0, 4096):
                pass
        except OSError:
            pass
        stop()

    threading.Thread(target=watch_stdin, daemon=True).start()

    print(f"PORT {server.server_address[1]}", flush=True)
    try:
        server.serve_forever(poll_interval=0.1)
    finally:
        stopping.set()
        server.server_close()
        # Give handlers that were told to stop a moment to close their sockets.
        time.sleep(0.05)
    return 0


if __name__ == "__main__":
    sys.exit(main())
