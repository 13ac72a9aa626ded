#!/usr/bin/python3
"""The real Kassaro.exe as a merchant starts, hides, shows and ends it, under Wine on its virtual desktop,
connected to the local notification server."""
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from kassaro_e2e import Session, wait_until, windows_path  # noqa: E402

SEP = "【字段分隔符】"
ACCOUNT = "13987654321"
REMEMBERED_LOGIN = {"登陆": {"是否记住": "1", "账号": ACCOUNT, "密码": "e2e-pw2"}}


class StartAndEnd(unittest.TestCase):
    def test_start_shows_the_main_window_and_the_tray_icon_and_the_tray_menu_ends_it(self):
        with Session("start-and-end") as s:
            self.assertFalse(s.autostart_was_left, "an earlier test left the autostart value behind")
            s.start_program()
            probe = s.probe

            main = probe.window("主窗口")
            self.assertEqual(main["title"], "Kassaro V1.0")
            self.assertTrue(main["visible"])
            self.assertEqual(main["rect"], [50, 50, 750, 600])

            tree = probe.tree("主窗口")
            self.assertEqual([name for name, c in tree.items() if c.get("missing")], [])
            self.assertEqual(tree["高级选择夹1"]["pages"], ["账单流水", "软件管理", "历史账单"])
            self.assertEqual(tree["高级选择夹1"]["page"], 1)
            self.assertTrue(tree["分组框2"]["shown"])      # the login panel is on screen
            self.assertFalse(tree["超级列表框_微信收款"]["shown"])
            self.assertEqual(tree["标签_微信合计"]["text"], "微信收款合计：元")
            self.assertEqual(tree["标签_支付宝合计"]["text"], "支付宝收款合计：元")
            self.assertEqual(tree["超级列表框_微信收款"]["rows"], 0)
            self.assertEqual(tree["超级列表框_支付宝收款"]["rows"], 0)
            self.assertEqual(tree["组合框1"]["items"], ["普通女声", "普通男生", "度逍遥", "度丫丫"])
            self.assertEqual(tree["编辑框1"]["text"], "感谢您的惠顾、欢迎再次光临！")
            self.assertTrue(tree["选择框2"]["checked"])
            self.assertFalse(tree["标签_监控状态1"]["visible"])
            self.assertEqual(probe.rows("超级列表框1"), [["9999", "2020-6-29 09:53:40", "支付宝收款", "9999.99"]])
            self.assertEqual([c["text"] for c in probe.columns("超级列表框_微信收款")],
                             ["序号", "时间", "收款类型", "收款金额"])

            self.assertTrue(probe.tray_icon())
            self.assertEqual(probe.message_boxes(), [])

            probe.act("tray-menu", "退出软件")
            self.assertEqual(s.programs[0].wait_exit(30), 0)
            self.assertFalse(probe.tray_icon(hwnd=main["hwnd"]), "the tray icon outlived the program")
            self.assertIsNone(probe.window("主窗口"))

    def test_close_hides_into_the_tray_where_payments_still_arrive_and_the_tray_shows_it_centred(self):
        with Session("hide-and-show") as s:
            program = s.start_program(ini=REMEMBERED_LOGIN)
            probe = s.probe
            wait_until(lambda: any(ACCOUNT in f for f in s.notify.frames()), 30, what="the login")

            probe.act("close", "主窗口")
            hidden = probe.window("主窗口")
            self.assertFalse(hidden["visible"])
            self.assertTrue(program.running())
            self.assertTrue(probe.tray_icon())

            # Still connected while hidden: a payment sent now is listed.
            s.notify.push(SEP.join(["收到收款", "支付宝收款", "8.80"]))
            rows = wait_until(lambda: probe.rows("超级列表框_支付宝收款"), 20, what="the payment's row")
            self.assertEqual([r[0] for r in rows], ["1"])
            self.assertEqual(rows[0][2:], ["支付宝收款", "8.80"])

            # A double click does nothing; a click shows the window again, centred on the screen.
            probe.act("tray-dblclick")
            self.assertFalse(probe.window("主窗口")["visible"])
            probe.act("tray-click")
            shown = probe.window("主窗口")
            self.assertTrue(shown["visible"])
            self.assertEqual(shown["state"], 0)
            self.assertEqual(shown["rect"][2:], [750, 600])
            width, height = shown["screen"]
            self.assertEqual(shown["rect"][:2], [(width - 750) // 2, (height - 600) // 2])

            # Minimising hides it too; "打开窗口" from the tray menu brings it back.
            probe.act("minimize", "主窗口")
            self.assertFalse(probe.window("主窗口")["visible"])
            probe.act("tray-menu", "打开窗口")
            wait_until(lambda: probe.window("主窗口")["visible"], 20, what="the window to show")

            probe.act("tray-menu", "退出软件")
            self.assertEqual(program.wait_exit(30), 0)


class SettingsAcrossRestarts(unittest.TestCase):
    def test_settings_survive_a_restart_and_the_autostart_value_follows_its_box(self):
        with Session("settings-restart") as s:
            program = s.start_program()
            probe = s.probe
            self.assertIsNone(s.autostart_value())

            probe.act("click", "选择框3")
            self.assertEqual(s.autostart_value(), windows_path(program.exe))
            probe.act("select", "组合框1", 3)
            probe.act("type", "编辑框1", "欢迎下次光临", "--replace")
            ini = program.read_ini()
            self.assertEqual(ini["设置"]["自启动"], "1")
            self.assertEqual(ini["设置"]["声音选择"], "3")
            self.assertEqual(ini["语音播报"]["播报结尾"], "欢迎下次光临")
            probe.act("tray-menu", "退出软件")
            self.assertEqual(program.wait_exit(30), 0)

            program.start()  # the same folder, so the same pz.ini
            self.assertTrue(probe.get("选择框3")["checked"])
            self.assertEqual(probe.get("组合框1")["text"], "度丫丫")
            self.assertEqual(probe.text("编辑框1"), "欢迎下次光临")

            probe.act("click", "选择框3")
            self.assertIsNone(s.autostart_value())
            self.assertEqual(program.read_ini()["设置"]["自启动"], "0")
            probe.act("tray-menu", "退出软件")
            self.assertEqual(program.wait_exit(30), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
