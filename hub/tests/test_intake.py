#!/usr/bin/python3
"""The phone side over real HTTP: payments and notifications stored once, and every error answered with
its status and a JSON reason, nothing stored for it."""
import os
import socket
import sqlite3
import sys
import threading
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from hubproc import Hub  # noqa: E402

WECHAT = "com.tencent.mm"
ALIPAY = "com.eg.android.AlipayGphone"


class Intake(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.hub = Hub(config={"rate_per_second": 5, "rate_burst": 10}).start()
        cls.key = cls.hub.add_account("shop0001", "secret01")

    @classmethod
    def tearDownClass(cls):
        cls.hub.stop()

    def bills(self):
        return self.hub.cli("bills", "shop0001").stdout.splitlines()[:-1]

    def test_notifications_recognised_and_deduplicated(self):
        before = len(self.bills())
        post = lambda body: self.hub.post("/api/v1/notifications", body, key=self.key)
        status, paid = post({"package": WECHAT, "title": "微信支付", "text": "微信支付收款1.17元(朋友到店)"})
        self.assertEqual((status, paid["payment"], paid["duplicate"]), (200, True, False))
        # The same payment again as the group summary: one bill.
        again = post({"package": WECHAT, "title": "微信支付", "text": "[2条]微信支付: 微信支付收款1.17元(朋友到店)"})[1]
        self.assertEqual((again["bill"], again["duplicate"]), (paid["bill"], True))
        self.assertTrue(post({"package": ALIPAY, "title": "你已成功收款5.00元", "text": "已转入余额"})[1]["payment"])
        advert = post({"package": ALIPAY, "title": "支付宝", "text": "经营码仅0.38%收钱费率"})
        self.assertEqual(advert[0], 200)
        self.assertEqual(advert[1]["payment"], False)
        self.assertTrue(advert[1]["reason"])
        lines = self.bills()[before:]
        self.assertEqual([l.split("\t")[2:4] for l in lines], [["微信收款", "1.17"], ["支付宝收款", "5.00"]])

    def test_errors(self):
        before = len(self.bills())
        good = {"channel": "wechat", "amount": "1.00"}
        cases = [
            ("no key", "/api/v1/payments", good, None, 401),
            ("wrong key", "/api/v1/payments", good, "x" * 32, 401),
            ("bad JSON", "/api/v1/payments", b"{\"channel\": ", self.key, 400),
            ("not an object", "/api/v1/payments", [1, 2], self.key, 400),
            ("no channel", "/api/v1/payments", {"amount": "1"}, self.key, 400),
            ("unknown channel", "/api/v1/payments", {"channel": "paypal", "amount": "1"}, self.key, 400),
            ("three decimals", "/api/v1/payments", {"channel": "wechat", "amount": "1.005"}, self.key, 400),
            ("negative", "/api/v1/payments", {"channel": "wechat", "amount": -3}, self.key, 400),
            ("zero", "/api/v1/payments", {"channel": "wechat", "amount": "0.00"}, self.key, 400),
            ("exponent", "/api/v1/payments", {"channel": "wechat", "amount": "1e3"}, self.key, 400),
            ("bad time", "/api/v1/payments", {**good, "time": "yesterday"}, self.key, 400),
            ("text field a list", "/api/v1/notifications", {"package": ["com.tencent.mm"]}, self.key, 400),
            ("unknown path", "/api/v1/nothing", good, self.key, 404),
            ("body too large", "/api/v1/payments", b"{" + b" " * 70000 + b"}", self.key, 413),
        ]
        for name, path, body, key, status in cases:
            with self.subTest(name):
                got, answer = self.hub.post(path, body, key=key)
                self.assertEqual(got, status, answer)
                self.assertEqual(answer["ok"], False)
                self.assertTrue(answer["error"])
        status, answer, headers = self.hub.request("GET", "/api/v1/payments", key=self.key)
        self.assertEqual((status, headers.get("Allow")), (405, "POST"))
        self.assertEqual(len(self.bills()), before)

    def test_rate_limit(self):
        statuses = [self.hub.post("/api/v1/heartbeat", {}, key=self.key)[0] for _ in range(30)]
        self.assertIn(429, statuses)
        self.assertEqual(statuses[0], 200)
        time.sleep(2.5)  # the bucket fills again at 5 a second
        self.assertEqual(self.hub.post("/api/v1/heartbeat", {}, key=self.key)[0], 200)

    @unittest.skipIf(os.environ.get("KASSARO_HUB_POSTGRES"), "holds the SQLite file's lock: SQLite's alone")
    def test_store_not_available(self):
        # Another process holds the store's write lock past the hub's wait: 503, nothing stored; then 200.
        db = sqlite3.connect(self.hub.data / "hub.sqlite3", isolation_level=None)
        db.execute("BEGIN EXCLUSIVE")
        try:
            status, answer = self.hub.post("/api/v1/payments", {"channel": "wechat", "amount": "9.99"}, key=self.key)
            self.assertEqual((status, answer["ok"]), (503, False))
            self.assertEqual(self.hub.request("GET", "/healthz")[0], 503)
        finally:
            db.execute("ROLLBACK")
            db.close()
        # /healthz answers from the hub's own poll of the store, once a second.
        deadline = time.monotonic() + 10
        while self.hub.request("GET", "/healthz")[0] != 200 and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertEqual(self.hub.request("GET", "/healthz")[0], 200)
        status, answer = self.hub.post("/api/v1/payments", {"channel": "wechat", "amount": "9.99"}, key=self.key)
        self.assertEqual(status, 200)
        self.assertEqual(sum(l.endswith("\t9.99") for l in self.bills()), 1)

    def test_metrics_and_health(self):
        status, text, headers = self.hub.request("GET", "/metrics")
        self.assertEqual(status, 200)
        self.assertTrue(headers["Content-Type"].startswith("text/plain"))
        for name in ("kassaro_hub_counters", "kassaro_hub_logins_total", "kassaro_hub_payments_total",
                     "kassaro_hub_push_seconds_bucket", "kassaro_hub_store_errors_total"):
            self.assertIn("\n" + name, text)
        self.assertEqual(self.hub.request("GET", "/healthz")[:2], (200, {"ok": True}))


if __name__ == "__main__":
    unittest.main()
