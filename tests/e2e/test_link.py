#!/usr/bin/python3
"""The real Kassaro.exe when the notification server misbehaves or speaks up: a connection dropped in
the middle of the day, the maintenance and update notices, a server that never comes."""
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from kassaro_e2e import Session, wait_until  # noqa: E402

SEP = "【字段分隔符】"
ACCOUNT = "13900001111"
REMEMBERED_LOGIN = {"登陆": {"是否记住": "1", "账号": ACCOUNT, "密码": "e2e-pw3"}}
HISTORY = "\r\n".join(SEP.join(line) for line in [
    ["701", "2026-12-8 09:15:02", "微信收款", "20.00"],
    ["702", "2026-12-8 11:40:30", "支付宝收款", "5.50"],
    ["703", "2026-12-8 10:05:59", "微信收款", "3.25"],
])


def logins(session):
    return [f for f in session.notify.frames() if f.startswith("用户登录" + SEP + ACCOUNT)]


class DroppedConnection(unittest.TestCase):
    def test_a_drop_is_taken_up_quietly_the_new_history_replaces_the_lists_and_payments_go_on(self):
        with Session("drop-and-return", speech=True) as s:
            s.notify.set("history", HISTORY)
            program = s.start_program(ini=REMEMBERED_LOGIN)
            probe = s.probe
            wechat = wait_until(lambda: probe.rows("超级列表框_微信收款"), 30, what="the history")
            self.assertEqual(wechat, [["1", "2026-12-8 10:05:59", "微信收款", "3.25"],
                                      ["2", "2026-12-8 09:15:02", "微信收款", "20.00"]])
            self.assertEqual(probe.text("标签_微信合计"), "微信收款合计：23.25元")

            # The server goes away without a word: the label says so, and no box stops the merchant.
            s.notify.command("drop")
            wait_until(lambda: probe.text("标签_监控状态") == "监控状态：×", 20, what="the offline mark")
            self.assertEqual(probe.message_boxes(), [])

            # Back by itself: a new connection, the login sent again, the lists as they were.
            wait_until(lambda: len(logins(s)) >= 2, 60, interval=0.5, what="the second login")
            # The second history is answered at once to the second bill request, so it is handled before
            # anything pushed after this.
            wait_until(lambda: sum(f.startswith("获取账单") for f in s.notify.frames()) >= 2, 20,
                       what="the second bill request")
            wait_until(lambda: probe.text("标签_监控状态") == "监控状态：√", 20, what="the online mark")
            self.assertGreaterEqual(s.notify.command("status")["accepted"], 2)
            self.assertEqual(probe.message_boxes(), [])
            self.assertEqual(probe.rows("超级列表框_微信收款"), wechat)
            self.assertEqual(probe.rows("超级列表框_支付宝收款"), [["1", "2026-12-8 11:40:30", "支付宝收款", "5.50"]])
            self.assertEqual(probe.text("标签_微信合计"), "微信收款合计：23.25元")
            self.assertEqual(probe.text("标签_微信累计收款"), "微信累计收款：2笔")

            # A payment after the return is listed below the history and spoken.
            s.notify.push(SEP.join(["收到收款", "微信收款", "7.75"]))
            rows = probe.wait_rows("超级列表框_微信收款", 3)
            self.assertEqual(rows["count"], 3)
            number, _, channel, amount = probe.rows("超级列表框_微信收款")[2]
            self.assertEqual([number, channel, amount], ["3", "微信收款", "7.75"])
            self.assertEqual(probe.text("标签_微信合计"), "微信收款合计：31元")
            spoken = [q["tex"][0] for q in s.speech.synthesis_queries()]
            self.assertEqual(spoken, ["微信收款7.75元！感谢您的惠顾、欢迎再次光临！"])

            probe.act("tray-menu", "退出软件")
            self.assertEqual(program.wait_exit(30), 0)


class ServerNotices(unittest.TestCase):
    def notice(self, session, status, version, address):
        session.notify.push(SEP.join(["服务器信息", status, "今日公告", version, address, "-"]))

    def test_the_maintenance_notice_ends_the_program_after_its_box(self):
        with Session("maintenance") as s:
            program = s.start_program(ini=REMEMBERED_LOGIN)
            wait_until(lambda: logins(s), 30, what="the login")
            self.notice(s, "0", "2.0", "http://127.0.0.1/kassaro-2.0.zip")
            box = s.probe.wait_message_box()
            self.assertEqual(box["text"], "软件正在维护中，请稍候重试！")
            self.assertEqual(s.probe.text("标签8"), "公告\r\n今日公告")
            s.probe.act("dismiss")
            self.assertEqual(program.wait_exit(30), 0)

    def test_the_update_notice_opens_the_download_address_then_ends_the_program(self):
        address = "http://127.0.0.1:9/kassaro-setup-2.0.zip"
        with Session("update", record_browser=True) as s:
            program = s.start_program(ini=REMEMBERED_LOGIN)
            wait_until(lambda: logins(s), 30, what="the login")
            self.notice(s, "1", "2.0", address)
            box = s.probe.wait_message_box()
            self.assertEqual(box["text"], "检测更新：软件有新版本！")
            s.probe.act("dismiss")
            self.assertEqual(program.wait_exit(30), 0)
            self.assertEqual(wait_until(s.opened_addresses, 20, what="the browser to be asked"), [address])


class ServerDownForGood(unittest.TestCase):
    def test_after_twenty_quiet_retries_the_program_says_so_and_ends(self):
        # Twenty attempts ten seconds apart: the whole wait is part of what is tested.
        with Session("down-for-good", time_limit=420) as s:
            s.notify.command("down")
            program = s.start_program()
            box = s.probe.wait_message_box(timeout=300)
            self.assertEqual(box["text"], "服务器连接失败，请重启软件或联系管理员！  客服邮箱：support@kassaro.cn")
            self.assertEqual(s.notify.command("status")["accepted"], 0)
            s.probe.act("dismiss")
            self.assertEqual(program.wait_exit(30), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
