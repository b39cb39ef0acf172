#!/usr/bin/python3
# HTTPS test server on 127.0.0.1 for the download tests.
#
#   httpsserver.py --cert CERT --key KEY --root DIR [--routes FILE.json] [--max-tls 1.0|1.1] [--plain]
#
# Prints "PORT <n>" first, then one line per request ("GET /path"), flushed, so a test sees what was asked
# for. Files under --root are served as they are at the time of the request. It ends with the process that
# started it. Built-in routes (query values URL-encoded):
#   /redirect/<code>?to=<target>  status <code> with Location: <target> (no "to": no Location at all)
#   /status/<code>                status <code> with a short text body
#   /cut/<declared>/<sent>        Content-Length <declared>, <sent> bytes, then the connection closes
#   /trickle/<total>/<ms>         Content-Length <total>, one byte every <ms>
#   /endless                      a body without end (no Content-Length)
#   /loop/<n>                     302 to /loop/<n+1>, for ever
# The routes file maps a path (without query) to {"status": 200, "headers": {...}, "body": text} or with
# "file" (relative to --root) instead of "body"; routes come before the root folder.

import argparse
import ctypes
import http.server
import json
import os
import signal
import socket
import ssl
import sys
import time
import urllib.parse


class Handler(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    routes = {}

    def log_message(self, format, *args): pass  # noqa: E704

    def reply(self, status, body=b"", headers=None, length=None):
        self.send_response(status)
        for name, value in dict(headers or {}, **{"Content-Length": len(body) if length is None else length}).items():
            self.send_header(name, str(value))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def do_HEAD(self): self.do_GET()  # noqa: E704

    def do_GET(self):
        sys.stdout.write("%s %s\n" % (self.command, self.path))
        sys.stdout.flush()
        parsed = urllib.parse.urlsplit(self.path)
        query = urllib.parse.parse_qs(parsed.query)
        kind, *args = [p for p in parsed.path.split("/") if p] or [""]
        try:
            if parsed.path in self.routes:
                route = self.routes[parsed.path]
                body = route.get("body", "").encode("utf-8")
                if "file" in route:
                    with open(os.path.join(self.directory, route["file"]), "rb") as f:
                        body = f.read()
                return self.reply(int(route.get("status", 200)), body, route.get("headers"))
            if kind == "redirect":
                return self.reply(int(args[0]), b"moved\n", {"Location": query["to"][0]} if "to" in query else {})
            if kind == "status":
                return self.reply(int(args[0]), b"" if args[0] == "304" else b"status body\n")
            if kind == "loop":
                return self.reply(302, b"again\n", {"Location": "/loop/%d" % (int(args[0]) + 1)})
            if kind == "cut":
                self.reply(200, b"c" * int(args[1]), length=int(args[0]))
                self.close_connection = True
                self.wfile.flush()
                return self.connection.shutdown(socket.SHUT_RDWR)
            if kind == "trickle":
                self.reply(200, length=int(args[0]))
                for _ in range(int(args[0])):
                    self.wfile.write(b"t")
                    self.wfile.flush()
                    time.sleep(int(args[1]) / 1000.0)
                return None
            if kind == "endless":
                self.send_response(200)
                self.send_header("Content-Type", "text/html")
                self.send_header("Connection", "close")
                self.end_headers()
                while True:
                    self.wfile.write(b"<p>endless</p>\n" * 4096)
        except (OSError, ssl.SSLError):
            self.close_connection = True
            return None
        return super().do_GET()


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    tls = None

    def get_request(self):
        sock, address = super().get_request()
        # The handshake runs in the handler's thread: a client that stalls it cannot block the others.
        return (self.tls.wrap_socket(sock, server_side=True, do_handshake_on_connect=False) if self.tls else sock,
                address)

    def handle_error(self, request, client_address): pass  # noqa: E704 (refused handshakes are what some tests are about)


def main():
    ctypes.CDLL(None).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG: end with the parent
    parser = argparse.ArgumentParser()
    for name in ("--cert", "--key", "--routes", "--root", "--max-tls"):
        parser.add_argument(name)
    parser.add_argument("--plain", action="store_true", help="plain HTTP, no TLS")
    args = parser.parse_args()
    if args.routes:
        with open(args.routes, encoding="utf-8") as f:
            Handler.routes = json.load(f)
    server = Server(("127.0.0.1", 0), lambda *a, **kw: Handler(*a, directory=args.root, **kw))
    if not args.plain:
        server.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        server.tls.load_cert_chain(args.cert, args.key)
        if args.max_tls:
            # OpenSSL 3 refuses TLS 1.1 and older at its default security level.
            server.tls.set_ciphers("DEFAULT:@SECLEVEL=0")
            server.tls.minimum_version = ssl.TLSVersion.TLSv1
            server.tls.maximum_version = {"1.0": ssl.TLSVersion.TLSv1, "1.1": ssl.TLSVersion.TLSv1_1}[args.max_tls]
    print("PORT %d" % server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
