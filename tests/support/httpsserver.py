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
#   /flaky/<cuts>/<file>          <file> with an ETag and ranges; the first <cuts> replies stop half-way;
#                                 ?reset=<n>: the first <n> requests get a reset first; ?norange: ranges ignored;
#                                 ?change=<file>: that file (another ETag) after the first request
# CONNECT host:port tunnels to it (a proxy). --log-connections prints "ACCEPT" for each connection.
# A request line carries its Range and If-Range headers, if any.
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
import struct
import sys
import threading
import time
import urllib.parse


class Handler(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    routes = {}
    seen = {}

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
        ranged = " %s if %s" % (self.headers["Range"], self.headers["If-Range"]) if "Range" in self.headers else ""
        sys.stdout.write("%s %s%s\n" % (self.command, self.path, ranged))
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
            if kind == "flaky":
                n, resets = self.seen.get(self.path, 0), int(query.get("reset", [0])[0])
                self.seen[self.path] = n + 1
                if n < resets:
                    self.close_connection = True  # reset once the handler lets the socket go
                    return self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                name = query["change"][0] if "change" in query and n else "/".join(args[1:])
                with open(os.path.join(self.directory, name), "rb") as f:
                    body, tag = f.read(), '"%s"' % name
                ranged = self.headers["If-Range"] == tag and "norange" not in query
                start = int(self.headers["Range"][6:-1]) if ranged else 0
                part, cut = body[start:], n - resets < int(args[0])
                headers = {"ETag": tag, "Content-Range": "bytes %d-%d/%d" % (start, len(body) - 1, len(body))}
                self.reply(206 if start else 200, part[:len(part) // (1 + cut)], headers, len(part))
                if not cut:
                    return None
            if kind in ("cut", "flaky"):
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

    def do_CONNECT(self):
        print("CONNECT", self.path, flush=True)
        upstream = socket.create_connection(self.path.rsplit(":", 1))
        self.send_response(200)
        self.end_headers()
        threading.Thread(target=relay, args=(upstream, self.connection), daemon=True).start()
        relay(self.connection, upstream)
        self.close_connection = True


def relay(source, target):
    for data in iter(lambda: source.recv(65536), b""):
        target.sendall(data)


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    tls = None

    def get_request(self):
        sock, address = super().get_request()
        if self.log_connections:
            print("ACCEPT", flush=True)
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
    parser.add_argument("--log-connections", action="store_true")
    args = parser.parse_args()
    if args.routes:
        with open(args.routes, encoding="utf-8") as f:
            Handler.routes = json.load(f)
    server = Server(("127.0.0.1", 0), lambda *a, **kw: Handler(*a, directory=args.root, **kw))
    server.log_connections = args.log_connections
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
