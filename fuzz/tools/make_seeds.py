#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/ from the fixtures in tests/fixtures/.

Run once by hand when a seed changes (the corpora are kept in the repository):
    fuzz/tools/make_seeds.py
Needs python3-cryptography (AES-GCM, to open the checkpoint manifest blob with the
fixture key) and the lzfse command-line tool (both installed by scripts/bootstrap's
packages on Debian). Regression inputs (regression-*) are never touched.
"""
import json
import pathlib
import struct
import subprocess
import tempfile

from cryptography.hazmat.primitives.ciphers.aead import AESGCM

ROOT = pathlib.Path(__file__).resolve().parents[2]
FIXTURES = ROOT / "tests" / "fixtures"
REPOSITORY = FIXTURES / "sample-repository"
CORPUS = ROOT / "fuzz" / "corpus"
VECTORS = json.loads((FIXTURES / "crypto-vectors.json").read_text())
BLOB_KEY = bytes.fromhex(VECTORS["derivedKeysHex"]["tovarine.blob-encryption.v1"])


def seed(harness, name, data):
    folder = CORPUS / harness
    folder.mkdir(parents=True, exist_ok=True)
    (folder / f"seed-{name}").write_bytes(data if isinstance(data, bytes) else data.encode())


def lzfse(mode, data):
    with tempfile.TemporaryDirectory() as scratch:
        source, target = pathlib.Path(scratch, "in"), pathlib.Path(scratch, "out")
        source.write_bytes(data)
        subprocess.run(["lzfse", f"-{mode}", "-i", str(source), "-o", str(target)], check=True)
        return target.read_bytes()


def open_blob(blob):
    """The blob format's reader, just enough to turn the fixture manifest into plaintext."""
    header = blob[:20]
    offset, index, plaintext = 20, 0, b""
    while True:
        payload_length, plaintext_length, final = struct.unpack(">IIB", blob[offset:offset + 9])
        offset += 9
        payload = blob[offset:offset + payload_length]
        offset += payload_length
        aad = header + struct.pack(">QIB", index, plaintext_length, final)
        compressed = AESGCM(BLOB_KEY).decrypt(payload[:12], payload[12:], aad)
        plaintext += lzfse("decode", compressed)
        index += 1
        if final:
            return plaintext


def blobs():
    return sorted(p for p in (REPOSITORY / "blobs").rglob("*") if p.is_file())


def sealed_seed(chunks, announced=None):
    """Input of the blob_sealed harness: flags, [size], then (length, final, n, bytes) per chunk."""
    data = bytes([1 if announced is not None else 0])
    if announced is not None:
        data += struct.pack(">Q", announced)
    for plaintext, final in chunks:
        # The lzfse tool fails on empty input; an empty stream is just the end-of-stream block.
        compressed = lzfse("encode", plaintext) if plaintext else b"bvx$"
        data += struct.pack(">IBH", len(plaintext), final, len(compressed)) + compressed
    return data


def main():
    for blob in blobs():
        seed("blob_open", blob.name[:16], blob.read_bytes())
        seed("blob_stream", blob.name[:16], blob.read_bytes())
    hello = bytes.fromhex(VECTORS["sealedBlobOfHelloHex"])
    seed("blob_open", "hello", hello)
    seed("blob_stream", "hello", hello)

    clip = bytes((7 * i + (i >> 12)) % 251 for i in range(1048577))
    seed("blob_sealed", "hello", sealed_seed([(b"hello\n", 1)]))
    seed("blob_sealed", "empty", sealed_seed([(b"", 1)]))
    seed("blob_sealed", "two-chunks", sealed_seed([(clip[:1048576], 0), (clip[1048576:], 1)]))
    seed("blob_sealed", "announced-size", sealed_seed([(b"Dear grandma,\n", 1)], announced=14))

    seed("repo_json", "sample", (REPOSITORY / "repo.json").read_bytes())
    repo = json.loads((REPOSITORY / "repo.json").read_text())
    del repo["encryption"]
    seed("repo_json", "unencrypted", json.dumps(repo))
    seed("plans_json", "sample", (REPOSITORY / "plans.json").read_bytes())
    seed("plans_json", "empty", '{"plans":[],"version":1}')

    checkpoint = subprocess.run(["sqlite3", str(REPOSITORY / "catalog.sqlite"),
                                 "SELECT manifest_blob_key FROM checkpoints;"],
                                check=True, capture_output=True, text=True).stdout.split()
    for key in checkpoint:
        seed("manifest", "sample-run-2", open_blob((REPOSITORY / "blobs" / key[:2] / key).read_bytes()))
    seed("manifest", "nested", json.dumps({"version": 1, "createdAt": 797000000.5, "files": [
        {"relPath": "a/B/c.txt", "relPathNorm": "a/b/c.txt", "blobKey": "00" * 32, "sizeBytes": 3,
         "createdAt": 796000000, "modifiedAt": 796500000.25, "contentID": 7},
        {"relPath": "a/D", "relPathNorm": "a/d", "kind": "directory", "modifiedAt": 1.5}]}))

    seed("s3_list", "page", b"\x80" + b"""<?xml version="1.0" encoding="UTF-8"?>
<ListBucketResult xmlns="http://s3.amazonaws.com/doc/2006-03-01/"><Name>bucket</Name><Prefix></Prefix>
<KeyCount>2</KeyCount><MaxKeys>1000</MaxKeys><IsTruncated>true</IsTruncated>
<Contents><Key>blobs/03/037b84687fa867b6d9d030a695d19dbb8d92af7316308578035bda3e6e5bf695</Key>
<LastModified>2026-04-01T08:00:00.000Z</LastModified><ETag>&quot;abc&quot;</ETag><Size>83</Size></Contents>
<Contents><Key>repo &amp; json</Key><Size>686</Size></Contents>
<NextContinuationToken>1ueGcxLPRx1Tr/XYExHnhbYLgveDs2J/wm36Hy4vbOwM=</NextContinuationToken>
</ListBucketResult>""")
    seed("s3_list", "last-page", b"\x10<ListBucketResult><IsTruncated>false</IsTruncated>"
                                 b"<NextContinuationToken></NextContinuationToken></ListBucketResult>")
    seed("s3_list", "doctype", b"\x40<!DOCTYPE a [<!ENTITY x \"y\">]><ListBucketResult><Key>&x;</Key>"
                               b"</ListBucketResult>")

    seed("s3_error", "signature", """<?xml version="1.0" encoding="UTF-8"?>
<Error><Code>SignatureDoesNotMatch</Code><Message>The request signature we calculated does not match the
signature you provided. Check your key &amp; signing method.</Message>
<RequestId>4442587FB7D0A2F9</RequestId><HostId>abc</HostId></Error>""")
    seed("s3_error", "minio", "<Error><Code>NoSuchBucket</Code><RequestID>17A</RequestID></Error>")

    seed("run_state", "started", '{"kind":"started","planID":"family-archive","runUUID":"A-B",'
                                 '"startedAt":"2026-04-02T08:00:00Z","totalOperations":1,'
                                 '"updatedAt":"2026-04-02T08:00:00Z"}')
    seed("run_state", "completed", '{"completedOperation":{"blobKey":"' + "ab" * 32 + '","blobStatus":"written",'
                                   '"kind":"copy","relPath":"video/clip.bin"},"kind":"completed",'
                                   '"updatedAt":"2026-04-02T08:01:00Z"}')

    seed("iso8601", "date", "2026-04-01T08:00:00Z")
    seed("iso8601", "leap-day", "2024-02-29T23:59:59Z")
    seed("iso8601", "first", "0000-01-01T00:00:00Z")
    seed("iso8601", "seconds", struct.pack("<d", 1775116925.0))

    def cli(name, arguments, environment=()):
        seed("cli", name, "\0".join(arguments) + ("\0\0" + "\0".join(environment) if environment else ""))
    pw = ["--recovery-password-file", "password"]
    cli("info", ["info", "repo", "--json"])
    cli("list-plans", ["list-plans", "repo"])
    cli("list-runs", ["--json", "list-runs", "repo", "--plan", "family-archive"])
    cli("list", ["list", "repo", "--plan", "family-archive", "--run", "2", "--path", "photos"] + pw)
    cli("search", ["search", "repo", "--plan", "family-archive", "--run", "1", "--name", "grandma"] + pw)
    cli("restore", ["restore", "repo", "--plan", "family-archive", "--run", "2", "--path",
                    "letters/to grandma.txt", "--to", "out.txt"] + pw)
    cli("export", ["export", "repo", "--plan", "family-archive", "--run", "2", "--to", "exported",
                   "--recovery-password-env", "PASSWORD"], ["PASSWORD=river stone lantern 42"])
    cli("verify", ["verify", "repo", "--json"] + pw)
    cli("hydrate-local", ["hydrate-local", "repo", "--to", "copy", "--dry-run"])
    cli("hydrate-s3", ["hydrate-s3", "copy", "--bucket", "b", "--region", "eu-west-1", "--access-key-id",
                       "AKID", "--endpoint", "http://127.0.0.1:9", "--dry-run", "--json"],
        ["AWS_SECRET_ACCESS_KEY=secret", "NO_COLOR=1"])
    cli("describe", ["describe", "restore", "--json"])
    cli("help", ["--no-color", "list", "--help"], ["CLICOLOR_FORCE=1", "TERM=xterm"])


if __name__ == "__main__":
    main()
