#!/usr/bin/env python3
"""Serves the files of one folder over HTTP on 127.0.0.1 for the demo, slowly enough that the
progress bar is seen moving.

Prints the port it listens on, then serves until it is stopped or its lifetime runs out. A
missing file is answered with 404.
"""

import argparse
import os
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import unquote, urlsplit


class UpdateHandler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        name = unquote(urlsplit(self.path).path[1:])
        path = os.path.join(self.server.root, name)
        if not name or "/" in name or not os.path.isfile(path):
            self.send_error(404)
            return
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(os.path.getsize(path)))
        self.send_header("Connection", "close")
        self.end_headers()
        # A twentieth of a second's worth at a time.
        chunk = max(1, self.server.rate // 20) if self.server.rate else 64 * 1024
        try:
            with open(path, "rb") as body:
                while data := body.read(chunk):
                    self.wfile.write(data)
                    if self.server.rate:
                        time.sleep(len(data) / self.server.rate)
        except (BrokenPipeError, ConnectionResetError):
            pass  # the client gave up, as a cancelled download does

    def log_message(self, format, *args):
        pass


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder")
    parser.add_argument("--lifetime", type=float, default=300,
                        help="seconds after which the server stops by itself")
    parser.add_argument("--rate", type=int, default=0,
                        help="bytes a second for every answer, 0 for no limit")
    arguments = parser.parse_args()

    server = ThreadingHTTPServer(("127.0.0.1", 0), UpdateHandler)
    server.daemon_threads = True
    server.root = os.path.abspath(arguments.folder)
    server.rate = arguments.rate
    threading.Timer(arguments.lifetime, server.shutdown).start()
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
