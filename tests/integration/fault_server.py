#!/usr/bin/env python3
"""HTTPS on 127.0.0.1 that misbehaves on purpose, for the integration tests.

GET /<kind>/<name> answers with file <name> of --root:
  noetag     200 with Content-Length and no ETag
  truncated  announces the whole length, sends half, closes cleanly
  reset      announces the whole length, sends half, resets the connection
  stall      sends the headers, then nothing for 70 s
  slow       sends 4 KiB every 20 ms
  to-http    302 to this file on the plain HTTP listener, which serves it
GET /status/<code> answers <code>.
GET /serve/<name>?<options> serves file <name> as a server with caching and
ranges would, misbehaving as the options say:
  etag=strong|weak|weakfirst|empty|none
                         the ETag sent (strong by default; it follows the content);
                         weakfirst: weak on the first request, strong after, as a
                         server does while a file is younger than a second.
                         If-None-Match is compared weakly.
  lastmod=1              send Last-Modified (the file's time) and answer
                         If-Modified-Since (without If-None-Match) with 304
  inm=ignore|other       answer 200 even when If-None-Match matches, or answer
                         any If-None-Match with a 304 naming another ETag
                         Ranges "bytes=a-", "bytes=a-b" and "bytes=-n" are answered
                         with a 206 (one that starts past the end with a 416), when
                         If-Range, if sent, names the strong ETag; else with 200.
  range=ignore|refuse|bad|junk|always|star|total|long|short
                         answer every Range request with 200, with 416, or with a
                         206 that starts at the first byte, or with a Content-Range
                         with junk after it; always: answer every
                         request, with or without Range, with a 206; star, total:
                         a Content-Range whose total is "*" or not past its end;
                         long: the body (and its length) 1000 bytes past the range;
                         short: send the first half of every range asked for, then close
  multi=whole|one|refuse|boundary|extra|overlap|order|long|short|truncate
                         a request for many ranges ("bytes=a-b,c-d") is answered
                         as multipart/byteranges, or else: with the whole file
                         (200), with its first range alone, with 416; or with
                         parts where the second has another boundary, a part
                         not asked for comes second, the second overlaps the
                         first, the parts come in reverse order, the second's
                         data is a byte longer or shorter than its range; or
                         with the first half of the first such answer, then a close
  less=K                 the body K bytes short of its end, closed cleanly
  ifrange=ignore         serve a range whatever If-Range names
  keep=1                 keep the connection open after a whole answer, for the
                         next request; the log then names each request's client
                         port, one for each connection
  cut=P[,P...]           cut the connection once at each file position P
                         (bytes, or a percentage such as 50%) as the body passes it
  how=reset              cut with a reset instead of a clean close
  status=N&times=K       answer the first K requests with status N (and
                         Retry-After: <retry_after> when given; a 304 has no
                         body), then serve the file
  change=<other>         after the first cut, serve file <other> instead (and
                         its .minisig to the signature's requests)
  after=K                range=, status= and change= only from request K+1 on
                         (change= then without a cut)
  publish=<other>&at=K   from request K+1 on, the signature's requests counted
                         too, serve file <other> and its .minisig: a release
                         published while a run fetches
  wait=<ms>              wait that long before answering
  pace=<ms>              wait that long after each 64 KiB of body (piece=<bytes>: each
                         piece of that many bytes)
  pacezero=<ms>          the same, only in an answer from the file's first byte (a
                         first connection slower than the others)
  paceend=<ms>           the same, only (and instead of pace=) in an answer to a range
                         from past the first byte to the last (the part at the back)
  waitend=<ms>           wait that long before answering such a range (a part slow
                         to start)
  pacefor=K              pace= and pacezero= only in the first K requests
  trickle=<ms>           send the body one byte at a time, that long apart
  stall=<ms>             send the first byte of the body, then nothing for that long
  length=<N>|none        announce N bytes, whatever the body, or no length
GET /serve/<name>.minisig?<options> serves <name>.minisig as it is (logged as
<name>.minisig), sigwait=<ms> after logging the request.
CONNECT 127.0.0.1:<port> opens a tunnel to that port, as a proxy does (the
plain listener is an http:// proxy that way); GET /log/CONNECT lists them.
GET /log/<name> lists, one JSON object a line, what each /serve request for
<name> carried and what it got: "sent" counts the body bytes written, "reached"
those that reached the client (fewer where it went away mid-body: what sat in
this side's buffers never left). Prints "<https port> <http port>" once both
listen; runs until killed.
"""

import argparse
import hashlib
import json
import os
import select
import urllib.parse
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
        head = "HTTP/1.1 %d X\r\nContent-Length: %d\r\n%s%s\r\n"
        length = len(body) if length is None else length
        close = "" if self.keep else "Connection: close\r\n"
        self.wfile.write((head % (status, length, close, extra)).encode() + body)
        self.wfile.flush()

    def handle(self):
        self.keep = True
        while self.keep:  # one request, or more while serve() keeps the connection
            self.keep = False
            self.handle_one()

    def handle_one(self):
        try:
            words = self.rfile.readline().decode("latin-1").split()
        except OSError:  # a kept connection the client dropped
            return
        if not words:
            return
        self.headers = {}
        while True:
            line = self.rfile.readline().decode("latin-1").strip()
            if not line:
                break
            key, _, value = line.partition(":")
            self.headers[key.strip().lower()] = value.strip()
        target = words[1] if len(words) > 1 else "/"
        if words and words[0] == "CONNECT":
            return self.tunnel(target)
        _, kind, name = (target.split("/", 2) + ["", ""])[:3]
        etag = 'ETag: "fault"\r\n'
        if kind == "serve":
            return self.serve(target)
        if kind == "log":
            lines = "".join(json.dumps(entry) + "\n" for entry in self.server.log.get(name, []))
            return self.send(200, lines.encode())
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
            self.send(200, b"", len(body), etag)
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


    def serve(self, target):
        path, mark, query = target.partition("?")
        opts = dict(urllib.parse.parse_qsl(query))
        if path.endswith(".minisig"):  # /serve/<name>.minisig?...: the signature, served plainly
            changed = self.server.state.get(path[:-8] + mark + query, {}).get("changed")
            try:
                name = opts["change"] + ".minisig" if changed else os.path.basename(path)
                if self.published(path[:-8] + mark + query, opts):
                    name = opts["publish"] + ".minisig"
                with open(os.path.join(self.server.root, os.path.basename(name)), "rb") as f:
                    body = f.read()
            except OSError:
                return self.send(404, b"no such file\n")
            entry = {"status": 200, "sent": len(body)}
            self.server.log.setdefault(os.path.basename(path), []).append(entry)
            time.sleep(int(opts.get("sigwait", "0")) / 1000)
            return self.send(200, body)
        name = os.path.basename(path)
        with self.server.lock:
            state = self.server.state.setdefault(target, {"requests": 0, "cuts": 0})
            state["requests"] += 1
            count, cuts_done = state["requests"], state["cuts"]
        late = count - int(opts.get("after", "0"))  # the requests misbehaved on count from 1
        if late < 1:
            opts = {k: v for k, v in opts.items() if k not in ("range", "status", "change")}
        if count > int(opts.get("pacefor", count)):
            opts = {k: v for k, v in opts.items() if k not in ("pace", "pacezero", "paceend")}
        entry = {k: self.headers.get(k) for k in ("range", "if-range", "if-none-match",
                                                  "if-modified-since", "accept-encoding")}
        entry.update(status=0, sent=0)
        self.keep = opts.get("keep") == "1"
        if self.keep:
            entry["port"] = self.client_address[1]
        self.server.log.setdefault(name, []).append(entry)
        time.sleep(int(opts.get("wait", "0")) / 1000)
        if "status" in opts and late <= int(opts.get("times", "1")):
            entry["status"] = int(opts["status"])
            after = opts.get("retry_after")
            body = b"" if entry["status"] == 304 else b"busy\n"
            return self.send(entry["status"], body, extra="Retry-After: %s\r\n" % after if after else "")
        served = opts["change"] if "change" in opts and (cuts_done > 0 or "after" in opts) else name
        state["changed"] = state.get("changed") or served != name
        if self.published(target, opts):
            served = opts["publish"]
        try:
            with open(os.path.join(self.server.root, os.path.basename(served)), "rb") as f:
                body = f.read()
        except OSError:
            entry["status"] = 404
            return self.send(404, b"no such file\n")
        tag = '"%s"' % hashlib.sha1(body).hexdigest()[:16]
        kind = opts.get("etag", "strong")
        if kind == "weakfirst":
            kind = "weak" if count == 1 else "strong"
        tag = {"strong": tag, "weak": "W/" + tag, "empty": "", "none": ""}[kind]
        head = "ETag: %s\r\n" % tag if kind != "none" else ""
        mtime = os.stat(os.path.join(self.server.root, os.path.basename(served))).st_mtime
        modified = time.strftime("%a, %d %b %Y %H:%M:%S GMT", time.gmtime(mtime))
        if opts.get("lastmod"):
            head += "Last-Modified: %s\r\n" % modified
        asked = self.headers.get("if-none-match")
        since = self.headers.get("if-modified-since")
        if asked and opts.get("inm") == "other":
            entry["status"] = 304
            return self.send(304, extra='ETag: "other"\r\n')
        weak = lambda t: t[2:] if t.startswith("W/") else t
        if tag and opts.get("inm") != "ignore" and asked and weak(asked) == weak(tag):
            entry["status"] = 304
            return self.send(304, extra=head)
        if opts.get("lastmod") and not asked and since == modified:
            entry["status"] = 304
            return self.send(304, extra=head)
        many = self.headers.get("range", "")
        if (many.startswith("bytes=") and "," in many and opts.get("range") != "ignore"
                and self.headers.get("if-range", tag) == tag):
            return self.multipart(body, head, many[6:].split(","), opts, entry, state)
        start, last = 0, len(body)  # the bytes sent: [start, last)
        ranged = False
        first, dash, final = self.headers.get("range", "").partition("-")
        if (first.startswith("bytes=") and dash and (first[6:] + final).isdigit()
                and (first[6:] or final) and opts.get("range") != "ignore"):
            if opts.get("ifrange") == "ignore" or (
                    self.headers.get("if-range", tag) == tag and tag and not tag.startswith("W/")):
                ranged = True
                if not first[6:]:  # the last n bytes, all of them when n is more
                    start = max(0, len(body) - int(final))
                else:
                    start = int(first[6:])
                    last = min(len(body), int(final) + 1) if final else len(body)
                if start >= last or opts.get("range") == "refuse":
                    entry["status"] = 416
                    return self.send(416, extra="Content-Range: bytes */%d\r\n" % len(body))
        entry["status"] = 206 if ranged or opts.get("range") == "always" else 200
        if entry["status"] == 206:
            first = 0 if opts.get("range") == "bad" else start
            junk = " junk" if opts.get("range") == "junk" else ""
            total = {"star": "*", "total": str(last - 1)}.get(opts.get("range"), str(len(body)))
            head += "Content-Range: bytes %d-%d/%s%s\r\n" % (first, last - 1, total, junk)
            if opts.get("range") == "long":
                last = min(len(body), last + 1000)
        last -= int(opts.get("less", 0))
        cut = self.next_cut(opts, cuts_done, len(body))
        end = last if cut is None or cut <= start or cut >= last else cut
        if ranged and opts.get("range") == "short":
            end = start + (last - start) // 2
        length = opts.get("length", str(last - start))
        if length != "none":
            head += "Content-Length: %s\r\n" % length
        self.keep = self.keep and end == last and length == str(last - start)
        close = "" if self.keep else "Connection: close\r\n"
        head = "HTTP/1.1 %d X\r\n%s%s\r\n" % (entry["status"], close, head)
        back = ranged and 0 < start and last == len(body)
        if back and "waitend" in opts:
            time.sleep(int(opts["waitend"]) / 1000)
        self.wfile.write(head.encode())
        step = 1 if "trickle" in opts or "stall" in opts else int(opts.get("piece", 65536))
        base = self.acked()
        try:
            for at in range(start, end, step):
                if "stall" in opts and at > start:
                    time.sleep(int(opts["stall"]) / 1000)
                    break
                if "trickle" in opts:
                    time.sleep(int(opts["trickle"]) / 1000)
                self.wfile.write(body[at : min(end, at + step)])
                entry["sent"] += min(end, at + step) - at
                if back and "paceend" in opts:
                    pace = opts["paceend"]
                else:
                    pace = opts.get("pace", opts.get("pacezero") if start == 0 else None)
                if pace or step == 1:
                    self.wfile.flush()
                if pace:
                    time.sleep(int(pace) / 1000)
            self.wfile.flush()
        except OSError:
            # The client went away mid-body: what reached it is what its end
            # acknowledged (TLS's few bytes a record included), never more
            # than was written; the rest sat in this side's buffers.
            entry["reached"] = min(entry["sent"], self.acked() - base)
            raise
        entry["reached"] = entry["sent"]
        if end < last:
            with self.server.lock:
                state["cuts"] += 1
            self.cut(opts.get("how") == "reset")
        elif length == "none":
            self.request.unwrap()  # close_notify: the end of the body

    def acked(self):
        """Bytes of this connection the client's end has acknowledged (TCP_INFO's bytes_acked)."""
        info = self.request.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 232)
        return struct.unpack_from("Q", info, 120)[0]

    def multipart(self, body, head, asked, opts, entry, state):
        """Many ranges in one answer, as nginx sends them, or spoilt as multi= says."""
        ranges = []
        for one in asked:
            a, _, b = one.strip().partition("-")
            if not (a.isdigit() and b.isdigit()) or int(a) > int(b) or int(a) >= len(body):
                entry["status"] = 416
                return self.send(416, extra="Content-Range: bytes */%d\r\n" % len(body))
            ranges.append((int(a), min(int(b), len(body) - 1)))
        how = opts.get("multi", "")
        with self.server.lock:
            if how == "truncate" and state.get("truncated"):
                how = ""
            if opts.get("range") == "short":  # every answer cut, as for one range
                how = "truncate"
            state["truncated"] = state.get("truncated") or how == "truncate"
        if how == "whole":
            entry["status"], entry["sent"] = 200, len(body)
            return self.send(200, body, extra=head)
        if how == "refuse":
            entry["status"] = 416
            return self.send(416, extra="Content-Range: bytes */%d\r\n" % len(body))
        if how == "one":
            (a, b), entry["status"], entry["sent"] = ranges[0], 206, ranges[0][1] + 1 - ranges[0][0]
            extra = head + "Content-Range: bytes %d-%d/%d\r\n" % (a, b, len(body))
            return self.send(206, body[a : b + 1], extra=extra)
        parts = list(ranges)
        if how == "order":
            parts.reverse()
        elif how == "extra":
            parts.insert(1, (parts[0][1] + 1, parts[0][1] + 10))
        elif how == "overlap":
            parts[1] = (parts[0][1], parts[0][1] + parts[1][1] - parts[1][0])
        boundary = "00000000000000000%03d" % (len(self.server.log) % 1000)
        out = b""
        for i, (a, b) in enumerate(parts):
            data = body[a : b + 1] + (b"x" if how == "long" and i == 1 else b"")
            if how == "short" and i == 1:
                data = data[:-1]
            mark = "other" if how == "boundary" and i == 1 else boundary
            out += ("\r\n--%s\r\nContent-Type: application/zip\r\nContent-Range: bytes %d-%d/%d\r\n\r\n"
                    % (mark, a, b, len(body))).encode() + data
        out += ("\r\n--%s--\r\n" % boundary).encode()
        sent = out[: len(out) // 2] if how == "truncate" else out
        self.keep = self.keep and how != "truncate"
        close = "" if self.keep else "Connection: close\r\n"
        self.wfile.write(("HTTP/1.1 206 X\r\n%s%sContent-Type: multipart/byteranges; boundary=%s\r\n"
                          "Content-Length: %d\r\n\r\n" % (close, head, boundary, len(out))).encode() + sent)
        self.wfile.flush()
        entry["status"], entry["sent"] = 206, len(sent)
        if how == "truncate":
            self.cut(False)

    def published(self, target, opts):
        """Whether this request for the file at |target| (or its signature) comes after publish=."""
        with self.server.lock:
            state = self.server.state.setdefault(target, {"requests": 0, "cuts": 0})
            state["all"] = state.get("all", 0) + 1
            return "publish" in opts and state["all"] > int(opts.get("at", "0"))

    def tunnel(self, target):
        """A proxy's CONNECT, to 127.0.0.1 only: bytes both ways until a side closes."""
        host, _, port = target.rpartition(":")
        entry = {"connect": target, "status": 403}
        self.server.log.setdefault("CONNECT", []).append(entry)
        if host not in ("127.0.0.1", "localhost") or not port.isdigit():
            return self.send(403, b"tunnels lead to 127.0.0.1 only\n")
        try:
            upstream = socket.create_connection(("127.0.0.1", int(port)))
        except OSError:
            entry["status"] = 502
            return self.send(502, b"cannot connect\n")
        entry["status"] = 200
        self.wfile.write(b"HTTP/1.1 200 Connection established\r\n\r\n")
        self.wfile.flush()
        with upstream:
            while True:
                for end in select.select([self.request, upstream], [], [])[0]:
                    data = end.recv(65536)
                    if not data:
                        return
                    (upstream if end is self.request else self.request).sendall(data)

    @staticmethod
    def next_cut(opts, done, length):
        cuts = [c for c in opts.get("cut", "").split(",") if c]
        if done >= len(cuts):
            return None
        point = cuts[done]
        return length * int(point[:-1]) // 100 if point.endswith("%") else int(point)

    def cut(self, reset):
        if reset:
            self.request.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        else:
            self.request.unwrap()


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
        server.state, server.log, server.lock = {}, {}, threading.Lock()
        server.http_port = servers[1].server_address[1]
    servers[1].log = servers[0].log  # tunnels through the plain listener show in /log/CONNECT
    threading.Thread(target=servers[1].serve_forever, daemon=True).start()
    print(servers[0].server_address[1], servers[1].server_address[1], flush=True)
    servers[0].serve_forever()


if __name__ == "__main__":
    main()
