#!/usr/bin/env python3
"""hydrate-s3 of many small objects from the project's S3 test server through a delay
proxy: milliseconds per object, against the same hydration without the proxy.

usage: hydrate_latency.py TVR [TVR ...] [--objects 3000] [--delay-ms 25] [--runs 3]

Each TVR is a `tvr` executable (say, one built from the code before a change and one after);
every one hydrates the same bucket in each run, in turn, and the medians are printed. The
bucket holds a deterministic set of objects of 1 to 4 KiB under blobs/XX/ keys and a
repo.json, uploaded once
by boto3 (tests/s3/s3_client.py) straight to tests/s3/fault_server.py in its in-memory "s3"
mode, which checks every request's signature as a real service would.
"""
import argparse
import os
import random
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
ACCESS_KEY, SECRET = "AKID", "fault-secret-value"  # the test server's test account


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_listening(port, process, name):
    for _ in range(300):
        if process.poll() is not None:
            sys.exit("%s ended early" % name)
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return
        except OSError:
            time.sleep(0.05)
    sys.exit("%s does not listen" % name)


def make_tree(folder, count):
    # A repo.json among the blobs: hydrate-s3 refuses a bucket without one.
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "repo.json"), "w") as out:
        out.write('{"formatVersion":1}')
    generator = random.Random(13)
    for i in range(count - 1):
        name = "%064x" % generator.getrandbits(256)
        path = os.path.join(folder, "blobs", name[:2], name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(generator.randbytes(generator.randint(1024, 4096)))


def hydrate(tvr, port, destination):
    shutil.rmtree(destination, ignore_errors=True)
    env = dict(os.environ, AWS_SECRET_ACCESS_KEY=SECRET, NO_COLOR="1")
    env.pop("CLICOLOR_FORCE", None)
    env.pop("FORCE_COLOR", None)
    started = time.monotonic()
    result = subprocess.run([tvr, "hydrate-s3", destination, "--bucket", "bench", "--region", "us-east-1",
                             "--endpoint", "http://127.0.0.1:%d" % port, "--access-key-id", ACCESS_KEY],
                            env=env, capture_output=True, text=True)
    elapsed = time.monotonic() - started
    if result.returncode != 0:
        sys.exit("%s failed: %s" % (tvr, result.stderr))
    return elapsed, result.stdout.strip()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("tvr", nargs="+")
    parser.add_argument("--objects", type=int, default=3000)
    parser.add_argument("--delay-ms", type=float, default=25.0)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="tvr-hydrate-bench-")
    processes = []
    try:
        server_port, proxy_port = free_port(), free_port()
        server = subprocess.Popen([sys.executable, os.path.join(ROOT, "tests/s3/fault_server.py"), str(server_port),
                                   "s3", os.path.join(work, "requests.jsonl"), "--bucket", "bench"],
                                  stderr=open(os.path.join(work, "server.log"), "w"))
        processes.append(server)
        wait_listening(server_port, server, "fault_server.py")
        tree = os.path.join(work, "tree")
        make_tree(tree, args.objects)
        subprocess.run([sys.executable, os.path.join(ROOT, "tests/s3/s3_client.py"),
                        "http://127.0.0.1:%d" % server_port, "bench", "put-tree", tree], check=True)
        proxy = subprocess.Popen([sys.executable, os.path.join(ROOT, "bench/s3/delay_proxy.py"), str(proxy_port),
                                  str(server_port), "--delay-ms", str(args.delay_ms)], stdout=subprocess.DEVNULL)
        processes.append(proxy)
        wait_listening(proxy_port, proxy, "delay_proxy.py")

        times = {tvr: {"direct": [], "proxied": []} for tvr in args.tvr}
        for run in range(args.runs):
            for tvr in args.tvr:
                for kind, port in (("direct", server_port), ("proxied", proxy_port)):
                    elapsed, output = hydrate(tvr, port, os.path.join(work, "out"))
                    if output != "Hydrated %d objects" % args.objects:
                        sys.exit("unexpected output from %s: %s" % (tvr, output))
                    times[tvr][kind].append(elapsed)
        print("%d objects of 1-4 KiB, proxy adding %g ms each way, median of %d runs" %
              (args.objects, args.delay_ms, args.runs))
        for tvr in args.tvr:
            direct = statistics.median(times[tvr]["direct"]) * 1000 / args.objects
            proxied = statistics.median(times[tvr]["proxied"]) * 1000 / args.objects
            print("%s: %.2f ms/object through the proxy, %.2f ms/object direct" % (tvr, proxied, direct))
    finally:
        for process in reversed(processes):
            process.terminate()
            process.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
