#!/usr/bin/env python3
"""A small HTTPS endpoint for the telemetry transport tests.

Usage: https_test_server.py WORKDIR

Makes a self-signed certificate for 127.0.0.1 (WORKDIR/cert.pem, which is
also the CA file clients trust), listens on a free port of 127.0.0.1 and
prints that port on one line once it accepts connections. Every accepted TCP
connection appends {"connection": true} to WORKDIR/log.jsonl and every
request {"method", "path", "headers", "body"}. Requests are answered with
the status written in WORKDIR/status (204 when absent), a 3xx with a
Location header. The server exits when its standard input closes.
"""
import http.server
import json
import os
import ssl
import subprocess
import sys
import threading


def make_certificate(workdir):
    cert = os.path.join(workdir, "cert.pem")
    key = os.path.join(workdir, "key.pem")
    subprocess.run(
        ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
         "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", key, "-out", cert,
         "-days", "1", "-subj", "/CN=127.0.0.1",
         "-addext", "subjectAltName=IP:127.0.0.1"],
        check=True, capture_output=True)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    return context


def main():
    workdir = sys.argv[1]
    context = make_certificate(workdir)
    log_path = os.path.join(workdir, "log.jsonl")
    status_path = os.path.join(workdir, "status")
    log_lock = threading.Lock()

    def log(record):
        with log_lock, open(log_path, "a", encoding="utf-8") as f:
            f.write(json.dumps(record) + "\n")

    def current_status():
        try:
            with open(status_path, encoding="utf-8") as f:
                return int(f.read().strip())
        except (OSError, ValueError):
            return 204

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def setup(self):
            self.request = context.wrap_socket(self.request, server_side=True)
            super().setup()

        def answer(self, body):
            log({"method": self.command, "path": self.path,
                 "headers": [[k, v] for k, v in self.headers.items()],
                 "body": body.decode("utf-8", "replace")})
            status = current_status()
            self.send_response(status)
            if 300 <= status < 400:
                self.send_header("Location", "/redirected")
            if status in (204, 304):
                self.end_headers()
                return
            self.send_header("Content-Length", "2")
            self.end_headers()
            self.wfile.write(b"ok")

        def do_POST(self):
            length = int(self.headers.get("Content-Length", "0"))
            self.answer(self.rfile.read(length))

        def do_GET(self):
            self.answer(b"")

        def log_message(self, *args):
            pass

    class Server(http.server.ThreadingHTTPServer):
        daemon_threads = True

        def verify_request(self, request, client_address):
            log({"connection": True})
            return True

        def handle_error(self, request, client_address):
            pass  # refused handshakes are part of the tests

    server = Server(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    print(server.server_address[1], flush=True)
    sys.stdin.read()
    os._exit(0)


if __name__ == "__main__":
    main()
