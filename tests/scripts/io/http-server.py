#!/usr/bin/env python3
"""A small HTTP server on 127.0.0.1 for the request tests.

Usage: http-server.py PORT-FILE. It binds a free port, writes the number to
PORT-FILE and serves until GET /quit or 60 seconds without a request.
"""
import http.server
import sys
import threading


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def reply(self, status, body, headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def request_body(self):
        n = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(n) if n else b""

    def echo(self):
        # The method, the headers a test sets (in the order received) and the body.
        lines = [self.command + " " + self.path]
        for name, value in self.headers.items():
            if name.lower() not in ("host", "accept", "content-length"):
                lines.append(name + ": " + value)
        body = "\n".join(lines).encode() + b"\n" + self.request_body()
        self.reply(200, body, [("Content-Type", "text/plain")])

    def route(self):
        self.server.idle.cancel()
        if self.path == "/text":
            self.reply(200, "héllo\r\nworld\r\n".encode(),
                       [("Content-Type", "text/plain; charset=utf-8"), ("X-Multi", "one"),
                        ("X-Multi", "two"), ("X-Multi", "three"), ("X-Case-Kept", "Yes")])
        elif self.path == "/bytes":
            self.reply(200, b"\x00\xff\x10", [("Content-Type", "application/octet-stream")])
        elif self.path == "/latin1":
            self.reply(200, b"x", [("X-Latin", "café")])
        elif self.path == "/tight":
            # A header without the usual blank after its colon.
            self.send_response(200)
            self._headers_buffer.append(b"X-Tight:tight\r\n")
            self.send_header("Content-Length", "0")
            self.end_headers()
        elif self.path == "/redirect":
            self.reply(302, b"", [("Location", "/text")])
        elif self.path == "/loop":
            self.reply(302, b"", [("Location", "/loop")])
        elif self.path == "/short":
            # Announces more than it sends, then closes.
            self.send_response(200)
            self.send_header("Content-Length", "100")
            self.end_headers()
            self.wfile.write(b"only ten b")
            self.close_connection = True
        elif self.path == "/huge":
            # Announces 3 GB; the client refuses before any body comes.
            self.send_response(200)
            self.send_header("Content-Length", "3000000000")
            self.end_headers()
            self.close_connection = True
        elif self.path == "/endless":
            # A chunked body without end, until the client stops reading.
            self.send_response(200)
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            chunk = b"%x\r\n%s\r\n" % (1 << 20, b"z" * (1 << 20))
            try:
                while True:
                    self.wfile.write(chunk)
            except OSError:
                pass
            self.close_connection = True
        elif self.path == "/bad-utf8":
            self.reply(200, b"ok\xff")
        elif self.path in ("/script.zav", "/shell.zav"):
            first = b"#!/usr/bin/env zav\n" if self.path == "/shell.zav" else b""
            self.reply(200, first + b'Zav [Title: "remote"]\nprint system/script/header/title\n1 + 2\n',
                       [("Content-Type", "text/plain")])
        elif self.path == "/data":
            self.reply(200, "[1 \"é\"] 2.5".encode(), [("Content-Type", "text/plain; charset=utf-8")])
        elif self.path == "/broken":
            self.reply(200, b"[1 2", [("Content-Type", "text/plain")])
        elif self.path == "/coded":
            self.reply(200, b"raw bytes", [("Content-Type", "application/x-tst; charset=binary")])
        elif self.path == "/counter":
            # Another body at every request, for the disk cache's tests.
            self.server.count = getattr(self.server, "count", 0) + 1
            self.reply(200, b"count %d\r\n" % self.server.count, [("Content-Type", "text/plain")])
        elif self.path == "/json":
            self.reply(200, b'{"a": [1, 2], "b": null}', [("Content-Type", "application/json")])
        elif self.path == "/nested.json":
            self.reply(200, b'[[1, 0.30000000000000004]]', [("Content-Type", "application/json")])
        elif self.path == "/line.csv":
            self.reply(200, b'a,b\r\n', [("Content-Type", "text/csv")])
        elif self.path == "/quit":
            self.reply(200, b"bye")
            threading.Thread(target=self.server.shutdown).start()
            return
        elif self.path.startswith("/echo"):
            self.echo()
        else:
            self.reply(404, b"no such page")
        self.server.arm()

    do_GET = do_HEAD = do_POST = do_PUT = do_DELETE = route


def main():
    server = http.server.HTTPServer(("127.0.0.1", 0), Handler)

    def arm():
        server.idle = threading.Timer(60, server.shutdown)
        server.idle.daemon = True
        server.idle.start()

    server.arm = arm
    arm()
    with open(sys.argv[1] + ".tmp", "w") as f:
        f.write(str(server.server_address[1]))
    import os
    os.rename(sys.argv[1] + ".tmp", sys.argv[1])
    server.serve_forever()


if __name__ == "__main__":
    main()
