#!/usr/bin/python3
"""The whole chain with the real hub: Kassaro.exe logs in to kassaro-hub by itself with a remembered login,
shows the day's bills from the hub, lists a payment posted to the hub's intake and speaks it through the
hub's own speech service (and "试听" too), and after the hub restarts logs in again with each bill listed
once; a counter built for wss:// logs in over TLS once the hub's certificate is one it trusts, and speaks
with its token from the hub's TLS address."""
import shutil
import signal
import sys
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "hub" / "tests"))
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests" / "peers"))
from kassaro_e2e import HUB_SPEECH, Session, wait_until  # noqa: E402
from hubproc import Hub  # noqa: E402
import certificates  # noqa: E402

ACCOUNT, PASSWORD = "shop-e2e-01", "e2e-secret"


def spoken(hub):
    """Sentences the hub's speech service answered with audio."""
    return sum(hub.metric(f'kassaro_hub_speech_answers_total{{source="{source}"}}') for source in ("cache", "engine"))


class HubChain(unittest.TestCase):
    def test_phone_to_hub_to_counter(self):
        with Session("hub-chain", notify=False, capture_sound=True, exe="KASSARO_HUB_EXE", time_limit=300) as s:
            hub = Hub(name="e2e-hub", data=s.folder / "hub", listen="127.0.0.1:9002", config=HUB_SPEECH).start()
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
                self.assertEqual(spoken(hub), 0)

                # A notification as the phone saw it: stored, pushed, listed and spoken.
                status, answer = hub.post("/api/v1/notifications", {
                    "package": "com.tencent.mm", "title": "微信支付", "text": "微信支付收款12.50元(朋友到店)"}, key=key)
                self.assertEqual((status, answer["payment"]), (200, True))
                probe.wait_rows("超级列表框_微信收款", 2)
                self.assertEqual(probe.rows("超级列表框_微信收款")[1][2:], ["微信收款", "12.50"])
                self.assertEqual(probe.text("标签_微信合计"), "微信收款合计：18.5元")
                # Its token in clear from the hub's own address (a ws:// hub has no certificate), the
                # sentence rendered by the hub.
                wait_until(lambda: spoken(hub) == 1, 30, interval=0.5, what="the hub's synthesis")
                wait_until(lambda: s.captured_sound()[0] > 1000, 30, interval=0.5, what="sound in the capture")
                # "试听" goes the same way.
                heard = s.captured_sound()[1]
                probe.act("click", "按钮1")
                wait_until(lambda: spoken(hub) == 2, 30, interval=0.5, what="the test sentence from the hub")
                wait_until(lambda: s.captured_sound()[1] > heard + 0.5, 30, interval=0.5, what="the test sentence heard")
                self.assertNotIn("speech engine failed", hub.log_text())

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


class HubOverTls(unittest.TestCase):
    def test_a_counter_built_for_wss_refuses_an_untrusted_certificate_quietly_then_logs_in_over_tls(self):
        # This build's address is wss://localhost:9003/, the hub's TLS listening address here.
        with Session("hub-over-tls", notify=False, capture_sound=True, exe="KASSARO_WSS_EXE", time_limit=300) as s:
            folder = s.folder / "tls"
            good_cert, good_key, good_der = certificates.make_certificate(folder)
            bad_cert, bad_key, _ = certificates.make_certificate(folder, "untrusted-")
            s.trust(good_der)
            served_cert, served_key = folder / "served-cert.pem", folder / "served-key.pem"
            shutil.copyfile(bad_cert, served_cert)
            shutil.copyfile(bad_key, served_key)
            hub = Hub(name="e2e-hub-tls", data=s.folder / "hub", listen="127.0.0.1:9002",
                      config={"tls_listen": "127.0.0.1:9003", "tls_certificate": str(served_cert),
                              "tls_key": str(served_key), **HUB_SPEECH}).start()
            try:
                key = hub.add_account(ACCOUNT, PASSWORD)
                s.start_program(ini={"登陆": {"是否记住": "1", "账号": ACCOUNT, "密码": PASSWORD}})
                probe = s.probe
                # A certificate nobody trusts: the counter does not log in and says nothing, as when the
                # server is not there, and tries again ten seconds later.
                time.sleep(15)
                self.assertEqual(probe.message_boxes(), [])
                self.assertEqual(hub.metric("kassaro_hub_counters_logged_in"), 0)
                self.assertEqual(probe.text("分组框2"), "登陆---未登录")

                # The hub is given its trusted certificate: the next attempt goes through and logs in.
                shutil.copyfile(good_cert, served_cert)
                shutil.copyfile(good_key, served_key)
                hub.proc.send_signal(signal.SIGHUP)
                box = probe.wait_message_box(timeout=60)
                self.assertEqual(box["text"], "服务器重连成功")
                wait_until(lambda: probe.text("分组框2") == "登陆---登陆成功", 30, what="the login over TLS")
                self.assertEqual(hub.metric("kassaro_hub_counters_logged_in"), 1)
                self.assertEqual(hub.post("/api/v1/payments", {"channel": "wechat", "amount": "8.8", "id": "t"},
                                          key=key)[0], 200)
                probe.wait_rows("超级列表框_微信收款", 1)
                self.assertEqual([r[2:] for r in probe.rows("超级列表框_微信收款")], [["微信收款", "8.80"]])

                # Spoken: the token from the hub's TLS address, the sentence from its plain one.
                wait_until(lambda: spoken(hub) == 1, 30, interval=0.5, what="the hub's synthesis")
                wait_until(lambda: s.captured_sound()[0] > 1000, 30, interval=0.5, what="sound in the capture")

                probe.act("dismiss")
                probe.act("tray-menu", "退出软件")
                self.assertEqual(s.programs[0].wait_exit(30), 0)
            finally:
                hub.stop(signal.SIGKILL if sys.exc_info()[0] else signal.SIGTERM)


if __name__ == "__main__":
    unittest.main(verbosity=2)
