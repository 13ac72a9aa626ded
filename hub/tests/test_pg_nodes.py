#!/usr/bin/python3
"""Two hub nodes on one PostgreSQL database: a payment posted to either node reaches the account's counters
on both, once, within 100 ms; a phone report on one node reaches the other's counters; a node whose
listening connection is cut while payments arrive still gives its counters every one of them, once."""
import asyncio
import os
import sys
import threading
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from hubproc import Hub, push_text  # noqa: E402
from postgres import Server  # noqa: E402

FAST = {"rate_per_second": 1000, "rate_burst": 1000}


@unittest.skipUnless(os.environ.get("KASSARO_HUB_POSTGRES"), "needs the tests' PostgreSQL server")
class Nodes(unittest.TestCase):
    def test_payments_and_phone_reach_the_other_node(self):
        async def scenario(a, b):
            key = a.add_account("shop0001", "secret01")
            async with a.counter() as ca, b.counter() as cb:
                for c in (ca, cb):
                    self.assertEqual(await c.login("shop0001", "secret01"), "登录成功！")
                    await c.wait_for(lambda t: t == "APP掉线")
                self.assertEqual((await asyncio.to_thread(a.post, "/api/v1/heartbeat", {}, key))[0], 200)
                await cb.wait_for(lambda t: t == "APP正常")

                answered = {}
                for n, node in enumerate([a, b, a, a, b, a]):
                    amount = f"{n + 1}.25"
                    status, body = await asyncio.to_thread(
                        node.post, "/api/v1/payments", {"channel": "alipay", "amount": amount, "id": f"p{n}"}, key)
                    self.assertEqual(status, 200, body)
                    answered[push_text("alipay", amount)] = time.monotonic()
                for c in (ca, cb):
                    for text, at in answered.items():
                        await c.wait_for(lambda t: t == text)
                        self.assertLess(c.arrival(text) - at, 0.1, f"{text} took too long")
                await asyncio.sleep(0.5)  # a second push of any would have come by now
                for c in (ca, cb):
                    self.assertEqual(sorted(c.payments()), sorted(answered))

        with Hub(name="a", config=FAST) as a, Hub(name="b", config=FAST, database=a.database) as b:
            asyncio.run(asyncio.wait_for(scenario(a, b), 120))

    def test_a_cut_listening_connection_misses_nothing(self):
        server = Server(os.environ["KASSARO_HUB_POSTGRES"])

        async def scenario(a, b):
            key = a.add_account("shop0001", "secret01")
            async with b.counter() as cb:
                self.assertEqual(await cb.login("shop0001", "secret01"), "登录成功！")
                answered, stop = [], threading.Event()

                def post():
                    for n in range(60):
                        amount = f"{n + 1}.07"
                        node = a if n % 3 else b
                        status, _ = node.post("/api/v1/payments",
                                              {"channel": "wechat", "amount": amount, "id": f"q{n}"}, key)
                        if status == 200:
                            answered.append(push_text("wechat", amount))
                        time.sleep(0.03)
                    stop.set()

                poster = threading.Thread(target=post)
                poster.start()
                # B's listening backend is ended twice while the payments arrive.
                for _ in range(2):
                    await asyncio.sleep(0.5)
                    cut = server.sql(a.made_database[1], "SELECT COUNT(pg_terminate_backend(pid)) FROM pg_stat_activity "
                                     f"WHERE application_name = 'kassaro-hub notifications {b.proc.pid}'")
                    self.assertEqual(cut.strip(), "1")
                await asyncio.to_thread(poster.join)
                self.assertEqual(len(answered), 60)
                for text in answered:
                    await cb.wait_for(lambda t: t == text)
                await asyncio.sleep(0.5)
                self.assertEqual(sorted(cb.payments()), sorted(answered))
            self.assertIn("store notifications back", b.log_text())

        with Hub(name="a", config=FAST) as a, Hub(name="b", config=FAST, database=a.database) as b:
            asyncio.run(asyncio.wait_for(scenario(a, b), 120))


if __name__ == "__main__":
    unittest.main()
