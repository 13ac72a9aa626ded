#!/usr/bin/python3
"""The road of a payment through the real Kassaro.exe: a remembered login made by itself, then a pushed
WeChat payment that is spoken through the local speech service and listed with the local time."""
import datetime
import re
import sys
import unittest
import urllib.parse
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from kassaro_e2e import Session, wait_until  # noqa: E402

SEP = "【字段分隔符】"
ACCOUNT, PASSWORD = "13912345678", "e2e-pw1"
HISTORY = "\r\n".join(SEP.join(line) for line in [
    ["501", "2026-12-7 18:20:00", "支付宝收款", "30.10"],
    ["502", "2026-12-8 08:02:15", "微信收款", "6.00"],
    ["503", "2026-12-8 08:30:00", "支付宝收款", "0.20"],
    ["504", "2026-12-7 21:45:09", "微信收款", "100.05"],
])


class PaymentRoad(unittest.TestCase):
    def test_a_remembered_login_then_a_payment_is_spoken_and_listed(self):
        with Session("payment-road", speech=True, capture_sound=True) as s:
            s.notify.set("history", HISTORY)
            s.start_program(ini={"登陆": {"是否记住": "1", "账号": ACCOUNT, "密码": PASSWORD}})
            probe = s.probe

            # Logged in by itself with the remembered account, then asked for the bill history. (Only
            # frames with this test's account count: another copy of the program on this machine may
            # find the peer too.)
            def ours():
                frames = [f for f in s.notify.frames() if ACCOUNT in f]
                return frames if len(frames) >= 2 else None
            login, bills = wait_until(ours, 30, interval=0.3, what="the login and the bill request")[:2]
            fields = login.split(SEP)
            self.assertEqual(fields[:3], ["用户登录", ACCOUNT, PASSWORD])
            self.assertRegex(fields[3], r"^[0-9A-F]{32}$")
            self.assertEqual(bills, SEP.join(["获取账单", ACCOUNT, PASSWORD]))

            # The login panel is locked after "登录成功！".
            wait_until(lambda: probe.text("分组框2") == "登陆---登陆成功", 20, what="the panel's caption")
            self.assertEqual(probe.text("按钮_登陆"), "登录成功")
            for name in ("编辑框_登陆账号", "编辑框_登陆密码", "按钮_登陆", "标签3"):
                self.assertFalse(probe.get(name)["enabled"], name)
            self.assertTrue(probe.get("编辑框_登陆密码")["password"])
            self.assertEqual(probe.text("标签_监控状态"), "监控状态：√")

            # The history, newest first in each list, with its totals and counts; nothing spoken for it.
            probe.wait_rows("超级列表框_支付宝收款", 2)
            self.assertEqual(probe.rows("超级列表框_微信收款"), [["1", "2026-12-8 08:02:15", "微信收款", "6.00"],
                                                         ["2", "2026-12-7 21:45:09", "微信收款", "100.05"]])
            self.assertEqual(probe.rows("超级列表框_支付宝收款"), [["1", "2026-12-8 08:30:00", "支付宝收款", "0.20"],
                                                          ["2", "2026-12-7 18:20:00", "支付宝收款", "30.10"]])
            self.assertEqual(probe.text("标签_微信合计"), "微信收款合计：106.05元")
            self.assertEqual(probe.text("标签_支付宝合计"), "支付宝收款合计：30.3元")
            self.assertEqual(probe.text("标签_微信累计收款"), "微信累计收款：2笔")
            self.assertEqual(probe.text("标签_支付宝累计收款"), "支付累计收款：2笔")
            self.assertNotIn("text2audio", s.speech.log())

            # A live payment goes below the history, with the local time.
            s.notify.push(SEP.join(["收到收款", "微信收款", "12.50"]))
            probe.wait_rows("超级列表框_微信收款", 3)
            rows = probe.rows("超级列表框_微信收款")
            self.assertEqual(len(rows), 3)
            number, when, channel, amount = rows[2]
            self.assertEqual([number, channel, amount], ["3", "微信收款", "12.50"])
            self.assertRegex(when, r"^\d{4}-\d{1,2}-\d{1,2} \d{2}:\d{2}:\d{2}$")
            listed = datetime.datetime.strptime(when, "%Y-%m-%d %H:%M:%S")
            self.assertLess(abs((datetime.datetime.now() - listed).total_seconds()), 120)
            self.assertEqual(probe.text("标签_微信合计"), "微信收款合计：118.55元")
            self.assertEqual(probe.text("标签_微信累计收款"), "微信累计收款：3笔")
            self.assertEqual(probe.text("标签_支付宝累计收款"), "支付宝累计收款：2笔")
            self.assertEqual(probe.text("标签_支付宝合计"), "支付宝收款合计：30.3元")

            # Spoken: a token, then the sentence in the chosen voice, written to an MP3 and played.
            log = s.speech.log()
            self.assertIn("GET /oauth/2.0/token?grant_type=client_credentials", log)
            synthesis = re.search(r"GET /text2audio\?(\S+) HTTP/1\.1", log)
            self.assertIsNotNone(synthesis, log)
            query = urllib.parse.parse_qs(synthesis.group(1))
            self.assertEqual(query["tex"], ["微信收款12.50元！感谢您的惠顾、欢迎再次光临！"])
            self.assertEqual(query["per"], ["0"])
            mp3 = wait_until(s.new_temp_files, 20, what="the MP3 in the temporary directory")
            self.assertEqual(len(mp3), 1)
            self.assertRegex(mp3[0].name, r"^baidu_yuyin_\d{8}\.mp3$")
            served = {p.read_bytes() for p in s.speech.state_dir.glob("speech-*.mp3")}
            self.assertIn(mp3[0].read_bytes(), served)

            def loud():
                peak, seconds = s.captured_sound()
                return (peak, seconds) if peak > 1000 else None
            peak, seconds = wait_until(loud, 30, interval=0.5, what="sound in the capture")
            self.assertGreater(seconds, 0.5)

            probe.act("tray-menu", "退出软件")
            self.assertEqual(s.programs[0].wait_exit(30), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
