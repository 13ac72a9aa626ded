#!/usr/bin/python3
"""A small WebSocket server for the client's tests: the request path picks how it behaves.

    /usr/bin/python3 ws_test_peer.py --port 0 --port-file /tmp/peer.port [--tls-dir DIR]

With --tls-dir the same paths are also served over TLS on two more ports: one with the certificate
DIR/cert.pem (for DNS:localhost, which the test trusts), one with DIR/untrusted-cert.pem (which it does
not). The port file then holds the three ports: plain, TLS, untrusted TLS.

Paths (a query string is ignored but kept in the log, so a test can find its own connection):
    /echo          greets with "欢迎光临", then answers every text with "<characters>:<text>"
    /fragments     sends one message in three fragments, then one with a ping between its fragments
    /ping          pings with "kassaro" and reports "pong:kassaro" once the matching pong is back
    /close         sends "bye" and closes with 1000
    /drop          sends "bye" and drops the TCP connection without a close frame
    /burst         sends "one", "two", "three" at once, then echoes
    /silent        sends "hello", then stops reading (so pings go unanswered)
    /bad-utf8      sends a text frame whose payload is not valid UTF-8, then echoes
    /masked, /reserved-opcode, /rsv, /big-control, /fragmented-control
                   send one frame that breaks the protocol and wait for the client to close
    /16MiB, /16MiB-and-1
                   send one text message of that many bytes, then echo
    /close-1000, /close-4000, /close-999, /close-1005, /close-2999, /close-bad-reason
                   send a close frame with that code (and a reason; the last one's is not UTF-8)
                   and wait for the client's answer
    /bad-accept    answers the handshake with a wrong Sec-WebSocket-Accept
    /refuse        answers the handshake with 403
    /log           sends what the peer has seen so far, one line per event, and closes
    /quit          ends the peer

The peer ends by itself when no client has been connected for --idle seconds, so that a test
that dies cannot leave it behind (under Wine the test cannot wait for or kill a Unix process).
"""
import argparse
import asyncio
import http
import os
import ssl
import struct
import time

import websockets
from websockets.datastructures import Headers

import certificates

log = []
active = 0
last_activity = time.monotonic()
stop = None


def frame(first_byte, payload, mask=None):
    """A raw server frame; masked only when a test wants to see the client refuse it."""
    length = len(payload)
    second = 0x80 if mask else 0
    if length < 126:
        header = bytes([first_byte, second | length])
    elif length < 65536:
        header = bytes([first_byte, second | 126]) + struct.pack("!H", length)
    else:
        header = bytes([first_byte, second | 127]) + struct.pack("!Q", length)
    if mask:
        payload = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
        return header + mask + payload
    return header + payload


def close_frame(code, reason=b"done"):
    return frame(0x88, struct.pack("!H", code) + reason)


# One frame each, written as it is; then the peer waits for the client to close.
ONE_FRAME = {
    "/masked": frame(0x81, b"hidden", mask=b"\x01\x02\x03\x04"),
    "/reserved-opcode": frame(0x83, b"what"),
    "/rsv": frame(0xC1, b"compressed?"),
    "/big-control": frame(0x89, b"p" * 126),
    "/fragmented-control": frame(0x09, b"half a ping"),
    "/close-1000": close_frame(1000),
    "/close-4000": close_frame(4000),
    "/close-999": close_frame(999),
    "/close-1005": close_frame(1005),
    "/close-2999": close_frame(2999),
    "/close-bad-reason": close_frame(1000, b"ab\xff"),
}


async def echo(ws):
    async for message in ws:
        if isinstance(message, str):
            await ws.send(f"{len(message)}:{message}")
        else:
            await ws.send(message)


async def handle(ws, path):
    global active, last_activity
    active += 1
    try:
        await behave(ws, path)
    except websockets.ConnectionClosed:
        pass
    finally:
        await ws.close()
        log.append(f"{path} closed {ws.close_code}")
        active -= 1
        last_activity = time.monotonic()


async def behave(ws, path):
    path = path.split("?", 1)[0]  # a query only tags the connection in the log
    if path == "/echo":
        await ws.send("欢迎光临")
        await echo(ws)
    elif path == "/fragments":
        await ws.send(["第一段，", "第二段，", "第三段"])
        ws.transport.write(frame(0x01, "前半".encode()) + frame(0x89, b"mid") + frame(0x80, "后半".encode()))
        await echo(ws)
    elif path == "/ping":
        waiter = await ws.ping(b"kassaro")
        try:
            await asyncio.wait_for(waiter, 10)
            await ws.send("pong:kassaro")
        except asyncio.TimeoutError:
            await ws.send("no pong")
        await echo(ws)
    elif path == "/close":
        await ws.send("bye")
        await ws.close(1000, "done")
    elif path == "/drop":
        await ws.send("bye")
        await asyncio.sleep(0.05)
        ws.transport.abort()
    elif path == "/burst":
        for text in ("one", "two", "three"):
            await ws.send(text)
        await echo(ws)
    elif path == "/silent":
        await ws.send("hello")
        await asyncio.sleep(0.05)
        ws.transport.pause_reading()
        await asyncio.sleep(15)
        ws.transport.abort()
    elif path == "/bad-utf8":
        ws.transport.write(frame(0x81, b"ab\xffcd"))
        await echo(ws)
    elif path in ("/16MiB", "/16MiB-and-1"):
        ws.transport.write(frame(0x81, b"A" * ((16 << 20) + (path == "/16MiB-and-1"))))
        await echo(ws)
    elif path in ONE_FRAME:
        ws.transport.write(ONE_FRAME[path])
        await ws.wait_closed()
    elif path == "/log":
        await ws.send("\n".join(log))
    elif path == "/quit":
        stop.set_result(None)
    else:
        await ws.close(1008, "unknown path")


async def process_request(path, headers):
    path = path.split("?", 1)[0]
    if path == "/bad-accept":
        return (http.HTTPStatus.SWITCHING_PROTOCOLS,
                Headers([("Upgrade", "websocket"), ("Connection", "Upgrade"),
                         ("Sec-WebSocket-Accept", "AAAAAAAAAAAAAAAAAAAAAAAAAAA=")]), b"")
    if path == "/refuse":
        return http.HTTPStatus.FORBIDDEN, Headers(), b"not here\n"
    return None


async def watch_idle(idle):
    while not stop.done():
        await asyncio.sleep(0.5)
        if active == 0 and time.monotonic() - last_activity > idle and not stop.done():
            stop.set_result(None)


async def main():
    global stop
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--port-file")
    parser.add_argument("--idle", type=float, default=30)
    parser.add_argument("--tls-dir")
    args = parser.parse_args()

    stop = asyncio.get_running_loop().create_future()
    tls_contexts = [None]
    if args.tls_dir:
        for prefix in ("", "untrusted-"):
            cert, key, _ = certificates.make_certificate(args.tls_dir, prefix)
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(cert, key)
            tls_contexts.append(context)
    servers = [await websockets.serve(handle, "127.0.0.1", args.port if context is None else 0, ssl=context,
                                      process_request=process_request, ping_interval=None, max_size=None,
                                      compression=None)
               for context in tls_contexts]
    ports = [str(server.sockets[0].getsockname()[1]) for server in servers]
    print(f"ws_test_peer listening on 127.0.0.1 ports {' '.join(ports)}", flush=True)
    if args.port_file:
        # Written whole and renamed, so the test never reads half a number.
        with open(args.port_file + ".tmp", "w") as f:
            f.write(" ".join(ports))
        os.replace(args.port_file + ".tmp", args.port_file)
    # Let go of the test's output streams: a test runner waits until every holder has closed them.
    devnull = os.open(os.devnull, os.O_RDWR)
    for fd in (0, 1, 2):
        os.dup2(devnull, fd)
    watcher = asyncio.create_task(watch_idle(args.idle))
    await stop
    watcher.cancel()
    # A connection that has gone silent on purpose must not hold the end up.
    for server in servers:
        server.close()
    try:
        await asyncio.wait_for(asyncio.gather(*(server.wait_closed() for server in servers)), 2)
    except asyncio.TimeoutError:
        pass

if __name__ == "__main__":
    asyncio.run(main())
