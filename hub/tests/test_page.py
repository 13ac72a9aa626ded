#!/usr/bin/python3
"""The merchant's page in real headless Chromium against the real hub: sign-in, today's bills kept
current, the day and month reports and the chart, the phone set-up's QR codes, the key and the password,
the counters seen, and what is refused. Screenshots go to build/hub-page-shots/."""
import asyncio
import datetime
import http.server
import re
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import zoneinfo
from pathlib import Path

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.common.exceptions import WebDriverException
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

sys.path.insert(0, str(Path(__file__).resolve().parent))
from hubproc import TOP, Hub  # noqa: E402

SHOTS = TOP / "build" / "hub-page-shots"
ZONE = zoneinfo.ZoneInfo("Asia/Shanghai")  # the hub's default zone


def ms(*local):
    """Milliseconds since 1970 of a local time in the hub's zone."""
    return int(datetime.datetime(*local, tzinfo=ZONE).timestamp() * 1000)


def chromium(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--no-first-run", "--lang=zh-CN",
                 f"--user-data-dir={profile}"):
        options.add_argument(flag)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def gone(element):
    """Whether the page the element was on has been replaced. Chrome says so as a stale element or, while
    the new document is being built, as a node that "does not belong to the document"."""
    try:
        element.is_enabled()
        return False
    except WebDriverException:
        return True

class Page(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.hub = Hub().start()
        cls.key = cls.hub.add_account("shop0001", "secret01")
        cls.hub.add_account("shop0002", "secret02")
        cls.url = f"http://{cls.hub.address}"
        cls.profile = tempfile.mkdtemp(prefix="chromium-")
        cls.browser = chromium(cls.profile)
        SHOTS.mkdir(parents=True, exist_ok=True)

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()
        shutil.rmtree(cls.profile, ignore_errors=True)
        cls.hub.stop()

    # ---- helpers ----

    def open(self, path):
        self.browser.get(self.url + path)

    def find(self, css):
        return self.browser.find_element(By.CSS_SELECTOR, css)

    def texts(self, css):
        # In one script: the page may replace the day's part between two WebDriver calls.
        return self.browser.execute_script(
            "return Array.prototype.map.call(document.querySelectorAll(arguments[0]), function (e) {"
            " return e.innerText.trim(); })", css)

    def shot(self, name, width=1100):
        """The whole page as a screen this wide shows it (390: a phone's, as a phone lays it out)."""
        def screen(height):
            self.browser.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
                "width": width, "height": height, "deviceScaleFactor": 1, "mobile": width < 600})
        screen(800)
        screen(self.browser.execute_script("return document.documentElement.scrollHeight"))
        self.browser.save_screenshot(str(SHOTS / f"{name}.png"))
        self.browser.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})

    def click(self, css):
        """Clicks a link or a form's button and waits for the page that answers it."""
        page = self.find("html")
        self.find(css).click()
        WebDriverWait(self.browser, 10).until(lambda _: gone(page))

    def sign_in(self, account, password):
        self.browser.delete_all_cookies()
        self.open("/")
        self.find("#account").send_keys(account)
        self.find("#password").send_keys(password)
        self.click("form button")

    def totals(self, channel):
        """(count, amount) in a totals table row: "wechat", "alipay" or "all"."""
        cells = self.texts(f"table.totals tr[data-channel={channel}] td")
        return int(cells[1]), cells[2]

    def pay(self, channel, amount, paid_at, key=None):
        status, answer = self.hub.post("/api/v1/payments", {"channel": channel, "amount": amount, "time": paid_at},
                                       key=key or self.key)
        self.assertEqual(status, 200, answer)

    def insert_bills(self, bills):
        """Bills paid at times the phone side would take as a wrong clock (more than a day ago), written
        into the hub's store as another process on the file would."""
        db = sqlite3.connect(self.hub.data / "hub.sqlite3", isolation_level=None)
        account = db.execute("SELECT id FROM accounts WHERE name = 'shop0001'").fetchone()[0]
        for channel, fen, paid_at in bills:
            db.execute("INSERT INTO bills (account_id, channel, fen, paid_at, received_at, source_id, dedupe_key,"
                       " text) VALUES (?, ?, ?, ?, ?, '', '', '')", (account, channel, fen, paid_at, paid_at))
        db.close()

    def session(self):
        return self.browser.get_cookie("kassaro_session")

    # ---- cases ----

    def test_sign_in_refuses_a_wrong_password_and_sets_a_strict_cookie(self):
        self.sign_in("shop0001", "wrong-password")
        self.assertIn("帐号或密码错误", self.find(".error").text)
        self.assertIsNone(self.session())
        self.shot("signin-refused")
        self.sign_in("shop0001", "secret01")
        self.assertIn("今日收款", self.find("h1").text)
        cookie = self.session()
        self.assertEqual((cookie["httpOnly"], cookie["sameSite"], cookie["path"]), (True, "Strict", "/"))
        self.assertGreater(cookie["expiry"], time.time() + 86400)

    def test_today_shows_a_new_payment_within_2_s_and_texts_as_text(self):
        self.sign_in("shop0001", "secret01")
        before = self.totals("wechat"), self.totals("all")
        rows = len(self.texts("table.bills tr[data-bill]"))
        self.pay("wechat", "12.5", int(time.time() * 1000))
        WebDriverWait(self.browser, 2).until(lambda b: len(self.texts("table.bills tr[data-bill]")) == rows + 1)
        self.assertEqual(self.totals("wechat")[0], before[0][0] + 1)
        self.assertEqual(float(self.totals("all")[1]), round(float(before[1][1]) + 12.5, 2))
        self.assertEqual(self.texts("table.bills tr[data-bill] td")[1:3], ["微信收款", "12.50"])  # newest first
        text = "微信支付收款0.01元<script>window.injected=1</script><b>粗</b>"
        status, _ = self.hub.post("/api/v1/notifications", {"package": "com.tencent.mm", "title": "微信支付",
                                                            "text": text}, key=self.key)
        self.assertEqual(status, 200)
        WebDriverWait(self.browser, 2).until(lambda b: len(self.texts("table.bills tr[data-bill]")) == rows + 2)
        self.assertEqual(self.texts("table.bills td.text")[0], "微信支付 | " + text)
        self.assertIsNone(self.browser.execute_script("return window.injected"))
        self.assertIn("手机正常上报", self.find("p.phone").text)
        self.shot("today")
        self.shot("phone_today", 390)

    def test_day_and_month_reports_with_the_months_first_and_last_day(self):
        self.sign_in("shop0001", "secret01")
        # February 2024 (a leap year) from its first instant to its last second; the bills just outside it
        # belong to January and March.
        self.insert_bills([
            (1, 1, ms(2024, 1, 31, 23, 59, 59)),
            (1, 1000, ms(2024, 2, 1)), (2, 250, ms(2024, 2, 1, 12)),
            (1, 1, ms(2024, 2, 15, 8)),
            (2, 143000, ms(2024, 2, 29, 9)), (1, 33, ms(2024, 2, 29, 23, 59, 59)),
            (2, 7, ms(2024, 3, 1)),
        ])
        self.open("/month?m=2024-02")
        self.assertEqual((self.totals("wechat"), self.totals("alipay"), self.totals("all")),
                         ((3, "10.34"), (2, "1432.50"), (5, "1442.84")))
        days = {row.get_attribute("data-day"): row.text for row in
                self.browser.find_elements(By.CSS_SELECTOR, "table.days tr[data-day]")}
        self.assertEqual(sorted(days), ["2024-02-01", "2024-02-15", "2024-02-29"])
        self.assertEqual(days["2024-02-01"].split(), ["02-01", "10.00", "1", "笔", "2.50", "1", "笔", "12.50"])
        self.assertEqual(days["2024-02-29"].split(), ["02-29", "0.33", "1", "笔", "1430.00", "1", "笔", "1430.33"])
        self.click(".pager a")  # earlier
        self.assertEqual((self.find(".pager b").text, self.totals("all")), ("2024-01", (1, "0.01")))
        self.open("/month?m=2024-03")
        self.assertEqual(self.totals("all"), (1, "0.07"))
        self.open("/day?d=2024-02-29")
        self.assertEqual(self.texts("table.bills tr[data-bill] td:first-child"), ["23:59:59", "09:00:00"])
        self.assertEqual((self.totals("wechat"), self.totals("alipay")), ((1, "0.33"), (1, "1430.00")))
        self.shot("day")
        self.click(".pager a:nth-of-type(2)")  # later
        self.assertEqual((self.find(".pager b").text, self.totals("all")), ("2024-03-01", (1, "0.07")))

        # The last 30 days for the chart: bills posted with explicit times, at today's first second and
        # now, and some inserted on earlier days (channel, fen, days ago).
        now = datetime.datetime.now(ZONE)
        midnight = datetime.datetime(now.year, now.month, now.day, tzinfo=ZONE)
        self.pay("alipay", "3.00", int(midnight.timestamp() * 1000))
        self.pay("alipay", "0.20", int(time.time() * 1000))
        earlier = [(1, 2300, 3), (2, 1800, 3), (1, 900, 8), (2, 4150, 15), (1, 5000, 22)]
        noon = {ago: midnight - datetime.timedelta(days=ago) + datetime.timedelta(hours=12) for _, _, ago in earlier}
        self.insert_bills([(c, fen, int(noon[ago].timestamp() * 1000)) for c, fen, ago in earlier])
        self.open("/")
        today = {"wechat": self.totals("wechat"), "alipay": self.totals("alipay")}
        self.open("/month")
        self.assertEqual(self.find(".pager b").text, now.strftime("%Y-%m"))
        for c, name in ((1, "wechat"), (2, "alipay")):
            this_month = [fen for channel, fen, ago in earlier if channel == c and noon[ago].month == now.month]
            count, amount = today[name]
            self.assertEqual(self.totals(name), (count + len(this_month), f"{float(amount) + sum(this_month) / 100:.2f}"))

        last30 = [(midnight - datetime.timedelta(days=n)).strftime("%Y-%m-%d") for n in range(29, -1, -1)]
        fen = {(c, 29 - ago): f for c, f, ago in earlier}
        for c, name in ((1, "wechat"), (2, "alipay")):
            fen[(c, 29)] = round(float(today[name][1]) * 100)
        tallest = max(fen.values())
        for c, name in ((1, "wechat"), (2, "alipay")):
            bars = self.browser.find_elements(By.CSS_SELECTOR, f"svg.chart rect.bar.{name}")
            self.assertEqual([b.get_attribute("data-day") for b in bars], last30)  # one bar a day
            for day, bar in enumerate(bars):  # the tallest bar fills the plot's 150 units
                self.assertAlmostEqual(float(bar.get_attribute("height")), fen.get((c, day), 0) * 150 / tallest,
                                       delta=0.05)
            count, amount = today[name]
            self.assertIn(f" {count} 笔 {amount} 元", bars[-1].find_element(By.TAG_NAME, "title")
                          .get_attribute("textContent"))
        self.shot("month")
        self.shot("phone_month", 390)

    def test_phone_setup_qr_codes_and_a_new_key(self):
        self.sign_in("shop0001", "secret01")
        self.open("/phone")
        apps = self.browser.find_elements(By.CSS_SELECTOR, "section.app")
        self.assertGreaterEqual(len(apps), 5)
        for n, app in enumerate(apps):
            shown = [c.text for c in app.find_elements(By.TAG_NAME, "code")]
            self.assertTrue(any(self.key in value for value in shown), shown)
            image = SHOTS / f"qr-{n}.png"
            qr = app.find_element(By.CSS_SELECTOR, "svg.qr")
            self.browser.execute_script("arguments[0].scrollIntoView({block: 'center'})", qr)
            qr.screenshot(str(image))
            decoded = subprocess.run(["zbarimg", "--raw", "-q", str(image)], capture_output=True, text=True)
            self.assertEqual(decoded.returncode, 0, decoded.stderr)
            self.assertIn(decoded.stdout.strip(), shown)
            image.unlink()
        self.assertIn(f"{self.hub.address}\\vmq\\shop0001/{self.key}", self.texts("section.app code"))
        self.shot("phone")
        self.shot("phone_phone", 390)

        old = self.key
        self.click("form[action='/phone/key'] button")
        self.assertIn("密钥已更换", self.find(".note").text)
        new = re.search(r"key=(\S+)", self.texts("section.app code")[0]).group(1)
        self.assertNotEqual(new, old)
        self.assertEqual(self.hub.post("/api/v1/heartbeat", {}, key=old)[0], 401)
        self.assertEqual(self.hub.post("/api/v1/heartbeat", {}, key=new)[0], 200)
        type(self).key = new

    def test_forms_from_elsewhere_or_without_the_token_are_refused(self):
        self.sign_in("shop0001", "secret01")
        token = self.session()["value"]

        class Foreign(http.server.BaseHTTPRequestHandler):
            # Another site (same host, another port) whose page posts to the hub's key form at once.
            def do_GET(handler):
                body = (f'<form method="post" action="{self.url}/phone/key"><input name="csrf" value="x"></form>'
                        '<script>document.forms[0].submit()</script>').encode()
                handler.send_response(200)
                handler.send_header("Content-Type", "text/html")
                handler.end_headers()
                handler.wfile.write(body)

            def log_message(handler, *args):
                pass

        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Foreign)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        try:
            self.browser.get(f"http://127.0.0.1:{server.server_port}/")
            WebDriverWait(self.browser, 5).until(lambda b: b.current_url.startswith(self.url))
            self.assertIn("请求来自其他网站", self.find(".error").text)
            self.shot("refused")
        finally:
            server.shutdown()
        self.open("/phone")
        self.assertIn(f"key={self.key}", self.texts("section.app code")[0])  # unchanged

        # The same form by hand, with the session's cookie: the token and the origin must both be right.
        csrf = self.find("input[name=csrf]").get_attribute("value")
        here, there = {"Origin": self.url}, {"Origin": "http://evil.example"}
        for headers, form, status in ((here, "csrf=wrong", 403), (there, f"csrf={csrf}", 403),
                                      ({}, "", 403), (here, f"csrf={csrf}", 303)):
            with self.subTest(headers=headers, form=form):
                got, _, _ = self.hub.request("POST", "/logout", form.encode(), {
                    **headers, "Cookie": f"kassaro_session={token}",
                    "Content-Type": "application/x-www-form-urlencoded"})
                self.assertEqual(got, status)
        self.assertIn("商户登录", self.hub.request("GET", "/", None, {"Cookie": f"kassaro_session={token}"})[1])

    def test_counters_listed_and_a_new_password_logs_them_out(self):
        async def flow():
            async with self.hub.counter() as counter:
                self.assertEqual(await counter.login("shop0002", "secret02", machine="0123456789ABCDEF0123456789ABCDEF"),
                                 "登录成功！")
                self.sign_in("shop0002", "secret02")
                self.open("/counters")
                self.assertEqual(self.texts("table.counters td")[:2], ["0123456789ABCDEF0123456789ABCDEF", "127.0.0.1"])
                self.shot("counters")
                self.open("/phone")
                form = "form[action='/password'] "
                for old, new, again, error in (("wrong-old", "secret22", "secret22", "原密码不对"),
                                               ("secret02", "secret22", "secret23", "不一样"),
                                               ("secret02", "short", "short", "6 到 64")):
                    self.find(form + "#old").send_keys(old)
                    self.find(form + "#new").send_keys(new)
                    self.find(form + "#again").send_keys(again)
                    self.click(form + "button")
                    self.assertIn(error, self.find(".error").text)
                self.find(form + "#old").send_keys("secret02")
                self.find(form + "#new").send_keys("secret22")
                self.find(form + "#again").send_keys("secret22")
                self.click(form + "button")
                self.assertIn("密码已修改", self.find(".note").text)
                deadline = time.monotonic() + 5
                while counter.closed is None and time.monotonic() < deadline:
                    await asyncio.sleep(0.1)
                self.assertEqual(counter.closed, 1008)
            self.open("/counters")  # this browser's session was renewed with the change
            self.assertIn("收银台", self.find("h1").text)
            self.sign_in("shop0002", "secret02")
            self.assertIn("帐号或密码错误", self.find(".error").text)
            self.sign_in("shop0002", "secret22")
            self.assertIn("今日收款", self.find("h1").text)

        asyncio.run(flow())

    def test_a_notification_not_counted_is_listed_and_counted_by_hand(self):
        key = self.hub.add_account("shop0003", "secret03")

        async def flow():
            async with self.hub.counter() as counter:
                self.assertEqual(await counter.login("shop0003", "secret03"), "登录成功！")
                status, answer = self.hub.post("/api/v1/notifications", {"package": "com.tencent.mm", "title": "微信支付",
                                                                        "text": "微信支付到账3.50元"}, key=key)
                self.assertEqual((status, answer["payment"], answer["not_counted"]), (200, False, True))
                self.sign_in("shop0003", "secret03")
                row = "#unrecognised tr[data-notification] "
                self.assertEqual(self.texts(row + "td")[1:3], ["微信支付 | 微信支付到账3.50元", "没有认出金额"])
                self.assertEqual(self.texts("table.bills tr[data-bill]"), [])
                self.shot("not-counted")
                self.find(row + "input[name=amount]").send_keys("3.505")
                self.click(row + "button")
                self.assertIn("不能计入", self.find("h1").text)
                self.open("/")
                self.assertEqual(self.find(row + "select[name=channel]").get_attribute("value"), "wechat")
                self.find(row + "input[name=amount]").send_keys("3.50")
                self.click(row + "button")
                self.assertEqual(self.texts("table.bills tr[data-bill] td")[1:4],
                                 ["微信收款", "3.50", "手工计入 微信支付 | 微信支付到账3.50元"])
                self.assertEqual(self.totals("wechat"), (1, "3.50"))
                self.assertIn("已手工计入", self.texts(row + "td")[3])
                await counter.wait_for(lambda t: t == "收到收款【字段分隔符】微信收款【字段分隔符】3.50")
            listed = self.hub.cli("notifications", "shop0003").stdout
            self.assertRegex(listed, r"微信支付到账3\.50元\tno amount\tcounted by hand as bill \d+\n")

        asyncio.run(flow())


if __name__ == "__main__":
    unittest.main()
