#!/usr/bin/env python3
"""A misbehaving S3 stand-in on 127.0.0.1 for the fault tests.

usage: fault_server.py PORT MODE LOG
Every request is appended to LOG as one JSON line (method, path, query, lowercase headers)
before it is answered. Modes:
  reset              close every connection with a TCP reset, no answer
  status:CODE        answer every request with CODE and an S3 error document
  short-body         GET answers 200 promising 1000 bytes, sends 10, closes
  malformed-listing  GET answers 200 with a list document that never closes
  pages              ListObjectsV2 in two pages joined by a continuation token
  precondition       HEAD 404 once, PUT 412, later HEADs 200 with Content-Length 5
  precondition-gone  HEAD always 404, PUT 412
  stall              GET answers 200 promising 1000000 bytes, sends 10, then waits
  accept             every request succeeds (PUT 200 after reading the body)
  length:VALUE       HEAD answers 200 with "Content-Length: VALUE"; other requests 200
"""
import json
import socket
import struct
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qsl, urlsplit

PORT, MODE, LOG = int(sys.argv[1]), sys.argv[2], sys.argv[3]
lock = threading.Lock()
state = {"heads": 0}

ERROR_DOC = (b"<?xml version=\"1.0\"?><Error><Code>SlowDown</Code>"
             b"<Message>Please reduce your request rate</Message><RequestId>F1</RequestId></Error>")


def page(keys, token):
    body = "<?xml version=\"1.0\"?><ListBucketResult><Name>b</Name>"
    for key in keys:
        body += "<Contents><Key>%s</Key><Size>1</Size></Contents>" % key
    if token is not None:
        body += "<IsTruncated>true</IsTruncated><NextContinuationToken>%s</NextContinuationToken>" % token
    body += "</ListBucketResult>"
    return body.encode("utf-8")


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def record(self):
        parts = urlsplit(self.path)
        entry = {
            "method": self.command,
            "path": parts.path,
            "query": parse_qsl(parts.query, keep_blank_values=True),
            "headers": {k.lower(): v for k, v in self.headers.items()},
        }
        with lock:
            with open(LOG, "a") as log:
                log.write(json.dumps(entry) + "\n")
        return entry

    def answer(self, code, body=b"", headers=None):
        self.send_response(code)
        for name, value in (headers or {}).items():
            self.send_header(name, value)
        if "Content-Length" not in (headers or {}):
            self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def drain(self):
        length = int(self.headers.get("Content-Length") or 0)
        while length > 0:
            chunk = self.rfile.read(min(length, 65536))
            if not chunk:
                break
            length -= len(chunk)

    def handle_any(self):
        self.drain()
        entry = self.record()
        if MODE == "reset":
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.connection.close()
            self.close_connection = True
            return
        if MODE.startswith("status:"):
            self.answer(int(MODE.split(":")[1]), ERROR_DOC, {"Content-Type": "application/xml"})
            return
        if MODE in ("short-body", "stall") and self.command == "GET":
            total = 1000 if MODE == "short-body" else 1000000
            self.send_response(200)
            self.send_header("Content-Length", str(total))
            self.end_headers()
            self.wfile.write(b"0123456789")
            self.wfile.flush()
            if MODE == "stall":
                time.sleep(60)
            self.close_connection = True
            return
        if MODE == "malformed-listing":
            self.answer(200, b"<ListBucketResult><Contents><Key>a</Key>")
            return
        if MODE == "pages":
            query = dict(entry["query"])
            if "continuation-token" in query:
                self.answer(200, page(["c/3"], None))
            else:
                self.answer(200, page(["b/2", "a/1"], "t 1+/="))
            return
        if MODE.startswith("precondition"):
            if self.command == "HEAD":
                with lock:
                    state["heads"] += 1
                    first = state["heads"] == 1
                if first or MODE == "precondition-gone":
                    self.answer(404)
                else:
                    self.answer(200, b"", {"Content-Length": "5"})
                return
            if self.command == "PUT":
                self.answer(412, b"<Error><Code>PreconditionFailed</Code></Error>")
                return
        if MODE.startswith("length:") and self.command == "HEAD":
            self.send_response(200)
            self.send_header("Content-Length", MODE.split(":", 1)[1])
            self.end_headers()
            return
        self.answer(200, b"")

    do_GET = do_PUT = do_HEAD = do_DELETE = do_POST = handle_any


ThreadingHTTPServer.daemon_threads = True
server = ThreadingHTTPServer(("127.0.0.1", PORT), Handler)
server.serve_forever()
