"""A busy counter: the notification server pushes payments at a steady pace, alternating channels, to the
real Kassaro.exe with announcing on and the local speech service answering. Used by test_load.py (a
short run in every test run) and by scripts/bench (the full run).

run_load() checks what a merchant relies on and raises AssertionError when it does not hold: every payment
listed exactly once, in its channel's list, in the order sent; each total the exact decimal sum of its
list's amounts as the program writes money; the counts; every payment asked of the speech service; the
window answering while the program works through the queue. It returns the figures it measured.
"""
import random
import time
from decimal import Decimal

from kassaro_e2e import Session, wait_until

SEP = "【字段分隔符】"
ACCOUNT = "13900002222"
LISTS = {"微信收款": ("超级列表框_微信收款", "标签_微信合计", "微信收款合计：", "标签_微信累计收款", "微信累计收款："),
         "支付宝收款": ("超级列表框_支付宝收款", "标签_支付宝合计", "支付宝收款合计：", "标签_支付宝累计收款", "支付宝累计收款：")}


def money_text(total):
    """What the program shows for a sum: the shortest of 13 significant digits (its formatMoney)."""
    return "%.13g" % float(total)


def payments(count, seed=20261208):
    """count payments, channels alternating, amounts of one to five digits before the point."""
    rng = random.Random(seed)
    channels = ["微信收款", "支付宝收款"]
    return [(channels[i % 2], "%d.%02d" % (rng.choice([rng.randint(0, 99), rng.randint(100, 99999)]), rng.randint(0, 99)))
            for i in range(count)]


def run_load(count, per_second=20):
    sent = payments(count)
    # The program speaks each payment before it lists it; give it ample time to work through them.
    with Session(f"load-{count}", speech=True, time_limit=int(240 + count * 1.5)) as s:
        program = s.start_program(ini={"登陆": {"是否记住": "1", "账号": ACCOUNT, "密码": "load-pw"}})
        probe = s.probe
        wait_until(lambda: probe.text("标签_监控状态") == "监控状态：√", 30, what="the login")
        idle = program.memory_kib()

        started = time.monotonic()
        s.notify.stream([SEP.join(["收到收款", channel, amount]) for channel, amount in sent], per_second)
        pushed = time.monotonic() - started

        # While the program still works through what arrived, its window answers (the probe gives up on
        # a window message after five seconds).
        for _ in range(3):
            assert probe.window("主窗口")["visible"]
            probe.text("标签_监控状态")

        for channel, (list_name, *_rest) in LISTS.items():
            wanted = sum(1 for c, _ in sent if c == channel)
            probe.wait_rows(list_name, wanted, timeout=60 + count * 1.2)
        listed = time.monotonic() - started
        time.sleep(2)  # anything more would show now

        for channel, (list_name, total_label, total_prefix, count_label, count_prefix) in LISTS.items():
            amounts = [a for c, a in sent if c == channel]
            rows = probe.rows(list_name)
            assert [r[0] for r in rows] == [str(i + 1) for i in range(len(amounts))], f"{channel}: numbering"
            assert [r[2] for r in rows] == [channel] * len(amounts), f"{channel}: a row of another channel"
            assert [r[3] for r in rows] == amounts, f"{channel}: payments missing, doubled or out of order"
            expected_total = total_prefix + money_text(sum(Decimal(a) for a in amounts)) + "元"
            assert probe.text(total_label) == expected_total, f"{probe.text(total_label)} != {expected_total}"
            assert probe.text(count_label) == f"{count_prefix}{len(amounts)}笔"

        spoken = [q["tex"][0] for q in s.speech.synthesis_queries()]
        expected = [f"{c}{a}元！感谢您的惠顾、欢迎再次光临！" for c, a in sent]
        assert spoken == expected, f"{len(spoken)} sentences asked for, {len(expected)} payments"
        assert probe.message_boxes() == []
        end = program.memory_kib()

        probe.act("tray-menu", "退出软件")
        assert program.wait_exit(60) == 0
    return {"payments": count, "per_second": per_second, "push_seconds": round(pushed, 1),
            "listed_seconds": round(listed, 1), "memory_kib_idle": idle["rss"], "memory_kib_end": end["rss"],
            "memory_kib_peak": end["peak"]}
