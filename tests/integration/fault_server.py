#!/usr/bin/env python3
"""A small HTTPS (and plain HTTP) server on 127.0.0.1 that misbehaves on purpose.

Paths select the behaviour; <name> is a file in --root, and <name>.etag, when
present, holds the exact ETag header value to send with it:

  /status/<code>           answers <code> with a short body
  /ok/<name>               200 with Content-Length and the file's ETag
  /noetag/<name>           200 with Content-Length and no ETag
  /truncated/<name>        announces the full length, sends half, closes cleanly
  /reset/<name>            announces the full length, sends half, resets the connection
  /stall/<name>            sends the headers and a little of the body, then nothing
  /slow/<name>             sends the body in small pieces with pauses
  /notzip                  200, proper length, an ETag, and random bytes
  /redirect-to-http/<name> 302 to http://127.0.0.1:<http port>/ok/<name>
  /redirect-to-https/<name> 302 to https://127.0.0.1:<https port>/ok/<name>

When both listeners are ready it prints "<https port> <http port>" on one line.
It ends when its standard input closes (its parent went away), after
--lifetime seconds, or after --max-connections connections, whichever comes
first. Each request is appended to --log as "<listener> <path> <body bytes sent>".
"""

import argparse
import os
import socket
import ssl
import struct
import sys
import threading
import time

STALL_SECONDS = 30.0
SLOW_SECONDS = 60.0
SLOW_PIECE = 4096
SLOW_PAUSE = 0.02


class Server:
    def __init__(self, args):
        self.root = args.root
        self.log_path = args.log
        self.log_lock = threading.Lock()
        self.connections = 0
        self.max_connections = args.max_connections
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(args.cert, args.key)
        self.https = self.listen(args.port)
        self.http = self.listen(0)
        self.https_port = self.https.getsockname()[1]
        self.http_port = self.http.getsockname()[1]

    @staticmethod
    def listen(port):
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(("127.0.0.1", port))
        sock.listen(64)
        sock.settimeout(0.5)
        return sock

    def log(self, listener, path, sent):
        if not self.log_path:
            return
        with self.log_lock:
            with open(self.log_path, "a") as out:
                out.write("%s %s %d\n" % (listener, path, sent))

    def accept_loop(self, sock, secure, deadline):
        while time.monotonic() < deadline:
            try:
                conn, _ = sock.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            with self.log_lock:
                self.connections += 1
                if self.connections > self.max_connections:
                    conn.close()
                    os._exit(0)
            threading.Thread(target=self.serve, args=(conn, secure), daemon=True).start()

    def serve(self, conn, secure):
        listener = "https" if secure else "http"
        conn.settimeout(10)
        try:
            if secure:
                conn = self.context.wrap_socket(conn, server_side=True)
            path = self.read_request(conn)
            if path is None:
                return
            sent = self.respond(conn, path)
            self.log(listener, path, sent)
        except (OSError, ssl.SSLError, ValueError):
            pass
        finally:
            try:
                conn.close()
            except OSError:
                pass

    @staticmethod
    def read_request(conn):
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = conn.recv(4096)
            if not chunk:
                return None
            data += chunk
            if len(data) > 65536:
                return None
        request_line = data.split(b"\r\n", 1)[0].decode("latin-1")
        parts = request_line.split(" ")
        if len(parts) != 3:
            return None
        return parts[1]

    def file_for(self, name):
        if "/" in name or name in ("", ".", ".."):
            return None, None
        path = os.path.join(self.root, name)
        try:
            with open(path, "rb") as f:
                body = f.read()
        except OSError:
            return None, None
        etag = None
        try:
            with open(path + ".etag", "rb") as f:
                etag = f.read().decode("latin-1")
        except OSError:
            pass
        return body, etag

    @staticmethod
    def head(status, length=None, etag=None, extra=()):
        reasons = {200: "OK", 302: "Found", 404: "Not Found", 500: "Internal Server Error"}
        lines = ["HTTP/1.1 %d %s" % (status, reasons.get(status, "Status"))]
        lines.append("Content-Type: application/octet-stream")
        if length is not None:
            lines.append("Content-Length: %d" % length)
        if etag is not None:
            lines.append("ETag: %s" % etag)
        lines.extend(extra)
        lines.append("Connection: close")
        return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")

    def respond(self, conn, path):
        parts = path.split("/")
        kind = parts[1] if len(parts) > 1 else ""
        arg = "/".join(parts[2:])
        if kind == "status":
            code = int(arg)
            body = b"no archive here\n"
            conn.sendall(self.head(code, len(body)) + body)
            return len(body)
        if kind == "notzip":
            body = os.urandom(65536)
            conn.sendall(self.head(200, len(body), '"not-a-zip"') + body)
            return len(body)
        if kind == "redirect-to-http":
            location = "http://127.0.0.1:%d/ok/%s" % (self.http_port, arg)
            conn.sendall(self.head(302, 0, extra=["Location: " + location]))
            return 0
        if kind == "redirect-to-https":
            location = "https://127.0.0.1:%d/ok/%s" % (self.https_port, arg)
            conn.sendall(self.head(302, 0, extra=["Location: " + location]))
            return 0

        body, etag = self.file_for(arg)
        if body is None:
            body = b"no such file\n"
            conn.sendall(self.head(404, len(body)) + body)
            return len(body)
        if kind == "ok":
            conn.sendall(self.head(200, len(body), etag) + body)
            return len(body)
        if kind == "noetag":
            conn.sendall(self.head(200, len(body)) + body)
            return len(body)
        if kind == "truncated":
            half = body[: len(body) // 2]
            conn.sendall(self.head(200, len(body), etag) + half)
            if isinstance(conn, ssl.SSLSocket):
                try:
                    conn.settimeout(2)
                    conn.unwrap().close()
                except (OSError, ssl.SSLError, ValueError):
                    pass
            return len(half)
        if kind == "reset":
            half = body[: len(body) // 2]
            conn.sendall(self.head(200, len(body), etag) + half)
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            return len(half)
        if kind == "stall":
            start = body[:1000]
            conn.sendall(self.head(200, len(body), etag) + start)
            self.wait_for_close(conn, STALL_SECONDS)
            return len(start)
        if kind == "slow":
            conn.sendall(self.head(200, len(body), etag))
            sent = 0
            deadline = time.monotonic() + SLOW_SECONDS
            while sent < len(body) and time.monotonic() < deadline:
                piece = body[sent : sent + SLOW_PIECE]
                conn.sendall(piece)
                sent += len(piece)
                time.sleep(SLOW_PAUSE)
            return sent
        body = b"unknown path\n"
        conn.sendall(self.head(404, len(body)) + body)
        return len(body)

    @staticmethod
    def wait_for_close(conn, seconds):
        """Holds the connection open until the client goes or |seconds| pass."""
        deadline = time.monotonic() + seconds
        conn.settimeout(0.2)
        while time.monotonic() < deadline:
            try:
                if not conn.recv(1024):
                    return
            except socket.timeout:
                continue
            except (OSError, ssl.SSLError):
                return


def watch_parent():
    """Our parent holds our standard input open; end with it."""
    try:
        while sys.stdin.buffer.read(4096):
            pass
    except OSError:
        pass
    os._exit(0)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--root", required=True)
    parser.add_argument("--log", default="")
    parser.add_argument("--lifetime", type=float, default=900.0)
    parser.add_argument("--max-connections", type=int, default=5000)
    args = parser.parse_args()

    server = Server(args)
    deadline = time.monotonic() + args.lifetime
    threading.Thread(target=watch_parent, daemon=True).start()
    threading.Thread(
        target=server.accept_loop, args=(server.http, False, deadline), daemon=True
    ).start()
    print("%d %d" % (server.https_port, server.http_port), flush=True)
    server.accept_loop(server.https, True, deadline)
    os._exit(0)


if __name__ == "__main__":
    main()
