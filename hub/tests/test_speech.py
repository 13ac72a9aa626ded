#!/usr/bin/python3
"""The hub as its counters' speech service: the token and synthesis endpoints as the counter calls them,
with the project's speech peer as the cloud engine's upstream, and the packaged espeak-ng engine."""
import asyncio
import concurrent.futures
import http.client
import json
import os
import re
import socket
import subprocess
import sys
import tempfile
import unittest
import urllib.parse
import urllib.request
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests" / "peers"))
from hubproc import TOP, Hub  # noqa: E402

PEER = TOP / "tests" / "peers" / "speech_peer.py"
CLIENT = {"speech_client_id": "shop-counters-0001", "speech_client_secret": "s3cret-of-the-provider"}
ACCOUNT, PASSWORD = "shop0001", "secret01"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def quoted(text):
    """Every byte of the UTF-8 form as %XX, as the counter sends a sentence."""
    return "".join("%%%02X" % b for b in text.encode())


class Peer:
    """The speech peer on ports of its own, as the baidu engine's upstream."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="speech-peer-")
        self.token_port, self.speech_port, self.control_port = free_port(), free_port(), free_port()
        self.args = ["--state-dir", self.dir, "--token-host", "localhost", "--token-port", str(self.token_port),
                     "--speech-port", str(self.speech_port), "--control-port", str(self.control_port)]
        subprocess.run(["/usr/bin/python3", str(PEER), "start", *self.args], check=True, stdout=subprocess.DEVNULL)

    def stop(self):
        subprocess.run(["/usr/bin/python3", str(PEER), "stop", *self.args], check=True)

    def control(self, path):
        with urllib.request.urlopen(f"http://127.0.0.1:{self.control_port}{path}", timeout=10) as r:
            return r.read()

    def requests(self, path):
        """How many requests for the path the upstream has had."""
        log = self.control("/log").decode()
        return len(re.findall(r"^@@ request \d+ .*\n\w+ " + re.escape(path), log, re.M))

    def config(self):
        return {"speech_engine": "baidu", "baidu_api_key": "Qm7rT2vXkP9sLw4hNc8dZb3F",
                "baidu_secret_key": "Wd4kLp8sQz2mVx6nRt9bHc3jFy7gNa5e",
                "baidu_token_url": f"https://localhost:{self.token_port}/oauth/2.0/token",
                "baidu_tts_url": f"http://127.0.0.1:{self.speech_port}/text2audio",
                "speech_ca_file": os.path.join(self.dir, "cert.pem"), "speech_rate_per_second": 100,
                "speech_rate_burst": 100, **CLIENT}


def token_of(hub, client=CLIENT):
    status, body, _ = hub.request("GET", "/oauth/2.0/token?grant_type=client_credentials&client_id=" +
                                  client["speech_client_id"] + "&client_secret=" + client["speech_client_secret"])
    return status, body


def speak(hub, token, sentence, per=0, encode=quoted):
    """The counter's synthesis request: (status, the MP3 or the parsed error, headers)."""
    conn = http.client.HTTPConnection(hub.host, hub.port, timeout=30)
    conn.request("GET", f"/text2audio?tex={encode(sentence)}&tok={token}&cuid=0123456789&ctp=1&lan=zh&vol=5"
                        f"&per={per}")
    res = conn.getresponse()
    body = res.read()
    conn.close()
    headers = dict(res.getheaders())
    return res.status, (body if headers.get("Content-Type") == "audio/mp3" else json.loads(body)), headers


def sign_in(hub):
    """A merchant's page session: the cookie header for the hub's pages."""
    origin = f"http://{hub.host}:{hub.port}"
    status, _, headers = hub.request("POST", "/login", f"account={ACCOUNT}&password={PASSWORD}".encode(),
                                     {"Content-Type": "application/x-www-form-urlencoded", "Origin": origin})
    assert status == 303, status
    return {"Cookie": headers["Set-Cookie"].split(";")[0]}


async def logged_in(hub, work):
    """Runs work() while a counter is logged in from this address."""
    async with hub.counter() as c:
        assert await c.login(ACCOUNT, PASSWORD) == "登录成功！"
        return await asyncio.get_running_loop().run_in_executor(None, work)


class Baidu(unittest.TestCase):
    def setUp(self):
        self.peer = Peer()
        self.addCleanup(self.peer.stop)

    def assert_refused(self, answer, number):
        status, body, headers = answer
        self.assertEqual((status, headers["Content-Type"]), (number, "application/json"))
        self.assertEqual(body["err_no"], number)
        self.assertTrue(body["err_msg"])

    def assert_audio(self, answer):
        status, body, headers = answer
        self.assertEqual((status, headers["Content-Type"]), (200, "audio/mp3"), body)

    def test_tokens_sentences_cache_and_failures(self):
        with Hub(self.peer.config()) as hub:
            hub.add_account(ACCOUNT, PASSWORD)
            # Wrong client credentials, Baidu's way; the right ones, by GET and by POST form.
            status, body = token_of(hub, {"speech_client_id": "Qm7rT2vXkP9sLw4hNc8dZb3F",
                                          "speech_client_secret": "Wd4kLp8sQz2mVx6nRt9bHc3jFy7gNa5e"})
            self.assertEqual((status, body), (401, {"error": "invalid_client", "error_description": "unknown client id"}))
            status, body = token_of(hub)
            self.assertEqual((status, body["expires_in"]), (200, 2592000))
            token = body["access_token"]
            form = urllib.parse.urlencode({"grant_type": "client_credentials", "client_id": CLIENT["speech_client_id"],
                                           "client_secret": CLIENT["speech_client_secret"]}).encode()
            status, body, _ = hub.request("POST", "/oauth/2.0/token", form,
                                          {"Content-Type": "application/x-www-form-urlencoded"})
            self.assertEqual(status, 200)
            self.assertNotEqual(body["access_token"], token)

            # No counter logged in from this address: the engine's quota is not for anyone.
            self.assert_refused(speak(hub, token, "微信收款1.00元"), 502)

            def with_counter():
                self.assert_refused(speak(hub, "kst.99999999999999.x.forged", "微信收款1.00元"), 502)
                self.assert_refused(speak(hub, "", "微信收款1.00元"), 502)
                self.assert_refused(speak(hub, token, "长" * 513), 513)
                self.assert_refused(speak(hub, token, "x", encode=lambda s: "%FF%FE"), 513)
                self.assert_refused(speak(hub, token, "1", encode=lambda s: s + "&ctp=2"), 501)

                # One upstream token for many sentences; "&", "+" and "%" reach it intact.
                for i, sentence in enumerate(["支付宝到账1.00元", "微信收款2.00元", "100% & 1+1"]):
                    self.assert_audio(speak(hub, token, sentence, per=i))
                self.assertEqual((self.peer.requests("/oauth/2.0/token"), self.peer.requests("/text2audio")), (1, 3))
                # Again, and encoded twice as Baidu also takes it: from the cache, no upstream request.
                self.assert_audio(speak(hub, token, "支付宝到账1.00元"))
                self.assert_audio(speak(hub, token, "支付宝到账1.00元", encode=lambda s: quoted(quoted(s))))
                self.assertEqual(self.peer.requests("/text2audio"), 3)

                # Ten at once for one new sentence: one upstream request.
                self.peer.control("/mode?name=slow&delay=1")
                with concurrent.futures.ThreadPoolExecutor(10) as pool:
                    answers = list(pool.map(lambda _: speak(hub, token, "微信收款10.00元"), range(10)))
                for answer in answers:
                    self.assert_audio(answer)
                self.assertEqual(self.peer.requests("/text2audio"), 4)
                self.peer.control("/mode?name=normal")

                # The upstream calls its token invalid: a new one, once, and the sentence still comes.
                self.peer.control("/forget")
                self.assert_audio(speak(hub, token, "微信收款3.00元"))
                self.assertEqual((self.peer.requests("/oauth/2.0/token"), self.peer.requests("/text2audio")), (2, 6))

                # The upstream down: 503 in Baidu's form, the reason in the log, counted, on the merchant's page.
                self.peer.control("/mode?name=refused")
                self.assert_refused(speak(hub, token, "微信收款4.00元"), 503)
                hub.wait_log(r"warn speech engine failed engine=.* reason=.*(refused|Connection)")
                _, page, _ = hub.request("GET", "/", headers=sign_in(hub))
                self.assertRegex(page, r"语音服务异常：.*(refused|Connection)")

            asyncio.run(logged_in(hub, with_counter))
            self.assertEqual(hub.metric('kassaro_hub_speech_answers_total{source="engine"}'), 14)
            self.assertEqual(hub.metric('kassaro_hub_speech_answers_total{source="cache"}'), 2)
            self.assertEqual(hub.metric('kassaro_hub_speech_answers_total{source="error"}'), 7)

            # After a restart, with the upstream still down: the token still holds, the sentence is cached.
            hub.stop()
            hub.start()
            asyncio.run(logged_in(hub, lambda: self.assert_audio(speak(hub, token, "微信收款2.00元", per=1))))


class Engines(unittest.TestCase):
    def test_packaged_espeak_script_and_off(self):
        script = TOP / "hub" / "packaging" / "speak-espeak"
        with Hub({"speech_engine": "command", "speech_command": str(script), **CLIENT}) as hub:
            hub.add_account(ACCOUNT, PASSWORD)
            token = token_of(hub)[1]["access_token"]
            status, mp3, headers = asyncio.run(logged_in(hub, lambda: speak(hub, token, "微信收款100.00元", per=1)))
            self.assertEqual((status, headers["Content-Type"]), (200, "audio/mp3"))
            with tempfile.TemporaryDirectory() as scratch:
                (Path(scratch) / "a.mp3").write_bytes(mp3)
                subprocess.run(["lame", "--quiet", "--decode", "a.mp3", "a.wav"], cwd=scratch, check=True)
                stat = subprocess.run(["sox", "a.wav", "-n", "stat"], cwd=scratch, capture_output=True,
                                      text=True).stderr
            self.assertGreater(float(re.search(r"RMS\s+amplitude:\s+(\S+)", stat).group(1)), 0.01, stat)
        with Hub({"speech_engine": "command", "speech_command": "echo 'no voice here' >&2; exit 3", **CLIENT}) as hub:
            hub.add_account(ACCOUNT, PASSWORD)
            token = token_of(hub)[1]["access_token"]
            status, body, _ = asyncio.run(logged_in(hub, lambda: speak(hub, token, "微信收款1.00元")))
            self.assertEqual((status, body["err_no"]), (503, 503))
            hub.wait_log(r"warn speech engine failed .*reason=\"?exit status 3: no voice here")
        with Hub({"speech_engine": "off", **CLIENT}) as hub:
            status, body = token_of(hub)
            self.assertEqual((status, body["err_no"]), (503, 503))


if __name__ == "__main__":
    unittest.main()
