#!/usr/bin/env python3
# An HTTP proxy for the downloader's tests, on 127.0.0.1.
#
# usage: testproxy.py MODE SECONDS
#
# MODE "open" forwards absolute-form requests and tunnels CONNECT; "USER:PASSWORD" first answers
# 407 to every request that lacks those Basic credentials. Every host is reached at 127.0.0.1,
# so that a test can name a host only this proxy knows. Prints its port, then a line for each
# request before it answers it: its method and target, after "407 " when refused. Ends on its
# own after SECONDS.
import base64, signal, socket, socketserver, sys, threading

mode, seconds = sys.argv[1], int(sys.argv[2])
authorization = "Proxy-Authorization: Basic " + base64.b64encode(mode.encode()).decode()
sys.stdout.reconfigure(line_buffering=True)


def pipe(source, sink):
    try:
        while data := source.recv(65536):
            sink.sendall(data)
        sink.shutdown(socket.SHUT_WR)
    except OSError:
        pass  # the other side is gone


class Proxy(socketserver.StreamRequestHandler):
    rbufsize = 0  # unbuffered, so that no byte meant for a tunnel stays behind in the reader

    def handle(self):
        # A head ends at its blank line, the connection at an empty read.
        while head := list(iter(lambda: self.rfile.readline().decode().strip(), "")):
            method, target = head[0].split()[:2]
            if mode != "open" and authorization not in head:
                sys.stdout.write(f"407 {method} {target}\n")
                self.wfile.write(b"HTTP/1.1 407 Proxy Authentication Required\r\n"
                                 b'Proxy-Authenticate: Basic realm="updates"\r\n'
                                 b"Content-Length: 0\r\n\r\n")
                continue
            sys.stdout.write(f"{method} {target}\n")
            # CONNECT names host:port; a request to forward http://host:port/path.
            authority = target if method == "CONNECT" else target.split("/")[2]
            upstream = socket.create_connection(("127.0.0.1", int(authority.split(":")[1])))
            if method == "CONNECT":
                self.wfile.write(b"HTTP/1.1 200 Connection established\r\n\r\n")
            else:
                path = target.split(authority, 1)[1]
                kept = [line for line in head[1:] if not line.startswith("Proxy-")]
                lines = [f"{method} {path} HTTP/1.1"] + kept + ["", ""]
                upstream.sendall("\r\n".join(lines).encode())
            threading.Thread(target=pipe, args=(self.connection, upstream), daemon=True).start()
            pipe(upstream, self.connection)
            return


signal.alarm(seconds)
server = socketserver.ThreadingTCPServer(("127.0.0.1", 0), Proxy)
server.daemon_threads = True
print(server.server_address[1])
server.serve_forever()
