#!/usr/bin/env python3
"""A stand-in for the AI service on 127.0.0.1 over HTTPS, for the tests.

argv: cert.pem key.pem scenario.json log.jsonl
The scenario maps "METHOD /path?query" to a list of replies, used in turn (the
last one repeats). A reply: {"status": 200, "headers": {...}, "body": "...",
"chunks": ["...", ...], "pause": seconds between chunks (default 0.01)};
"{port}" in headers and bodies becomes the port.
Every request is logged as one JSON line. The port is printed on stdout.
"""
import hashlib
import json
import ssl
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

cert, key, scenario_path, log_path = sys.argv[1:5]
with open(scenario_path, encoding="utf-8") as f:
    scenario = json.load(f)
used = {}
lock = threading.Lock()
port = 0


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def handle_any(self):
        length = int(self.headers.get("Content-Length") or 0)
        digest = hashlib.sha256()
        kept = bytearray()
        left = length
        while left > 0:
            piece = self.rfile.read(min(left, 1 << 20))
            if not piece:
                break
            digest.update(piece)
            if len(kept) < 1 << 20:
                kept.extend(piece[: (1 << 20) - len(kept)])
            left -= len(piece)
        route = self.command + " " + self.path
        with lock:
            replies = scenario.get(route) or [{"status": 404, "body": "{}"}]
            n = used.get(route, 0)
            used[route] = n + 1
            reply = replies[min(n, len(replies) - 1)]
            with open(log_path, "a", encoding="utf-8") as log:
                log.write(json.dumps({
                    "method": self.command, "path": self.path,
                    "headers": [[k, v] for k, v in self.headers.items()],
                    "length": length, "sha256": digest.hexdigest(),
                    "body": kept.decode("utf-8", "replace") if length <= 1 << 20 else "",
                }) + "\n")
        fill = lambda s: s.replace("{port}", str(port))
        self.send_response(reply.get("status", 200))
        for k, v in reply.get("headers", {}).items():
            self.send_header(k, fill(v))
        if "chunks" in reply:
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.flush()
            for c in reply["chunks"]:
                self.wfile.write(fill(c).encode("utf-8") if isinstance(c, str) else bytes(c))
                self.wfile.flush()
                time.sleep(reply.get("pause", 0.01))
            self.close_connection = True
            return
        body = fill(reply.get("body", "")).encode("utf-8")
        if "repeat" in reply:
            body = body * int(reply["repeat"])
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    do_GET = do_POST = do_DELETE = handle_any


server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
ctx.load_cert_chain(cert, key)
server.socket = ctx.wrap_socket(server.socket, server_side=True)
port = server.server_address[1]
print(port, flush=True)
server.serve_forever()
