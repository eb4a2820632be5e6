#!/usr/bin/env python3
"""Serves the files of one folder over HTTP on 127.0.0.1, for the installer's end-to-end tests
and its demo.

Prints the port it listens on, then serves until it is stopped or its lifetime runs out. A
missing file is answered with 404. Two query parameters script an answer:
  stall=N  send the first N bytes of the body, then hold the connection until a file named
           "release" appears in the folder;
  rate=B   send at most B bytes a second (--rate sets it for every answer).
"""

import argparse
import os
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, unquote, urlsplit

CHUNK = 64 * 1024
STALL_LIMIT = 60


class UpdateHandler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        parts = urlsplit(self.path)
        name = unquote(parts.path[1:])
        path = os.path.join(self.server.root, name)
        if not name or "/" in name or not os.path.isfile(path):
            self.send_error(404)
            return
        query = parse_qs(parts.query)
        stall = int(query.get("stall", ["-1"])[0])
        rate = int(query.get("rate", [self.server.rate])[0])

        size = os.path.getsize(path)
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(size))
        self.send_header("Connection", "close")
        self.end_headers()
        try:
            with open(path, "rb") as body:
                self.send_body(body, size, stall, rate)
        except (BrokenPipeError, ConnectionResetError):
            pass  # the client gave up, as a cancelled download does

    def send_body(self, body, size, stall, rate):
        chunk = max(1, min(CHUNK, rate // 20)) if rate else CHUNK
        sent = 0
        while sent < size:
            if sent == stall:
                self.wait_for_release()
            limit = stall if sent < stall else size
            data = body.read(min(chunk, limit - sent))
            self.wfile.write(data)
            sent += len(data)
            if rate:
                time.sleep(len(data) / rate)

    def wait_for_release(self):
        release = os.path.join(self.server.root, "release")
        deadline = time.monotonic() + STALL_LIMIT
        while not os.path.exists(release) and time.monotonic() < deadline:
            time.sleep(0.02)

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
