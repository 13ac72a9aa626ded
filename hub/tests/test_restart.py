#!/usr/bin/python3
"""Killed with SIGKILL in the middle of a stream of payments and started again: every payment that was
answered 200 is in the next bill history exactly once, and the counters log in again."""
import asyncio
import signal
import sys
import threading
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from hubproc import Hub, bill_lines, post_stream  # noqa: E402


class Restart(unittest.TestCase):
    def test_sigkill_loses_nothing_answered(self):
        hub = Hub(config={"rate_per_second": 10000, "rate_burst": 10000}, name="restart")
        hub.start()
        try:
            key = hub.add_account("shop0001", "secret01")
            answered, stop = {}, threading.Event()
            posters = [threading.Thread(target=post_stream, args=(hub, key, answered, stop, i)) for i in range(4)]
            for p in posters:
                p.start()
            deadline = time.monotonic() + 30
            while len(answered) < 300 and time.monotonic() < deadline:
                time.sleep(0.01)
            hub.proc.send_signal(signal.SIGKILL)
            for p in posters:
                p.join(15)
            hub.stop()
            self.assertGreaterEqual(len(answered), 300)

            hub.start()

            async def history():
                async with hub.counter() as c:
                    self.assertEqual(await c.login("shop0001", "secret01"), "登录成功！")
                    return bill_lines(await c.wait_for(lambda t: t.startswith("账单回调")))

            lines = asyncio.run(history())
            numbers = [int(l[0]) for l in lines]
            self.assertEqual(len(numbers), len(set(numbers)), "a bill listed twice")
            listed = {int(l[0]): l[3] for l in lines}
            for source, (bill, amount) in answered.items():
                self.assertEqual(listed.get(bill), f"{float(amount):.2f}", f"{source} answered 200, not listed")
            hub.stop()
        except BaseException:
            hub.stop(signal.SIGKILL)
            print("kept:", hub.data)
            raise


if __name__ == "__main__":
    unittest.main()
