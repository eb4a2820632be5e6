#!/usr/bin/env python3
"""A TCP proxy on 127.0.0.1 for the download benchmark. Forwards every connection to the port
given as the first argument, except that it cuts the first one after the number of bytes of the
answer given as the second, as a network fault would. Prints its own port, then serves until it
is stopped."""

import socket
import sys
import threading

BLOCK = 1 << 20


def pump(source, sink, limit):
    """Copies from source to sink until either closes or `limit` bytes went through, then closes
    both directions of both."""
    sent = 0
    try:
        while limit is None or sent < limit:
            data = source.recv(BLOCK if limit is None else min(BLOCK, limit - sent))
            if not data:
                break
            sink.sendall(data)
            sent += len(data)
    except OSError:
        pass
    for end in (source, sink):
        try:
            end.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def main():
    target_port, cut = int(sys.argv[1]), int(sys.argv[2])
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    print(listener.getsockname()[1], flush=True)
    limit = cut
    while True:
        client, _ = listener.accept()
        upstream = socket.create_connection(("127.0.0.1", target_port))
        threading.Thread(target=pump, args=(client, upstream, None), daemon=True).start()
        threading.Thread(target=pump, args=(upstream, client, limit), daemon=True).start()
        limit = None


if __name__ == "__main__":
    main()
