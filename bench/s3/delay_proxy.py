#!/usr/bin/env python3
"""A TCP proxy on 127.0.0.1 that holds every byte for a fixed time in each direction, so a
loopback S3 server looks like one across a network.

usage: delay_proxy.py LISTEN_PORT TARGET_PORT [--delay-ms 25]

Each connection is forwarded to 127.0.0.1:TARGET_PORT. Data read on one side is written to
the other DELAY ms later, in order: a request and its answer take 2 x DELAY more than
without the proxy (one round trip), and bandwidth is not limited. Prints "listening" on
standard output once it accepts connections.
"""
import argparse
import asyncio
import sys


async def pump(reader, writer, delay):
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()

    async def deliver():
        while True:
            due, data = await queue.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if data is None:
                break
            writer.write(data)
            await writer.drain()
        try:
            writer.write_eof()
        except (OSError, RuntimeError):
            pass

    delivery = asyncio.ensure_future(deliver())
    try:
        while True:
            data = await reader.read(65536)
            queue.put_nowait((loop.time() + delay, data or None))
            if not data:
                break
    except (ConnectionError, OSError):
        queue.put_nowait((loop.time() + delay, None))
    try:
        await delivery
    except (ConnectionError, OSError):
        pass


async def serve(listen_port, target_port, delay):
    async def handle(client_reader, client_writer):
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target_port)
        except OSError:
            client_writer.close()
            return
        await asyncio.gather(pump(client_reader, server_writer, delay), pump(server_reader, client_writer, delay))
        for writer in (client_writer, server_writer):
            writer.close()

    server = await asyncio.start_server(handle, "127.0.0.1", listen_port, backlog=256)
    print("listening", flush=True)
    async with server:
        await server.serve_forever()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("listen_port", type=int)
    parser.add_argument("target_port", type=int)
    parser.add_argument("--delay-ms", type=float, default=25.0)
    args = parser.parse_args()
    try:
        asyncio.run(serve(args.listen_port, args.target_port, args.delay_ms / 1000.0))
    except KeyboardInterrupt:
        sys.exit(0)


if __name__ == "__main__":
    main()
