#!/usr/bin/env python3
"""A TCP proxy between the client and vl_server that adds delay or faults.

    bench/tcp_proxy.py --target 127.0.0.1:55502 [--listen 127.0.0.1:0]
                       [--delay-ms D]            each direction, so RTT + 2 D
                       [--close-after N]         close once N bytes went by
                       [--drop-answer K]         swallow the K-th answer
                       [--stall-after N]         stop forwarding after N bytes
                       [--flip-at N]             flip one bit of byte N
                       [--direction up|down|both]  which bytes count (default both)
                       [--faulty K]              faults on the first K connections
                                                 only (default 1; 0 = every one)

Prints "listening on HOST:PORT" when ready and one line per fault it makes on
standard error. Delay keeps the order of the bytes: each piece read is sent
D ms after it arrived, as a link with that latency would. "up" is client to
server, "down" server to client; an answer is one read from the server side.
The kernel here has no netem, so the wide-area figures are measured through
this proxy instead.
"""
import argparse
import asyncio
import sys
import time


class Faults:
    def __init__(self, args):
        self.args = args
        self.connections = 0

    def for_connection(self):
        self.connections += 1
        faulty = self.args.faulty == 0 or self.connections <= self.args.faulty
        return ConnectionFaults(self.args if faulty else None, self.connections)


class ConnectionFaults:
    def __init__(self, args, number):
        self.args, self.number = args, number
        self.counted = 0
        self.answers = 0
        self.stalled = False

    def counts(self, direction):
        return self.args is not None and self.args.direction in (direction, "both")

    def note(self, what):
        print(f"tcp_proxy: connection {self.number}: {what}", file=sys.stderr, flush=True)

    def apply(self, direction, data):
        """Returns (bytes to forward, whether to close afterwards)."""
        if not self.counts(direction):
            return data, False
        a = self.args
        start, self.counted = self.counted, self.counted + len(data)
        if direction == "down":
            self.answers += 1
            if a.drop_answer and self.answers == a.drop_answer:
                self.note(f"answer {self.answers} dropped")
                return b"", False
        if a.flip_at is not None and start <= a.flip_at < self.counted:
            flipped = bytearray(data)
            flipped[a.flip_at - start] ^= 0x10
            self.note(f"bit flipped in byte {a.flip_at}")
            data = bytes(flipped)
        if a.stall_after is not None and self.counted > a.stall_after:
            if not self.stalled:
                self.note(f"stalled after {a.stall_after} bytes")
            self.stalled = True
            return data[:max(0, a.stall_after - start)], False
        if a.close_after is not None and self.counted >= a.close_after:
            self.note(f"closed after {a.close_after} bytes")
            return data[:max(0, a.close_after - start)], True
        return data, False


async def pump(reader, writer, direction, faults, delay, peer_writer):
    queue = asyncio.Queue()

    async def sender():
        while True:
            due, data, close = await queue.get()
            wait = due - time.monotonic()
            if wait > 0:
                await asyncio.sleep(wait)
            if data is None:
                break
            if data:
                writer.write(data)
                await writer.drain()
            if close:
                writer.close()
                peer_writer.close()
                break

    task = asyncio.ensure_future(sender())
    try:
        while True:
            data = await reader.read(262144)
            if not data:
                break
            data, close = faults.apply(direction, data)
            await queue.put((time.monotonic() + delay, data, close))
            if close:
                break
    except (ConnectionError, OSError):
        pass
    await queue.put((time.monotonic() + delay, None, False))
    try:
        await task
    except (ConnectionError, OSError):
        pass
    try:
        writer.close()
    except (ConnectionError, OSError):
        pass


async def serve(args):
    host, port = args.target.rsplit(":", 1)
    faults = Faults(args)
    delay = args.delay_ms / 1000.0

    async def handle(client_reader, client_writer):
        conn = faults.for_connection()
        try:
            server_reader, server_writer = await asyncio.open_connection(host, int(port))
        except OSError:
            client_writer.close()
            return
        await asyncio.gather(
            pump(client_reader, server_writer, "up", conn, delay, client_writer),
            pump(server_reader, client_writer, "down", conn, delay, server_writer))

    listen_host, listen_port = args.listen.rsplit(":", 1)
    server = await asyncio.start_server(handle, listen_host, int(listen_port))
    bound = server.sockets[0].getsockname()
    print(f"listening on {bound[0]}:{bound[1]}", flush=True)
    async with server:
        await server.serve_forever()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--target", required=True)
    parser.add_argument("--listen", default="127.0.0.1:0")
    parser.add_argument("--delay-ms", type=float, default=0.0)
    parser.add_argument("--close-after", type=int)
    parser.add_argument("--drop-answer", type=int)
    parser.add_argument("--stall-after", type=int)
    parser.add_argument("--flip-at", type=int)
    parser.add_argument("--direction", choices=("up", "down", "both"), default="both")
    parser.add_argument("--faulty", type=int, default=1)
    args = parser.parse_args()
    try:
        asyncio.run(serve(args))
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
