#!/usr/bin/python3
"""The operator's command line: help at every level, one-line errors with their exit codes, and changes
to an account that reach a running hub."""
import asyncio
import socket
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from hubproc import Hub, hub_binary  # noqa: E402


def hub(*args, stdin=None):
    return subprocess.run([hub_binary(), *args], input=stdin, capture_output=True, text=True, timeout=60)


class CommandLine(unittest.TestCase):
    def test_help_and_errors(self):
        for level in ([], ["serve"], ["account"], ["account", "add"], ["account", "key"], ["notice", "set"],
                      ["maintenance"], ["client-version"], ["bills"]):
            with self.subTest(level):
                done = hub(*level, "--help")
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertIn("Usage:", done.stdout)

        with tempfile.TemporaryDirectory() as data:
            bad_store = Path(data) / "bad"
            bad_store.mkdir()
            (bad_store / "hub.sqlite3").write_bytes(b"this is not a database" * 100)
            config = Path(data) / "typo.toml"
            config.write_text('ofline_after = 30\n')
            busy = socket.socket()
            busy.bind(("127.0.0.1", 0))
            busy.listen()
            cases = [
                ("unknown command", ["--data", data, "frobnicate"], None, 2),
                ("no account name", ["--data", data, "account", "add"], None, 2),
                ("maintenance maybe", ["--data", data, "maintenance", "maybe"], None, 2),
                ("short password", ["--data", data, "account", "add", "shop0001"], "short\n", 2),
                ("no such account", ["--data", data, "bills", "nobody01"], None, 1),
                ("missing data directory", ["--data", data + "/none", "account", "list"], None, 1),
                ("store that cannot be opened", ["--data", str(bad_store), "account", "list"], None, 1),
                ("database that cannot be reached", ["--database", f"postgresql://hub@/hub?host={data}/none",
                                                     "account", "list"], None, 1),
                ("unknown configuration key", ["--config", str(config), "--data", data, "account", "list"], None, 2),
                ("busy port", ["--data", data, "serve", "--listen", "127.0.0.1:%d" % busy.getsockname()[1]], None, 1),
            ]
            for name, args, stdin, code in cases:
                with self.subTest(name):
                    done = hub(*args, stdin=stdin)
                    self.assertEqual(done.returncode, code, done.stdout + done.stderr)
                    self.assertTrue(done.stderr.strip(), "no reason given")
            busy.close()
            self.assertIn("ofline_after", hub("--config", str(config), "--data", data, "account", "list").stderr)

    def test_account_changes_reach_a_running_hub(self):
        async def scenario(h):
            key = h.add_account("shop0001", "secret01")
            old_key = key
            new_key = h.cli("account", "key", "shop0001", "--new").stdout.split()[1]
            self.assertNotEqual(new_key, old_key)
            self.assertEqual(h.post("/api/v1/heartbeat", {}, key=old_key)[0], 401)
            self.assertEqual(h.post("/api/v1/heartbeat", {}, key=new_key)[0], 200)

            async with h.counter() as c:
                self.assertEqual(await c.login("shop0001", "secret01"), "登录成功！")
                h.cli("account", "passwd", "shop0001", stdin="secret02\n")
                await asyncio.wait_for(c.reader, 5)  # logged out: the old password is no good any more
                self.assertEqual(c.closed, 1008)
            async with h.counter() as c:
                self.assertEqual(await c.login("shop0001", "secret01"), "登录失败，帐号或密码错误！")
                self.assertEqual(await c.login("shop0001", "secret02"), "登录成功！")
                h.cli("account", "disable", "shop0001")
                await asyncio.wait_for(c.reader, 5)
                self.assertEqual(c.closed, 1008)
            self.assertEqual(h.post("/api/v1/heartbeat", {}, key=new_key)[0], 401)
            listed = h.cli("account", "list").stdout
            self.assertRegex(listed, r"shop0001\tdisabled\t.*counters 1 \(last ")

        with Hub() as h:
            asyncio.run(asyncio.wait_for(scenario(h), 120))


if __name__ == "__main__":
    unittest.main()
