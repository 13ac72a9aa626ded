#!/usr/bin/python3
"""PostgreSQL stopped and started again while phones post payments: every answer is 200 or 503, every 200
is in the bill history once and reached the counter once, and the hub answers 200 again within 5 s of the
server being back. The server is one of this test's own, so that stopping it disturbs no other test."""
import asyncio
import os
import shutil
import sys
import tempfile
import threading
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from hubproc import Hub, post_payments, push_text  # noqa: E402
from postgres import Server  # noqa: E402


@unittest.skipUnless(os.environ.get("KASSARO_HUB_POSTGRES"), "needs PostgreSQL")
class Outage(unittest.TestCase):
    def test_server_stopped_and_started_under_load(self):
        runs = os.environ.get("KASSARO_HUB_RUNS")
        server = Server(tempfile.mkdtemp(prefix="pg-outage-", dir=runs)).start()
        try:
            database = server.create_database()
            with Hub(name="outage", database=server.address(database),
                     config={"rate_per_second": 10000, "rate_burst": 10000}) as hub:
                asyncio.run(asyncio.wait_for(self.scenario(hub, server), 120))
        finally:
            server.stop("immediate")
            shutil.rmtree(server.dir, ignore_errors=True)

    async def scenario(self, hub, server):
        key = hub.add_account("shop0001", "secret01")
        async with hub.counter() as c:
            self.assertEqual(await c.login("shop0001", "secret01"), "登录成功！")
            answers, stop = [], threading.Event()
            posters = [threading.Thread(target=post_payments, args=(hub, key, stop, i, answers)) for i in (1, 2)]
            for p in posters:
                p.start()
            await asyncio.sleep(1)
            self.assertTrue(await asyncio.to_thread(server.stop))
            await asyncio.sleep(2)
            await asyncio.to_thread(server.start)
            back = time.monotonic()
            await asyncio.sleep(3)
            stop.set()
            for p in posters:
                await asyncio.to_thread(p.join, 30)

            statuses = {status for _, status, *_ in answers}
            self.assertLessEqual(statuses, {200, 503})
            self.assertIn(503, statuses, "the outage was not seen")
            first_after = min(at for at, status, *_ in answers if status == 200 and at > back)
            self.assertLess(first_after - back, 5)

            ok = {pid: (bill, channel, amount) for _, status, pid, channel, amount, bill in answers if status == 200}
            lines = hub.cli("bills", "shop0001").stdout.splitlines()[:-1]
            listed = [(int(l.split("\t")[0]), l.split("\tid ")[1]) for l in lines]
            for pid, (bill, _, _) in ok.items():
                self.assertEqual(listed.count((bill, pid)), 1, f"{pid} answered 200 as bill {bill}")
            # Every payment answered 200 reached the counter once (one whose commit went through while its
            # answer was lost may reach it too: it is stored).
            for _, channel, amount in ok.values():
                await c.wait_for(lambda t: t == push_text(channel, amount))
            await asyncio.sleep(0.5)
            pushed = c.payments()
            self.assertEqual(len(pushed), len(set(pushed)), "a payment pushed twice")
            self.assertLessEqual(len(pushed), len(listed))
            print(f"{len(ok)} answered 200, {sum(s == 503 for _, s, *_ in answers)} answered 503, "
                  f"serving again {first_after - back:.2f} s after the server was back")


if __name__ == "__main__":
    unittest.main()
