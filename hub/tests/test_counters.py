#!/usr/bin/python3
"""The hub as a process with counter-like WebSocket clients and real HTTP from the phone side: accounts,
logins, the day's bills, payments pushed to the account's counters only, the phone's state, the
operator's notice."""
import asyncio
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from hubproc import SEP, Hub, bill_lines  # noqa: E402


def run(coroutine):
    return asyncio.run(asyncio.wait_for(coroutine, 120))


class Counters(unittest.TestCase):
    def test_accounts_logins_bills_and_pushes(self):
        async def scenario(hub):
            key = hub.add_account("shop0001", "secret01")
            other_key = hub.add_account("shop0002", "secret02")

            async with hub.counter() as c:
                # Registration: made, name taken, bad format.
                await c.send("用户注册", "newshop1", "newpass1", "M1")
                await c.send("用户注册", "newshop1", "newpass1", "M1")
                await c.send("用户注册", "short", "newpass1", "M1")
                await c.wait_for(lambda t: t == "注册响应" + SEP + "账号或密码格式不正确！")
                answers = [t for t in c.received if t.startswith("注册响应")]
                self.assertEqual(answers, ["注册响应" + SEP + "注册成功！", "注册响应" + SEP + "该账号已被注册！",
                                           "注册响应" + SEP + "账号或密码格式不正确！"])
                # A wrong password, an unknown account: the failure answer and no bills.
                self.assertEqual(await c.login("shop0001", "wrong-pw"), "登录失败，帐号或密码错误！")
                self.assertEqual(await c.login("nobody-at-all", "secret01"), "登录失败，帐号或密码错误！")
                self.assertFalse(any(t.startswith("账单回调") for t in c.received))
            async with hub.counter() as c:
                self.assertEqual(await c.login("newshop1", "newpass1"), "登录成功！")

            # Two payments before the counters log in make the day's bills.
            self.assertEqual(hub.post("/api/v1/payments", {"channel": "wechat", "amount": "12.5"}, key=key)[0], 200)
            self.assertEqual(hub.post("/api/v1/payments", {"channel": "支付宝收款", "amount": 0.3},
                                      headers={"Authorization": "Bearer " + key})[0], 200)

            async with hub.counter() as a, hub.counter() as b, hub.counter() as stranger:
                self.assertEqual(await a.login("shop0001", "secret01"), "登录成功！")
                self.assertEqual(await b.login("shop0001", "secret01"), "登录成功！")
                self.assertEqual(await stranger.login("shop0002", "secret02"), "登录成功！")
                # After the answer: server information, the phone's state, the day's bills, in that order.
                await a.wait_for(lambda t: t.startswith("账单回调"))
                texts = a.received[:4]
                self.assertEqual(texts[0], "登录响应" + SEP + "登录成功！")
                self.assertEqual(texts[1], SEP.join(["服务器信息", "1", "", "1.0", "", ""]))
                self.assertEqual(texts[2], "APP正常")  # the two payments were reports
                lines = bill_lines(texts[3])
                self.assertEqual([l[2:] for l in lines], [["微信收款", "12.50"], ["支付宝收款", "0.30"]])
                self.assertRegex(lines[0][1], r"^\d{4}-[1-9]\d?-[1-9]\d? \d\d:\d\d:\d\d$")
                self.assertLess(int(lines[0][0]), int(lines[1][0]))

                # A payment reaches both counters of the account, once, and not the other account's.
                status, body = hub.post("/api/v1/payments", {"channel": "alipay", "amount": "100", "id": "p-1"}, key=key)
                self.assertEqual((status, body["duplicate"]), (200, False))
                again = hub.post("/api/v1/payments", {"channel": "alipay", "amount": "100", "id": "p-1"}, key=key)[1]
                self.assertEqual((again["bill"], again["duplicate"]), (body["bill"], True))
                push = SEP.join(["收到收款", "支付宝收款", "100.00"])
                for counter in (a, b):
                    await counter.wait_for(lambda t: t == push)
                # The other account's own payment is the fence: when it has arrived, so would a stray push.
                hub.post("/api/v1/payments", {"channel": "wechat", "amount": "0.01"}, key=other_key)
                await stranger.wait_for(lambda t: t.startswith("收到收款"))
                await asyncio.sleep(0.5)
                self.assertEqual(a.payments(), [push])
                self.assertEqual(b.payments(), [push])
                self.assertEqual(stranger.payments(), [SEP.join(["收到收款", "微信收款", "0.01"])])

                # The operator's notice reaches a connected counter by itself (the hub polls for it every
                # second; the wait is generous for a loaded machine).
                hub.cli("notice", "set", "今晚十点维护")
                await a.wait_for(lambda t: t == SEP.join(["服务器信息", "1", "今晚十点维护", "1.0", "", ""]), timeout=15)

                # A bill request with another account's password gets nothing; texts the hub does not know
                # are ignored and the connection stays.
                mark = len(a.received)
                await a.send("获取账单", "shop0001", "secret02")
                await a.send("你好")
                await a.send("")
                await a.send("获取账单", "shop0001", "secret01")
                await a.wait_for(lambda t: t.startswith("账单回调"), start=mark)
                self.assertEqual(sum(t.startswith("账单回调") for t in a.received), 2)

        with Hub(config={"registration": "open"}) as hub:
            run(scenario(hub))

    def test_phone_state_throttle_and_limits(self):
        async def scenario(hub):
            key = hub.add_account("shop0001", "secret01")
            async with hub.counter() as c:
                self.assertEqual(await c.login("shop0001", "secret01"), "登录成功！")
                await c.wait_for(lambda t: t == "APP掉线")  # never reported
                self.assertEqual(hub.post("/api/v1/heartbeat", {}, key=key), (200, {"ok": True}))
                await c.wait_for(lambda t: t == "APP正常")
                await c.wait_for(lambda t: t == "APP掉线", timeout=8, start=c.received.index("APP正常"))

            # Five failed logins for an account: further ones are answered without a check, even right ones.
            async with hub.counter() as c:
                for _ in range(5):
                    self.assertEqual(await c.login("shop0001", "wrong-pw", bills=False), "登录失败，帐号或密码错误！")
                refused = hub.metric('kassaro_hub_logins_total{result="refused"}')
                self.assertEqual(await c.login("shop0001", "secret01", bills=False), "登录失败，帐号或密码错误！")
                self.assertEqual(hub.metric('kassaro_hub_logins_total{result="refused"}'), refused + 1)

            # A text over 64 KiB closes the connection with 1009; the hub goes on.
            async with hub.counter() as c:
                await c.ws.send("用户登录" + SEP + "x" * 70000)
                await asyncio.wait_for(c.reader, 5)
                self.assertEqual(c.closed, 1009)
            self.assertEqual(hub.request("GET", "/healthz")[0], 200)

        with Hub(config={"offline_after": 2, "login_failures": 5}) as hub:
            run(scenario(hub))

    def test_registration_closed_and_clean_stop(self):
        async def scenario(hub):
            async with hub.counter() as c:
                await c.send("用户注册", "newshop1", "newpass1", "M1")
                await c.wait_for(lambda t: t == "注册响应" + SEP + "注册已关闭，请联系管理员！")
                # SIGTERM: the counter is told the hub is going away, and the hub ends with 0.
                hub.proc.terminate()
                await asyncio.wait_for(c.reader, 10)
                self.assertEqual(c.closed, 1001)
            self.assertEqual(hub.stop(), 0)

        with Hub(config={"registration": "closed"}) as hub:
            run(scenario(hub))


if __name__ == "__main__":
    unittest.main()
