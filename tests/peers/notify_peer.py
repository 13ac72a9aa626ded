#!/usr/bin/python3
"""The notification server for Kassaro's own tests: a scripted peer that can misbehave as the real hub never
should (and, with --demo, a stand-in for the hub that makes payments up).

    /usr/bin/python3 notify_peer.py --port 0 --port-file /tmp/peer.ports [--log frames.txt]
    /usr/bin/python3 notify_peer.py --demo            (ws://127.0.0.1:9002)

It speaks the program's message protocol over WebSocket (text frames, UTF-8, fields joined by
"【字段分隔符】") and plays a script:
  - "用户登录" F account F password F id   -> "登录响应" F <login answer>, then the phone-app state
  - "获取账单" F account F password        -> "账单回调by：Quimbe" + <history>, when a history is set
  - "用户注册" F account F password F id   -> "注册响应" F <registration answer>
  - every new connection first gets the messages of "on_connect", in order.
Every frame received is logged, as UTF-8 text.

A test steers it through the control port: one JSON object per line in, one JSON object per line out.
    {"cmd": "push", "text": "..."}            send a text to every open, not silent connection
    {"cmd": "push_raw", "hex": "..."}         send a text frame whose payload is these bytes (bad UTF-8)
    {"cmd": "push_big", "size": n}            send a text of n bytes ("A" repeated)
    {"cmd": "burst", "text": "...", "count": n}   send the text n times at once
    {"cmd": "stream", "texts": [...], "per_second": r}   send the texts one by one at r a second;
                                              answers when all are sent, with each one's send time
    {"cmd": "close"}                          close every connection with the closing handshake
    {"cmd": "drop"}                           drop every connection without a close frame
    {"cmd": "silent"}                         stop reading every open connection and send nothing
                                              more to it (pings then go unanswered)
    {"cmd": "down"} / {"cmd": "up"}           stop / start listening: connections are refused meanwhile
    {"cmd": "down_for", "seconds": s}         stop listening for s seconds
    {"cmd": "set", "key": k, "value": v}      login_answer, registration_answer, app_state (empty: none),
                                              history (null: no answer), on_connect (list of texts)
    {"cmd": "status"}                         accepted, open, frames, down
    {"cmd": "frames"} / {"cmd": "clear"}      the received frames / forget them
    {"cmd": "wait_frames", "count": n, "timeout": s}   until n frames have arrived (answers the frames)
    {"cmd": "wait_accepted", "count": n, "timeout": s} until n connections have been accepted
    {"cmd": "quit"}
Each answer has "ok": true or false.

The port file holds two lines: the WebSocket port and the control port. The peer ends by itself when
neither a client nor a controller has been there for --idle seconds, so that a test that dies cannot
leave it behind (under Wine the test can neither wait for nor kill a Unix process).

Demo mode accepts any login, sends a short bill history, the server information and the phone-app
state, then a payment on a random channel every few seconds to every logged-in connection.
"""
import argparse
import asyncio
import datetime
import json
import random
import struct
import sys
import time

import websockets

SEP = "【字段分隔符】"
BILL_MARKER = "by：Quimbe"


class Peer:
    def __init__(self, args):
        self.args = args
        self.port = args.port
        self.server = None
        self.down = False
        self.up_task = None
        self.connections = []  # open connections, in the order accepted
        self.silent = set()
        self.logged_in = set()
        self.accepted = 0
        self.frames = []
        self.changed = asyncio.Condition()
        self.last_activity = time.monotonic()
        self.controllers = 0
        self.stop = asyncio.get_running_loop().create_future()
        self.log_file = open(args.log, "a", encoding="utf-8") if args.log else None
        self.login_answer = "登录成功！"
        self.registration_answer = "注册成功！"
        self.app_state = "APP正常"
        self.history = None
        self.on_connect = []
        if args.demo:
            self.history = demo_history()
            self.on_connect = [SEP.join(["服务器信息", "1", "欢迎使用Kassaro，这是演示服务器。", "1.0", "", ""])]

    # ---- the WebSocket side ----

    async def start_listening(self):
        self.server = await websockets.serve(
            self.serve_client, "127.0.0.1", self.port, max_size=None, ping_interval=None, close_timeout=2)
        self.port = self.server.sockets[0].getsockname()[1]
        self.down = False

    async def stop_listening(self):
        # Only the listening socket: connections that are open stay as they are.
        if self.server is not None:
            self.server.server.close()
            await self.server.server.wait_closed()
            self.server = None
        self.down = True

    async def serve_client(self, ws, path=None):
        self.accepted += 1
        self.connections.append(ws)
        self.touch()
        await self.notify()
        try:
            for text in self.on_connect:
                await ws.send(text)
            async for message in ws:
                self.touch()
                text = message if isinstance(message, str) else "binary:" + message.hex()
                await self.record(text)
                for answer in self.answers(ws, text):
                    if ws not in self.silent:
                        await ws.send(answer)
        except websockets.ConnectionClosed:
            pass
        finally:
            if ws in self.connections:
                self.connections.remove(ws)
            self.silent.discard(ws)
            self.logged_in.discard(ws)
            self.touch()
            await self.notify()

    def answers(self, ws, text):
        fields = text.split(SEP)
        kind = fields[0]
        if kind == "用户登录":
            self.logged_in.add(ws)
            yield SEP.join(["登录响应", self.login_answer])
            if self.app_state:
                yield self.app_state
        elif kind == "获取账单":
            if self.history is not None:
                yield "账单回调" + BILL_MARKER + self.history
        elif kind == "用户注册":
            yield SEP.join(["注册响应", self.registration_answer])

    async def record(self, text):
        self.frames.append(text)
        if self.log_file:
            self.log_file.write(json.dumps(text, ensure_ascii=False) + "\n")
            self.log_file.flush()
        await self.notify()

    async def notify(self):
        async with self.changed:
            self.changed.notify_all()

    def touch(self):
        self.last_activity = time.monotonic()

    def talking(self):
        return [ws for ws in self.connections if ws not in self.silent]

    async def send_all(self, text):
        sent = 0
        for ws in self.talking():
            try:
                await ws.send(text)
                sent += 1
            except websockets.ConnectionClosed:
                pass
        return sent

    async def stream(self, texts, per_second):
        """Sends at a steady pace, each text on its own time slot (not after the previous one's send), so
        that a slow receiver does not slow the pace down. Send times are Unix times, like the program's."""
        start = time.monotonic()
        times = []
        for i, text in enumerate(texts):
            delay = start + i / per_second - time.monotonic()
            if delay > 0:
                await asyncio.sleep(delay)
            times.append(time.time())
            await self.send_all(text)
            self.touch()
        return {"sent": len(texts), "times": times, "seconds": time.monotonic() - start}

    # ---- the control side ----

    async def serve_controller(self, reader, writer):
        self.controllers += 1
        try:
            while True:
                line = await reader.readline()
                if not line:
                    break
                self.touch()
                try:
                    answer = await self.command(json.loads(line))
                except Exception as error:  # a broken command must not end the peer
                    answer = {"ok": False, "error": repr(error)}
                writer.write((json.dumps(answer, ensure_ascii=False) + "\n").encode("utf-8"))
                await writer.drain()
        except (ConnectionError, asyncio.IncompleteReadError):
            pass
        finally:
            self.controllers -= 1
            self.touch()
            writer.close()

    async def command(self, c):
        cmd = c.get("cmd")
        if cmd == "push":
            return {"ok": True, "sent": await self.send_all(c["text"])}
        if cmd == "push_raw":
            payload = bytes.fromhex(c["hex"])
            sent = 0
            for ws in self.talking():
                # The library refuses to send a text that is not UTF-8: write the frame ourselves.
                ws.transport.write(raw_frame(0x81, payload))
                sent += 1
            return {"ok": True, "sent": sent}
        if cmd == "push_big":
            return {"ok": True, "sent": await self.send_all("A" * int(c["size"]))}
        if cmd == "burst":
            text, count, sent = c["text"], int(c["count"]), 0
            for ws in self.talking():
                for _ in range(count):
                    await ws.send(text)
                sent += 1
            return {"ok": True, "sent": sent}
        if cmd == "stream":
            return {"ok": True, **await self.stream(c["texts"], float(c["per_second"]))}
        if cmd == "close":
            connections = list(self.talking())
            await asyncio.gather(*(ws.close() for ws in connections), return_exceptions=True)
            return {"ok": True, "closed": len(connections)}
        if cmd == "drop":
            connections = list(self.connections)
            for ws in connections:
                ws.transport.abort()
            return {"ok": True, "dropped": len(connections)}
        if cmd == "silent":
            for ws in self.talking():
                ws.transport.pause_reading()
                self.silent.add(ws)
            return {"ok": True, "silent": len(self.silent)}
        if cmd == "down":
            self.cancel_up()
            await self.stop_listening()
            return {"ok": True}
        if cmd == "up":
            self.cancel_up()
            if self.server is None:
                await self.start_listening()
            return {"ok": True, "port": self.port}
        if cmd == "down_for":
            self.cancel_up()
            await self.stop_listening()
            self.up_task = asyncio.create_task(self.up_after(float(c["seconds"])))
            return {"ok": True}
        if cmd == "set":
            key, value = c["key"], c.get("value")
            if key not in ("login_answer", "registration_answer", "app_state", "history", "on_connect"):
                return {"ok": False, "error": "unknown key " + key}
            setattr(self, key, value)
            return {"ok": True}
        if cmd == "status":
            return {"ok": True, "accepted": self.accepted, "open": len(self.connections),
                    "silent": len(self.silent), "frames": len(self.frames), "down": self.down}
        if cmd == "frames":
            return {"ok": True, "frames": self.frames}
        if cmd == "clear":
            self.frames = []
            return {"ok": True}
        if cmd == "wait_frames":
            ok = await self.wait_until(lambda: len(self.frames) >= int(c["count"]), c.get("timeout", 30))
            return {"ok": ok, "frames": self.frames}
        if cmd == "wait_accepted":
            ok = await self.wait_until(lambda: self.accepted >= int(c["count"]), c.get("timeout", 30))
            return {"ok": ok, "accepted": self.accepted}
        if cmd == "quit":
            if not self.stop.done():
                self.stop.set_result(None)
            return {"ok": True}
        return {"ok": False, "error": "unknown command"}

    async def wait_until(self, condition, timeout):
        try:
            async with self.changed:
                await asyncio.wait_for(self.changed.wait_for(condition), float(timeout))
            return True
        except asyncio.TimeoutError:
            return condition()

    def cancel_up(self):
        if self.up_task is not None:
            self.up_task.cancel()
            self.up_task = None

    async def up_after(self, seconds):
        await asyncio.sleep(seconds)
        self.up_task = None
        if self.server is None:
            await self.start_listening()

    # ---- demo and idle ----

    async def demo_payments(self):
        while True:
            await asyncio.sleep(random.uniform(4, 8))
            channel = random.choice(["微信收款", "支付宝收款"])
            amount = "%.2f" % random.choice([random.uniform(1, 60), random.uniform(60, 500)])
            for ws in list(self.logged_in):
                try:
                    await ws.send(SEP.join(["收到收款", channel, amount]))
                except websockets.ConnectionClosed:
                    pass

    async def watch_idle(self):
        while not self.stop.done():
            await asyncio.sleep(1)
            busy = self.connections or self.controllers
            if not busy and time.monotonic() - self.last_activity > self.args.idle:
                self.stop.set_result(None)


def raw_frame(first_byte, payload):
    length = len(payload)
    if length < 126:
        header = bytes([first_byte, length])
    elif length < 65536:
        header = bytes([first_byte, 126]) + struct.pack("!H", length)
    else:
        header = bytes([first_byte, 127]) + struct.pack("!Q", length)
    return header + payload


def demo_history():
    now = datetime.datetime.now().replace(microsecond=0)
    lines = []
    for i in range(8):
        when = now - datetime.timedelta(minutes=37 * (i + 1) + random.randint(0, 20))
        channel = random.choice(["微信收款", "支付宝收款"])
        amount = "%.2f" % random.uniform(3, 300)
        stamp = "%d-%d-%d %02d:%02d:%02d" % (when.year, when.month, when.day, when.hour, when.minute, when.second)
        lines.append(SEP.join([str(1000 + i), stamp, channel, amount]))
    return "\r\n".join(lines)


async def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=9002, help="WebSocket port (0: any free port)")
    parser.add_argument("--control-port", type=int, default=0, help="control port (0: any free port)")
    parser.add_argument("--port-file", help="write the WebSocket and the control port here, one a line")
    parser.add_argument("--log", help="append every received frame here, one JSON string a line")
    parser.add_argument("--idle", type=float, default=60, help="end after this long without anyone")
    parser.add_argument("--down", action="store_true", help="start without listening (as after 'down')")
    parser.add_argument("--demo", action="store_true", help="demo mode: payments every few seconds")
    args = parser.parse_args()
    if args.demo and args.idle == 60:
        args.idle = float("inf")

    peer = Peer(args)
    await peer.start_listening()
    if args.down:
        await peer.stop_listening()
    # A command line may carry thousands of texts (stream): allow lines far above the default 64 KiB.
    control = await asyncio.start_server(peer.serve_controller, "127.0.0.1", args.control_port, limit=64 << 20)
    control_port = control.sockets[0].getsockname()[1]
    if args.port_file:
        # Written whole, then renamed, so that a reader never sees half of it.
        with open(args.port_file + ".tmp", "w") as f:
            f.write("%d\n%d\n" % (peer.port, control_port))
        import os
        os.replace(args.port_file + ".tmp", args.port_file)
    if not args.port_file:
        print("notification peer on ws://127.0.0.1:%d, control port %d" % (peer.port, control_port), flush=True)

    tasks = [asyncio.create_task(peer.watch_idle())]
    if args.demo:
        tasks.append(asyncio.create_task(peer.demo_payments()))
    await peer.stop
    for task in tasks:
        task.cancel()
    control.close()
    if peer.server is not None:
        peer.server.close()
    for ws in list(peer.connections):
        ws.transport.abort()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        sys.exit(0)
