#!/usr/bin/python3
"""The real Kassaro.exe as a merchant starts, hides, shows and ends it, under Wine on its virtual desktop:
its window and tray icon and menu, the keyboard in its controls, its settings file and the autostart
value across restarts, the end from another thread and the guard against a second copy. What the windows
hold as designed is checked against their definitions by tests/win/window_tree_test.cpp; here only what
the running program makes of them."""
import hashlib
import re
import struct
import sys
import time
import unittest
import uuid
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from kassaro_e2e import SharedSession, wait_until, windows_path  # noqa: E402

SEP = "【字段分隔符】"
ACCOUNT = "13987654321"
REMEMBERED_LOGIN = {"登陆": {"是否记住": "1", "账号": ACCOUNT, "密码": "e2e-pw2"}}
DEFAULT_PHRASE = "感谢您的惠顾、欢迎再次光临！"  # what the settings give when none is stored
CRYPTOGRAPHY_KEY = r"HKLM\Software\Microsoft\Cryptography"
# The identifier of a PC where nothing identifies it: the salt alone, truncated, as four bytes.
ID_OF_NOTHING = hashlib.md5(struct.pack("<I", int(37158264.40926173))).hexdigest().upper()


def centred(window):
    """Whether the window sits in the middle of the screen at the size its definition gives it."""
    width, height = window["design"][2:]
    screen_w, screen_h = window["screen"]
    return window["rect"] == [(screen_w - width) // 2, (screen_h - height) // 2, width, height]


def shown(window):
    return window["visible"] and window["state"] == 0


def login_ids(session):
    """The machine identifier of each login the notification server has received, oldest first."""
    return [f.split(SEP)[3] for f in session.notify.frames() if f.startswith("用户登录" + SEP)]


def start_and_log_in(session, **start):
    """Starts a copy with the remembered login; the identifier its login carries."""
    before = len(login_ids(session))
    program = session.start_program(ini=REMEMBERED_LOGIN, **start)
    return program, wait_until(lambda: login_ids(session)[before:], 30, what="the login")[0]


def ini_outline(program):
    """pz.ini as its lines show it: "[section]" for a section, "section/key" for a key; blank lines left out."""
    outline, section = [], None
    for line in program.ini_path.read_bytes().decode("gbk").splitlines():
        if not line:
            continue
        if line.startswith("[") and line.endswith("]"):
            section = line[1:-1]
            outline.append(line)
        elif "=" in line:
            outline.append(f"{section}/{line.split('=', 1)[0]}")
        else:
            outline.append(line)
    return outline


class WithTheServer(SharedSession):
    """The window and the tray of a program connected to the local notification server."""
    session = dict(name="shell-online", time_limit=300)

    def test_start_shows_the_management_page_with_the_stored_nothing_and_the_tray_icon_and_the_tray_menu_ends_it(self):
        with self.s.case("start-and-end") as s:
            self.assertFalse(s.autostart_was_left, "an earlier test left the autostart value behind")
            program = s.start_program()
            probe = s.probe

            main = probe.window("主窗口")
            self.assertTrue(main["visible"])
            self.assertEqual(main["rect"], main["design"])
            self.assertEqual(main["missing"], [])
            self.assertTrue(wait_until(probe.tray_icon, 10, what="the tray icon"))
            self.assertEqual(probe.message_boxes(), [])

            tree = probe.tree("主窗口")
            self.assertEqual(tree["高级选择夹1"]["page"], 1)
            self.assertTrue(tree["分组框2"]["shown"])      # the login panel is on screen
            self.assertFalse(tree["超级列表框_微信收款"]["shown"])

            # No pz.ini: what the settings give when nothing is stored.
            self.assertFalse(tree["选择框3"]["checked"])
            self.assertFalse(tree["选择框1"]["checked"])
            self.assertEqual(tree["编辑框_登陆账号"]["text"], "")
            self.assertEqual(tree["编辑框_登陆密码"]["text"], "")
            self.assertEqual(tree["组合框1"]["index"], 0)
            self.assertEqual(tree["编辑框1"]["text"], DEFAULT_PHRASE)
            time.sleep(0.5)  # painted
            s.keep_screenshot("main-page1")

            # "立即注册" opens the registration window.
            probe.act("click", "标签3")
            probe.wait_window("注册", 20)
            time.sleep(0.5)
            s.keep_screenshot("registration")
            probe.act("close", "注册")
            probe.wait_gone("注册", 20)

            # The other pages, by clicking their tabs.
            for page in (0, 2):
                self.assertEqual(probe.act("page", page)["page"], page)
                time.sleep(0.5)
                s.keep_screenshot(f"main-page{page}")
            self.assertTrue(probe.get("超级列表框1")["shown"])

            probe.act("tray-menu", "退出软件")
            self.assertEqual(program.wait_exit(30), 0)
            self.assertFalse(probe.tray_icon(hwnd=main["hwnd"]), "the tray icon outlived the program")
            self.assertIsNone(probe.window("主窗口"))

    def test_close_and_minimise_hide_into_the_tray_where_payments_still_arrive_and_the_tray_brings_it_back_centred(self):
        with self.s.case("hide-and-show") as s:
            program = s.start_program(ini=REMEMBERED_LOGIN)
            probe = s.probe
            wait_until(lambda: any(ACCOUNT in f for f in s.notify.frames()), 30, what="the login")

            # The title bar's close button hides it; it does not end.
            probe.act("close", "主窗口")
            self.assertFalse(probe.window("主窗口")["visible"])
            self.assertTrue(program.running())
            self.assertTrue(probe.tray_icon())

            # Still connected while hidden: a payment sent now is listed.
            s.notify.push(SEP.join(["收到收款", "支付宝收款", "8.80"]))
            rows = wait_until(lambda: probe.rows("超级列表框_支付宝收款"), 20, what="the payment's row")
            self.assertEqual([r[0] for r in rows], ["1"])
            self.assertEqual(rows[0][2:], ["支付宝收款", "8.80"])

            # A double click does nothing by itself; a click shows the window again, centred on the screen.
            probe.act("tray-dblclick")
            time.sleep(0.5)  # room for what it would start
            self.assertFalse(probe.window("主窗口")["visible"])
            probe.act("tray-click")
            again = probe.window("主窗口")
            self.assertTrue(shown(again))
            self.assertTrue(centred(again), again)

            # The close request of Alt+F4 and the taskbar hides it too.
            probe.act("close-request", "主窗口")
            self.assertFalse(probe.window("主窗口")["visible"])
            self.assertTrue(program.running())
            self.assertTrue(probe.tray_icon())
            probe.act("tray-click")
            self.assertTrue(shown(probe.window("主窗口")))

            # So does the title bar's minimise button, the icon telling what it is.
            probe.act("minimize", "主窗口")
            self.assertFalse(probe.window("主窗口")["visible"])
            self.assertTrue(program.running())
            self.assertTrue(probe.tray_icon())
            self.assertEqual(probe.tooltip(), "欢迎使用Kassaro系统")

            # Explorer restarts: its new taskbar holds none of the old icons until the program puts its own back.
            probe.act("tray-lost")
            self.assertTrue(wait_until(probe.tray_icon, 10, what="the icon back"))
            self.assertEqual(probe.tooltip(), "欢迎使用Kassaro系统")

            # The tray menu by the mouse: right-aligned, its corner 5 pixels up and left of the pointer;
            # "打开窗口" shows the window centred.
            probe.act("pointer", 700, 500)
            probe.act("tray-rclick")
            time.sleep(0.3)  # placed
            left, top, width, _ = probe.menu_rect()
            self.assertEqual([left + width, top], [695, 495])
            s.keep_screenshot("tray-menu")
            probe.act("menu-click", "打开窗口")
            wait_until(lambda: shown(probe.window("主窗口")), 20, what="the window to show")
            self.assertTrue(wait_until(lambda: centred(probe.window("主窗口")), 10, what="the window centred"))

            # "退出软件" ends it with 0, and the icon goes with it.
            main = probe.window("主窗口")
            probe.act("pointer", 700, 500)
            probe.act("tray-rclick")
            probe.menu_rect()
            time.sleep(0.3)
            self.assertTrue(probe.tray_icon())
            probe.act("menu-click", "退出软件")
            self.assertEqual(program.wait_exit(30), 0)
            self.assertFalse(probe.tray_icon(hwnd=main["hwnd"]), "the tray icon outlived the program")

    def test_keys_that_reach_a_control_on_a_hidden_page_leave_the_window_answering_and_payments_listed(self):
        with self.s.case("keys-on-hidden-page") as s:
            program, _ = start_and_log_in(s)
            probe = s.probe
            self.assertEqual(probe.get("高级选择夹1")["page"], 1)

            # A control keeps the focus when its page is switched away: keys still reach it.
            for name in ("选择框2", "超级列表框_微信收款"):
                self.assertFalse(probe.get(name)["shown"])
                probe.act("keys", name, "esc", "enter", 0x41, "--post", "--answer-ms", 1000)
                self.assertTrue(probe("--answer-ms", 1000, "window", "主窗口").ok, f"{name}: the window hangs")
            self.assertTrue(probe.get("选择框2")["checked"])

            s.notify.push(SEP.join(["收到收款", "微信收款", "3.30"]))
            rows = wait_until(lambda: probe.rows("超级列表框_微信收款"), 20, what="the payment's row")
            self.assertEqual(rows[0][2:], ["微信收款", "3.30"])
            probe.act("tray-command", "退出软件")
            self.assertEqual(program.wait_exit(30), 0)

    def test_a_folder_the_program_cannot_write_is_told_once_and_the_program_goes_on(self):
        with self.s.case("unwritable-folder") as s:
            program = s.new_program()
            # A directory where pz.ini would be: the file can be neither made nor written, as in a folder
            # that the user may not write.
            program.ini_path.mkdir()
            program.start(wait_window=False)
            probe = s.probe
            box = probe.wait_message_box()
            self.assertIn("无法保存设置", box["text"])
            self.assertIn(windows_path(program.folder), box["text"])
            probe.act("dismiss")
            probe.wait_window("主窗口")
            probe.act("keys", "组合框1", "end")  # a setting that cannot be written either: no second box
            time.sleep(0.5)  # room for a box
            self.assertEqual(probe.message_boxes(), [])
            probe.act("tray-command", "退出软件")
            self.assertEqual(program.wait_exit(30), 0)

    def test_a_code_page_other_than_chinese_is_told_in_both_languages_and_the_program_goes_on_to_log_in(self):
        with self.s.case("foreign-code-page") as s:
            before = len(login_ids(s))
            program = s.start_program(ini=REMEMBERED_LOGIN, wait_window=False, locale="C.UTF-8")
            probe = s.probe
            box = probe.wait_message_box()
            self.assertEqual(box["pid"], program.pid)
            self.assertIn("控制面板 > 区域 > 管理 > 更改系统区域设置 > 中文(简体，中国)", box["text"])
            self.assertIn("Chinese (Simplified", box["text"])
            probe.act("dismiss")
            probe.wait_window("主窗口")
            wait_until(lambda: login_ids(s)[before:], 30, what="the login")
            probe.act("tray-command", "退出软件")
            self.assertEqual(program.wait_exit(30), 0)

    def test_the_machine_identifier_is_the_pcs_own_across_starts(self):
        with self.s.case("machine-identifier") as s:
            ids = []
            for _ in range(2):
                program, machine_id = start_and_log_in(s)
                ids.append(machine_id)
                s.probe.act("tray-command", "退出软件")
                self.assertEqual(program.wait_exit(30), 0)
            self.assertRegex(ids[0], r"^[0-9A-F]{32}$")
            self.assertNotEqual(ids[0], ID_OF_NOTHING)
            self.assertEqual(ids[0], ids[1])

            # Another Windows installation (another Wine prefix) is known by a MachineGuid of its own.
            guid = s.wine.reg_query(CRYPTOGRAPHY_KEY, "MachineGuid")
            self.assertTrue(guid)
            s.wine.reg_add(CRYPTOGRAPHY_KEY, "MachineGuid", str(uuid.uuid4()))
            try:
                program, other = start_and_log_in(s)
                s.probe.act("tray-command", "退出软件")
                self.assertEqual(program.wait_exit(30), 0)
            finally:
                s.wine.reg_add(CRYPTOGRAPHY_KEY, "MachineGuid", guid)
            self.assertRegex(other, r"^[0-9A-F]{32}$")
            self.assertNotIn(other, (ids[0], ID_OF_NOTHING))


class OnItsOwn(SharedSession):
    """The program with no server to log in to, as it sits on a counter before the network is up."""
    session = dict(name="shell-offline", notify=False, time_limit=300)

    def test_end_program_from_another_thread_ends_with_its_code_and_removes_the_icon(self):
        with self.s.case("end-from-thread") as s:
            program = s.start_program(exe=s.end_helper_exe)
            probe = s.probe
            self.assertTrue(wait_until(probe.tray_icon, 10, what="the tray icon"))
            main = probe.window("主窗口")
            (program.folder / "go-ahead").touch()
            self.assertEqual(program.wait_exit(30), 7)
            self.assertFalse(probe.tray_icon(hwnd=main["hwnd"]), "the tray icon outlived the program")

    def test_esc_and_enter_in_any_control_leave_the_program_as_it_was_and_tab_moves_the_focus(self):
        with self.s.case("keyboard") as s:
            program = s.start_program()
            probe = s.probe
            where = probe.window("主窗口")["rect"]

            # One control of each kind, on the page shown at the start and on the bill page.
            page_shown = 1
            for page, name in [(1, "编辑框_登陆账号"), (1, "编辑框1"), (1, "按钮1"), (1, "选择框3"), (1, "组合框1"),
                               (0, "超级列表框_微信收款"), (0, "高级选择夹1")]:
                if page != page_shown:
                    page_shown = probe.act("page", page)["page"]
                    self.assertEqual(page_shown, page)
                probe.act("keys", name, "esc", "enter")
                time.sleep(0.5)  # room for what the keys would start
                self.assertTrue(program.running(), name)
                now = probe.window("主窗口")
                self.assertTrue(shown(now), name)
                self.assertEqual(now["rect"], where, name)
                self.assertEqual(now["missing"], [], f"{name}: controls gone")
            # The check box did nothing with the keys either.
            self.assertFalse(probe.get("选择框3")["checked"])
            self.assertIsNone(s.autostart_value())

            self.assertEqual(probe.act("page", 1)["page"], 1)
            probe.act("keys", "编辑框_登陆账号", "tab")
            wait_until(lambda: probe.focus() == "编辑框_登陆密码", 5, what="the focus in the password box")

            probe.act("tray-command", "退出软件")
            self.assertEqual(program.wait_exit(30), 0)


    def test_settings_are_written_by_their_handlers_and_read_at_the_next_start(self):
        phrase = "[多谢]光临;欢迎=再来"
        password = ' "口令 abc" '  # blanks and quotes around it
        with self.s.case("settings-restart") as s:
            program = s.start_program()
            probe = s.probe
            self.assertIsNone(s.autostart_value())

            probe.act("click", "选择框3")  # tick "开机自启"
            self.assertEqual(s.autostart_value(), f'"{windows_path(program.exe)}"')
            self.assertEqual(program.read_ini()["设置"]["自启动"], "1")

            probe.act("keys", "组合框1", "end")  # the last voice, by the keyboard
            self.assertEqual(program.read_ini()["设置"]["声音选择"], "3")

            probe.act("type", "编辑框1", phrase, "--replace")
            self.assertEqual(program.read_ini()["语音播报"]["播报结尾"], phrase)

            # A remembered login.
            probe.act("type", "编辑框_登陆账号", "13800138000", "--replace")
            probe.act("type", "编辑框_登陆密码", password, "--replace")
            probe.act("click", "选择框1")
            probe.act("click", "按钮_登陆")
            probe.act("tray-command", "退出软件")
            self.assertEqual(program.wait_exit(30), 0)

            program.start()  # the same folder, so the same pz.ini
            self.assertTrue(probe.get("选择框3")["checked"])
            voice = probe.get("组合框1")
            self.assertEqual(voice["index"], len(voice["items"]) - 1)
            self.assertEqual(probe.text("编辑框1"), phrase)
            self.assertEqual(probe.text("编辑框_登陆账号"), "13800138000")
            self.assertEqual(probe.text("编辑框_登陆密码"), password)

            probe.act("click", "选择框3")  # untick
            self.assertIsNone(s.autostart_value())
            self.assertEqual(program.read_ini()["设置"]["自启动"], "0")

            # A line break typed into the phrase stays in the box and out of the file, which keeps its keys.
            probe.act("type", "编辑框1", "上午好\n下午好", "--replace")
            self.assertEqual(probe.text("编辑框1"), "上午好\r\n下午好")
            self.assertEqual(program.read_ini()["语音播报"]["播报结尾"], "上午好下午好")
            self.assertEqual(ini_outline(program), ["[设置]", "设置/自启动", "设置/声音选择", "[语音播报]",
                                                    "语音播报/播报结尾", "[登陆]", "登陆/是否记住", "登陆/账号",
                                                    "登陆/密码"])
            probe.act("type", "编辑框1", "\\b", "--replace")
            self.assertEqual(program.read_ini()["语音播报"]["播报结尾"], "")
            probe.act("tray-command", "退出软件")
            self.assertEqual(program.wait_exit(30), 0)

            program.start()
            self.assertFalse(probe.get("选择框3")["checked"])
            self.assertEqual(probe.text("编辑框1"), "")  # emptied stays empty
            probe.act("tray-command", "退出软件")
            self.assertEqual(program.wait_exit(30), 0)

    def test_a_remembered_login_and_the_stored_voice_are_loaded(self):
        stored = {"登陆": {"是否记住": "1", "账号": "13800138000", "密码": "密码abc"}, "设置": {"声音选择": "2"}}
        with self.s.case("remembered-login") as s:
            program = s.start_program(ini=stored)
            probe = s.probe
            self.assertEqual(probe.text("编辑框_登陆账号"), "13800138000")
            self.assertEqual(probe.text("编辑框_登陆密码"), "密码abc")
            self.assertTrue(probe.get("选择框1")["checked"])
            self.assertEqual(probe.get("组合框1")["index"], 2)
            probe.act("tray-command", "退出软件")
            self.assertEqual(program.wait_exit(30), 0)

            stored["登陆"]["是否记住"] = "0"
            stored["设置"]["声音选择"] = "abc"  # not a number: the first voice
            program.write_ini(stored)
            program.start()
            self.assertEqual(probe.text("编辑框_登陆账号"), "")
            self.assertEqual(probe.text("编辑框_登陆密码"), "")
            self.assertFalse(probe.get("选择框1")["checked"])
            self.assertEqual(probe.get("组合框1")["index"], 0)
            probe.act("tray-command", "退出软件")
            self.assertEqual(program.wait_exit(30), 0)


    def test_a_second_copy_is_refused_and_brings_the_visible_first_to_the_front(self):
        with self.s.case("second-copy") as s:
            first = s.start_program()
            probe = s.probe
            self.assertFalse(probe.window("主窗口", pid=first.pid)["topmost"])

            second = s.new_program("second").start(wait_window=False)
            box = probe.wait_message_box()
            self.assertEqual([box["title"], box["text"], box["pid"]], ["友情提醒:", "禁止重复运行", second.pid])
            # The later copy has made its window and put its icon before the guard ran.
            second_main = probe.window("主窗口", pid=second.pid)
            self.assertFalse(second_main["visible"])
            self.assertTrue(probe.tray_icon(hwnd=second_main["hwnd"]))
            time.sleep(0.3)
            s.keep_screenshot("second-copy")
            probe.act("--pid", second.pid, "dismiss")
            self.assertEqual(second.wait_exit(30), 0)
            self.assertFalse(probe.tray_icon(hwnd=second_main["hwnd"]), "the later copy's icon outlived it")

            self.assertTrue(first.running())
            front = probe.window("主窗口", pid=first.pid)
            self.assertTrue(front["topmost"])
            self.assertTrue(front["visible"])

            # While the first copy sits in the tray there is no window to bring forward; the later copy
            # still ends.
            probe.act("minimize", "主窗口")
            self.assertFalse(probe.window("主窗口", pid=first.pid)["visible"])
            third = s.new_program("third").start(wait_window=False)
            probe.wait_message_box()
            probe.act("--pid", third.pid, "dismiss")
            self.assertEqual(third.wait_exit(30), 0)
            self.assertFalse(probe.window("主窗口", pid=first.pid)["visible"])

            probe.act("tray-command", "退出软件")
            self.assertEqual(first.wait_exit(30), 0)

            # The mark went with the first copy: the next start is a first copy again.
            first.start()
            time.sleep(0.5)  # room for a guard's box
            self.assertEqual(probe.message_boxes(), [])
            probe.act("tray-command", "退出软件")
            self.assertEqual(first.wait_exit(30), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
