#!/usr/bin/python3
"""The recogniser's rules as files: a form the shipped rules do not know is not counted but kept; an
operator's rules_file adding it and a SIGHUP make the next one a bill pushed to a counter that stays
connected; a broken file at SIGHUP keeps the rules in use, one at start stops the hub; rules check and
rules try; the notifications command and the metrics by app and result."""
import asyncio
import re
import signal
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from hubproc import Hub, SEP, main  # noqa: E402

WECHAT = "com.tencent.mm"
NEW_FORM = """[[rule]]
name = "wechat-arrived"
package = "com.tencent.mm"
senders = ["微信支付", "微信"]
look_in = "text"
before = ["微信支付到账"]
channel = "wechat"
"""
BROKEN = NEW_FORM + """
[[rule]]
name = "half"
package = "com.tencent.mm"
look_in = "sideways"
"""


class Rules(unittest.TestCase):
    def test_a_new_form_added_by_the_operator_at_sighup(self):
        hub = Hub(name="rules")
        rules = hub.data / "rules.toml"
        rules.write_text("# none of our own yet\n")
        hub.config_file.write_text(hub.config_file.read_text() + f'rules_file = "{rules}"\n')
        with hub:
            key = hub.add_account("shop0001", "secret01")
            notify = lambda text: hub.post("/api/v1/notifications",
                                           {"package": WECHAT, "title": "微信支付", "text": text}, key=key)[1]

            async def scenario():
                async with hub.counter() as c:
                    self.assertEqual(await c.login("shop0001", "secret01"), "登录成功！")
                    missed = notify("微信支付到账3.50元")
                    self.assertEqual((missed["payment"], missed["reason"], missed.get("not_counted")),
                                     (False, "no amount", True))

                    rules.write_text(NEW_FORM)
                    hub.proc.send_signal(signal.SIGHUP)
                    hub.wait_log(r"info rules reloaded")
                    counted = notify("微信支付到账4.20元")
                    self.assertTrue(counted["payment"], counted)
                    await c.wait_for(lambda t: t == SEP.join(["收到收款", "微信收款", "4.20"]))

                    # A broken file keeps the rules in use, and the log names its line.
                    rules.write_text(BROKEN)
                    hub.proc.send_signal(signal.SIGHUP)
                    hub.wait_log(r"warn rules not reloaded, the old ones kept .*rules\.toml:12: look_in must be")
                    self.assertTrue(notify("微信支付到账5.10元")["payment"])
                    await c.wait_for(lambda t: t == SEP.join(["收到收款", "微信收款", "5.10"]))
                    self.assertIsNone(c.closed)  # the same connection all along

            asyncio.run(asyncio.wait_for(scenario(), 120))

            listed = hub.cli("notifications", "shop0001").stdout
            self.assertIn("微信支付到账3.50元\tno amount", listed)
            self.assertTrue(listed.endswith("1 notifications not counted\n"), listed)
            self.assertNotIn("4.20", listed)
            self.assertEqual(hub.metric('kassaro_hub_notifications_total{package="com.tencent.mm",result="not_counted"}'), 1)
            self.assertEqual(hub.metric('kassaro_hub_notifications_total{package="com.tencent.mm",result="payment"}'), 2)
            notify("收到转账666.00元。如需收钱，请点此升级至最新版本")
            self.assertEqual(hub.metric('kassaro_hub_notifications_total{package="com.tencent.mm",result="ignored"}'), 1)

            # The operator's tools.
            check = hub.cli("rules", "check", str(rules), check=False)
            self.assertEqual(check.returncode, 1)
            self.assertEqual(check.stderr, f'{rules}:12: look_in must be "title", "text" or "both"\n'
                                           f"{rules}:9: rule half needs either channel and before (a payment) or not_payment and words\n")
            rules.write_text(NEW_FORM)
            self.assertEqual(hub.cli("rules", "check", str(rules)).stdout, f"{rules}: 1 rules, no errors\n")
            tried = hub.cli("rules", "try", "--package", WECHAT, "--title", "微信支付", "--text", "微信支付到账3.50元")
            self.assertEqual(tried.stdout, f"payment: 微信收款 3.50 yuan\nrule: wechat-arrived ({rules}:1)\n"
                                           "key: 微信支付到账3.50元\n")
            shipped = hub.cli("rules", "try", "--package", WECHAT, "--title", "微信支付", "--text", "个人收款码到账¥12.00")
            self.assertRegex(shipped.stdout, r"^payment: 微信收款 12\.00 yuan\nrule: wechat-pay \(\(shipped rules\):\d+\)\n")

    def test_a_broken_file_at_start_stops_the_hub(self):
        hub = Hub(name="rules-broken")
        rules = hub.data / "rules.toml"
        rules.write_text(BROKEN)
        hub.config_file.write_text(hub.config_file.read_text() + f'rules_file = "{rules}"\n')
        with self.assertRaises(RuntimeError):
            hub.start()
        self.assertEqual(hub.stop(), 1)
        self.assertRegex(hub.log_text(), r"error cannot start .*rules\.toml:12: look_in must be")
        hub.__exit__(None, None, None)


if __name__ == "__main__":
    main()
