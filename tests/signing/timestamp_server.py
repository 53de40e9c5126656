#!/usr/bin/env python3
"""A local stand-in for time-stamp servers over the test PKI in FOLDER. By path:

  /          an RFC 3161 reply from `openssl ts -reply`
  /rogue     the same, signed by an authority no one trusts
  /corrupt   the same with the token's signature damaged
  /legacy    the Authenticode protocol before RFC 3161: a base64 SignedData over the request's
             content, whose signer becomes a countersignature
  /refuse    HTTP 503, as a server out of service
  /empty     HTTP 200 with no body
  /page      HTTP 200 with a web page
  /redirect  HTTP 302 to /
  /silent    no answer at all

Serves over HTTP and, on a second port, HTTPS; prints both ports on one line, then serves
until killed. A request to /silent leaves the file FOLDER/silent behind.

usage: timestamp_server.py FOLDER
"""
import base64
import http.server
import os
import re
import ssl
import subprocess
import sys
import tempfile
import threading
import time

folder = sys.argv[1]


def run(*arguments):
    return subprocess.run(arguments, check=True, capture_output=True).stdout


def rfc3161_reply(query, config):
    with tempfile.TemporaryDirectory() as scratch:
        request = os.path.join(scratch, "request.tsq")
        with open(request, "wb") as f:
            f.write(query)
        return run("openssl", "ts", "-reply", "-config", os.path.join(folder, config),
                   "-queryfile", request)


def legacy_reply(query):
    """Signs the last OCTET STRING of the request (the signature's encrypted digest)."""
    with tempfile.TemporaryDirectory() as scratch:
        request = os.path.join(scratch, "request.der")
        content = os.path.join(scratch, "content")
        with open(request, "wb") as f:
            f.write(base64.b64decode(query))
        dump = run("openssl", "asn1parse", "-inform", "DER", "-in", request).decode()
        digest = re.findall(r"OCTET STRING\s+\[HEX DUMP\]:([0-9A-F]+)", dump)[-1]
        with open(content, "wb") as f:
            f.write(bytes.fromhex(digest))
        signed = run("openssl", "cms", "-sign", "-binary", "-nodetach", "-nosmimecap",
                     "-md", "sha256", "-outform", "DER", "-in", content,
                     "-signer", os.path.join(folder, "tsa.pem"),
                     "-inkey", os.path.join(folder, "tsa.key"))
        return base64.b64encode(signed)


class Handler(http.server.BaseHTTPRequestHandler):
    def answer(self, body, kind="application/timestamp-reply"):
        self.send_response(200)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_POST(self):
        query = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        if self.path == "/refuse":
            self.send_error(503)
        elif self.path == "/redirect":
            self.send_response(302)
            self.send_header("Location", "/")
            self.send_header("Content-Length", "0")
            self.end_headers()
        elif self.path == "/empty":
            self.answer(b"")
        elif self.path == "/page":
            self.answer(b"<html>Welcome</html>", "text/html")
        elif self.path == "/silent":
            open(os.path.join(folder, "silent"), "w").close()
            time.sleep(60)
        elif self.path == "/legacy":
            self.answer(legacy_reply(query), "application/octet-stream")
        elif self.path == "/rogue":
            self.answer(rfc3161_reply(query, "ts_rogue.cnf"))
        elif self.path == "/corrupt":
            reply = bytearray(rfc3161_reply(query, "ts.cnf"))
            reply[-1] ^= 1  # the last byte of the token's signature value
            self.answer(bytes(reply))
        else:
            self.answer(rfc3161_reply(query, "ts.cnf"))

    def log_message(self, *args):
        pass


plain = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
secure = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
tls.load_cert_chain(os.path.join(folder, "tls.pem"), os.path.join(folder, "tls.key"))
secure.socket = tls.wrap_socket(secure.socket, server_side=True)
for server in (plain, secure):
    server.daemon_threads = True
print(plain.server_address[1], secure.server_address[1], flush=True)
threading.Thread(target=secure.serve_forever, daemon=True).start()
plain.serve_forever()
