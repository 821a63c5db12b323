#!/usr/bin/env python3
"""A small update server for tests, benchmarks and the demo.

Serves the files of a folder over real HTTP on 127.0.0.1 and a free port,
like the static web server a vendor publishes the update tree on, and can
misbehave on purpose for single paths:

  404       answer "404 Not Found" (the file need not exist)
  cut       announce the whole Content-Length, send half the body, close
  unsized   send the whole body without a Content-Length, then close
  stall     announce the length, send the first bytes, then send nothing
            more until --stall-seconds have passed or the server stops
  ok        serve the file normally (clears an earlier rule)

Text lists ("*.txt", stored as UTF-8 with or without signature) are sent in
the encoding chosen with --list-encoding or per path: utf8bom, utf8,
utf16le, utf16be (each with its signature, none for utf8) or ansi (the
Windows ANSI code page given by --ansi-codepage, default cp1252); "asis"
sends the bytes unchanged.

Rules are given on the command line (--rule PATH=MODE, repeatable) or while
the server runs, by a request to
  /__control?path=PATH&mode=MODE        (MODE as above, or an encoding)
which answers "ok". Every request line is appended to --log FILE when given.

The chosen port is printed as "PORT <n>" on standard output and, with
--port-file, written to that file (written under another name and renamed,
so a reader never sees half a number). The server ends by itself after
--lifetime seconds (default 300), on SIGTERM/SIGINT, or when a request to
/__control?stop=1 arrives.

Usage:
  update_server.py --root DIR [--port-file FILE] [--lifetime S]
                   [--rule /path=MODE ...] [--list-encoding ENC] [--log FILE]
"""

import argparse
import os
import posixpath
import signal
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

ENCODINGS = ("utf8bom", "utf8", "utf16le", "utf16be", "ansi", "asis")
MODES = ("404", "cut", "stall", "unsized", "ok")


class State:
    def __init__(self, args):
        self.root = os.path.realpath(args.root)
        self.rules = {}
        self.encodings = {}
        self.default_encoding = args.list_encoding
        self.ansi = args.ansi_codepage
        self.stall_seconds = args.stall_seconds
        self.log = args.log
        self.lock = threading.Lock()
        self.stopping = threading.Event()

    def set(self, path, mode):
        with self.lock:
            if mode in ENCODINGS:
                self.encodings[path] = mode
            elif mode == "ok":
                self.rules.pop(path, None)
            else:
                self.rules[path] = mode

    def rule(self, path):
        with self.lock:
            return self.rules.get(path), self.encodings.get(path, self.default_encoding)

    def write_log(self, line):
        if not self.log:
            return
        with self.lock:
            with open(self.log, "a", encoding="utf-8") as f:
                f.write(line + "\n")


def encode_list(data, encoding, ansi):
    if encoding == "asis":
        return data
    text = data.decode("utf-8-sig")
    if encoding == "utf8bom":
        return b"\xef\xbb\xbf" + text.encode("utf-8")
    if encoding == "utf8":
        return text.encode("utf-8")
    if encoding == "utf16le":
        return b"\xff\xfe" + text.encode("utf-16-le")
    if encoding == "utf16be":
        return b"\xfe\xff" + text.encode("utf-16-be")
    return text.encode(ansi)


def make_handler(state):
    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"
        server_version = "KeloUpdateTest/1.0"

        def log_message(self, fmt, *args):  # quiet; --log keeps the requests
            pass

        def local_file(self, path):
            # Only plain names below the root; no "..", no links.
            parts = [p for p in posixpath.normpath(path).split("/") if p]
            if any(p in ("..", ".") or "\\" in p or ":" in p for p in parts):
                return None
            full = os.path.join(state.root, *parts)
            probe = state.root
            for p in parts:
                probe = os.path.join(probe, p)
                if os.path.islink(probe):
                    return None
            if not os.path.isfile(full):
                return None
            return full

        def answer(self, code, body=b"", ctype="text/plain"):
            self.send_response(code)
            self.send_header("Content-Type", ctype)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            if self.command != "HEAD":
                self.wfile.write(body)

        def do_HEAD(self):
            self.do_GET()

        def do_GET(self):
            url = urllib.parse.urlsplit(self.path)
            path = urllib.parse.unquote(url.path)
            state.write_log(f"{self.command} {self.path} {self.headers.get('User-Agent', '')}")
            if path == "/__control":
                q = urllib.parse.parse_qs(url.query)
                if "stop" in q:
                    self.answer(200, b"ok")
                    state.stopping.set()
                    return
                target, mode = q.get("path", [""])[0], q.get("mode", [""])[0]
                if not target.startswith("/") or mode not in MODES + ENCODINGS:
                    self.answer(400, b"bad control request")
                    return
                state.set(target, mode)
                self.answer(200, b"ok")
                return

            mode, encoding = state.rule(path)
            if mode == "404":
                self.answer(404, b"not found")
                return
            full = self.local_file(path)
            if full is None:
                self.answer(404, b"not found")
                return
            with open(full, "rb") as f:
                body = f.read()
            if full.lower().endswith(".txt"):
                try:
                    body = encode_list(body, encoding, state.ansi)
                except (UnicodeError, LookupError):
                    pass  # not text in UTF-8: send as stored
            ctype = "text/plain" if full.lower().endswith(".txt") else "application/octet-stream"
            if mode not in ("cut", "stall", "unsized"):
                self.answer(200, body, ctype)
                return
            self.send_response(200)
            self.send_header("Content-Type", ctype)
            if mode == "unsized":
                self.send_header("Connection", "close")
                self.end_headers()
                self.wfile.write(body)
                self.wfile.flush()
                self.close_connection = True
                return
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Connection", "close")
            self.end_headers()
            if mode == "cut":
                self.wfile.write(body[: len(body) // 2])
                self.wfile.flush()
                self.close_connection = True
                return
            self.wfile.write(body[: min(len(body) // 2, 512)])
            self.wfile.flush()
            state.stopping.wait(state.stall_seconds)
            self.close_connection = True

    return Handler


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--root", required=True, help="folder to serve")
    ap.add_argument("--port", type=int, default=0, help="port (default: a free one)")
    ap.add_argument("--port-file", help="write the port number here")
    ap.add_argument("--lifetime", type=float, default=300.0, help="seconds before the server ends itself")
    ap.add_argument("--stall-seconds", type=float, default=60.0, help="how long a stalled answer waits")
    ap.add_argument("--rule", action="append", default=[], help="PATH=MODE (404, cut, stall, ok or an encoding)")
    ap.add_argument("--list-encoding", default="asis", choices=ENCODINGS, help="encoding of *.txt answers")
    ap.add_argument("--ansi-codepage", default="cp1252", help="Python codec for the ansi encoding")
    ap.add_argument("--log", help="append one line per request to this file")
    args = ap.parse_args()
    if not os.path.isdir(args.root):
        print(f"update_server: no such folder: {args.root}", file=sys.stderr)
        return 2
    state = State(args)
    for r in args.rule:
        path, sep, mode = r.partition("=")
        if not sep or not path.startswith("/") or mode not in MODES + ENCODINGS:
            print(f"update_server: bad --rule {r!r} (PATH=MODE, MODE one of {', '.join(MODES + ENCODINGS)})",
                  file=sys.stderr)
            return 2
        state.set(path, mode)

    server = ThreadingHTTPServer(("127.0.0.1", args.port), make_handler(state))
    server.daemon_threads = True
    port = server.server_address[1]
    if args.port_file:
        tmp = args.port_file + ".tmp"
        with open(tmp, "w") as f:
            f.write(f"{port}\n")
        os.replace(tmp, args.port_file)
    print(f"PORT {port}", flush=True)

    def stop(*_):
        state.stopping.set()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.2}, daemon=True).start()
    deadline = time.monotonic() + args.lifetime
    while not state.stopping.wait(0.2):
        if time.monotonic() >= deadline:
            break
    state.stopping.set()
    server.shutdown()
    server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
