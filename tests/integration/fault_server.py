#!/usr/bin/env python3
"""HTTPS on 127.0.0.1 that misbehaves on purpose, for the integration tests.

GET /<kind>/<name> answers with file <name> of --root:
  noetag     200 with Content-Length and no ETag
  truncated  announces the whole length, sends half, closes cleanly
  reset      announces the whole length, sends half, resets the connection
  stall      sends the headers and 1000 bytes, then nothing for 70 s
  slow       sends 4 KiB every 20 ms
  to-http    302 to this file on the plain HTTP listener, which serves it
GET /status/<code> answers <code>. Prints "<https port> <http port>" once
both listen; runs until killed.
"""

import argparse
import os
import socket
import socketserver
import ssl
import struct
import threading
import time


class Handler(socketserver.StreamRequestHandler):
    def setup(self):
        if self.server.tls:
            self.request = self.server.tls.wrap_socket(self.request, server_side=True)
        super().setup()

    def send(self, status, body=b"", length=None, extra=""):
        head = "HTTP/1.1 %d X\r\nContent-Length: %d\r\nConnection: close\r\n%s\r\n"
        length = len(body) if length is None else length
        self.wfile.write((head % (status, length, extra)).encode() + body)
        self.wfile.flush()

    def handle(self):
        words = self.rfile.readline().decode("latin-1").split()
        while self.rfile.readline().strip():
            pass
        _, kind, name = ((words[1] if len(words) > 1 else "/").split("/", 2) + ["", ""])[:3]
        etag = 'ETag: "fault"\r\n'
        if kind == "status":
            return self.send(int(name), b"no agent here\n")
        if kind == "to-http":
            to = "Location: http://127.0.0.1:%d/plain/%s\r\n" % (self.server.http_port, name)
            return self.send(302, extra=to)
        try:
            with open(os.path.join(self.server.root, os.path.basename(name)), "rb") as f:
                body = f.read()
        except OSError:
            return self.send(404, b"no such file\n")
        if kind in ("noetag", "plain"):
            self.send(200, body)
        elif kind in ("truncated", "reset"):
            self.send(200, body[: len(body) // 2], len(body), etag)
            if kind == "reset":
                self.request.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            else:
                self.request.unwrap()  # close_notify: only the length is wrong
        elif kind == "stall":
            self.send(200, body[:1000], len(body), etag)
            self.request.settimeout(70)
            try:
                self.request.recv(1)  # until the client gives up, or 70 s
            except OSError:
                pass
        elif kind == "slow":
            self.send(200, b"", len(body), etag)
            for at in range(0, len(body), 4096):
                self.wfile.write(body[at : at + 4096])
                time.sleep(0.02)
        else:
            self.send(404, b"unknown kind\n")


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--root", required=True)
    args = parser.parse_args()
    tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    tls.load_cert_chain(args.cert, args.key)
    servers = [Server(("127.0.0.1", 0), Handler) for _ in range(2)]
    for server, context in zip(servers, (tls, None)):
        server.tls, server.root = context, args.root
        server.http_port = servers[1].server_address[1]
    threading.Thread(target=servers[1].serve_forever, daemon=True).start()
    print(servers[0].server_address[1], servers[1].server_address[1], flush=True)
    servers[0].serve_forever()


if __name__ == "__main__":
    main()
