#!/usr/bin/python3
"""Clients that attack accounts and the store, against the hub as a process: a password guesser with many
connections and addresses, floods of valid logins, a day too long to send, texts that must not reach
the store or the counters, and the races of a password change. Clients come from addresses of their own
within 127.0.0.0/8, as the phones and shops behind different networks would."""
import asyncio
import os
import re
import stat
import sys
import time
import unittest
from pathlib import Path
from urllib.parse import urlencode
import http.client

import websockets

sys.path.insert(0, str(Path(__file__).resolve().parent))
from hubproc import SEP, Counter, Hub, bill_lines, push_text  # noqa: E402
from test_forwarders import WECHAT, receiptnotice, smsforwarder  # noqa: E402

OWNER_MACHINE = "4F0B5785AEDBE13EE2B8396DCD9FACA8"
FAILED, NO_MACHINE = "登录失败，帐号或密码错误！", "登录失败，机器码不正确！"
POSTGRES = bool(os.environ.get("KASSARO_HUB_POSTGRES"))


def run(coroutine):
    return asyncio.run(asyncio.wait_for(coroutine, 300))


async def counter_from(hub, source):
    """A counter whose connection comes from the loopback address `source`."""
    c = Counter(f"ws://{hub.host}:{hub.port}/")
    c.ws = await websockets.connect(c.url, max_size=None, ping_interval=None, local_addr=(source, 0))
    c.reader = asyncio.ensure_future(c.read())
    return c


async def login_once(hub, source, account, password, machine):
    """One login on a connection of its own: the answer, or the close code when the hub closed instead."""
    c = await counter_from(hub, source)
    try:
        await c.send("用户登录", account, password, machine)
        await c.wait_for(lambda t: t.startswith("登录响应" + SEP), timeout=120)
        return c.received[0].split(SEP)[1]
    except AssertionError:
        return c.closed
    finally:
        await c.__aexit__()


def sign_in(hub, source, account, password):
    """The page's sign-in form, posted from `source`: (status, session cookie or None)."""
    conn = http.client.HTTPConnection(hub.host, hub.port, timeout=120, source_address=(source, 0))
    conn.request("POST", "/login", body=urlencode({"account": account, "password": password}),
                 headers={"Content-Type": "application/x-www-form-urlencoded",
                          "Origin": f"http://{hub.host}:{hub.port}"})
    res = conn.getresponse()
    res.read()
    cookie = res.getheader("Set-Cookie")
    conn.close()
    return res.status, cookie if cookie and "kassaro_session=;" not in cookie else None


def sql(hub, text):
    """Runs SQL on the hub's store as another process would."""
    if hub.made_database:
        server, name = hub.made_database
        return server.sql(name, text)
    import sqlite3
    db = sqlite3.connect(hub.data / "hub.sqlite3", isolation_level=None)
    rows = db.execute(text).fetchall()
    db.close()
    return "\n".join("\t".join(str(v) for v in row) for row in rows)


class Guessing(unittest.TestCase):
    def test_concurrent_guesses_are_refused_past_the_limit_and_the_owner_still_gets_in(self):
        with Hub(config={"login_failures": 5, "login_queue": 1000}) as hub:
            hub.add_account("shop0001", "secret01")

            async def scenario():
                # The owner's counter has logged in before, from its shop's address.
                self.assertEqual(await login_once(hub, "127.0.0.2", "shop0001", "secret01", OWNER_MACHINE), "登录成功！")
                ok, failed, refused = (hub.metric(f'kassaro_hub_logins_total{{result="{r}"}}')
                                       for r in ("ok", "failed", "refused"))
                # 300 wrong passwords at once, five from each of 60 addresses, each from a machine of its own.
                answers = await asyncio.gather(*(
                    login_once(hub, f"127.0.1.{i // 5 + 1}", "shop0001", f"guess{i:04d}", f"{i:032X}")
                    for i in range(300)))
                self.assertEqual(answers, [FAILED] * 300)
                checked = hub.metric('kassaro_hub_logins_total{result="failed"}') - failed
                self.assertLessEqual(checked, 5)
                self.assertEqual(checked + hub.metric('kassaro_hub_logins_total{result="refused"}') - refused, 300)
                # The right password from an address and machine the account never saw: refused unchecked.
                self.assertEqual(await login_once(hub, "127.0.2.1", "shop0001", "secret01", "A" * 32), FAILED)
                self.assertEqual(sign_in(hub, "127.0.2.1", "shop0001", "secret01"), (401, None))
                # The owner's address, and the owner's counter from a new address, get in.
                self.assertEqual(await login_once(hub, "127.0.0.2", "shop0001", "secret01", "B" * 32), "登录成功！")
                self.assertEqual(await login_once(hub, "127.0.2.2", "shop0001", "secret01", OWNER_MACHINE), "登录成功！")
                self.assertEqual(sign_in(hub, "127.0.0.2", "shop0001", "secret01")[0], 303)
                self.assertEqual(hub.metric('kassaro_hub_logins_total{result="ok"}') - ok, 3)
            run(scenario())

    def test_texts_no_account_can_have_are_refused_without_a_check(self):
        with Hub() as hub:
            hub.add_account("shop0001", "secret01")

            async def scenario():
                failed = hub.metric('kassaro_hub_logins_total{result="failed"}')
                # A 30 KB machine id is more than a connection may send before it logs in: closed unchecked.
                self.assertEqual(await login_once(hub, "127.0.0.2", "shop0001", "secret01", "F" * 30_000), 1009)
                # One that is not 32 hex digits: a clear refusal, no password check, nothing recorded.
                self.assertEqual(await login_once(hub, "127.0.0.2", "shop0001", "secret01", "F" * 3_000), NO_MACHINE)
                self.assertEqual(hub.metric('kassaro_hub_logins_total{result="failed"}'), failed)
                # A NUL in the name must not find the account the part before it names (PostgreSQL's texts
                # end at a NUL), with the right password or any other.
                for name in ("shop0001\x00", "shop0001\x00x", "shop0001\x00" + "y" * 3_000):
                    self.assertEqual(await login_once(hub, "127.0.0.2", name, "secret01", OWNER_MACHINE), FAILED)
                self.assertEqual(sign_in(hub, "127.0.0.3", "shop0001\x00x", "secret01"), (401, None))
                self.assertEqual(await login_once(hub, "127.0.0.2", "shop0001", "secret01", OWNER_MACHINE), "登录成功！")
            run(scenario())


class Floods(unittest.TestCase):
    def test_a_day_past_the_history_cap_is_sent_capped_and_the_counter_stays(self):
        with Hub() as hub:
            key = hub.add_account("shop0001", "secret01")
            account = int(sql(hub, "SELECT id FROM accounts WHERE name = 'shop0001'"))
            now = int(time.time() * 1000)
            # 45,000 bills paid within the last minute, written as another process would.
            # On PostgreSQL without the triggers that tell the nodes of each new bill: history, not news.
            sql(hub, ("SET session_replication_role = replica; " if hub.made_database else "") + "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 45000) "
                     "INSERT INTO bills (account_id, channel, fen, paid_at, received_at, source_id, dedupe_key, text) "
                     f"SELECT {account}, 1 + i % 2, 100 + i, {now} - i, {now}, 'bulk-' || i, '', 'bulk' FROM n")

            async def scenario():
                c = await counter_from(hub, "127.0.0.2")
                self.assertEqual(await c.login("shop0001", "secret01"), "登录成功！")
                history = await c.wait_for(lambda t: t.startswith("账单回调"), timeout=60)
                lines = bill_lines(history)
                self.assertEqual(len(lines), 5000)
                # The newest bills, oldest first: the last line is bill i = 1, paid a millisecond ago.
                self.assertEqual(lines[-1][3], "1.01")
                self.assertEqual(lines[0][3], f"{(100 + 5000) / 100:.2f}")
                self.assertEqual(hub.post("/api/v1/payments", {"channel": "wechat", "amount": "7.77"}, key=key)[0], 200)
                await c.wait_for(lambda t: t == push_text("wechat", "7.77"))
                self.assertIsNone(c.closed)
                await c.__aexit__()
            run(scenario())

    def test_a_flood_of_valid_logins_leaves_room_for_a_page_sign_in(self):
        with Hub() as hub:
            hub.add_account("shop0001", "secret01")
            hub.add_account("flood001", "secret02")

            async def flood(stop):
                async def one():
                    while not stop.is_set():
                        try:
                            c = await counter_from(hub, "127.0.0.5")
                            for _ in range(16):
                                await c.send("用户登录", "flood001", "secret02", OWNER_MACHINE)
                            await asyncio.sleep(0.5)
                            await c.__aexit__()
                        except (OSError, websockets.WebSocketException):
                            await asyncio.sleep(0.1)
                await asyncio.gather(*(one() for _ in range(60)))

            async def scenario():
                # The flooding counter is the account's own: its machine logged in before.
                self.assertEqual(await login_once(hub, "127.0.0.5", "flood001", "secret02", OWNER_MACHINE), "登录成功！")
                stop = asyncio.Event()
                flooding = asyncio.ensure_future(flood(stop))
                await asyncio.sleep(2)  # the flood is under way
                start = time.monotonic()
                status, cookie = await asyncio.get_running_loop().run_in_executor(
                    None, sign_in, hub, "127.0.0.6", "shop0001", "secret01")
                took = time.monotonic() - start
                stop.set()
                await flooding
                self.assertEqual(status, 303)
                self.assertIsNotNone(cookie)
                # A functional bound, not a timing goal: unbounded, this waits behind about a thousand checks.
                self.assertLess(took, 5, "the sign-in waited behind the flood")
                self.assertGreater(hub.metric('kassaro_hub_logins_total{result="busy"}'), 0)
            run(scenario())


class Races(unittest.TestCase):
    def test_a_check_that_began_before_a_password_change_makes_no_session(self):
        with Hub(config={"hash_threads": 1, "login_queue": 100000}) as hub:
            hub.add_account("shop0001", "secret01")
            hub.add_account("busy0001", "secret02")

            async def scenario():
                # 300 valid logins of another account's own counter, from 60 addresses, keep the one hashing
                # thread busy for a while.
                self.assertEqual(await login_once(hub, "127.0.0.7", "busy0001", "secret02", OWNER_MACHINE), "登录成功！")
                crowd = [await counter_from(hub, f"127.0.3.{i // 5 + 1}") for i in range(300)]
                for c in crowd:
                    await c.send("用户登录", "busy0001", "secret02", OWNER_MACHINE)
                loop = asyncio.get_running_loop()
                page = loop.run_in_executor(None, sign_in, hub, "127.0.0.8", "shop0001", "secret01")
                counter = await counter_from(hub, "127.0.0.9")
                await counter.send("用户登录", "shop0001", "secret01", OWNER_MACHINE)
                await asyncio.sleep(0.2)
                # The password changes while both checks wait for the hashing thread.
                await loop.run_in_executor(None, lambda: hub.cli("account", "passwd", "shop0001", stdin="newpass1\n"))
                self.assertFalse(page.done() or any(t.startswith("登录响应") for t in counter.received),
                                 "the checks ended before the change: raise the crowd")
                self.assertEqual(await page, (401, None))
                # The counter's check said yes to the old password; attached, it is closed as a new password
                # closes every counter logged in with the old one.
                deadline = time.monotonic() + 120
                while counter.closed is None and time.monotonic() < deadline:
                    await asyncio.sleep(0.05)
                self.assertEqual(counter.closed, 1008)
                for c in crowd + [counter]:
                    await c.__aexit__()
                self.assertEqual(sign_in(hub, "127.0.0.8", "shop0001", "newpass1")[0], 303)
            run(scenario())

    def test_one_payment_reported_by_two_apps_of_one_phone_is_one_bill(self):
        with Hub() as hub:
            key = hub.add_account("shop0001", "secret01")
            # receiptnotice posts the payment it recognised; SmsForwarder posts the notification itself.
            first = hub.request("POST", "/hook/receiptnotice?key=" + key, *receiptnotice(key, "wechat", "1.17"))[1]
            second = hub.request("POST", "/hook/smsforwarder?key=" + key,
                                 *smsforwarder(key, WECHAT, "微信支付", "微信支付收款1.17元", True))[1]
            self.assertEqual((first["duplicate"], second["duplicate"], second["bill"]), (False, True, first["bill"]))
            self.assertIn("1 bills", hub.cli("bills", "shop0001").stdout)


class Operator(unittest.TestCase):
    @unittest.skipIf(POSTGRES, "the store's files are SQLite's")
    def test_store_files_are_the_hubs_alone_under_umask_022(self):
        old = os.umask(0o022)
        try:
            hub = Hub()
            hub.data.chmod(0o755)
            with hub:
                key = hub.add_account("shop0001", "secret01")
                self.assertEqual(hub.post("/api/v1/payments", {"channel": "wechat", "amount": "1"}, key=key)[0], 200)
                files = [p for p in hub.data.iterdir() if p.name.startswith("hub.sqlite3")]
                self.assertGreaterEqual(len(files), 2)  # the database and its write-ahead log
                for p in files:
                    self.assertEqual(stat.S_IMODE(p.stat().st_mode) & 0o077, 0, p)
                self.assertRegex(hub.log_text(), r"warn store readable by others path=\S+ mode=0755")
        finally:
            os.umask(old)

    def test_operator_texts_that_would_break_the_counters_are_refused(self):
        with Hub() as hub:
            hub.cli("notice", "set", "欢迎使用")
            for text, why in [("今日【字段分隔符】2", "separator"), ("一\x07二", "control"), ("收款😀", "GBK"),
                              ("长" * 400, "longer"), ("\u0085", "control")]:
                with self.subTest(why):
                    done = hub.cli("notice", "set", text, check=False)
                    self.assertEqual(done.returncode, 2, done.stderr)
                    self.assertIn(why, done.stderr)
            bad = hub.cli("client-version", "2.0", "--download", "http://x/【字段分隔符】", check=False)
            self.assertEqual(bad.returncode, 2)
            hub.add_account("shop0001", "secret01")

            async def scenario():
                c = await counter_from(hub, "127.0.0.2")
                self.assertEqual(await c.login("shop0001", "secret01"), "登录成功！")
                info = await c.wait_for(lambda t: t.startswith("服务器信息"))
                self.assertEqual(info.split(SEP), ["服务器信息", "1", "欢迎使用", "1.0", "", ""])
                await c.__aexit__()
            run(scenario())


if __name__ == "__main__":
    import hubproc
    hubproc.main()
