#!/usr/bin/env python3
"""A web server that misbehaves on purpose, for the end-to-end scenarios.

    misbehave.py FOLDER CERT KEY PORTS_FILE

Serves the release folders under FOLDER at /MODE/RELEASE/..., over HTTP on
one loopback port and over HTTPS (CERT, KEY) on another, and writes
"HTTP_PORT HTTPS_PORT" to PORTS_FILE once both listen. The manifest and its
signature come as they are unless the mode says otherwise; MODE decides what
happens to the release's files:
  ok        served as they are
  stall     half the file, then nothing more
  silent    no answer at all for the files
  close     half the file, then the connection closes
  more      the file and 4 KiB more, all announced in Content-Length
  trickle   100 bytes a second
  notfound  404
  error     500 for everything, the manifest too
  endless   the manifest never ends
  redirect  302 to the same path under "ok" on the HTTP port
"""
import http.server
import os
import socketserver
import ssl
import sys
import threading
import time

folder, cert, key, ports_file = sys.argv[1:5]
http_port = 0


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        sys.stderr.write('"%s" %s\n' % (self.requestline, args[2] if len(args) > 2 else ""))
        sys.stderr.flush()

    def head(self, status, length=None, extra=()):
        self.send_response(status)
        self.send_header("Content-Type", "application/octet-stream")
        if length is not None:
            self.send_header("Content-Length", str(length))
        for name, value in extra:
            self.send_header(name, value)
        self.end_headers()

    def do_GET(self):
        try:
            self.answer()
        except OSError:  # the client hung up, as it should on a misbehaving server
            self.close_connection = True

    def answer(self):
        parts = self.path.lstrip("/").split("/", 1)
        if len(parts) != 2 or ".." in parts[1]:
            return self.head(400, 0)
        mode, rest = parts
        path = os.path.join(folder, rest)
        is_file = "/files/" in "/" + rest
        if mode == "redirect":
            location = "http://127.0.0.1:%d/ok/%s" % (http_port, rest)
            return self.head(302, 0, [("Location", location)])
        if mode == "error":
            return self.head(500, 0)
        if mode == "endless" and rest.endswith(".manifest"):
            self.head(200, None, [("Connection", "close")])
            self.close_connection = True
            chunk = b"kelvo-release 1\n" * 4096
            for _ in range(4096):  # 256 MiB at most: the client gives up long before
                self.wfile.write(chunk)
            return
        if not os.path.isfile(path):
            return self.head(404, 0)
        if mode == "silent" and is_file:
            self.close_connection = True
            self.connection.settimeout(600)  # until the client hangs up, 10 minutes at most
            self.connection.recv(1)
            return
        with open(path, "rb") as f:
            body = f.read()
        if not is_file or mode == "ok":
            self.head(200, len(body))
            return self.wfile.write(body)
        if mode == "notfound":
            return self.head(404, 0)
        if mode == "more":
            self.head(200, len(body) + 4096)
            return self.wfile.write(body + b"\0" * 4096)
        if mode in ("stall", "close"):
            self.head(200, len(body))
            self.wfile.write(body[: len(body) // 2])
            self.wfile.flush()
            if mode == "close":
                self.close_connection = True
                return
            self.connection.settimeout(600)  # until the client hangs up, 10 minutes at most
            self.connection.recv(1)
            return
        if mode == "trickle":
            # The first bytes in the headers' packet: the client holds some of
            # the body before its first read, as from most servers.
            self.log_request(200)
            self.wfile.write(b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                             b"Content-Length: %d\r\n\r\n" % len(body) + body[:100])
            for at in range(100, len(body), 100):
                time.sleep(1)
                self.wfile.write(body[at : at + 100])
            return
        self.head(400, 0)


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


plain = Server(("127.0.0.1", 0), Handler)
secure = Server(("127.0.0.1", 0), Handler)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(cert, key)
secure.socket = context.wrap_socket(secure.socket, server_side=True)
http_port = plain.server_address[1]
threading.Thread(target=secure.serve_forever, daemon=True).start()
with open(ports_file + ".tmp", "w") as out:
    out.write("%d %d\n" % (http_port, secure.server_address[1]))
os.rename(ports_file + ".tmp", ports_file)
plain.serve_forever()
