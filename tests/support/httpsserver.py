#!/usr/bin/python3
"""HTTPS test server on 127.0.0.1 for the download tests.

Usage:
  httpsserver.py --cert CERT --key KEY --root DIR [--routes FILE.json]
                 [--max-tls 1.1] [--plain]

Prints "PORT <n>" as its first line on stdout, then one line per request
("GET /path"), flushed, so a test can see what was asked for.

Files under --root are served as they are on disk at the time of the request,
so a test may change them between requests.

Built-in routes (query values are URL-encoded):
  /redirect/<code>?to=<target>   status <code> with Location: <target>
                                 (no "to": no Location header at all)
  /status/<code>                 status <code> with a short text body
  /cut/<declared>/<sent>         Content-Length <declared>, <sent> bytes, close
  /trickle/<total>/<ms>          Content-Length <total>, one byte every <ms>
  /endless                       a body without end (no Content-Length)
  /loop/<n>                      302 to /loop/<n+1>, for ever

The routes file maps a path (without query) to an object with the keys
"status" (default 200), "headers" (object), and "body" (text) or "file"
(path, relative to --root). Routes take precedence over the root folder.
"""

import argparse
import http.server
import json
import os
import socket
import ssl
import sys
import time
import urllib.parse


class Handler(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    routes = {}

    def log_message(self, format, *args):
        pass

    def _announce(self):
        sys.stdout.write("%s %s\n" % (self.command, self.path))
        sys.stdout.flush()

    def _plain(self, status, body=b"", headers=None, length=None):
        self.send_response(status)
        for name, value in (headers or {}).items():
            self.send_header(name, value)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body) if length is None else length))
        self.end_headers()
        if body and self.command != "HEAD":
            self.wfile.write(body)

    def _close_now(self):
        self.close_connection = True
        try:
            self.wfile.flush()
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def do_HEAD(self):
        self.do_GET()

    def do_GET(self):
        self._announce()
        parsed = urllib.parse.urlsplit(self.path)
        path = parsed.path
        query = urllib.parse.parse_qs(parsed.query)
        parts = [p for p in path.split("/") if p]
        try:
            if path in self.routes:
                return self._route(self.routes[path])
            if len(parts) == 2 and parts[0] == "redirect":
                headers = {}
                if "to" in query:
                    headers["Location"] = query["to"][0]
                return self._plain(int(parts[1]), b"moved\n", headers)
            if len(parts) == 2 and parts[0] == "status":
                return self._plain(int(parts[1]), b"" if int(parts[1]) == 304 else b"status body\n")
            if len(parts) == 2 and parts[0] == "loop":
                return self._plain(302, b"again\n", {"Location": "/loop/%d" % (int(parts[1]) + 1)})
            if len(parts) == 3 and parts[0] == "cut":
                declared, sent = int(parts[1]), int(parts[2])
                self._plain(200, b"", length=declared)
                self.wfile.write(b"c" * sent)
                return self._close_now()
            if len(parts) == 3 and parts[0] == "trickle":
                total, pause = int(parts[1]), int(parts[2]) / 1000.0
                self._plain(200, b"", length=total)
                for _ in range(total):
                    self.wfile.write(b"t")
                    self.wfile.flush()
                    time.sleep(pause)
                return None
            if path == "/endless":
                self.send_response(200)
                self.send_header("Content-Type", "text/html")
                self.send_header("Connection", "close")
                self.end_headers()
                self.close_connection = True
                chunk = b"<p>endless</p>\n" * 4096
                while True:
                    self.wfile.write(chunk)
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError):
            self.close_connection = True
            return None
        return super().do_GET()

    def _route(self, route):
        status = int(route.get("status", 200))
        headers = dict(route.get("headers", {}))
        if "file" in route:
            with open(os.path.join(self.directory, route["file"]), "rb") as f:
                body = f.read()
        else:
            body = route.get("body", "").encode("utf-8")
        self.send_response(status)
        for name, value in headers.items():
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    tls_context = None

    def get_request(self):
        sock, address = super().get_request()
        if self.tls_context is not None:
            # The handshake runs in the handler thread, so a client that stalls it
            # cannot block the accepting loop.
            sock = self.tls_context.wrap_socket(sock, server_side=True, do_handshake_on_connect=False)
        return sock, address

    def handle_error(self, request, client_address):
        # Refused handshakes are what some tests are about; keep stderr quiet.
        pass


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--root", required=True)
    parser.add_argument("--routes")
    parser.add_argument("--max-tls", choices=["1.0", "1.1"])
    parser.add_argument("--plain", action="store_true", help="plain HTTP, no TLS")
    args = parser.parse_args()

    if args.routes:
        with open(args.routes, encoding="utf-8") as f:
            Handler.routes = json.load(f)

    def handler(*a, **kw):
        return Handler(*a, directory=args.root, **kw)

    server = Server(("127.0.0.1", 0), handler)
    if not args.plain:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(args.cert, args.key)
        if args.max_tls:
            # OpenSSL 3 refuses TLS 1.1 and older at its default security level.
            ctx.set_ciphers("DEFAULT:@SECLEVEL=0")
            ctx.minimum_version = ssl.TLSVersion.TLSv1
            ctx.maximum_version = ssl.TLSVersion.TLSv1 if args.max_tls == "1.0" else ssl.TLSVersion.TLSv1_1
        server.tls_context = ctx

    sys.stdout.write("PORT %d\n" % server.server_address[1])
    sys.stdout.flush()
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
