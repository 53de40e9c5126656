#!/usr/bin/env python3
"""A local stand-in for an RFC 3161 time-stamp server: answers each POSTed request with
`openssl ts -reply` over the test PKI in FOLDER, or, at the path /refuse, with an HTTP error as
a server that is out of service does. Prints the port it listens on, then serves until killed.

usage: timestamp_server.py FOLDER
"""
import http.server
import os
import subprocess
import sys
import tempfile

folder = sys.argv[1]


class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        if self.path == "/refuse":
            self.send_error(503)
            return
        query = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        with tempfile.TemporaryDirectory() as scratch:
            request = os.path.join(scratch, "request.tsq")
            reply = os.path.join(scratch, "reply.tsr")
            with open(request, "wb") as f:
                f.write(query)
            subprocess.run(["openssl", "ts", "-reply", "-config", os.path.join(folder, "ts.cnf"),
                            "-queryfile", request, "-out", reply],
                           check=True, capture_output=True)
            with open(reply, "rb") as f:
                body = f.read()
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
print(server.server_address[1], flush=True)
server.serve_forever()
