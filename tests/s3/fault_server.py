#!/usr/bin/env python3
"""An S3 stand-in on 127.0.0.1 that checks every request's signature, for the S3 tests.

usage: fault_server.py PORT MODE LOG [--page-size N] [--bucket NAME]... [--region REGION]
                      [--service-host HOST] [--busy-first N] [--busy-status CODE]
                      [--deny-get-number K]

Every request is appended to LOG as one JSON line (method, path, query, lowercase headers,
and "rejected": the error code it was refused with, or null) before it is answered.

Signatures: every request must carry an AWS Signature Version 4 Authorization header for
service "s3" and REGION (default us-east-1), signed by one of ACCOUNTS below. The request is
rebuilt from what arrived (method, path and query exactly as sent, the headers named in
SignedHeaders, the body) and signed again with botocore's S3 signer, the account's secret
and token and the request's own X-Amz-Date; any difference in the Authorization header is
403 SignatureDoesNotMatch. Also refused: a missing or garbled Authorization header or
X-Amz-Date (403 SignatureDoesNotMatch), an unknown access key (403 InvalidAccessKeyId), a
session token the account does not have (403 InvalidToken), an unsigned x-amz-* header
(403 AccessDenied), a date more than 15 minutes off (403 RequestTimeTooSkewed), a body whose
SHA-256 is not X-Amz-Content-SHA256 (400 XAmzContentSHA256Mismatch), and a path or query not
percent-encoded the way S3 rebuilds it from the decoded key (403 SignatureDoesNotMatch: S3
signs the canonical encoding, so a client signing anything else is refused there too).
Each refusal is also written to standard error with its reason (never a secret or token).

Modes, applied once the signature holds:
  s3                 an in-memory S3: PUT (with "If-None-Match: *"), GET, HEAD, DELETE of
                     objects, PUT/HEAD of buckets, ListObjectsV2 (prefix, max-keys,
                     start-after, continuation-token, encoding-type=url) in pages of at most
                     --page-size keys (default 1000); --bucket names buckets that exist at start;
                     with --service-host, requests for BUCKET.HOST are virtual-hosted style
  reset              close every connection with a TCP reset, no answer
  status:CODE        answer every request with CODE and an S3 SlowDown error document
  status:CODE:ERROR  the same with an error document of code ERROR
  short-body         GET answers 200 promising 1000 bytes, sends 10, closes
  malformed-listing  GET answers 200 with a list document that never closes
  pages              ListObjectsV2 in two pages joined by a continuation token
  precondition       HEAD 404 once, PUT 412, later HEADs 200 with Content-Length 5
  precondition-gone  HEAD always 404, PUT 412
  stall              GET answers 200 promising 1000000 bytes, sends 10, then waits
  accept             every request succeeds (PUT 200 after reading the body)
  length:VALUE       HEAD answers 200 with "Content-Length: VALUE"; other requests 200
  listing:KIND       ListObjectsV2 pages that misbehave, one new key "k/N" per page unless
                     said otherwise: "cycle" (tokens A, B, then A again), "stuck" (a new
                     token every time, always the same key), "oversized" (1001 keys),
                     "no-token" (IsTruncated true without a token), "done-with-token"
                     (IsTruncated false beside a token: the listing is over), "many:N" (N
                     distinct keys of 79 bytes in ascending order, 1000 a page, made up on
                     the fly: a large bucket without the memory), "blobs:N" (the same with N
                     blob keys in the repository layout, blobs/<xx>/<64 hex>)

Faults of the s3 mode, for reads (GET and HEAD) only, so that uploads set up cleanly:
  --busy-first N       the first N reads of every path (an object, or a bucket's listing)
                       are answered --busy-status (default 503) with a SlowDown document
  --deny-get-number K  the K-th object GET (counted from 1 over the whole run) is answered
                       403 AccessDenied: a hydration that breaks off partway
"""
import argparse
import base64
import datetime
import hashlib
import hmac
import json
import re
import socket
import struct
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qsl, quote, quote_from_bytes, unquote_to_bytes
from xml.sax.saxutils import escape

from botocore.auth import S3SigV4Auth
from botocore.awsrequest import AWSRequest
from botocore.credentials import Credentials

# access key -> (secret, session token or None). Test credentials only.
ACCOUNTS = {
    "AKID": ("fault-secret-value", None),
    "S3RVER": ("S3RVER", None),
    "ASIATEMPORARY": ("temporary-secret-value", "IQoJb3JpZ2luX2VjEH0aCXVzLWVhc3QtMSJHMEUCIQD+temporary/token=="),
}

parser = argparse.ArgumentParser()
parser.add_argument("port", type=int)
parser.add_argument("mode")
parser.add_argument("log")
parser.add_argument("--page-size", type=int, default=1000)
parser.add_argument("--bucket", action="append", default=[])
parser.add_argument("--region", default="us-east-1")
parser.add_argument("--service-host")
parser.add_argument("--busy-first", type=int, default=0)
parser.add_argument("--busy-status", type=int, default=503)
parser.add_argument("--deny-get-number", type=int, default=0)
ARGS = parser.parse_args()
PORT, MODE, LOG = ARGS.port, ARGS.mode, ARGS.log

lock = threading.Lock()
state = {"heads": 0, "object_gets": 0, "reads": {}}
buckets = {name: {} for name in ARGS.bucket}  # bucket -> key (str) -> body (bytes)

ERROR_DOC = (b"<?xml version=\"1.0\"?><Error><Code>SlowDown</Code>"
             b"<Message>Please reduce your request rate</Message><RequestId>F1</RequestId></Error>")
EMPTY_SHA256 = hashlib.sha256(b"").hexdigest()
AUTHORIZATION = re.compile(r"AWS4-HMAC-SHA256 Credential=([^,\s]+),\s*SignedHeaders=([^,\s]+),\s*Signature=([0-9a-f]{64})")
TIMESTAMP = re.compile(r"\d{8}T\d{6}Z")
QUERY_SAFE = "-_.~"


def error_document(code, message):
    return ("<?xml version=\"1.0\" encoding=\"UTF-8\"?><Error><Code>%s</Code><Message>%s</Message>"
            "<RequestId>SIG1</RequestId></Error>" % (code, escape(message))).encode("utf-8")


def page(keys, token):
    body = "<?xml version=\"1.0\"?><ListBucketResult><Name>b</Name>"
    for key in keys:
        body += "<Contents><Key>%s</Key><Size>1</Size></Contents>" % key
    if token is not None:
        body += "<IsTruncated>true</IsTruncated><NextContinuationToken>%s</NextContinuationToken>" % token
    body += "</ListBucketResult>"
    return body.encode("utf-8")


class Rejection(Exception):
    def __init__(self, status, code, message, reason):
        super().__init__(reason)
        self.status, self.code, self.message, self.reason = status, code, message, reason


def mismatch(reason):
    return Rejection(403, "SignatureDoesNotMatch",
                     "The request signature we calculated does not match the signature you provided. "
                     "Check your key and signing method.", reason)


class ArrivedRequestSigner(S3SigV4Auth):
    """botocore's S3 signer, run at the request's own date instead of now."""

    def authorization_at(self, request, timestamp):
        request.context["timestamp"] = timestamp
        self._modify_request_before_signing(request)
        canonical_request = self.canonical_request(request)
        signature = self.signature(self.string_to_sign(request, canonical_request), request)
        self._inject_signature_to_request(request, signature)
        return request.headers["Authorization"], canonical_request


def canonical_path(path):
    return quote_from_bytes(unquote_to_bytes(path), safe="/~")


def canonical_query_item(text):
    return quote_from_bytes(unquote_to_bytes(text), safe=QUERY_SAFE)


def check_signature(method, raw_path, raw_query, headers, body):
    """Raises Rejection unless the request is signed by a known account; returns its access key."""
    authorization = headers.get("Authorization")
    if authorization is None:
        raise mismatch("no Authorization header")
    match = AUTHORIZATION.fullmatch(authorization.strip())
    if not match:
        raise mismatch("garbled Authorization header")
    credential, signed_header_text, _ = match.groups()
    access_key = credential.split("/", 1)[0]
    if access_key not in ACCOUNTS:
        raise Rejection(403, "InvalidAccessKeyId",
                        "The AWS Access Key Id you provided does not exist in our records.", "unknown access key")
    secret, token = ACCOUNTS[access_key]
    timestamp = headers.get("X-Amz-Date")
    if timestamp is None or not TIMESTAMP.fullmatch(timestamp):
        raise mismatch("missing or garbled X-Amz-Date")
    try:
        signed_at = datetime.datetime.strptime(timestamp, "%Y%m%dT%H%M%SZ").replace(tzinfo=datetime.timezone.utc)
    except ValueError:
        raise mismatch("impossible X-Amz-Date")
    if abs((datetime.datetime.now(datetime.timezone.utc) - signed_at).total_seconds()) > 15 * 60:
        raise Rejection(403, "RequestTimeTooSkewed",
                        "The difference between the request time and the current time is too large.", "date skew")
    sent_token = headers.get("X-Amz-Security-Token")
    if sent_token != token:
        raise Rejection(403, "InvalidToken", "The provided token is malformed or otherwise invalid.",
                        "session token missing, unexpected or different")
    signed_names = signed_header_text.split(";")
    for name in headers.keys():
        if name.lower().startswith("x-amz-") and name.lower() not in signed_names:
            raise Rejection(403, "AccessDenied", "There were headers present in the request which were not signed",
                            "unsigned header " + name.lower())
    content_sha256 = headers.get("X-Amz-Content-SHA256")
    if content_sha256 is None:
        raise Rejection(400, "InvalidRequest", "Missing required header for this request: x-amz-content-sha256",
                        "no x-amz-content-sha256")
    if content_sha256 != hashlib.sha256(body).hexdigest():
        raise Rejection(400, "XAmzContentSHA256Mismatch",
                        "The provided 'x-amz-content-sha256' header does not match what was computed.",
                        "payload digest differs from the body")
    if canonical_path(raw_path) != raw_path:
        raise mismatch("path is not in S3's canonical encoding: " + raw_path)
    if raw_query:
        for item in raw_query.split("&"):
            name, _, value = item.partition("=")
            if canonical_query_item(name) != name or canonical_query_item(value) != value:
                raise mismatch("query is not in canonical encoding: " + raw_query)

    # Rebuild the request with only the headers the client signed, and sign it again.
    url = "http://%s%s" % (headers.get("Host", ""), raw_path) + ("?" + raw_query if raw_query else "")
    rebuilt = AWSRequest(method=method, url=url, data=body)
    for name in signed_names:
        values = headers.get_all(name)
        if values is None:
            raise mismatch("signed header %s is not in the request" % name)
        for value in values:
            rebuilt.headers[name] = value  # adds a field; repeated fields stay repeated
    signer = ArrivedRequestSigner(Credentials(access_key, secret, token), "s3", ARGS.region)
    expected, canonical_request = signer.authorization_at(rebuilt, timestamp)
    expected_match = AUTHORIZATION.fullmatch(expected)
    same = (expected_match.group(1) == match.group(1) and expected_match.group(2) == match.group(2)
            and hmac.compare_digest(expected_match.group(3), match.group(3)))
    if not same:
        if token:
            canonical_request = canonical_request.replace(token, "<token>")
        raise mismatch("expected Credential=%s SignedHeaders=%s; canonical request:\n%s" %
                       (expected_match.group(1), expected_match.group(2), canonical_request))
    return access_key


def encode_token(key):
    # Opaque to clients, and full of characters a query must encode.
    return "next " + base64.b64encode(("\x00" + key).encode("utf-8")).decode("ascii")


def decode_token(token):
    try:
        text = base64.b64decode(token[len("next "):], validate=True).decode("utf-8")
    except Exception:
        return None
    if not token.startswith("next ") or not text.startswith("\x00"):
        return None
    return text[1:]


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def setup(self):
        super().setup()
        # Headers and body leave in separate writes: without this, Nagle's algorithm holds the
        # body until the client's delayed acknowledgement, some 40 ms on every answer.
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def log_message(self, *args):
        pass

    def split_target(self):
        path, _, query = self.path.partition("?")
        return path, query

    def record(self, rejected):
        path, query = self.split_target()
        headers = {k.lower(): v for k, v in self.headers.items()}
        if "x-amz-security-token" in headers:
            headers["x-amz-security-token"] = "<redacted>"
        entry = {
            "method": self.command,
            "path": path,
            "query": parse_qsl(query, keep_blank_values=True),
            "headers": headers,
            "rejected": rejected,
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

    def error(self, status, code, message):
        self.answer(status, error_document(code, message), {"Content-Type": "application/xml"})

    def read_body(self):
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            body = b""
            while True:
                size = int(self.rfile.readline().split(b";")[0].strip() or b"0", 16)
                if size == 0:
                    while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                        pass
                    return body
                body += self.rfile.read(size)
                self.rfile.readline()
        length = int(self.headers.get("Content-Length") or 0)
        chunks = []
        while length > 0:
            chunk = self.rfile.read(min(length, 65536))
            if not chunk:
                break
            chunks.append(chunk)
            length -= len(chunk)
        return b"".join(chunks)

    def handle_any(self):
        body = self.read_body()
        path, query = self.split_target()
        try:
            check_signature(self.command, path, query, self.headers, body)
        except Rejection as rejection:
            sys.stderr.write("rejected %s %s: %s (%s)\n" % (self.command, self.path, rejection.code, rejection.reason))
            sys.stderr.flush()
            self.record(rejection.code)
            self.error(rejection.status, rejection.code, rejection.message)
            return
        entry = self.record(None)
        if MODE == "s3":
            self.serve_s3(path, dict(parse_qsl(query, keep_blank_values=True)), body)
            return
        if MODE == "reset":
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.connection.close()
            self.close_connection = True
            return
        if MODE.startswith("status:"):
            parts = MODE.split(":")
            if len(parts) > 2:
                self.error(int(parts[1]), parts[2], "Injected by the fault server")
            else:
                self.answer(int(parts[1]), ERROR_DOC, {"Content-Type": "application/xml"})
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
        if MODE.startswith("listing:"):
            self.misbehaving_listing(MODE.split(":", 1)[1], dict(entry["query"]).get("continuation-token"))
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

    def misbehaving_listing(self, kind, token):
        if kind.startswith("many:") or kind.startswith("blobs:"):
            total, first = int(kind.split(":")[1]), int(token[1:]) if token else 0
            last = min(first + 1000, total)
            body = ["<?xml version=\"1.0\"?><ListBucketResult><Name>b</Name>"
                    "<IsTruncated>%s</IsTruncated>" % ("true" if last < total else "false")]
            if last < total:
                body.append("<NextContinuationToken>N%d</NextContinuationToken>" % last)
            step = (16 ** 64 - 1) // total
            for i in range(first, last):
                if kind.startswith("blobs:"):
                    digest = "%064x" % (i * step)
                    key = "blobs/%s/%s" % (digest[:2], digest)
                else:
                    key = "blobs/%08x/%064x" % (i >> 12, i)
                body.append("<Contents><Key>%s</Key><Size>%d</Size></Contents>" % (key, i))
            body.append("</ListBucketResult>")
            self.answer(200, "".join(body).encode("utf-8"))
            return
        number = {None: 0, "A": 1, "B": 2}.get(token, None)
        if number is None:
            number = int(token[1:]) if token.startswith("N") else 99
        keys = ["k/%d" % number]
        truncated, next_token = "true", None
        if kind == "cycle":
            next_token = "B" if token == "A" else "A"
        elif kind == "stuck":
            keys, next_token = ["k/0"], "N%d" % (number + 1)
        elif kind == "oversized":
            keys = ["k/%04d" % i for i in range(1001)]
        elif kind == "no-token":
            pass
        elif kind == "done-with-token":
            truncated, next_token = "false", "A"
        body = "<?xml version=\"1.0\"?><ListBucketResult><Name>b</Name><IsTruncated>%s</IsTruncated>" % truncated
        if next_token is not None:
            body += "<NextContinuationToken>%s</NextContinuationToken>" % next_token
        for key in keys:
            body += "<Contents><Key>%s</Key><Size>1</Size></Contents>" % key
        self.answer(200, (body + "</ListBucketResult>").encode("utf-8"))

    def injected_fault(self, path, key):
        """Answers a read with the fault the options ask for; returns whether it did."""
        if self.command not in ("GET", "HEAD"):
            return False
        with lock:
            seen = state["reads"].get(path, 0)
            state["reads"][path] = seen + 1
            denied = False
            if key and self.command == "GET" and seen >= ARGS.busy_first:
                state["object_gets"] += 1
                denied = state["object_gets"] == ARGS.deny_get_number
        if seen < ARGS.busy_first:
            self.answer(ARGS.busy_status, ERROR_DOC, {"Content-Type": "application/xml"})
            return True
        if denied:
            self.error(403, "AccessDenied", "Access Denied")
            return True
        return False

    def serve_s3(self, path, query, body):
        raw = unquote_to_bytes(path)
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError:
            self.error(400, "InvalidURI", "Couldn't parse the specified URI.")
            return
        host = (self.headers.get("Host") or "").rsplit(":", 1)[0]
        if ARGS.service_host and host.endswith("." + ARGS.service_host):
            # Virtual-hosted style: the bucket is in the host name, the whole path is the key.
            bucket, key = host[:-len(ARGS.service_host) - 1], text[1:]
        else:
            bucket, _, key = text[1:].partition("/")
        if self.injected_fault(path, key):
            return
        with lock:
            objects = buckets.get(bucket)
            if not key:
                if self.command == "PUT":
                    buckets.setdefault(bucket, {})
                    self.answer(200, b"", {"Location": "/" + bucket})
                    return
                if objects is None:
                    self.error(404, "NoSuchBucket", "The specified bucket does not exist")
                    return
                if self.command == "HEAD":
                    self.answer(200)
                elif self.command == "GET" and query.get("list-type") == "2":
                    self.list_objects(bucket, sorted(objects), query)
                else:
                    self.error(501, "NotImplemented", "A header or query you provided implies functionality "
                               "that is not implemented")
                return
            if objects is None:
                self.error(404, "NoSuchBucket", "The specified bucket does not exist")
                return
            if self.command == "PUT":
                if self.headers.get("If-None-Match") == "*" and key in objects:
                    self.error(412, "PreconditionFailed", "At least one of the pre-conditions you specified did not hold")
                    return
                objects[key] = body
                self.answer(200, b"", {"ETag": '"%s"' % hashlib.md5(body).hexdigest()})
            elif self.command in ("GET", "HEAD"):
                if key not in objects:
                    if self.command == "HEAD":
                        self.answer(404)
                    else:
                        self.error(404, "NoSuchKey", "The specified key does not exist.")
                    return
                data = objects[key]
                self.answer(200, data, {"Content-Length": str(len(data)),
                                        "ETag": '"%s"' % hashlib.md5(data).hexdigest(),
                                        "Content-Type": "application/octet-stream"})
            elif self.command == "DELETE":
                objects.pop(key, None)
                self.answer(204)
            else:
                self.error(405, "MethodNotAllowed", "The specified method is not allowed against this resource.")

    def list_objects(self, bucket, keys, query):
        prefix = query.get("prefix", "")
        url_encoded = query.get("encoding-type") == "url"
        try:
            max_keys = min(int(query.get("max-keys", ARGS.page_size)), ARGS.page_size)
        except ValueError:
            self.error(400, "InvalidArgument", "Provided max-keys not an integer or within integer range")
            return
        after = query.get("start-after", "")
        token = query.get("continuation-token")
        if token is not None:
            after = decode_token(token)
            if after is None:
                self.error(400, "InvalidArgument", "The continuation token provided is incorrect")
                return
        chosen = [k for k in keys if k.startswith(prefix) and k > after]
        shown, rest = chosen[:max_keys], chosen[max_keys:]

        def field(text):
            return escape(quote(text, safe="/") if url_encoded else text)

        out = ["<?xml version=\"1.0\" encoding=\"UTF-8\"?>",
               "<ListBucketResult xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">",
               "<Name>%s</Name><Prefix>%s</Prefix>" % (escape(bucket), field(prefix)),
               "<KeyCount>%d</KeyCount><MaxKeys>%d</MaxKeys>" % (len(shown), max_keys)]
        if url_encoded:
            out.append("<EncodingType>url</EncodingType>")
        if token is not None:
            out.append("<ContinuationToken>%s</ContinuationToken>" % escape(token))
        out.append("<IsTruncated>%s</IsTruncated>" % ("true" if rest else "false"))
        if rest:
            out.append("<NextContinuationToken>%s</NextContinuationToken>" % escape(encode_token(shown[-1])))
        for key in shown:
            data = buckets[bucket][key]
            out.append("<Contents><Key>%s</Key><LastModified>2026-01-01T00:00:00.000Z</LastModified>"
                       "<ETag>&quot;%s&quot;</ETag><Size>%d</Size><StorageClass>STANDARD</StorageClass></Contents>" %
                       (field(key), hashlib.md5(data).hexdigest(), len(data)))
        out.append("</ListBucketResult>")
        self.answer(200, "".join(out).encode("utf-8"), {"Content-Type": "application/xml"})

    do_GET = do_PUT = do_HEAD = do_DELETE = do_POST = handle_any


ThreadingHTTPServer.daemon_threads = True
server = ThreadingHTTPServer(("127.0.0.1", PORT), Handler)
server.serve_forever()
