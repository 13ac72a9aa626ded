#!/usr/bin/python3
"""A local speech service for the tests and the demo.

Two endpoints, as the program expects them:
  * token:     HTTPS on localhost:9443, GET /oauth/2.0/token?grant_type=client_credentials&client_id=..&client_secret=..
               answers JSON carrying "access_token" (test certificate for DNS:localhost, made with openssl);
  * synthesis: HTTP on 127.0.0.1:9080, GET /text2audio?tex=..&tok=..&cuid=..&ctp=1&lan=zh&vol=5&per=..
               answers a real MP3 (espeak-ng, then lame) with Content-Type audio/mp3, or a JSON error.
The synthesis port also serves a few plain endpoints for testing the request routine itself:
  /echo (any method: the request as received, as the body; ?cookies=1 adds three Set-Cookie lines),
  /status/NNN, /redirect (302 to /echo), /slow?ms=N (answer late; &stage=body: headers at once, body late).

A control port (127.0.0.1:9081, plain HTTP, never logged) switches failure modes and hands out the log:
  /mode?name=normal|no-token|no-audio|audio-elsewhere|slow|refused|silent[&delay=SECONDS]   (slow: the
  synthesis answers after the delay; refused: both service ports closed, kept-alive connections dropped;
  silent: both service ports take connections and requests and never answer)
  /log, /clear, /cert (the certificate, DER), /ready, /forget (the tokens issued so far become unknown,
  as an expired or revoked token does)

Every request on the two service ports is logged, before it is answered, as
  @@ request N SCHEME PORT
  <request line>
  <header lines as received>
  @@ end
and once its answer has been written, "@@ timing N MILLISECONDS": the time from accepting the connection
(TLS handshake included; for a later request on a kept-alive connection, from its first byte) to the
last byte of the answer, which the benchmark subtracts.

Run:  speech_peer.py serve --state-dir DIR [--demo]     (foreground)
      speech_peer.py start --state-dir DIR [--demo]     (background, returns once ready)
      speech_peer.py stop --state-dir DIR
In demo mode every sentence is synthesised as asked (and cached); in test mode one MP3 is made at start
and served for every request, since espeak-ng and lame are too slow to run per request.
"""
import argparse
import hashlib
import http.server
import json
import os
import random
import select
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time
import urllib.parse
import urllib.request

import certificates

API_KEY = "Qm7rT2vXkP9sLw4hNc8dZb3F"
SECRET = "Wd4kLp8sQz2mVx6nRt9bHc3jFy7gNa5e"
TEST_SENTENCE = "微信收款100.00元！感谢您的惠顾、欢迎再次光临！"
# espeak-ng variants standing in for the service's voices.
VOICES = {0: "cmn+f2", 1: "cmn+m3", 3: "cmn+m1", 4: "cmn+f4"}


class State:
    def __init__(self, args):
        self.args = args
        self.lock = threading.Lock()
        self.mode = "normal"
        self.delay = 0.0
        self.seq = 0
        self.log = []
        self.tokens = set()
        self.audio_cache = {}
        self.log_path = os.path.join(args.state_dir, "peer.log")
        open(self.log_path, "w").close()

    def write_log(self, text):
        with self.lock:
            self.log.append(text)
            with open(self.log_path, "a", encoding="utf-8") as f:
                f.write(text)

    def next_seq(self):
        with self.lock:
            self.seq += 1
            return self.seq


def run_quiet(cmd):
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def synthesise(state_dir, sentence, per):
    """Real Chinese speech as MP3 bytes."""
    name = hashlib.sha1(f"{per}:{sentence}".encode()).hexdigest()[:16]
    wav, mp3 = (os.path.join(state_dir, f"speech-{name}.{ext}") for ext in ("wav", "mp3"))
    if not os.path.exists(mp3):
        run_quiet(["espeak-ng", "-v", VOICES.get(per, "cmn"), "-w", wav, sentence])
        run_quiet(["lame", "--quiet", "-b", "64", wav, mp3 + ".tmp"])
        os.replace(mp3 + ".tmp", mp3)
        os.remove(wav)
    with open(mp3, "rb") as f:
        return f.read()


def new_token():
    return "24.%032x.2592000.%d.282335-%08d" % (random.getrandbits(128), int(time.time()), random.randrange(10**8))


class ServiceHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    scheme = "http"
    state: State = None

    def log_message(self, *args):
        pass

    def setup(self):
        super().setup()
        # The first request of a connection is timed from the accept (TLS handshake included), a later
        # one on the same kept-alive connection from the arrival of its first byte.
        self.started = getattr(accepted, "at", None) or time.perf_counter()
        self.first_request = True

    def handle_one_request(self):
        if not self.first_request:
            pending = isinstance(self.connection, ssl.SSLSocket) and self.connection.pending()
            if not pending:
                select.select([self.connection], [], [])
            self.started = time.perf_counter()
        self.first_request = False
        super().handle_one_request()

    def record_request(self):
        self.seq = self.state.next_seq()
        lines = [f"@@ request {self.seq} {self.scheme} {self.server.server_address[1]}",
                 self.requestline]
        lines += [f"{k}: {v}" for k, v in self.headers.items()]
        lines.append("@@ end")
        self.state.write_log("\n".join(lines) + "\n")

    def answer(self, status, content_type, body, extra_headers=(), pause_before_body=0.0):
        self.send_response(status)
        if content_type:
            self.send_header("Content-Type", content_type)
        for k, v in extra_headers:
            self.send_header(k, v)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if pause_before_body:
            self.wfile.flush()
            time.sleep(pause_before_body)
        if self.command != "HEAD":
            try:
                self.wfile.write(body)
            except OSError:  # the client gave up waiting
                return
        self.wfile.flush()
        elapsed = (time.perf_counter() - self.started) * 1000.0
        self.state.write_log(f"@@ timing {self.seq} {elapsed:.3f}\n")

    def handle_any(self):
        self.record_request()
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        if self.state.mode == "silent":
            return self.hold_silent()
        url = urllib.parse.urlsplit(self.path)
        query = urllib.parse.parse_qs(url.query, keep_blank_values=True)
        route = getattr(self, "route_" + self.scheme)
        route(url.path, query, body)

    do_GET = do_POST = do_HEAD = do_PUT = do_OPTIONS = do_DELETE = do_TRACE = handle_any

    def hold_silent(self):
        """No answer at all while the mode lasts (for at most ten minutes); then the connection is closed."""
        until = time.monotonic() + 600
        while self.state.mode == "silent" and time.monotonic() < until:
            time.sleep(0.1)
        self.close_connection = True

    def delay(self):
        if self.state.mode == "slow" and self.state.delay > 0:
            time.sleep(self.state.delay)

    # ---- token endpoint (HTTPS) --------------------------------------------------------------------
    def route_https(self, path, query, body):
        if path != "/oauth/2.0/token":
            return self.answer(404, "application/json", b'{"error":"not_found"}')
        if self.state.mode == "no-token":
            return self.answer(401, "application/json",
                               b'{"error":"invalid_client","error_description":"unknown client id"}')
        one = lambda k: query.get(k, [""])[0]
        if one("grant_type") != "client_credentials" or one("client_id") != API_KEY or one("client_secret") != SECRET:
            return self.answer(401, "application/json",
                               b'{"error":"invalid_client","error_description":"unknown client id"}')
        token = new_token()
        with self.state.lock:
            self.state.tokens.add(token)
        answer = {"refresh_token": "25." + token[3:], "expires_in": 2592000,
                  "session_key": "9mzdX%d" % random.randrange(10**9),
                  "access_token": token, "scope": "audio_voice_assistant_get audio_tts_post public",
                  "session_secret": "%032x" % random.getrandbits(128)}
        self.answer(200, "application/json", json.dumps(answer, separators=(",", ":")).encode())

    # ---- synthesis endpoint and request-routine helpers (HTTP) ----------------------------------------
    def route_http(self, path, query, body):
        if path == "/text2audio":
            return self.text2audio(query)
        if path == "/echo":
            raw = (self.requestline + "\r\n" + str(self.headers).replace("\n", "\r\n")).encode("latin-1") + body
            cookies = []
            if query.get("cookies") == ["1"]:
                cookies = [("Set-Cookie", "a=2; path=/"), ("Set-Cookie", "d=4"),
                           ("Set-Cookie", "c=deleted; expires=Thu, 01 Jan 1970 00:00:00 GMT")]
            return self.answer(200, "text/plain; charset=latin-1", raw, cookies)
        if path.startswith("/status/"):
            return self.answer(int(path[8:]), "text/plain", b"status")
        if path == "/redirect":
            return self.answer(302, "text/plain", b"", [("Location", "/echo")])
        if path == "/slow":
            pause = int(query.get("ms", ["0"])[0]) / 1000.0
            if query.get("stage") == ["body"]:
                # Headers at once, the body late: a stall while the answer is being received.
                return self.answer(200, "text/plain", b"slow", pause_before_body=pause)
            time.sleep(pause)
            return self.answer(200, "text/plain", b"slow")
        self.answer(404, "text/plain", b"not found")

    def text2audio(self, query):
        self.delay()
        one = lambda k: query.get(k, [""])[0]
        with self.state.lock:
            known = one("tok") in self.state.tokens
        if self.state.mode == "no-audio" or not known:
            error = {"err_no": 502, "err_msg": "access token invalid or no longer valid", "err_subcode": 16,
                     "tts_logid": random.randrange(10**10)}
            return self.answer(200, "application/json", json.dumps(error).encode())
        try:
            per = int(one("per"))
        except ValueError:
            per = 0
        if self.state.args.demo:
            audio = synthesise(self.state.args.state_dir, one("tex"), per)
        else:
            audio = self.state.test_audio
        if self.state.mode == "audio-elsewhere":
            return self.answer(200, "application/octet-stream", audio, [("X-Audio-Format", "audio/mp3")])
        self.answer(200, "audio/mp3", audio)


# When the connection being served was accepted, per serving thread.
accepted = threading.local()


class TimedServer(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    tls = None

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.open_connections = set()

    def finish_request(self, request, client_address):
        started = time.perf_counter()
        if self.tls:
            try:
                request = self.tls.wrap_socket(request, server_side=True)
            except (ssl.SSLError, OSError):
                return
        self.open_connections.add(request)
        accepted.at = started
        try:
            self.RequestHandlerClass(request, client_address, self)
        finally:
            self.open_connections.discard(request)

    def drop_connections(self):
        """Ends the kept-alive connections too, so that a client's pooled connection cannot get through."""
        for request in list(self.open_connections):
            try:
                request.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


class Services:
    """The two service listeners, which the refused mode closes and the other modes reopen."""

    def __init__(self, state, tls):
        self.state, self.tls, self.servers = state, tls, []

    def open(self):
        if self.servers:
            return
        a = self.state.args
        for scheme, host, port in (("https", a.token_host, a.token_port), ("http", a.speech_host, a.speech_port)):
            handler = type(f"{scheme}Handler", (ServiceHandler,), {"scheme": scheme, "state": self.state})
            server = TimedServer((host, port), handler)
            server.tls = self.tls if scheme == "https" else None
            threading.Thread(target=server.serve_forever, daemon=True).start()
            self.servers.append(server)

    def close(self):
        for server in self.servers:
            server.shutdown()
            server.server_close()
            server.drop_connections()
        self.servers = []


def control_handler(state, services, der):
    class Control(http.server.BaseHTTPRequestHandler):
        def log_message(self, *args):
            pass

        def do_GET(self):
            url = urllib.parse.urlsplit(self.path)
            query = urllib.parse.parse_qs(url.query)
            body = b"ok"
            if url.path == "/mode":
                name = query.get("name", ["normal"])[0]
                state.mode = name
                state.delay = float(query.get("delay", ["0"])[0])
                if name == "refused":
                    services.close()
                else:
                    services.open()
            elif url.path == "/log":
                with state.lock:
                    body = "".join(state.log).encode("utf-8")
            elif url.path == "/clear":
                with state.lock:
                    state.log.clear()
            elif url.path == "/forget":
                with state.lock:
                    state.tokens.clear()
            elif url.path == "/cert":
                body = der
            elif url.path != "/ready":
                self.send_error(404)
                return
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

    return Control


def serve(args):
    os.makedirs(args.state_dir, exist_ok=True)
    state = State(args)
    cert, key, der_path = certificates.make_certificate(args.state_dir)
    with open(der_path, "rb") as f:
        der = f.read()
    state.test_audio = synthesise(args.state_dir, TEST_SENTENCE, 0)
    tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    tls.load_cert_chain(cert, key)
    services = Services(state, tls)
    services.open()
    control = http.server.ThreadingHTTPServer(("127.0.0.1", args.control_port),
                                              control_handler(state, services, der))
    control.daemon_threads = True
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    print(f"speech peer ready: token https://localhost:{args.token_port}, synthesis http://{args.speech_host}:"
          f"{args.speech_port}, control http://127.0.0.1:{args.control_port}", flush=True)
    control.serve_forever()


def control_get(args, path, timeout=2):
    with urllib.request.urlopen(f"http://127.0.0.1:{args.control_port}{path}", timeout=timeout) as r:
        return r.read()


def start(args):
    os.makedirs(args.state_dir, exist_ok=True)
    stop(args)
    cmd = [sys.executable, os.path.abspath(__file__), "serve"] + forwarded(args)
    out = open(os.path.join(args.state_dir, "peer.out"), "w")
    proc = subprocess.Popen(cmd, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                            start_new_session=True)
    with open(os.path.join(args.state_dir, "peer.pid"), "w") as f:
        f.write(str(proc.pid))
    deadline = time.time() + 120  # the first MP3 and certificate take a few seconds
    while time.time() < deadline:
        if proc.poll() is not None:
            sys.exit("speech peer ended while starting; see " + out.name)
        try:
            control_get(args, "/ready")
            print("speech peer started, pid", proc.pid)
            return
        except OSError:
            time.sleep(0.2)
    sys.exit("speech peer did not become ready")


def stop(args):
    pid_file = os.path.join(args.state_dir, "peer.pid")
    try:
        with open(pid_file) as f:
            pid = int(f.read())
    except (OSError, ValueError):
        return
    try:
        os.kill(pid, signal.SIGTERM)
        for _ in range(50):
            os.kill(pid, 0)
            time.sleep(0.1)
    except ProcessLookupError:
        pass
    os.remove(pid_file)


def forwarded(args):
    out = ["--state-dir", args.state_dir, "--token-port", str(args.token_port), "--speech-port",
           str(args.speech_port), "--control-port", str(args.control_port), "--token-host", args.token_host,
           "--speech-host", args.speech_host]
    return out + (["--demo"] if args.demo else [])


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("command", choices=["serve", "start", "stop"])
    p.add_argument("--state-dir", required=True)
    p.add_argument("--token-host", default="127.0.0.1")
    p.add_argument("--token-port", type=int, default=9443)
    p.add_argument("--speech-host", default="127.0.0.1")
    p.add_argument("--speech-port", type=int, default=9080)
    p.add_argument("--control-port", type=int, default=9081)
    p.add_argument("--demo", action="store_true")
    args = p.parse_args()
    args.state_dir = os.path.abspath(args.state_dir)
    {"serve": serve, "start": start, "stop": stop}[args.command](args)


if __name__ == "__main__":
    main()
