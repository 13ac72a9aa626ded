#!/usr/bin/python3
"""A merchant's phone for the demo: reports payment notifications, as WeChat and Alipay show them, to the
hub's intake every few seconds, now and then the same one twice (as phones do with group summaries),
an advert between them, and a heartbeat every 30 s.

    /usr/bin/python3 demo_phone.py --hub http://127.0.0.1:9002 --key KEY [--every 8]
"""
import argparse
import json
import random
import sys
import time
import urllib.error
import urllib.request


def notification():
    amount = "%.2f" % random.choice([random.uniform(1, 60), random.uniform(60, 500), random.randint(1, 20)])
    if random.random() < 0.5:
        shop = random.choice(["朋友到店", "新顾客到店", "老顾客到店"])
        return {"package": "com.tencent.mm", "title": "微信支付", "text": f"微信支付收款{amount}元({shop})"}
    extra = random.choice(["", "（老顾客消费）"])
    return {"package": "com.eg.android.AlipayGphone", "title": f"你已成功收款{amount}元{extra}",
            "text": "已转入余额 100积分兑收钱音箱，去兑换>>"}


def post(hub, key, path, body):
    request = urllib.request.Request(hub + path, data=json.dumps(body, ensure_ascii=False).encode(),
                                     headers={"Authorization": "Bearer " + key,
                                              "Content-Type": "application/json"})
    try:
        with urllib.request.urlopen(request, timeout=10) as answer:
            return answer.status, json.loads(answer.read())
    except urllib.error.HTTPError as e:
        return e.code, json.loads(e.read() or b"{}")
    except (OSError, ValueError) as e:
        return None, str(e)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--hub", default="http://127.0.0.1:9002")
    parser.add_argument("--key", required=True)
    parser.add_argument("--every", type=float, default=8, help="seconds between payments, on average")
    args = parser.parse_args()
    last_heartbeat = 0
    while True:
        if time.monotonic() - last_heartbeat > 30:
            post(args.hub, args.key, "/api/v1/heartbeat", {})
            last_heartbeat = time.monotonic()
        if random.random() < 0.1:
            body = {"package": "com.eg.android.AlipayGphone", "title": "支付宝",
                    "text": "经营码仅0.38%收钱费率，立即开通>>"}
        else:
            body = notification()
        body["time"] = int(time.time() * 1000)
        status, answer = post(args.hub, args.key, "/api/v1/notifications", body)
        print(status, answer, flush=True)
        if random.random() < 0.15 and body["package"] == "com.tencent.mm":
            # The group summary of the same notification, a moment later: the hub makes it one bill.
            summary = dict(body, text="[2条]微信支付: " + body["text"])
            print(*post(args.hub, args.key, "/api/v1/notifications", summary), flush=True)
        time.sleep(random.uniform(0.5, 1.5) * args.every)


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        sys.exit(0)
