#!/usr/bin/python3
"""The forwarder apps' intakes over real HTTP, each request built as its app builds it, signs included:
payments reach a logged-in counter once, repeats included; a bad sign, an old clock, a wrong key or
account is refused and stores nothing; heartbeats are reports from the phone."""
import asyncio
import base64
import hashlib
import hmac
import json
import sys
import time
import unittest
from datetime import datetime
from pathlib import Path
from urllib.parse import quote
from zoneinfo import ZoneInfo

sys.path.insert(0, str(Path(__file__).resolve().parent))
from hubproc import SEP, Hub  # noqa: E402

WECHAT, ALIPAY = "com.tencent.mm", "com.eg.android.AlipayGphone"
# SmsForwarder's 消息模板 as docs/protocol.md gives it.
SMS_TEMPLATE = '{"package":"[from]","title":"[title]","text":"[org_content]","timestamp":"[timestamp]","sign":"[sign]"}'
ms = lambda offset=0: str(int(time.time() * 1000) + offset)
md5 = lambda text: hashlib.md5(text.encode()).hexdigest()
phone_time = lambda: datetime.now(ZoneInfo("Asia/Shanghai")).strftime("%Y-%m-%d %H:%M:%S")


def okhttp_form(pairs):
    """OkHttp's FormBody: UTF-8 percent-encoded but for letters, digits and "*-._"."""
    return "&".join(quote(k, safe="*") + "=" + quote(v, safe="*") for k, v in pairs).replace("~", "%7E").encode()


def gson(text):
    """A text as SmsForwarder puts it into a JSON template: Gson's escaping, HTML characters included."""
    return "".join("\\u%04x" % ord(c) if c in "<>&='" else c for c in json.dumps(text, ensure_ascii=False)[1:-1])


def smsforwarder(key, package, title, text, as_json, ts=None, secret=None, uid="10235", device="Pixel 7"):
    """SmsForwarder's webhook post, its own form or the JSON template, signed with the secret."""
    ts, secret = ts or ms(), key if secret is None else secret
    mac = hmac.new(secret.encode(), f"{ts}\n{secret}".encode(), hashlib.sha256).digest()
    sign = quote(base64.b64encode(mac).decode(), safe="")  # Java's URLEncoder over the Base64
    if as_json:
        body = (SMS_TEMPLATE.replace("[from]", package).replace("[title]", gson(title))
                .replace("[org_content]", gson(text)).replace("[timestamp]", ts).replace("[sign]", sign))
        return body.encode(), {"Content-Type": "application/json; charset=utf-8"}
    # Its layout without a template: package, text, title, UID (of an app), receive time, device (when set).
    content = "\n".join([package, text, title] + [f"UID：{uid}"] * bool(uid) + [phone_time(), device]).strip()
    body = okhttp_form([("from", package), ("content", content), ("timestamp", ts), ("sign", sign)])
    return body, {"Content-Type": "application/x-www-form-urlencoded"}


def vmq_path(config, push=None, t=None, key=None):
    """What a vmq monitor configured with "HOST/KEY" requests: appHeart, or appPush of (type, price)."""
    host, entered_key = config.split("/")  # the app's own split, which must give two parts
    key, t = key or entered_key, t or ms()
    query = f"t={t}&type={push[0]}&price={push[1]}&sign={md5(push[0] + push[1] + t + key)}" if push else \
        f"t={t}&sign={md5(t + key)}"
    url = f"http://{host}/{'appPush' if push else 'appHeart'}?{query}"
    return "/" + url.replace("\\", "/").split("/", 3)[3]  # OkHttp reads '\' in an address as '/'


def receiptnotice(key, kind, money, encrypt=True):
    """receiptnotice's hand-made JSON of texts, signed by its md5 "encryption" (or, off, without a key)."""
    fields = {"type": kind, "time": phone_time(), "title": "微信支付", "money": money,
              "content": f"微信支付收款{money}元", "deviceid": "a7c3"}
    inner = md5(kind + money).upper()
    fields.update({"sign": md5(inner + key).upper()} if encrypt else {"sign": md5(inner).upper(), "encrypt": "0"})
    return ("{" + ",".join(f'"{k}":"{v}"' for k, v in fields.items()) + "}").encode(), {}


class Forwarders(unittest.TestCase):
    def test_forwarders(self):
        with Hub() as hub:
            key = hub.add_account("shop0001", "secret01")
            vmq = f"{hub.host}:{hub.port}\\vmq\\shop0001/{key}"  # what the merchant enters, docs/protocol.md
            sms, rn = "/hook/smsforwarder?key=", "/hook/receiptnotice?key="
            send = lambda path, body, headers: hub.request("POST" if body else "GET", path, body, headers)[:2]
            bills = lambda: hub.cli("bills", "shop0001").stdout

            async def scenario():
                async with hub.counter() as c:
                    self.assertEqual(await c.login("shop0001", "secret01"), "登录成功！")
                    payments = [  # each sent twice: the second is the same payment
                        (sms + key, *smsforwarder(key, WECHAT, "微信支付", "微信支付收款1.17元(朋友到店)", False),
                         "微信收款", "1.17"),
                        (sms + key, *smsforwarder(key, ALIPAY, "你已成功收款5.00元", "已转入余额 <去兑换>", True),
                         "支付宝收款", "5.00"),
                        (vmq_path(vmq, ("2", "12.5")), None, {}, "支付宝收款", "12.50"),
                        (rn + key, *receiptnotice(key, "wechat", "0.01"), "微信收款", "0.01"),
                        (rn + key, *receiptnotice(key, "alipay", "3.1", encrypt=False), "支付宝收款", "3.10"),
                    ]
                    for path, body, headers, *_ in payments:
                        answers = [send(path, body, headers) for _ in "12"]
                        self.assertEqual([s for s, _ in answers], [200, 200], answers)
                        # The vmq monitors get their own answer; the others say the second was the first.
                        self.assertEqual([a.get("duplicate", a.get("msg")) for _, a in answers],
                                         ["成功"] * 2 if body is None else [False, True])
                    # Pushes go out in order: once a last payment is in, every other one is.
                    hub.post("/api/v1/payments", {"channel": "wechat", "amount": "9.99"}, key=key)
                    await c.wait_for(lambda t: t.endswith(SEP + "9.99"))
                    expected = [row[-2:] for row in payments] + [("微信收款", "9.99")]
                    self.assertEqual(c.payments(), [SEP.join(["收到收款", *p]) for p in expected])
            asyncio.run(asyncio.wait_for(scenario(), 120))

            before, wechat = bills(), ("微信支付", "微信支付收款2.00元")
            refused = [  # (what, path, body, headers, status); the vmq monitors' refusals are 200 with code -1
                ("another secret", sms + key, *smsforwarder(key, WECHAT, *wechat, False, secret="x" * 32), 401),
                ("two hours old", sms + key, *smsforwarder(key, WECHAT, *wechat, True, ts=ms(-7200_000)), 401),
                ("wrong key", sms + "y" * 32, *smsforwarder("y" * 32, WECHAT, *wechat, True), 401),
                ("vmq another key", vmq_path(vmq, ("1", "2.0"), key="z" * 32), None, {}, 200),
                ("vmq 60 s behind", vmq_path(vmq, ("1", "2.0"), t=ms(-60_000)), None, {}, 200),
                ("vmq unknown account", vmq_path(vmq.replace("shop0001", "nobody"), ("1", "2.0")), None, {}, 200),
                ("vmq bad price", vmq_path(vmq, ("1", "1.0E7")), None, {}, 200),
                ("receiptnotice another key", rn + key, *receiptnotice("w" * 32, "wechat", "2.00"), 401),
                ("receiptnotice wrong key", rn + "w" * 32, *receiptnotice("w" * 32, "wechat", "2.00"), 401),
                ("receiptnotice broken JSON", rn + key, b'{"type":"wechat","content":"say "hi""}', {}, 400),
            ]
            for what, path, body, headers, status in refused:
                with self.subTest(what):
                    got, answer = send(path, body, headers)
                    self.assertEqual(got, status, answer)
                    self.assertTrue(answer["error"] if body else answer["code"] == -1 and answer["msg"], answer)
            for path, body, headers in [  # answered, no bill: an advert; a kind of receiptnotice's that is no payment
                (sms + key, *smsforwarder(key, ALIPAY, "支付宝", "经营码仅0.38%收钱费率", False, device="")),
                (rn + key, *receiptnotice(key, "alipay-transfer", "-0.00")),
            ]:
                self.assertEqual(send(path, body, headers)[1]["payment"], False)
            self.assertEqual(bills(), before)

            # A vmq heartbeat and SmsForwarder's scheduled task (no UID in its layout) are reports.
            beats = {name: hub.add_account(name, "secret01") for name in ("beat0001", "beat0002")}
            phone = lambda name: next(l for l in hub.cli("account", "list").stdout.splitlines() if l.startswith(name))
            self.assertIn("phone never", phone("beat0001"))
            heart = vmq_path(vmq.replace("shop0001", "beat0001").replace(key, beats["beat0001"]))
            self.assertEqual(send(heart, None, {}), (200, {"code": 1, "msg": "成功"}))
            task = smsforwarder(beats["beat0002"], "收款心跳", "收款心跳", "每分钟一次", False, uid=None)
            self.assertEqual(send(sms + beats["beat0002"], *task)[1]["payment"], False)
            self.assertEqual(["phone never" in phone(name) for name in beats], [False, False])


if __name__ == "__main__":
    unittest.main()
