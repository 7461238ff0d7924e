#!/usr/bin/env python3
"""A small HTTP/1.1 server for the end-to-end tests and the demo: serves the files of a folder (and
bytes put in memory) on 127.0.0.1, and misbehaves on chosen paths on demand.

From pytest:

    from httpserver import HttpServer
    with HttpServer(root=release_dir, port=18380) as srv:     # port=0 picks a free port
        srv.put("/dedivur/update/pim", catalogue_bytes)        # in-memory reply, beats files
        srv.misbehave("/bin/a.dll", "cut", after=100)          # see MISBEHAVIOURS
        ... run the updater against srv.url("/dedivur/update/pim") ...
        assert srv.paths() == ["/dedivur/update/pim", "/bin/a.dll"]

From a shell (for the demo; Ctrl-C or SIGTERM stops it):

    python3 tests/e2e/httpserver.py --root DIR --port 18380 [--rate BYTES_PER_S]
                                    [--behave PATH=KIND[,key=value...]]...

Every misbehaviour ends by itself: stalls after `stall_limit` seconds (60 by default), endless
bodies after `endless_limit` seconds or `endless_bytes` bytes; stop() ends them at once.
"""
import argparse
import email.utils
import hashlib
import os
import posixpath
import re
import signal
import socket
import socketserver
import struct
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler

DEFAULT_PORT = 18380

# kind -> (parameters, what the client sees)
MISBEHAVIOURS = {
    "length": ("value", "Content-Length: <value> (int, or text written as is, e.g. ' 1234' or "
                        "'01234'); the real body follows, then the connection closes"),
    "no_length": ("", "no Content-Length; the body, then the connection closes"),
    "cut": ("after", "the full Content-Length, `after` bytes of the body, then a normal close (FIN)"),
    "reset": ("after", "the full Content-Length, `after` bytes, then a connection reset (RST); "
                       "after=None resets before any answer"),
    "status": ("code", "an HTML error page with that status (404, 500, ...) and its own length"),
    "stall": ("after", "after=None: reads the request and never answers; otherwise the headers and "
                       "`after` bytes, then nothing; until stall_limit, then the connection closes"),
    "slow": ("rate, burst", "the normal reply, paced at `rate` bytes per second after its first `burst` "
                            "bytes (default 0), which go at once"),
    "redirect": ("to, code", "a redirect (302 unless `code`) to the path or URL `to`"),
    "endless": ("", "200 without Content-Length and a body that does not end (bounded in time "
                    "and bytes)"),
    "reset_every": ("bytes", "the normal reply (Range honoured), but every reply ends in a reset (RST) "
                             "after `bytes` body bytes"),
    "ignore_range": ("", "200 and the whole file, whatever Range and If-Range say"),
    "wrong_range": ("shift", "a Range request gets 206 with the bytes from N+shift on and a "
                             "Content-Range that says so (default shift 1)"),
    "drip": ("pauses", "the normal reply's headers, then the body in len(pauses) + 1 equal parts with a pause "
                       "of pauses[i] seconds before part i + 1"),
    "etag": ("value", "the reply's ETag is `value` (W/\"...\" for a weak one; '' for none), and If-Range "
                      "is compared with it"),
}

# Every normal reply carries a strong ETag made from its bytes and a Last-Modified, and honours
# "Range: bytes=N-": with If-Range equal to either (or without If-Range) it answers 206 with
# "Content-Range: bytes N-(size-1)/size", otherwise 200 and the whole file.


class RequestRecord:
    """One request as the server saw it."""

    def __init__(self, method, path, headers, when, client_port):
        self.method = method
        self.path = path          # URL path without the query, percent-decoded
        self.headers = headers    # dict, header names in lower case
        self.time = when          # time.time() when the request line arrived
        self.client_port = client_port
        self.status = None        # the status sent, None when no answer was sent
        self.sent = 0             # body bytes sent
        self.ended = None         # time.time() when the server was done with it

    def __repr__(self):
        return f"<{self.method} {self.path} {self.status} sent={self.sent}>"


class _Behaviour:
    def __init__(self, kind, times, params):
        if kind not in MISBEHAVIOURS:
            raise ValueError(f"unknown misbehaviour {kind!r}; known: {', '.join(MISBEHAVIOURS)}")
        self.kind = kind
        self.times = times
        self.params = params


class _ThreadingServer(socketserver.ThreadingMixIn, socketserver.TCPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64


class HttpServer:
    """Serves `root` (may be None: only what put() stores) on host:port in background threads."""

    def __init__(self, root=None, port=DEFAULT_PORT, host="127.0.0.1", rate=None,
                 stall_limit=60.0, endless_limit=60.0, endless_bytes=1 << 30, verbose=False):
        self.root = os.path.abspath(root) if root else None
        self.host = host
        self.rate = rate
        self.stall_limit = stall_limit
        self.endless_limit = endless_limit
        self.endless_bytes = endless_bytes
        self.verbose = verbose
        self.log = []
        self._requested_port = port
        self._memory = {}
        self._behaviours = {}
        self._lock = threading.Lock()
        self._connections = set()
        self._stop = threading.Event()
        self._started = time.time()
        self._server = None
        self._thread = None

    # --- life -------------------------------------------------------------------------------
    def start(self):
        handler = type("Handler", (_Handler,), {"owner": self})
        self._server = _ThreadingServer((self.host, self._requested_port), handler)
        self._stop.clear()
        self._thread = threading.Thread(target=self._server.serve_forever, kwargs={"poll_interval": 0.1},
                                        name="httpserver", daemon=True)
        self._thread.start()
        return self

    def stop(self):
        """Stops accepting, ends every connection (stalls included) and waits for the loop."""
        if not self._server:
            return
        self._stop.set()
        self._server.shutdown()
        self._server.server_close()
        with self._lock:
            conns = list(self._connections)
        for c in conns:
            try:
                c.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        self._thread.join(timeout=10)
        self._server = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    @property
    def port(self):
        return self._server.server_address[1] if self._server else self._requested_port

    def url(self, path="/"):
        if not path.startswith("/"):
            path = "/" + path
        return f"http://{self.host}:{self.port}{urllib.parse.quote(path, safe='/')}"

    # --- content and behaviour --------------------------------------------------------------
    def put(self, path, data):
        """Serves `data` (bytes) at `path`, ahead of any file of the same name."""
        with self._lock:
            self._memory[path] = bytes(data)

    def remove(self, path):
        with self._lock:
            self._memory.pop(path, None)

    def misbehave(self, path, kind, times=None, **params):
        """Makes `path` misbehave (see MISBEHAVIOURS); `times` limits it to that many requests."""
        with self._lock:
            self._behaviours[path] = _Behaviour(kind, times, params)

    def behave(self, path=None):
        """Ends the misbehaviour of `path`, or of every path."""
        with self._lock:
            if path is None:
                self._behaviours.clear()
            else:
                self._behaviours.pop(path, None)

    # --- the log ----------------------------------------------------------------------------
    def requests(self, path=None):
        with self._lock:
            return [r for r in self.log if path is None or r.path == path]

    def paths(self):
        return [r.path for r in self.requests()]

    def clear_log(self):
        with self._lock:
            self.log.clear()

    def wait_answered(self, timeout=10.0):
        """Waits until the server is done with every request logged so far (its `sent` count and
        status are final); a client can have the last byte before the server has noted it."""
        deadline = time.time() + timeout
        while time.time() < deadline:
            if all(r.ended is not None for r in self.requests()):
                return True
            time.sleep(0.02)
        return False

    def wait_idle(self, timeout=10.0):
        """Waits until no connection is open (the client has gone)."""
        deadline = time.time() + timeout
        while time.time() < deadline:
            with self._lock:
                if not self._connections:
                    return True
            time.sleep(0.05)
        return False

    # --- for the handler --------------------------------------------------------------------
    def _take_behaviour(self, path):
        with self._lock:
            b = self._behaviours.get(path)
            if b and b.times is not None:
                b.times -= 1
                if b.times <= 0:
                    del self._behaviours[path]
            return b

    def _modified(self, path):
        """Last-Modified of `path`: its file's time, or the server's start for bytes put()."""
        with self._lock:
            in_memory = path in self._memory
        if not in_memory and self.root:
            full = os.path.join(self.root, *posixpath.normpath(path).lstrip("/").split("/"))
            if os.path.isfile(full):
                return os.stat(full).st_mtime
        return self._started

    def _content(self, path):
        """The bytes for `path`, or None."""
        with self._lock:
            if path in self._memory:
                return self._memory[path]
        if not self.root:
            return None
        rel = posixpath.normpath(path).lstrip("/")
        if rel.startswith("..") or rel in ("", "."):
            return None
        full = os.path.join(self.root, *rel.split("/"))
        if not os.path.isfile(full):
            return None
        with open(full, "rb") as f:
            return f.read()


class _Handler(BaseHTTPRequestHandler):
    owner = None  # the HttpServer, set per server
    protocol_version = "HTTP/1.1"
    server_version = "TarnTestServer/1"
    timeout = 75  # an idle keep-alive connection ends by itself

    def setup(self):
        super().setup()
        with self.owner._lock:
            self.owner._connections.add(self.connection)

    def finish(self):
        try:
            super().finish()
        except OSError:
            pass
        with self.owner._lock:
            self.owner._connections.discard(self.connection)

    def log_message(self, format, *args):
        if self.owner.verbose:
            sys.stderr.write("%s %s\n" % (time.strftime("%H:%M:%S"), format % args))

    # --- requests ---------------------------------------------------------------------------
    def do_GET(self):
        self._answer(send_body=True)

    def do_HEAD(self):
        self._answer(send_body=False)

    def _answer(self, send_body):
        path = _request_path(self.path)
        rec = RequestRecord(self.command, path, {k.lower(): v for k, v in self.headers.items()},
                            time.time(), self.client_address[1])
        with self.owner._lock:
            self.owner.log.append(rec)
        self._rec = rec
        try:
            behaviour = self.owner._take_behaviour(path)
            body = self.owner._content(path)
            if behaviour:
                self._misbehave(behaviour, body, send_body)
            elif body is None:
                self._error_page(404, send_body)
            else:
                self._reply_range(body, send_body, path)
        except (ConnectionError, socket.timeout, OSError):
            self.close_connection = True
        finally:
            rec.ended = time.time()

    # --- pieces -----------------------------------------------------------------------------
    def _head(self, status, headers, close=False):
        reason = self.responses.get(status, ("",))[0]
        lines = [f"HTTP/1.1 {status} {reason}", f"Date: {self.date_time_string()}",
                 f"Server: {self.server_version}"]
        lines += [f"{k}: {v}" for k, v in headers]
        if close:
            lines.append("Connection: close")
            self.close_connection = True
        self.wfile.write(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1"))
        self._rec.status = status

    def _body(self, data, rate=None, burst=0):
        """Writes data, paced at `rate` bytes/s after the first `burst` bytes when a rate is given;
        stops early when the server stops."""
        burst = min(burst, len(data)) if rate else 0
        if burst:
            self._body(data[:burst])
            data = data[burst:]
        if not rate:
            view = memoryview(data)
            for i in range(0, len(view), 65536):
                if self.owner._stop.is_set():
                    raise ConnectionAbortedError("server stopping")
                self.wfile.write(view[i:i + 65536])
                self._rec.sent += len(view[i:i + 65536])
            return
        start = time.time()
        chunk = max(1, int(rate) // 20)
        sent = 0
        while sent < len(data):
            due = start + sent / rate
            if self.owner._stop.wait(max(0.0, due - time.time())):
                raise ConnectionAbortedError("server stopping")
            piece = data[sent:sent + chunk]
            self.wfile.write(piece)
            sent += len(piece)
            self._rec.sent = burst + sent

    def _reply(self, body, send_body, rate=None, length=True, close=False, burst=0):
        headers = [("Content-Type", "application/octet-stream")]
        if length:
            headers.append(("Content-Length", str(len(body))))
        self._head(200, headers, close=close or not length)
        if send_body:
            self._body(body, rate, burst)

    def _validators(self, body, path, etag=None):
        tag = etag if etag is not None else '"%s"' % hashlib.sha1(body).hexdigest()[:20]
        modified = email.utils.formatdate(self.owner._modified(path), usegmt=True)
        return tag, modified

    def _range_start(self, body, tag, modified):
        """(first, last) of a "Range: bytes=N-" (last None) or "bytes=N-M" request, or None for the
        whole file."""
        wanted = re.fullmatch(r"bytes=(\d+)-(\d*)", self.headers.get("Range", ""))
        if not wanted:
            return None
        condition = self.headers.get("If-Range")
        if condition is not None and condition.strip() not in ([tag] if tag.startswith('"') else []) + [modified]:
            return None
        return int(wanted[1]), int(wanted[2]) if wanted[2] else None

    def _reply_range(self, body, send_body, path, etag=None, shift=0, reset_after=None):
        tag, modified = self._validators(body, path, etag)
        headers = [("Content-Type", "application/octet-stream"), ("Last-Modified", modified)]
        if tag:
            headers.append(("ETag", tag))
        asked = self._range_start(body, tag, modified)
        if asked is not None and asked[0] >= len(body):
            self._head(416, headers + [("Content-Range", f"bytes */{len(body)}"), ("Content-Length", "0")])
            return
        if asked is None:
            status, part = 200, body
        else:
            start = asked[0] + shift
            end = len(body) - 1 if asked[1] is None else min(asked[1], len(body) - 1)
            status, part = 206, body[start:end + 1]
            headers.append(("Content-Range", f"bytes {start}-{end}/{len(body)}"))
        self._head(status, headers + [("Content-Length", str(len(part)))], close=reset_after is not None)
        if not send_body:
            return
        if reset_after is None:
            self._body(part, self.owner.rate)
            return
        self._body(part[:reset_after], self.owner.rate)
        if reset_after < len(part):
            # A reset makes the receiving kernel drop what the client has not read yet, so a
            # loaded machine would lose a varying amount; the cut comes once the client holds all.
            self._wait_peer_drained(10.0)
            self._reset()

    def _error_page(self, status, send_body):
        reason = self.responses.get(status, ("Error",))[0]
        page = (f"<html><head><title>{status} {reason}</title></head>"
                f"<body><h1>{status} {reason}</h1></body></html>\n").encode()
        self._head(status, [("Content-Type", "text/html"), ("Content-Length", str(len(page)))])
        if send_body:
            self._body(page)

    def _wait_peer_drained(self, limit):
        """Waits (at most limit seconds) until the client on this machine has read every byte
        sent to it: nothing unacknowledged on this side, nothing unread in its receive queue."""
        def entry(address):
            ip, port = address[:2]
            return f"{socket.htonl(int.from_bytes(socket.inet_aton(ip), 'big')):08X}:{port:04X}"
        try:
            here, peer = entry(self.connection.getsockname()), entry(self.connection.getpeername())
        except OSError:
            return
        deadline = time.time() + limit
        missing = 0
        while time.time() < deadline:
            queued = {}
            try:
                with open("/proc/net/tcp") as table:
                    for row in table.readlines()[1:]:
                        f = row.split()
                        if f[1] in (here, peer):
                            tx, rx = (int(x, 16) for x in f[4].split(":"))
                            queued[f[1]] = tx if f[1] == here else rx
            except OSError:
                return
            # The table is read in pieces and may miss a row while others change: both rows count,
            # unless one stays away (the connection is gone).
            if len(queued) == 2 and not any(queued.values()):
                return
            missing = missing + 1 if len(queued) < 2 else 0
            if missing >= 5:
                return
            time.sleep(0.01)

    def _reset(self):
        """Ends the connection with a reset (RST) instead of a normal close."""
        self.close_connection = True
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.connection.close()

    def _misbehave(self, b, body, send_body):
        p = b.params
        kind = b.kind
        if body is None and kind not in ("status", "redirect", "stall", "endless", "reset"):
            body = b""
        if kind == "length":
            self._head(200, [("Content-Type", "application/octet-stream"), ("Content-Length", p["value"])],
                       close=True)
            if send_body:
                self._body(body)
        elif kind == "no_length":
            self._reply(body, send_body, length=False)
        elif kind == "cut":
            self._head(200, [("Content-Length", str(len(body)))], close=True)
            if send_body:
                self._body(body[:p.get("after", len(body) // 2)])
        elif kind == "reset":
            after = p.get("after")
            if after is not None:
                body = body or b""
                self._head(200, [("Content-Length", str(len(body)))], close=True)
                if send_body:
                    self._body(body[:after])
                time.sleep(0.05)  # lets the bytes leave before the reset
            self._reset()
        elif kind == "status":
            self.close_connection = True
            self._error_page(int(p.get("code", 500)), send_body)
        elif kind == "stall":
            after = p.get("after")
            if after is not None:
                body = body or b""
                self._head(200, [("Content-Length", str(len(body)))], close=True)
                if send_body:
                    self._body(body[:after])
            self.close_connection = True
            self.owner._stop.wait(self.owner.stall_limit)
        elif kind == "slow":
            self._reply(body, send_body, rate=float(p["rate"]), burst=int(p.get("burst", 0)))
        elif kind == "redirect":
            to = p["to"]
            if to.startswith("/"):
                to = self.owner.url(to)
            self._head(int(p.get("code", 302)), [("Location", to), ("Content-Length", "0")])
        elif kind == "reset_every":
            self._reply_range(body, send_body, self._rec.path, reset_after=int(p["bytes"]))
        elif kind == "ignore_range":
            self._reply(body, send_body)
        elif kind == "wrong_range":
            self._reply_range(body, send_body, self._rec.path, shift=int(p.get("shift", 1)))
        elif kind == "etag":
            self._reply_range(body, send_body, self._rec.path, etag=str(p["value"]))
        elif kind == "drip":
            self._head(200, [("Content-Type", "application/octet-stream"), ("Content-Length", str(len(body)))])
            if not send_body:
                return
            pauses = list(p["pauses"])
            step = -(-len(body) // (len(pauses) + 1))
            for i in range(0, len(body), step):
                self._body(body[i:i + step])
                self.wfile.flush()
                if pauses and self.owner._stop.wait(pauses.pop(0)):
                    raise ConnectionAbortedError("server stopping")
        elif kind == "endless":
            self._head(200, [("Content-Type", "application/octet-stream")], close=True)
            if not send_body:
                return
            block = bytes(range(256)) * 256
            deadline = time.time() + self.owner.endless_limit
            while self._rec.sent < self.owner.endless_bytes and time.time() < deadline:
                if self.owner._stop.is_set():
                    return
                self.wfile.write(block)
                self._rec.sent += len(block)


def _request_path(target):
    """The path of a request target as text. Clients send non-ASCII paths either percent-escaped
    or as raw bytes: UTF-8 from most, the ANSI code page (CP949) from WinINet under a Korean
    locale. http.server hands the request line over as Latin-1 text."""
    raw = target.encode("latin-1", errors="replace").split(b"?", 1)[0].split(b"#", 1)[0]
    if b"://" in raw:  # absolute form
        raw = b"/" + raw.split(b"://", 1)[1].partition(b"/")[2]
    raw = urllib.parse.unquote_to_bytes(raw)
    for codec in ("utf-8", "cp949"):
        try:
            return raw.decode(codec)
        except UnicodeDecodeError:
            pass
    return raw.decode("latin-1")


def _parse_behave(text):
    """'PATH=KIND[,key=value...]' -> (path, kind, params)."""
    path, _, rest = text.partition("=")
    kind, *pairs = rest.split(",")
    params = {}
    for pair in pairs:
        k, _, v = pair.partition("=")
        params[k] = int(v) if v.lstrip("-").isdigit() else v
    return path, kind, params


def main(argv=None):
    ap = argparse.ArgumentParser(description="Serve a folder over HTTP/1.1 on 127.0.0.1.")
    ap.add_argument("--root", required=True, help="folder to serve")
    ap.add_argument("--port", type=int, default=DEFAULT_PORT)
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--rate", type=float, default=None, help="bytes per second for every reply")
    ap.add_argument("--behave", action="append", default=[], metavar="PATH=KIND[,key=value...]",
                    help="misbehaviour of one path: " + ", ".join(MISBEHAVIOURS))
    ap.add_argument("--quiet", action="store_true", help="no request log on stderr")
    args = ap.parse_args(argv)

    srv = HttpServer(root=args.root, port=args.port, host=args.host, rate=args.rate,
                     verbose=not args.quiet)
    for item in args.behave:
        path, kind, params = _parse_behave(item)
        srv.misbehave(path, kind, **params)
    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: done.set())
    signal.signal(signal.SIGINT, lambda *_: done.set())
    srv.start()
    print(f"serving {srv.root} on http://{srv.host}:{srv.port}/", flush=True)
    try:
        while not done.wait(0.5):
            pass
    finally:
        srv.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
