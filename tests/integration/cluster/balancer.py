#!/usr/bin/env python3
"""A TCP load balancer for the cluster test: each new connection goes to the next node of the
pool in turn, skipping a node that refuses it, and bytes are copied both ways until either side
closes. The pool file (one HOST:PORT a line) is read again for every connection, so the test can
add a node while running.

usage: balancer.py POOL_FILE PORT_FILE   (listens on 127.0.0.1, a free port written to PORT_FILE)
"""
import asyncio
import os
import sys

pool_file, port_file = sys.argv[1], sys.argv[2]
turn = 0


def pool():
    with open(pool_file) as lines:
        return [line.strip().rsplit(":", 1) for line in lines if line.strip()]


async def copy(reader, writer):
    try:
        while data := await reader.read(65536):
            writer.write(data)
            await writer.drain()
    except (ConnectionError, OSError):
        pass
    finally:
        writer.close()


async def open_next_node():
    global turn
    nodes = pool()
    for _ in nodes:
        host, port = nodes[turn % len(nodes)]
        turn += 1
        try:
            return await asyncio.wait_for(asyncio.open_connection(host, int(port)), 2)
        except (OSError, asyncio.TimeoutError):
            continue  # a dead node: the next one takes the connection
    return None


async def serve(client_reader, client_writer):
    node = await open_next_node()
    if node is None:
        client_writer.close()
        return
    node_reader, node_writer = node
    await asyncio.gather(copy(client_reader, node_writer), copy(node_reader, client_writer))


async def main():
    server = await asyncio.start_server(serve, "127.0.0.1", 0)
    with open(port_file + ".tmp", "w") as out:
        out.write(f"{server.sockets[0].getsockname()[1]}\n")
    # Renamed into place so a reader never sees half a line.
    os.replace(port_file + ".tmp", port_file)
    async with server:
        await server.serve_forever()


asyncio.run(main())
