#!/usr/bin/python3
"""Figures of the real Kassaro.exe under Wine, for scripts/bench: start-up to the window shown, a payment
frame to its row listed, a payment frame to its sound starting (with the local speech service, and with
the counter's speech on the hub, its sentence cached), the memory of an idle program, and the full
busy-counter run. Figures only: nothing here passes or fails on a time.

Clocks: the probe stamps what it sees with Windows' system time, which under Wine is the Unix clock the
notification peer stamps its sends with. Playback start is the moment the program's sound starts reaching
the captured sound (ALSA file output paced by a null device), read every two milliseconds.
"""
import argparse
import json
import statistics
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "hub" / "tests"))
from hubproc import Hub  # noqa: E402
from kassaro_e2e import HUB_SPEECH, Session, wait_until  # noqa: E402
from load import run_load  # noqa: E402

SEP = "【字段分隔符】"
LOGIN = {"登陆": {"是否记住": "1", "账号": "13900003333", "密码": "bench-pw"}}
LIST = "超级列表框_微信收款"


def summary(values, unit="ms"):
    values = sorted(values)
    return {"median": round(statistics.median(values)), "min": round(values[0]), "max": round(values[-1]),
            "runs": len(values), "unit": unit}


def probe_in_background(session, *args):
    """A probe command started now, answering later (its start under Wine takes a while)."""
    out = session.folder / f"probe-{time.monotonic_ns()}.out"
    handle = open(out, "wb")
    process = session.wine.popen(session.probe_exe, *[str(a) for a in args], stdout=handle,
                                 stderr=subprocess.DEVNULL)
    return process, handle, out


def answer_of(started, timeout=120):
    process, handle, out = started
    process.wait(timeout=timeout)
    handle.close()
    lines = out.read_text(errors="replace").strip().splitlines()
    if process.returncode != 0 or not lines:
        raise RuntimeError(f"probe failed: {out.read_text(errors='replace')}")
    return json.loads(lines[-1])


def start_up(runs):
    """From the launcher's CreateProcess to the main window visible."""
    figures = []
    with Session("bench-start-up", time_limit=120 + runs * 60) as s:
        program = s.new_program()
        for _ in range(runs):
            waiting = probe_in_background(s, "wait-window", "主窗口", 60000)
            time.sleep(2)  # the probe is up and polling before the program starts
            program.start(wait_window=False)
            shown = answer_of(waiting)
            figures.append(shown["at"] - program.launched_at * 1000)
            s.probe.act("tray-menu", "退出软件")
            program.wait_exit(30)
    return summary(figures)


def size_of(path):
    try:
        return path.stat().st_size
    except OSError:
        return 0


def playback_started(capture, since, timeout=20):
    """When the sound of a payment sent at `since` started, or None. The ALSA file output starts its
    file afresh each time the program opens the sound device (each sentence), then fills it as the
    sound plays: the first data after a fresh start is the moment playback began."""
    last = size_of(capture)
    fresh = last == 0
    while time.time() - since < timeout:
        now = size_of(capture)
        fresh = fresh or now < last
        if fresh and now > 0:
            return time.time()
        last = now
        time.sleep(0.002)
    return None


def payments(runs):
    """Payment frame sent to row listed, and to sound starting, with the local speech service."""
    listed, playing, idle = [], [], None
    with Session("bench-payments", speech=True, capture_sound=True, time_limit=180 + runs * 30) as s:
        program = s.start_program(ini=LOGIN)
        wait_until(lambda: s.probe.text("标签_监控状态") == "监控状态：√", 30, what="the login")
        time.sleep(10)
        idle = program.memory_kib()
        for i in range(runs):
            waiting = probe_in_background(s, "wait-rows", LIST, i + 1, 60000)
            time.sleep(5)  # the probe is polling, and the sentence before has played
            sent = time.time()
            s.notify.push(SEP.join(["收到收款", "微信收款", "%d.%02d" % (i + 1, i)]))
            started = playback_started(s.capture_file, sent)
            if started is not None:
                playing.append((started - sent) * 1000)
            listed.append(answer_of(waiting)["at"] - sent * 1000)
        s.probe.act("tray-menu", "退出软件")
        program.wait_exit(30)
    return summary(listed), summary(playing) if playing else None, idle


def payments_through_hub(runs):
    """A payment posted to the hub's intake to its sound starting, with the build whose speech is the
    hub's: the hub pushes the frame at once, the counter asks the hub for the token and the sentence, which
    the hub has cached (the same amount each time; the first run fills the cache and is not counted)."""
    playing = []
    with Session("bench-hub-speech", notify=False, capture_sound=True, exe="KASSARO_HUB_EXE",
                 time_limit=180 + runs * 30) as s:
        hub = Hub(name="bench-hub", data=s.folder / "hub", listen="127.0.0.1:9002", config=HUB_SPEECH).start()
        try:
            account = LOGIN["登陆"]
            key = hub.add_account(account["账号"], account["密码"])
            program = s.start_program(ini=LOGIN)
            # The phone has not reported to this hub: the login is what there is to wait for.
            wait_until(lambda: s.probe.text("分组框2") == "登陆---登陆成功", 30, what="the login")
            for i in range(runs + 1):
                time.sleep(5)  # the sentence before has played
                sent = time.time()
                hub.post("/api/v1/payments", {"channel": "wechat", "amount": "8.88", "id": f"bench-{i}"}, key=key)
                started = playback_started(s.capture_file, sent)
                if i and started is not None:
                    playing.append((started - sent) * 1000)
            s.probe.act("tray-menu", "退出软件")
            program.wait_exit(30)
        finally:
            hub.stop()
    return summary(playing) if playing else None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=10)
    parser.add_argument("--load", type=int, default=2000, help="payments of the busy-counter run (0: none)")
    parser.add_argument("--out", help="write the figures here as JSON")
    args = parser.parse_args()

    figures = {"start_up_to_window_shown": start_up(max(3, args.runs // 2))}
    print("start-up:", figures["start_up_to_window_shown"], flush=True)
    listed, playing, idle = payments(args.runs)
    figures.update({"payment_frame_to_row_listed": listed, "payment_frame_to_playback_started": playing,
                    "idle_memory_kib": idle})
    print("payment to row listed:", listed, "\npayment to playback started:", playing, "\nidle memory (KiB):", idle,
          flush=True)
    figures["payment_to_playback_started_through_hub_cached"] = payments_through_hub(args.runs)
    print("payment to playback started, speech through the hub (cached):",
          figures["payment_to_playback_started_through_hub_cached"], flush=True)
    if args.load:
        figures["load"] = run_load(args.load)
        print("load:", figures["load"], flush=True)
    if args.out:
        Path(args.out).write_text(json.dumps(figures, indent=2, ensure_ascii=False) + "\n")


if __name__ == "__main__":
    main()
