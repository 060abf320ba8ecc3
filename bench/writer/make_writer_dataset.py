#!/usr/bin/env python3
"""Deterministic datasets for the writer benchmark (same bytes on every machine and run).

usage: make_writer_dataset.py small DIR   20,000 files of 1-64 KiB in 1,111 folders
       make_writer_dataset.py big FILE    one 512 MiB file: 60 % log text, 40 % random bytes

The small tree: a root, 10 folders below it, 10 below each of those and 10 below each of
those (1 + 10 + 100 + 1,000 = 1,111 folders); file i goes to folder i mod 1,111. Contents
alternate between log-like text and random bytes, so compression has work of both kinds.
The big file is cut in 1 MiB blocks; of every five blocks three are log text and two random.
"""
import os
import random
import sys

MIB = 1024 * 1024

WORDS = ("request served user session cache miss hit backup blob chunk sealed upload part "
         "journal record catalog sweep folder file size bytes retry timeout connection "
         "accepted refused completed failed started").split()
LEVELS = ("INFO", "DEBUG", "WARN", "ERROR")


def log_text(rng, size):
    out = bytearray()
    second = rng.randrange(1_700_000_000, 1_800_000_000)
    while len(out) < size:
        second += rng.randrange(0, 3)
        words = " ".join(rng.choice(WORDS) for _ in range(rng.randrange(4, 14)))
        line = "%d.%03d %s [worker-%d] %s id=%08x\n" % (
            second, rng.randrange(1000), rng.choice(LEVELS), rng.randrange(16), words, rng.getrandbits(32))
        out += line.encode()
    return bytes(out[:size])


def folders():
    names = [""]
    for a in range(10):
        names.append("d%d" % a)
    for a in range(10):
        for b in range(10):
            names.append("d%d/e%d" % (a, b))
    for a in range(10):
        for b in range(10):
            for c in range(10):
                names.append("d%d/e%d/f%d" % (a, b, c))
    return names


def small(root):
    rng = random.Random(20000)
    dirs = folders()
    assert len(dirs) == 1111
    for d in dirs:
        os.makedirs(os.path.join(root, d), exist_ok=True)
    total = 0
    for i in range(20000):
        size = rng.randrange(1024, 64 * 1024 + 1)
        data = log_text(rng, size) if i % 2 == 0 else rng.randbytes(size)
        with open(os.path.join(root, dirs[i % len(dirs)], "file%05d.%s" % (i, "log" if i % 2 == 0 else "bin")),
                  "wb") as f:
            f.write(data)
        total += size
    print("%d files, %d bytes, %d folders under %s" % (20000, total, len(dirs), root))


def big(path):
    rng = random.Random(512)
    with open(path, "wb") as f:
        for block in range(512):
            f.write(log_text(rng, MIB) if block % 5 < 3 else rng.randbytes(MIB))
    print("%d bytes in %s" % (512 * MIB, path))


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in ("small", "big"):
        sys.exit(__doc__)
    small(sys.argv[2]) if sys.argv[1] == "small" else big(sys.argv[2])
