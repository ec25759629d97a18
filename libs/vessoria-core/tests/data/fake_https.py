#!/usr/bin/python3
"""Local stand-in for the update server: one TLS listener and one plain one on
127.0.0.1, chosen by the system; prints "PORTS <tls> <plain>" and serves until
killed. "/files/NAME" serves NAME from the optional ROOT folder as it is at
the time of the request. Usage: fake_https.py CERT KEY [ROOT]"""
import os
import http.server
import json
import socketserver
import ssl
import sys
import threading


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def reply(self, status, body, headers=()):
        self.send_response(status)
        for k, v in headers:
            self.send_header(k, v)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        tls_port, plain_port = self.server.ports
        path = self.path
        if path.startswith("/echo"):
            body = json.dumps({"path": path, "headers": [[k, v] for k, v in self.headers.items()]})
            self.reply(200, body.encode())
        elif path.startswith("/files/") and len(sys.argv) > 3:
            name = os.path.basename(path[7:])
            try:
                with open(os.path.join(sys.argv[3], name), "rb") as f:
                    self.reply(200, f.read())
            except OSError:
                self.reply(404, b"")
        elif path == "/missing":
            self.reply(404, "no está".encode())
        elif path.startswith("/big/"):
            n = int(path[5:])
            self.send_response(200)
            self.send_header("Content-Length", str(n))
            self.end_headers()
            chunk = b"x" * 1048576
            try:
                while n > 0:
                    k = min(n, len(chunk))
                    self.wfile.write(chunk[:k])
                    n -= k
            except (BrokenPipeError, ConnectionResetError, ssl.SSLError):
                pass
        elif path == "/to-https":
            self.reply(302, b"", [("Location", "https://127.0.0.1:%d/echo?via=redirect" % tls_port)])
        elif path == "/to-http":
            self.reply(302, b"", [("Location", "http://127.0.0.1:%d/echo?via=redirect" % plain_port)])
        elif path.startswith("/hop/"):
            n = int(path[5:])
            where = "/hop/%d" % (n - 1) if n > 0 else "/echo?hops=done"
            self.reply(302, b"", [("Location", "https://127.0.0.1:%d%s" % (tls_port, where))])
        else:
            self.reply(500, b"unknown")


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True


def main():
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(sys.argv[1], sys.argv[2])
    tls = Server(("127.0.0.1", 0), Handler)
    tls.socket = ctx.wrap_socket(tls.socket, server_side=True)
    plain = Server(("127.0.0.1", 0), Handler)
    ports = (tls.server_address[1], plain.server_address[1])
    tls.ports = plain.ports = ports
    threading.Thread(target=plain.serve_forever, daemon=True).start()
    print("PORTS %d %d" % ports, flush=True)
    tls.serve_forever()


main()
