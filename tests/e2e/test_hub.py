#!/usr/bin/python3
"""The whole chain with the real hub: Kassaro.exe logs in to kassaro-hub by itself with a remembered login,
shows the day's bills from the hub, lists and speaks a payment posted to the hub's intake, and after the
hub restarts logs in again with each bill listed once."""
import re
import signal
import sys
import unittest
import urllib.parse
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "hub" / "tests"))
from kassaro_e2e import Session, wait_until  # noqa: E402
from hubproc import Hub  # noqa: E402

ACCOUNT, PASSWORD = "shop-e2e-01", "e2e-secret"


class HubChain(unittest.TestCase):
    def test_phone_to_hub_to_counter(self):
        with Session("hub-chain", notify=False, speech=True, capture_sound=True, time_limit=300) as s:
            hub = Hub(name="e2e-hub", data=s.folder / "hub", listen="127.0.0.1:9002").start()
            try:
                key = hub.add_account(ACCOUNT, PASSWORD)
                for body in ({"channel": "wechat", "amount": "6", "id": "a"},
                             {"channel": "alipay", "amount": "30.1", "id": "b"}):
                    self.assertEqual(hub.post("/api/v1/payments", body, key=key)[0], 200)

                s.start_program(ini={"登陆": {"是否记住": "1", "账号": ACCOUNT, "密码": PASSWORD}})
                probe = s.probe
                wait_until(lambda: probe.text("分组框2") == "登陆---登陆成功", 30, what="the login")
                probe.wait_rows("超级列表框_支付宝收款", 1)
                wechat = probe.rows("超级列表框_微信收款")
                self.assertEqual([r[2:] for r in wechat], [["微信收款", "6.00"]])
                self.assertEqual([r[2:] for r in probe.rows("超级列表框_支付宝收款")], [["支付宝收款", "30.10"]])
                self.assertNotIn("text2audio", s.speech.log())

                # A notification as the phone saw it: stored, pushed, listed and spoken.
                status, answer = hub.post("/api/v1/notifications", {
                    "package": "com.tencent.mm", "title": "微信支付", "text": "微信支付收款12.50元(朋友到店)"}, key=key)
                self.assertEqual((status, answer["payment"]), (200, True))
                probe.wait_rows("超级列表框_微信收款", 2)
                self.assertEqual(probe.rows("超级列表框_微信收款")[1][2:], ["微信收款", "12.50"])
                self.assertEqual(probe.text("标签_微信合计"), "微信收款合计：18.5元")
                synthesis = wait_until(lambda: re.search(r"GET /text2audio\?(\S+) HTTP/1\.1", s.speech.log()), 30,
                                       what="the synthesis request")
                self.assertEqual(urllib.parse.parse_qs(synthesis.group(1))["tex"],
                                 ["微信收款12.50元！感谢您的惠顾、欢迎再次光临！"])
                wait_until(lambda: s.captured_sound()[0] > 1000, 30, interval=0.5, what="sound in the capture")

                # The hub restarts; the counter comes back by itself and lists each bill once.
                self.assertEqual(hub.stop(), 0)
                hub.start()
                wait_until(lambda: hub.metric("kassaro_hub_counters_logged_in") == 1, 60, interval=0.5,
                           what="the counter logged in again")
                hub.post("/api/v1/payments", {"channel": "alipay", "amount": "0.2", "id": "c"}, key=key)
                probe.wait_rows("超级列表框_支付宝收款", 2)
                self.assertEqual(sorted(r[3] for r in probe.rows("超级列表框_微信收款")), ["12.50", "6.00"])
                self.assertEqual(sorted(r[3] for r in probe.rows("超级列表框_支付宝收款")), ["0.20", "30.10"])
                self.assertEqual(probe.text("标签_微信累计收款"), "微信累计收款：2笔")

                probe.act("tray-menu", "退出软件")
                self.assertEqual(s.programs[0].wait_exit(30), 0)
            finally:
                hub.stop(signal.SIGKILL if sys.exc_info()[0] else signal.SIGTERM)


if __name__ == "__main__":
    unittest.main(verbosity=2)
