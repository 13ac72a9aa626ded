#!/usr/bin/python3
"""Hostile clients against the hub as a process (the sanitizer build under ctest): a client that sends
texts the hub answers and never reads, connections past the caps and the login deadline, a trusted proxy
forwarding a bad client beside good ones, oversized names in the log, and WebSocket upgrades from other
sites' pages."""
import asyncio
import base64
import http.client
import os
import re
import socket
import sys
import time
import unittest
from pathlib import Path
from unittest import mock

import websockets

sys.path.insert(0, str(Path(__file__).resolve().parent))
from hubproc import SEP, Hub  # noqa: E402


def run(coroutine):
    return asyncio.run(asyncio.wait_for(coroutine, 180))


def rss_kib(hub):
    status = Path(f"/proc/{hub.proc.pid}/status").read_text()
    return int(re.search(r"^VmRSS:\s+(\d+) kB", status, re.M).group(1))


def exchange(hub, method, path, source="127.0.0.1", headers=None, body=None, port=None, conn=None):
    """One request from the loopback address source (on conn, kept open, when given): (status, headers,
    body text)."""
    own = conn is None
    conn = conn or http.client.HTTPConnection(hub.host, port or hub.port, timeout=30, source_address=(source, 0))
    conn.request(method, path, body=body, headers=headers or {})
    res = conn.getresponse()
    answer = res.status, dict(res.getheaders()), res.read().decode("utf-8", errors="replace")
    if own:
        conn.close()
    return answer


def metric(hub, name, source="127.0.0.9"):
    text = exchange(hub, "GET", "/metrics", source)[2]
    m = re.search(r"^" + re.escape(name) + r" (\S+)$", text, re.M)
    return float(m.group(1)) if m else None


def frame(text):
    """A masked WebSocket text frame, as a client sends it."""
    data, mask = text.encode(), os.urandom(4)
    size = len(data)
    head = bytes([0x81]) + (bytes([0x80 | size]) if size < 126 else bytes([0x80 | 126]) + size.to_bytes(2, "big"))
    return head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(data))


def sanitizer_reports(hub):
    return re.findall(r"ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:", hub.log_text())


class Hostile(unittest.TestCase):
    def test_a_client_that_never_reads_is_dropped_and_its_memory_given_back(self):
        # The sanitizer keeps freed memory aside (256 MB by default) to catch its use: a small quarantine
        # lets the hub's resident memory say what the hub itself holds.
        sanitizer = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "quarantine_size_mb=1",
                                           "allocator_release_to_os_interval_ms=100"]))
        with mock.patch.dict(os.environ, {"ASAN_OPTIONS": sanitizer}), \
                Hub(config={"ping_interval": 2, "login_deadline": 600}) as hub:
            hub.add_account("shop0001", "secret01")

            async def warm():
                async with hub.counter() as c:
                    self.assertEqual(await c.login("shop0001", "secret01"), "登录成功！")
            run(warm())
            before = rss_kib(hub)

            # A raw client with a tiny receive window: a registration with a bad name is answered at once,
            # and it never reads the answers.
            s = socket.socket()
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            s.connect((hub.host, hub.port))
            key = base64.b64encode(os.urandom(16)).decode()
            s.sendall(f"GET / HTTP/1.1\r\nHost: {hub.address}\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                      f"Sec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n".encode())
            self.assertIn(b" 101 ", s.recv(200))
            burst = frame(SEP.join(["用户注册", "x", "y", "M"])) * 200
            cut, deadline = False, time.monotonic() + 240
            s.settimeout(5)
            while time.monotonic() < deadline:
                try:
                    s.sendall(burst)
                except (OSError, socket.timeout):
                    cut = True
                    break
            s.close()
            self.assertTrue(cut, "the hub kept the connection of a client that never reads")
            hub.wait_log(r"warn counter too slow, dropped address=127\.0\.0\.1")
            deadline = time.monotonic() + 20
            while metric(hub, "kassaro_hub_counters") != 0 and time.monotonic() < deadline:
                time.sleep(0.1)
            self.assertEqual(metric(hub, "kassaro_hub_counters"), 0)
            self.assertEqual(metric(hub, 'kassaro_hub_counters_dropped_total{reason="slow"}'), 1)
            # The allocator gives freed pages back a little at a time.
            deadline = time.monotonic() + 30
            while rss_kib(hub) - before >= 10 * 1024 and time.monotonic() < deadline:
                time.sleep(0.5)
            self.assertLess(rss_kib(hub) - before, 10 * 1024)
            self.assertIsNone(hub.proc.poll())
            self.assertEqual(sanitizer_reports(hub), [])

    def test_connections_past_the_caps_and_the_login_deadline(self):
        config = {"max_connections_per_address": 4, "max_connections": 12, "login_deadline": 3}
        with Hub(config=config) as hub:
            key = hub.add_account("shop0001", "secret01")

            async def connect(source):
                try:
                    return await hub.counter(local_addr=(source, 0)).__aenter__()
                except (OSError, EOFError, websockets.InvalidHandshake):
                    return None

            async def scenario():
                async with hub.counter(local_addr=("127.0.0.2", 0)) as real:
                    self.assertEqual(await real.login("shop0001", "secret01"), "登录成功！")
                    first = [await connect("127.0.0.1") for _ in range(5)]
                    self.assertTrue(all(first[:4]))
                    self.assertIsNone(first[4], "a fifth connection from one address")
                    # A counter from another address still logs in beside them.
                    async with hub.counter(local_addr=("127.0.0.6", 0)) as other:
                        self.assertEqual(await other.login("shop0001", "secret01"), "登录成功！")
                    more = [await connect(f"127.0.0.{3 + n // 4}") for n in range(8)]
                    self.assertEqual([c is not None for c in more], [True] * 7 + [False])  # 12 in all
                    # The anonymous ones are closed at the login deadline; the logged-in one stays.
                    anonymous = first[:4] + more[:7]
                    await asyncio.gather(*(c.reader for c in anonymous))
                    self.assertEqual({c.closed for c in anonymous}, {1008})
                    self.assertIsNone(real.closed)
                    self.assertEqual(hub.post("/api/v1/payments", {"channel": "wechat", "amount": "1"}, key=key)[0],
                                     200)
                    await real.wait_for(lambda t: t == SEP.join(["收到收款", "微信收款", "1.00"]))
            run(scenario())
            self.assertEqual(metric(hub, 'kassaro_hub_connections_refused_total{reason="address_full"}'), 1)
            self.assertEqual(metric(hub, 'kassaro_hub_connections_refused_total{reason="all_full"}'), 1)
            self.assertEqual(metric(hub, 'kassaro_hub_counters_dropped_total{reason="no_login"}'), 11)
            self.assertEqual(len(re.findall(r"counter did not log in", hub.log_text())), 11)

    def test_a_trusted_proxy_forwards_its_clients_addresses_and_scheme(self):
        config = {"trusted_proxies": ["127.0.0.1", "10.0.0.0/8"], "max_connections_per_address": 3}
        with Hub(config=config) as hub:
            key = hub.add_account("shop0001", "secret01")
            via = lambda client, **more: {"X-Forwarded-For": client, **more}  # noqa: E731
            pay = '{"channel":"wechat","amount":"2"}'

            # A bad client behind the proxy, its own forged hop on the left of the proxies' ones, is refused
            # and logged by its own address; a good phone behind the same proxy is answered.
            for _ in range(25):
                exchange(hub, "POST", "/api/v1/payments?key=wrong", headers=via("1.2.3.4, 203.0.113.5, 10.1.1.1"),
                         body=pay)
            self.assertEqual(exchange(hub, "POST", "/api/v1/payments?key=wrong",
                                      headers=via("203.0.113.5"), body=pay)[0], 401)
            self.assertEqual(exchange(hub, "POST", "/api/v1/payments?key=" + key, headers=via("198.51.100.7"),
                                      body=pay)[0], 200)
            hub.wait_log(r"phone request refused address=203\.0\.113\.5 ")
            self.assertNotIn("address=1.2.3.4", hub.log_text())
            self.assertNotIn("address=10.1.1.1", hub.log_text())
            # From anyone else the headers say nothing.
            exchange(hub, "POST", "/api/v1/payments?key=wrong", "127.0.0.2", via("198.51.100.8"), pay)
            hub.wait_log(r"phone request refused address=127\.0\.0\.2 ")

            # The cap per address counts the forwarded client, not the proxy.
            kept = [http.client.HTTPConnection(hub.host, hub.port, timeout=30) for _ in range(4)]
            statuses = [exchange(hub, "GET", "/healthz", headers=via("203.0.113.9"), conn=c)[0] for c in kept]
            self.assertEqual(statuses, [200, 200, 200, 503])
            self.assertEqual(exchange(hub, "GET", "/healthz", headers=via("203.0.113.10"))[0], 200)
            for c in kept:
                c.close()

            # The scheme: HSTS and a Secure session cookie only when TLS is real or a trusted proxy says so.
            form = {"Content-Type": "application/x-www-form-urlencoded"}
            signin = "account=shop0001&password=secret01"
            _, told, _ = exchange(hub, "POST", "/login", headers=via("198.51.100.7", **{"X-Forwarded-Proto": "https"},
                                                                    **form), body=signin)
            _, forged, _ = exchange(hub, "POST", "/login", "127.0.0.2", {"X-Forwarded-Proto": "https", **form}, signin)
            self.assertIn("; Secure", told["Set-Cookie"])
            self.assertEqual(told["Strict-Transport-Security"], "max-age=31536000")
            self.assertNotIn("Secure", forged["Set-Cookie"])
            self.assertNotIn("Strict-Transport-Security", forged)

            # /metrics: to loopback clients, never to a forwarded one.
            self.assertEqual(exchange(hub, "GET", "/metrics", headers=via("203.0.113.5"))[0], 404)
            self.assertEqual(exchange(hub, "GET", "/metrics", "127.0.0.2")[0], 200)

    def test_metrics_listen_answers_metrics_alone(self):
        with Hub(config={"metrics_listen": "127.0.0.1:0", "trusted_proxies": ["127.0.0.1"]}) as hub:
            port = int(re.search(r"info listening metrics address=\S+:(\d+)", hub.log_text()).group(1))
            forwarded = {"X-Forwarded-For": "203.0.113.5"}
            status, _, text = exchange(hub, "GET", "/metrics", headers=forwarded, port=port)
            self.assertEqual(status, 200)
            self.assertIn("kassaro_hub_counters 0", text)
            self.assertEqual(exchange(hub, "GET", "/healthz", port=port)[0], 404)
            self.assertEqual(exchange(hub, "GET", "/metrics", headers=forwarded)[0], 404)

    def test_oversized_names_clipped_in_the_log_and_foreign_origins_refused(self):
        config = {"max_message_bytes": 200000, "max_body_bytes": 200000,
                  "allowed_origins": ["https://shop.example.cn"]}
        with Hub(config=config) as hub:
            hub.add_account("shop0001", "secret01")
            name = "n" * 65536

            async def scenario():
                # Before login a text is kept short: the connection is closed with 1009.
                async with hub.counter() as anonymous:
                    await anonymous.send("用户登录", name, "secret01", "M")
                    await anonymous.reader
                    self.assertEqual(anonymous.closed, 1009)
                # Logged in, the same name is checked, and logged clipped.
                async with hub.counter() as c:
                    self.assertEqual(await c.login("shop0001", "secret01"), "登录成功！")
                    self.assertEqual(await c.login(name, "secret01", bills=False), "登录失败，帐号或密码错误！")

                for origin in ("http://evil.example", "null"):
                    with self.assertRaises(websockets.InvalidStatusCode) as refused:
                        await websockets.connect(f"ws://{hub.address}/", origin=origin)
                    self.assertEqual(refused.exception.status_code, 403)
                allowed = await websockets.connect(f"ws://{hub.address}/", origin="https://shop.example.cn")
                await allowed.close()
            run(scenario())
            exchange(hub, "POST", "/login", headers={"Content-Type": "application/x-www-form-urlencoded"},
                     body="account=" + name + "&password=x")
            hub.wait_log(r"page sign-in failed")
            hub.wait_log(r"login failed")
            lines = hub.log_text().splitlines()
            self.assertLess(max(len(line) for line in lines), 1000)
            self.assertEqual(len([l for l in lines if "n" * 64 in l]), 2)
            self.assertEqual(len(re.findall(r"counter message too large, closed", hub.log_text())), 1)
            self.assertEqual(metric(hub, 'kassaro_hub_connections_refused_total{reason="origin"}'), 2)


if __name__ == "__main__":
    from hubproc import main
    main()
