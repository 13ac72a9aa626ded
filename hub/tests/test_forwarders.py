#!/usr/bin/python3
"""The forwarder apps' intakes over real HTTP, each request built as its app builds it (signs included):
payments reach a logged-in counter once, repeats included; a bad sign, an old clock, a wrong key or
account is refused and stores nothing; every accepted request is a report from the phone."""
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
# The JSON template docs/protocol.md gives for SmsForwarder's 消息模板.
SMS_TEMPLATE = '{"package":"[from]","title":"[title]","text":"[org_content]","timestamp":"[timestamp]","sign":"[sign]"}'


def ms(offset=0):
    return str(int(time.time() * 1000) + offset)


def md5(text):
    return hashlib.md5(text.encode()).hexdigest()


def okhttp_form(pairs):
    """OkHttp's FormBody: UTF-8 percent-encoded but for letters, digits and "*-._"."""
    return "&".join(quote(k, safe="*") + "=" + quote(v, safe="*") for k, v in pairs).replace("~", "%7E").encode()


def gson(text):
    """A text as SmsForwarder puts it into a JSON template: Gson's escaping, HTML characters included."""
    out = json.dumps(text, ensure_ascii=False)[1:-1]
    return "".join("\\u%04x" % ord(c) if c in "<>&='" else c for c in out)


def smsforwarder(key, package, title, text, as_json, ts=None, secret=None, uid="10235", device="Pixel 7"):
    """SmsForwarder's webhook post: its default form, or the JSON template; signed with the secret."""
    ts = ts or ms()
    secret = key if secret is None else secret
    mac = hmac.new(secret.encode(), f"{ts}\n{secret}".encode(), hashlib.sha256).digest()
    sign = quote(base64.b64encode(mac).decode(), safe="")  # Java's URLEncoder over the Base64
    if as_json:
        body = (SMS_TEMPLATE.replace("[from]", package).replace("[title]", gson(title))
                .replace("[org_content]", gson(text)).replace("[timestamp]", ts).replace("[sign]", sign))
        return body.encode(), {"Content-Type": "application/json; charset=utf-8"}
    # The app's own layout without a template: package, text, title, UID (app notifications only), receive
    # time, device name (when set).
    now = datetime.now(ZoneInfo("Asia/Shanghai")).strftime("%Y-%m-%d %H:%M:%S")
    content = "\n".join([package, text, title] + [f"UID：{uid}"] * bool(uid) + [now, device]).strip()
    pairs = [("from", package), ("content", content), ("timestamp", ts), ("sign", sign)]
    return okhttp_form(pairs), {"Content-Type": "application/x-www-form-urlencoded"}


def vmq_path(config, push=None, t=None, key=None):
    """The path a vmq monitor configured with "HOST/KEY" requests: appHeart, or appPush of (type, price)."""
    host, entered_key = config.split("/")  # the app's own split, which must give two parts
    key, t = key or entered_key, t or ms()
    if push:
        url = f"http://{host}/appPush?t={t}&type={push[0]}&price={push[1]}&sign=" + md5(push[0] + push[1] + t + key)
    else:
        url = f"http://{host}/appHeart?t={t}&sign=" + md5(t + key)
    return "/" + url.replace("\\", "/").split("/", 3)[3]  # OkHttp reads '\' in an address as '/'


def receiptnotice(key, kind, money, encrypt=True):
    """receiptnotice's post: its hand-made JSON of texts, signed by its md5 "encryption" (or unkeyed)."""
    fields = {"type": kind, "time": datetime.now(ZoneInfo("Asia/Shanghai")).strftime("%Y-%m-%d %H:%M:%S"),
              "title": "微信支付", "money": money, "content": f"微信支付收款{money}元", "deviceid": "a7c3"}
    inner = md5(kind + money).upper()
    fields.update({"sign": md5(inner + key).upper()} if encrypt else {"sign": md5(inner).upper(), "encrypt": "0"})
    return ("{" + ",".join(f'"{k}":"{v}"' for k, v in fields.items()) + "}").encode()


class Forwarders(unittest.TestCase):
    def test_forwarders(self):
        with Hub() as hub:
            key = hub.add_account("shop0001", "secret01")
            beats = {n: hub.add_account(n, "secret01") for n in ("beat0001", "beat0002")}
            vmq = f"{hub.host}:{hub.port}\\vmq\\shop0001/{key}"
            sms, rn = "/hook/smsforwarder?key=", "/hook/receiptnotice?key="
            bills = lambda: len(hub.cli("bills", "shop0001").stdout.splitlines())

            async def scenario():
                async with hub.counter() as c:
                    self.assertEqual(await c.login("shop0001", "secret01"), "登录成功！")
                    payments = [  # each request is sent twice: the second is the same payment
                        (sms + key, *smsforwarder(key, WECHAT, "微信支付", "微信支付收款1.17元(朋友到店)", False), "微信收款", "1.17"),
                        (sms + key, *smsforwarder(key, ALIPAY, "你已成功收款5.00元", "已转入余额 <去兑换>", True), "支付宝收款", "5.00"),
                        (vmq_path(vmq, ("2", "12.5")), None, {}, "支付宝收款", "12.50"),
                        (rn + key, receiptnotice(key, "wechat", "0.01"), {}, "微信收款", "0.01"),
                        (rn + key, receiptnotice(key, "alipay", "3.1", encrypt=False), {}, "支付宝收款", "3.10"),
                    ]
                    for path, body, headers, *_ in payments:
                        answers = [hub.request("POST" if body else "GET", path, body, headers)[:2] for _ in "12"]
                        self.assertEqual([status for status, _ in answers], [200, 200], answers)
                        if body is None:  # the vmq monitors' own answer
                            self.assertEqual([a for _, a in answers], [{"code": 1, "msg": "成功"}] * 2)
                        else:
                            self.assertEqual([(a["payment"], a["duplicate"]) for _, a in answers],
                                             [(True, False), (True, True)])
                    # A last payment of our own: pushes go out in order, so once it is in, every other is.
                    hub.post("/api/v1/payments", {"channel": "wechat", "amount": "9.99"}, key=key)
                    await c.wait_for(lambda t: t.endswith(SEP + "9.99"))
                    expected = [row[-2:] for row in payments] + [("微信收款", "9.99")]
                    self.assertEqual(c.payments(), [SEP.join(["收到收款", *p]) for p in expected])
            asyncio.run(asyncio.wait_for(scenario(), 120))

            before = bills()
            refused = [  # (what, path, body, headers, status, answer's code for the vmq monitors)
                ("sign with another secret", sms + key, *smsforwarder(key, WECHAT, "微信支付", "微信支付收款2.00元", False,
                                                                       secret="x" * 32), 401, None),
                ("timestamp two hours old", sms + key, *smsforwarder(key, WECHAT, "微信支付", "微信支付收款2.00元", True,
                                                                      ts=ms(-7200_000)), 401, None),
                ("wrong key", sms + "y" * 32, *smsforwarder("y" * 32, WECHAT, "微信支付", "微信支付收款2.00元", True),
                 401, None),
                ("vmq sign with another key", vmq_path(vmq, ("1", "2.0"), key="z" * 32), None, {}, 200, -1),
                ("vmq clock 60 s behind", vmq_path(vmq, ("1", "2.0"), t=ms(-60_000)), None, {}, 200, -1),
                ("vmq unknown account", vmq_path(vmq.replace("shop0001", "nobody"), ("1", "2.0")), None, {}, 200, -1),
                ("vmq bad price", vmq_path(vmq, ("1", "1.0E7")), None, {}, 200, -1),
                ("receiptnotice sign with another key", rn + key, receiptnotice("w" * 32, "wechat", "2.00"), {}, 401, None),
                ("receiptnotice wrong key", rn + "w" * 32, receiptnotice("w" * 32, "wechat", "2.00"), {}, 401, None),
                ("receiptnotice body not JSON", rn + key, b'{"type":"wechat","content":"say "hi""}', {}, 400, None),
            ]
            for what, path, body, headers, status, code in refused:
                with self.subTest(what):
                    got, answer, _ = hub.request("POST" if body else "GET", path, body, headers)
                    self.assertEqual(got, status, answer)
                    self.assertEqual((answer.get("code"), bool(answer.get("msg" if code else "error"))), (code, True))
            not_payments = [  # answered, no bill: an advert, a kind receiptnotice reports that is no payment
                (sms + key, *smsforwarder(key, ALIPAY, "支付宝", "经营码仅0.38%收钱费率", False, device="")),
                (rn + key, receiptnotice(key, "alipay-transfer", "-0.00"), {}),
            ]
            for path, body, headers in not_payments:
                self.assertEqual(hub.request("POST", path, body, headers)[:2][1]["payment"], False)
            self.assertEqual(bills(), before)

            # A vmq heartbeat and SmsForwarder's scheduled task post are reports from the phone.
            phone = lambda name: [l for l in hub.cli("account", "list").stdout.splitlines() if l.startswith(name)][0]
            self.assertIn("phone never", phone("beat0001"))
            beat = vmq.replace("shop0001", "beat0001").replace(key, beats["beat0001"])
            self.assertEqual(hub.request("GET", vmq_path(beat))[1], {"code": 1, "msg": "成功"})
            task = smsforwarder(beats["beat0002"], "收款心跳", "收款心跳", "每分钟一次", False, uid=None)
            self.assertEqual(hub.request("POST", sms + beats["beat0002"], *task)[1]["payment"], False)
            for name in beats:
                self.assertNotIn("phone never", phone(name))


if __name__ == "__main__":
    unittest.main()
