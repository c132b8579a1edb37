#!/usr/bin/python3
"""A TCP proxy that delays every byte by a fixed time in each direction, so a relay on this
machine looks as far away as one across a network: delay_proxy.py LISTEN_PORT TARGET_PORT MS.
Each side acknowledges what it reads at once, as sendal does, so a relay that holds small
replies back until the last is acknowledged (Nagle) sees what it would see across a network
from sendal, not the proxy's own delayed acknowledgements."""
import asyncio
import socket
import sys
import time


def writer_socket(reader):
    transport = getattr(reader, "_transport", None)
    return transport.get_extra_info("socket") if transport else None


async def pump(reader, writer, delay):
    queue = asyncio.Queue()

    async def deliver():
        while True:
            due, data = await queue.get()
            if data is None:
                break
            wait = due - time.monotonic()
            if wait > 0:
                await asyncio.sleep(wait)
            writer.write(data)
            await writer.drain()
        writer.close()
    sender = asyncio.create_task(deliver())
    try:
        sock = writer_socket(reader)
        while True:
            data = await reader.read(65536)
            if not data:
                break
            if sock is not None:  # acknowledge at once, as the client at the far end does
                try:
                    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_QUICKACK, 1)
                except OSError:
                    pass
            queue.put_nowait((time.monotonic() + delay, data))
    finally:
        queue.put_nowait((0, None))
        await sender


async def main(listen_port, target_port, delay):
    async def handle(client_reader, client_writer):
        try:
            relay_reader, relay_writer = await asyncio.open_connection("127.0.0.1", target_port)
        except OSError:
            client_writer.close()
            return
        await asyncio.gather(pump(client_reader, relay_writer, delay),
                             pump(relay_reader, client_writer, delay), return_exceptions=True)
    server = await asyncio.start_server(handle, "127.0.0.1", listen_port)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(main(int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3]) / 1000))
