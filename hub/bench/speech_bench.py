#!/usr/bin/python3
"""Figures of the hub's speech service on loopback, for scripts/bench-hub, never pass or fail: a cached
sentence's answer under a steady 100 requests a second (each on a connection of its own, as the counter
asks), and a first rendering with the packaged espeak-ng engine.
    speech_bench.py --out FILE [--rate 100] [--seconds 10] [--renderings 5]"""
import argparse
import asyncio
import http.client
import json
import statistics
import sys
import time
from pathlib import Path

TOP = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(TOP / "hub" / "tests"))
from hubproc import Hub  # noqa: E402

CLIENT = ("bench-client", "bench-secret")


def quoted(text):
    return "".join("%%%02X" % b for b in text.encode())


def speak(hub, token, sentence):
    conn = http.client.HTTPConnection(hub.host, hub.port, timeout=60)
    started = time.perf_counter()
    conn.request("GET", f"/text2audio?tex={quoted(sentence)}&tok={token}&cuid=0123456789&ctp=1&lan=zh&vol=5&per=0")
    res = conn.getresponse()
    body = res.read()
    elapsed = (time.perf_counter() - started) * 1000
    conn.close()
    if res.status != 200 or res.getheader("Content-Type") != "audio/mp3":
        raise RuntimeError(f"no audio: {res.status} {body[:200]!r}")
    return elapsed


def percentiles(values):
    values = sorted(values)
    at = lambda q: values[min(len(values) - 1, int(q * len(values)))]
    return {"p50_ms": round(statistics.median(values), 3), "p99_ms": round(at(0.99), 3),
            "max_ms": round(values[-1], 3), "count": len(values)}


async def measure(hub, args):
    async with hub.counter() as counter:
        await counter.login("speech0001", "bench-pass")
        status, answer, _ = hub.request("GET", "/oauth/2.0/token?grant_type=client_credentials"
                                               f"&client_id={CLIENT[0]}&client_secret={CLIENT[1]}")
        token = answer["access_token"]
        loop = asyncio.get_running_loop()
        first = [await loop.run_in_executor(None, speak, hub, token, f"微信收款{i + 1}.00元！感谢您的惠顾、欢迎再次光临！")
                 for i in range(args.renderings)]
        sentence = "支付宝到账100.00元！感谢您的惠顾、欢迎再次光临！"
        await loop.run_in_executor(None, speak, hub, token, sentence)

        def steady():
            times, period = [], 1.0 / args.rate
            start = time.perf_counter()
            for i in range(int(args.rate * args.seconds)):
                delay = start + i * period - time.perf_counter()
                if delay > 0:
                    time.sleep(delay)
                times.append(speak(hub, token, sentence))
            return times

        cached = await loop.run_in_executor(None, steady)
        return {"first_rendering_command": percentiles(first), "cached_answer": percentiles(cached),
                "rate_per_second": args.rate}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", required=True)
    parser.add_argument("--rate", type=int, default=100)
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--renderings", type=int, default=5)
    args = parser.parse_args()
    config = {"speech_engine": "command", "speech_command": str(TOP / "hub" / "packaging" / "speak-espeak"),
              "speech_client_id": CLIENT[0], "speech_client_secret": CLIENT[1],
              "speech_rate_per_second": 100000.0, "speech_rate_burst": 100000}
    with Hub(config, name="speech-bench") as hub:
        hub.add_account("speech0001", "bench-pass")
        figures = asyncio.run(measure(hub, args))
    Path(args.out).write_text(json.dumps(figures, indent=2) + "\n")
    print(json.dumps(figures))


if __name__ == "__main__":
    main()
