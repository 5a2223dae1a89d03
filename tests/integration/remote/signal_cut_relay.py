#!/usr/bin/env python3
"""A TCP relay on 127.0.0.1 in front of the service, for one controller. On SIGUSR1 it closes
every connection on the controller's side and keeps the ones towards the service open, so the
controller loses its signaling while the service (and through it the host) sees nothing.
Prints the port it listens on, then relays until killed.
  signal_cut_relay.py SERVICE_PORT"""
import asyncio
import signal
import sys


async def main(service_port):
    client_writers = []

    async def pipe(reader, writer):
        try:
            while data := await reader.read(65536):
                writer.write(data)
                await writer.drain()
        except (ConnectionError, asyncio.CancelledError):
            pass

    async def serve(client_reader, client_writer):
        service_reader, service_writer = await asyncio.open_connection("127.0.0.1", service_port)
        client_writers.append(client_writer)
        await asyncio.gather(pipe(client_reader, service_writer), pipe(service_reader, client_writer))

    def cut():
        for writer in client_writers:
            writer.transport.abort()
        client_writers.clear()

    asyncio.get_running_loop().add_signal_handler(signal.SIGUSR1, cut)
    server = await asyncio.start_server(serve, "127.0.0.1", 0)
    print(server.sockets[0].getsockname()[1], flush=True)
    async with server:
        await server.serve_forever()


asyncio.run(main(int(sys.argv[1])))
