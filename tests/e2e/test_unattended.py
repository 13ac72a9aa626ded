#!/usr/bin/python3
"""The real Kassaro.exe left to itself on the counter: a failed-login box that nobody dismisses, a
speech service that takes requests and never answers, and a flood of big messages. None of them may
hold up the list the merchant checks while the customer waits."""
import sys
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from kassaro_e2e import Session, wait_until  # noqa: E402

SEP = "【字段分隔符】"
ACCOUNT = "13900003333"
REMEMBERED_LOGIN = {"登陆": {"是否记住": "1", "账号": ACCOUNT, "密码": "e2e-pw4"}}
LOGIN_FAILED = "登录失败，帐号或密码错误！"
WECHAT = "超级列表框_微信收款"
ALIPAY = "超级列表框_支付宝收款"


def payment(channel, amount):
    return SEP.join(["收到收款", channel, amount])


def sentence(channel, amount):
    return f"{channel}{amount}元！感谢您的惠顾、欢迎再次光临！"


class FailedLoginBox(unittest.TestCase):
    def test_payments_go_on_while_the_box_is_open_and_the_same_answer_raises_no_second_box(self):
        with Session("failed-login-box", speech=True) as s:
            s.notify.set("login_answer", LOGIN_FAILED)
            program = s.start_program(ini=REMEMBERED_LOGIN)
            probe = s.probe
            box = probe.wait_message_box()
            self.assertEqual(box["text"], LOGIN_FAILED)
            self.assertFalse(probe.window("主窗口")["enabled"])

            # Nobody has pressed OK: the payment is listed and spoken all the same.
            s.notify.push(payment("微信收款", "3.50"))
            probe.wait_rows(WECHAT, 1)
            wait_until(lambda: [q["tex"][0] for q in s.speech.synthesis_queries()] == [sentence("微信收款", "3.50")],
                       20, what="the payment to be spoken")

            # Five more identical answers while the box is open: still the one box.
            for _ in range(5):
                s.notify.push(SEP.join(["登录响应", LOGIN_FAILED]))
            # An amount far longer than any real one, pushed after them: listed and totalled, not spoken.
            long_amount = "0" * ((1 << 20) - 4) + "5.00"
            s.notify.push(payment("支付宝收款", long_amount))
            probe.wait_rows(ALIPAY, 1)
            # (The probe reads a cell's first 4 KiB; the total shows the program read all of it.)
            self.assertEqual(probe.rows(ALIPAY)[0][2], "支付宝收款")
            self.assertEqual(probe.text("标签_支付宝合计"), "支付宝收款合计：5元")
            self.assertEqual([b["text"] for b in probe.message_boxes()], [LOGIN_FAILED])
            self.assertEqual(s.speech.token_requests(), 1)
            self.assertEqual(len(s.speech.synthesis_queries()), 1)

            probe.act("dismiss")
            wait_until(lambda: probe.message_boxes() == [], 20, what="the box to go")
            self.assertTrue(probe.window("主窗口")["enabled"])
            probe.act("tray-menu", "退出软件")
            self.assertEqual(program.wait_exit(30), 0)


class SilentSpeechServiceAndAFlood(unittest.TestCase):
    def test_the_list_keeps_up_and_memory_stays_bounded(self):
        with Session("silent-speech", speech=True, time_limit=420) as s:
            s.speech.mode("silent")
            program = s.start_program(ini=REMEMBERED_LOGIN)
            probe = s.probe
            wait_until(lambda: probe.text("标签_监控状态") == "监控状态：√", 30, what="the login")

            # The first payment waits for its exchange with the silent service, which holds the handler.
            first_sent = time.time()
            s.notify.push(payment("微信收款", "1.00"))
            wait_until(lambda: s.speech.token_requests() == 1, 20, what="the token request")

            # Meanwhile 300 messages of 1 MiB arrive: the program holds only so much of them.
            before = program.memory_kib()["rss"]
            program.reset_memory_peak()
            s.notify.command("burst", answer_within=300, text="A" * (1 << 20), count=300)
            s.notify.push(payment("微信收款", "2.00"))
            probe.wait_rows(WECHAT, 2, timeout=60)
            memory = program.memory_kib()
            # The row's time, to the second, is when the payment was listed.
            first_listed = time.mktime(time.strptime(probe.rows(WECHAT)[0][1], "%Y-%m-%d %H:%M:%S"))
            first_delay = first_listed - int(first_sent)
            print(f"memory before the 300 messages {before} KiB, peak {memory['peak']} KiB, "
                  f"after {memory['rss']} KiB; the first payment listed after about {first_delay:.0f} s",
                  file=sys.stderr)
            self.assertLess(memory["peak"] - before, 64 * 1024)

            # While the service rests, payments are listed at once and nothing is asked of it.
            delays = []
            for i in range(10):
                sent = time.time()
                s.notify.push(payment("支付宝收款", f"{i}.10"))
                delays.append(probe.wait_rows(ALIPAY, i + 1, timeout=30)["at"] / 1000 - sent)
            print("listing delays while the service rests: " + ", ".join(f"{d:.2f}" for d in delays) + " s",
                  file=sys.stderr)
            self.assertLess(max(delays), 2.0)
            self.assertEqual(s.speech.token_requests(), 1)
            self.assertEqual([r[3] for r in probe.rows(WECHAT)], ["1.00", "2.00"])

            # A minute after the exchange that got no answer, a payment tries the service again.
            s.speech.mode("normal")
            time.sleep(max(0.0, first_listed + 62 - time.time()))
            s.notify.push(payment("微信收款", "3.00"))
            probe.wait_rows(WECHAT, 3, timeout=30)
            self.assertEqual(s.speech.token_requests(), 2)
            self.assertEqual([q["tex"][0] for q in s.speech.synthesis_queries()], [sentence("微信收款", "3.00")])

            probe.act("tray-menu", "退出软件")
            self.assertEqual(program.wait_exit(30), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
