#!/usr/bin/python3
"""Faults survived by the hub as a process. SIGTERM in the middle of a stream of payments: no new
connection is taken, a request already taken is answered, the counters are closed with 1001, exit 0, and
every payment answered 200 is in the store once. A full disk under SQLite (a small tmpfs): payments are
answered 503 while it is full and 200 again once there is room, every 200 is in the store once, and the
log says why in SQLite's own words, a line for each failed transaction at most."""
import asyncio
import http.client
import json
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from hubproc import Hub, main, post_payments  # noqa: E402

FAST = {"rate_per_second": 10000, "rate_burst": 10000}


def stored_bills(hub):
    """Today's bills in the store, by the operator's command line: (bill number, amount) a line."""
    lines = hub.cli("bills", "shop0001").stdout.splitlines()[:-1]
    return [(int(line.split("\t")[0]), line.split("\t")[3]) for line in lines]


class Faults(unittest.TestCase):
    def assert_stored_once(self, hub, answered):
        bills = stored_bills(hub)
        numbers = [number for number, _ in bills]
        self.assertEqual(len(numbers), len(set(numbers)), "a bill stored twice")
        for source, (bill, amount) in answered.items():
            self.assertEqual(dict(bills).get(bill), f"{float(amount):.2f}", f"{source} answered 200, not stored")

    def test_sigterm_during_load(self):
        with Hub(config=FAST, name="sigterm") as hub:
            key = hub.add_account("shop0001", "secret01")

            async def scenario():
                async with hub.counter() as a, hub.counter() as b:
                    for c in (a, b):
                        self.assertEqual(await c.login("shop0001", "secret01"), "登录成功！")
                    answers, stop = [], threading.Event()
                    posters = [threading.Thread(target=post_payments, args=(hub, key, stop, i, answers))
                               for i in range(4)]
                    for p in posters:
                        p.start()
                    while sum(a[1] == 200 for a in answers) < 300 and all(p.is_alive() for p in posters):
                        await asyncio.sleep(0.01)
                    # A request whose body is still on its way when the signal comes: taken, so answered.
                    # The hub's "100 Continue" says it has read the head.
                    body = json.dumps({"channel": "wechat", "amount": "7.77", "id": "taken"}).encode()
                    taken = socket.create_connection((hub.host, hub.port), 10)
                    self.addCleanup(taken.close)
                    taken.sendall(f"POST /api/v1/payments?key={key} HTTP/1.1\r\nHost: hub\r\nExpect: 100-continue"
                                  f"\r\nContent-Length: {len(body)}\r\n\r\n".encode())
                    self.assertTrue(taken.recv(1000).startswith(b"HTTP/1.1 100 Continue\r\n"))
                    taken.sendall(body[:5])
                    signalled = time.monotonic()
                    hub.proc.send_signal(signal.SIGTERM)
                    await asyncio.to_thread(hub.wait_log, r" info stopping$")
                    self.assertIsNone(hub.proc.poll(), "the hub left before the request it took was answered")
                    with self.assertRaises(ConnectionRefusedError):
                        socket.create_connection((hub.host, hub.port), 10).close()
                    taken.sendall(body[5:])
                    res = http.client.HTTPResponse(taken)
                    res.begin()
                    self.assertEqual((res.status, res.getheader("Connection")), (200, "close"))
                    taken_bill = json.loads(res.read())["bill"]
                    code = await asyncio.to_thread(hub.proc.wait, 30)
                    print(f"SIGTERM under load: exit {code} {time.monotonic() - signalled:.2f} s after the "
                          f"signal")
                    self.assertEqual(code, 0)
                    stop.set()
                    for p in posters:
                        p.join(15)
                    answered = {pid: (bill, amount) for _, status, pid, _, amount, bill in answers if status == 200}
                    answered["taken"] = (taken_bill, "7.77")
                    for c in (a, b):
                        await c.reader
                    self.assertEqual([a.closed, b.closed], [1001, 1001])
                    return answered

            answered = asyncio.run(asyncio.wait_for(scenario(), 120))
            self.assertEqual(hub.stop(), 0)
            self.assert_stored_once(hub, answered)

    def test_full_disk(self):
        runs = os.environ.get("KASSARO_HUB_RUNS")
        if runs:
            Path(runs).mkdir(parents=True, exist_ok=True)
        disk = Path(tempfile.mkdtemp(prefix="full-disk-", dir=runs or None))
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=8m", "tmpfs", str(disk)],
                                 capture_output=True, text=True)
        if mounted.returncode != 0:
            os.rmdir(disk)
            self.skipTest("cannot mount a small tmpfs for the full disk (needs root): " + mounted.stderr.strip())
        self.addCleanup(os.rmdir, disk)
        self.addCleanup(subprocess.run, ["umount", str(disk)], check=True)
        hub = Hub(config=FAST, name="full-disk", data=disk / "data")
        # The log elsewhere, so that it can still be written while the store's disk is full.
        hub.log_path = Path(tempfile.mkdtemp(prefix="full-disk-log-", dir=runs or None)) / "hub.log"
        with hub:
            key = hub.add_account("shop0001", "secret01")
            answered, statuses = {}, []

            def pay(n):
                status, answer = hub.post("/api/v1/payments", {"channel": "wechat", "amount": f"{n}.00",
                                                               "id": f"pay-{n}"}, key=key)
                statuses.append(status)
                if status == 200:
                    answered[f"pay-{n}"] = (answer["bill"], f"{n}.00")
                return status

            for n in range(1, 6):
                self.assertEqual(pay(n), 200)
            with open(disk / "filler", "wb") as filler:  # everything the disk has left
                try:
                    while True:
                        filler.write(b"\0" * 65536)
                        filler.flush()
                except OSError:
                    pass
            n = 5
            while statuses[-1] != 503 and n < 500:
                n += 1
                pay(n)
            self.assertEqual(statuses[-1], 503, "the disk never filled")
            self.assertEqual([pay(n + i) for i in range(1, 6)], [503] * 5)
            self.assertLessEqual(set(statuses), {200, 503})
            hub.wait_log(r" error store unavailable reason=\"store \S+: database or disk is full\" jobs=")
            lines = re.findall(r" error store unavailable reason=\"store \S+: (.*)\" jobs=", hub.log_text())
            self.assertLessEqual(len(lines), statuses.count(503))
            self.assertNotIn("defect", hub.log_text())

            (disk / "filler").unlink()
            freed, n = time.monotonic(), n + 5
            while pay(n + 1) != 200 and len(statuses) < 1000:
                n += 1
            print(f"full disk: normal again {time.monotonic() - freed:.3f} s after room was made, "
                  f"{len(statuses)} payments posted, {len(answered)} answered 200")
            self.assertEqual([pay(n + 1 + i) for i in range(1, 6)], [200] * 5)
            self.assertEqual(hub.stop(), 0)
            self.assert_stored_once(hub, answered)


if __name__ == "__main__":
    main()
