"""The real Kassaro.exe under Wine, for end-to-end tests.

A Session is one test's world: a fresh folder for the program (a copy of Kassaro.exe and, if the test
gives one, its pz.ini), a prefix with no autostart value left over and no Wine process running, the
local notification server (and, if asked, the speech service), an X display, and a hard time limit
after which every Wine process of the prefix is ended. The program runs on Wine's virtual desktop
"kassaro" (frames, taskbar, notification area) and is read and worked through kassaro_probe.

    with Session("start-and-exit") as s:
        program = s.start_program()
        s.probe.text("标签_微信合计")
        s.probe.act("tray-menu", "退出软件")
        assert program.wait_exit(30) == 0

Paths come from the environment when ctest passes them (KASSARO_EXE, KASSARO_PROBE,
KASSARO_TRUST_CERT, KASSARO_END_HELPER), else from build/win64-local. WINEPREFIX defaults to build/wineprefix, as for
scripts/wine-run; DISPLAY is used when set, else the session starts an Xvfb of its own. Set
KASSARO_E2E_KEEP=1 to keep each session's folder (it is kept anyway when the test fails).
"""
import array
import contextlib
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse
import urllib.request
from pathlib import Path

TOP = Path(__file__).resolve().parents[2]
PEERS = TOP / "tests" / "peers"
# The hub's speech for the builds that speak through it: the packaged espeak-ng engine, for the client id
# and secret those builds carry.
HUB_SPEECH = {"speech_engine": "command", "speech_command": str(TOP / "hub" / "packaging" / "speak-espeak"),
              "speech_client_id": "Qm7rT2vXkP9sLw4hNc8dZb3F",
              "speech_client_secret": "Wd4kLp8sQz2mVx6nRt9bHc3jFy7gNa5e"}
PYTHON = "/usr/bin/python3"  # Debian's, with python3-websockets
WINE_RUN = str(TOP / "scripts" / "wine-run")
WINESERVER = "/usr/lib/wine/wineserver64"
SCREENSHOTS = TOP / "build" / "screenshots"  # the pictures a test keeps of the program as it looks

DESKTOP = "kassaro"
DESKTOP_SIZE = "1024x768"
RUN_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Run"
RUN_VALUE = "我的启动项"
DESKTOPS_KEY = r"HKCU\Software\Wine\Explorer\Desktops"
BROWSER_KEY = r"HKCU\Software\Wine\WineBrowser"

# Exit codes of kassaro_probe.
PROBE_OK, PROBE_NOT_FOUND, PROBE_USAGE, PROBE_NO_ANSWER, PROBE_FAILED, PROBE_REFUSED = range(6)


class E2EError(AssertionError):
    """Something the harness needed did not happen (a peer did not start, a wait ran out)."""


class TimeLimit(BaseException):
    """The session's hard time limit has passed. Not an Exception: no test code may swallow it."""


def binary(env_name, file_name):
    path = os.environ.get(env_name) or str(TOP / "build" / "win64-local" / "bin" / file_name)
    if not os.path.isfile(path):
        raise E2EError(f"{file_name} not found at {path}: build win64-local first")
    return str(Path(path).resolve())


def windows_path(unix_path):
    """The Wine path of a Unix path, through drive Z:."""
    return "Z:" + str(Path(unix_path).resolve()).replace("/", "\\")


def decode(data):
    """Wine's console programs write the ANSI code page (GBK) or UTF-8, depending on the program."""
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        return data.decode("gbk", errors="replace")


def ensure_ports_free(ports, who):
    """A peer's fixed ports must be free: a peer already there (another test run) would answer instead."""
    busy = []
    for port in ports:
        with socket.socket() as sock:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            try:
                sock.bind(("127.0.0.1", port))
            except OSError:
                busy.append(port)
    if busy:
        raise E2EError(f"{who}: port(s) {busy} already in use by another process")


def wait_until(condition, timeout, interval=0.1, what="condition"):
    """Polls until condition() is true; returns its value, or raises E2EError after timeout seconds."""
    end = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() >= end:
            raise E2EError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(interval)


# ---------------------------------------------------------------- Wine

class Wine:
    """Wine in one prefix, with code page 936 and no debug output."""

    def __init__(self, prefix):
        self.prefix = str(prefix)
        self.env = dict(os.environ, WINEPREFIX=self.prefix, LC_ALL="zh_CN.UTF-8", WINEDEBUG="-all",
                        WINELOADER="/usr/lib/wine/wine64")

    def run(self, *args, timeout=60, env=None, cwd=None):
        """Runs a Windows program to its end; returns the CompletedProcess (bytes).

        Its output goes through files, not pipes: a process that Wine starts on the way (a desktop's
        shell, a service) inherits the output and would keep a pipe open long after the program ended.
        """
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            process = subprocess.Popen([WINE_RUN, *args], env=env or self.env, cwd=cwd, stdin=subprocess.DEVNULL,
                                       stdout=out, stderr=err)
            try:
                process.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
                raise E2EError(f"{args[0]} did not end within {timeout} s")
            out.seek(0)
            err.seek(0)
            return subprocess.CompletedProcess(args, process.returncode, out.read(), err.read())

    def popen(self, *args, env=None, cwd=None, **kwargs):
        return subprocess.Popen([WINE_RUN, *args], env=env or self.env, cwd=cwd, stdin=subprocess.DEVNULL,
                                **kwargs)

    def kill(self):
        """Ends every Wine process of this prefix (and only of this prefix)."""
        subprocess.run([WINESERVER, "-k"], env=self.env, capture_output=True, timeout=30)
        # The server is gone once -w returns (at once when none runs).
        subprocess.run([WINESERVER, "-w"], env=self.env, capture_output=True, timeout=30)

    # The registry through reg.exe; value names and data are passed as Unicode on the command line.
    def reg_query(self, key, name):
        """The value's data, or None when the value does not exist."""
        r = self.run("reg", "query", key, "/v", name, timeout=60)
        if r.returncode != 0:
            return None
        for line in decode(r.stdout).splitlines():
            parts = line.strip().split(None, 2)
            if len(parts) >= 2 and parts[0] == name and parts[1].startswith("REG_"):
                return parts[2] if len(parts) == 3 else ""
        return ""

    def reg_add(self, key, name, data):
        r = self.run("reg", "add", key, "/v", name, "/d", data, "/f", timeout=60)
        if r.returncode != 0:
            raise E2EError(f"reg add {key} {name} failed: {decode(r.stderr)}")

    def reg_delete(self, key, name):
        self.run("reg", "delete", key, "/v", name, "/f", timeout=60)

    def user_temp_dirs(self):
        """The Unix paths where the prefix user's temporary directory (GetTempPath) may lie."""
        users = Path(self.prefix) / "drive_c" / "users"
        found = [d for pattern in ("*/Temp", "*/AppData/Local/Temp") for d in sorted(users.glob(pattern))]
        return [d for d in found if d.is_dir() and d.relative_to(users).parts[0] != "Public"]


# ---------------------------------------------------------------- the probe

class ProbeResult:
    def __init__(self, args, completed):
        self.args = args
        self.code = completed.returncode
        self.out = completed.stdout.decode("utf-8", errors="replace")
        self.err = completed.stderr.decode("utf-8", errors="replace")

    @property
    def ok(self):
        return self.code == PROBE_OK

    def json(self):
        return json.loads(self.out.strip().splitlines()[-1])

    def __repr__(self):
        return f"probe {' '.join(self.args)} -> {self.code}: {self.out.strip()} {self.err.strip()}"


class Probe:
    """kassaro_probe on the program's desktop. Reading calls raise E2EError unless the probe succeeds
    (or, where a method says so, unless the thing is simply not there)."""

    def __init__(self, wine, exe):
        self.wine = wine
        self.exe = exe

    def __call__(self, *args, timeout=60):
        args = [str(a) for a in args]
        result = ProbeResult(args, self.wine.run(self.exe, *args, timeout=timeout))
        if result.code == PROBE_NOT_FOUND and not result.out and not result.err:
            # The probe says why whenever it fails, so an end with nothing said is Wine ending the process
            # (seen once, on a loaded machine, while the program was running). One more try tells that
            # apart from a real answer: a program that is gone is then reported as gone.
            print(f"e2e: the probe ended silently ({' '.join(args)}); tried again", file=sys.stderr)
            result = ProbeResult(args, self.wine.run(self.exe, *args, timeout=timeout))
        return result

    def _ok(self, *args, timeout=60):
        r = self(*args, timeout=timeout)
        if not r.ok:
            raise E2EError(repr(r))
        return r

    # reading
    def window(self, name="主窗口", pid=None):
        """The window's state (hwnd, pid, title, visible, enabled, state, topmost, rect, screen and, for a
        window of the program's, the rect its definition gives it, design, and the names of the controls
        it defines that are not there, missing) or None. pid: of that copy."""
        r = self(*(["--pid", pid] if pid is not None else []), "window", name)
        if r.code == PROBE_NOT_FOUND:
            return None
        if not r.ok:
            raise E2EError(repr(r))
        return r.json()

    def get(self, control, window="主窗口"):
        return self._ok("get", window, control).json()

    def text(self, control, window="主窗口"):
        out = self._ok("text", window, control).out
        return out[:-1] if out.endswith("\n") else out

    def tree(self, window="主窗口"):
        return {c["name"]: c for c in self._ok("tree", window).json()}

    def rows(self, list_name, window="主窗口"):
        """The list's rows, each a list of cell texts, top to bottom."""
        return self._ok("rows", window, list_name).json()["rows"]

    def columns(self, list_name, window="主窗口"):
        return self._ok("columns", window, list_name).json()

    def message_boxes(self):
        r = self("msgbox")
        if r.code not in (PROBE_OK, PROBE_NOT_FOUND):
            raise E2EError(repr(r))
        return r.json()

    def tray_icon(self, hwnd=None):
        """Whether the main window's notification icon exists (hwnd: a window that may be gone)."""
        r = self("tray", *(["--hwnd", hwnd] if hwnd is not None else []))
        if r.code not in (PROBE_OK, PROBE_NOT_FOUND):
            raise E2EError(repr(r))
        return r.json()["icon"]

    def focus(self, window="主窗口"):
        """The name of the control that has the keyboard focus, or "" for none of the window's."""
        return self._ok("focus", window).json()["focus"]

    def tooltip(self):
        """The tooltip that the taskbar shows for our icon while the pointer rests on it."""
        return self._ok("tooltip").json()["text"]

    def menu_rect(self):
        """[left, top, width, height] of the open pop-up menu."""
        return self._ok("menu").json()["rect"]

    # waiting (milliseconds are the probe's, seconds are ours)
    def wait_window(self, name="主窗口", timeout=30):
        r = self("wait-window", name, int(timeout * 1000), timeout=timeout + 30)
        if not r.ok:
            raise E2EError(f"window {name} did not appear: {r!r}")
        return r.json()

    def wait_gone(self, name, timeout=30):
        r = self("wait-gone", name, int(timeout * 1000), timeout=timeout + 30)
        if not r.ok:
            raise E2EError(f"window {name} did not go: {r!r}")

    def wait_rows(self, list_name, count, timeout=30, window="主窗口"):
        """Waits until the list holds at least count rows; {"count", "at": Unix ms when seen}."""
        r = self("wait-rows", window, list_name, count, int(timeout * 1000), timeout=timeout + 30)
        if not r.ok:
            raise E2EError(f"{list_name} did not reach {count} rows: {r!r}")
        return r.json()

    def wait_message_box(self, timeout=30):
        r = self("wait-msgbox", int(timeout * 1000), timeout=timeout + 30)
        if not r.ok:
            raise E2EError(f"no message box appeared: {r!r}")
        return r.json()

    # acting
    def act(self, *args, timeout=60):
        """An action (click, type, select, page, keys, close, minimize, dismiss, tray-*, pointer,
        menu-click); its JSON answer."""
        return self._ok(*args, timeout=timeout).json()

    def screenshot(self, bmp_path):
        """A picture of the program's desktop as the program draws it, as a BMP file."""
        self._ok("screenshot", windows_path(bmp_path))


# ---------------------------------------------------------------- the program

def trust(wine, trust_cert_exe, der_path):
    """Makes a test certificate (DER) a trusted root in the prefix, as the system's TLS checks it."""
    trusted = wine.run(trust_cert_exe, str(der_path), timeout=60)
    if trusted.returncode != 0:
        raise E2EError(f"the certificate {der_path} could not be trusted: " + decode(trusted.stderr))


class Program:
    """One copy of Kassaro.exe in a folder of its own, started through the probe's launcher so that
    its exit code comes back to us."""

    def __init__(self, session, folder, exe=None):
        self.session = session
        self.folder = Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        # Always named Kassaro.exe, as the probe finds the program's processes by that name.
        self.exe = self.folder / "Kassaro.exe"
        shutil.copyfile(exe or session.kassaro_exe, self.exe)
        self.launcher = None
        self.pid = None
        self.exit_code = None
        self._out = self.folder.parent / (self.folder.name + ".launch.out")

    @property
    def ini_path(self):
        return self.folder / "pz.ini"

    def write_ini(self, sections):
        """pz.ini from {section: {key: value}}, GBK with CRLF, as Windows' profile calls write it."""
        lines = []
        for section, keys in sections.items():
            lines.append(f"[{section}]")
            lines.extend(f"{k}={v}" for k, v in keys.items())
        self.ini_path.write_bytes(("\r\n".join(lines) + "\r\n").encode("gbk"))

    def read_ini(self):
        """{section: {key: value}} of pz.ini, or {} when there is none."""
        if not self.ini_path.exists():
            return {}
        result, section = {}, None
        for line in self.ini_path.read_bytes().decode("gbk").splitlines():
            line = line.strip()
            if line.startswith("[") and line.endswith("]"):
                section = result.setdefault(line[1:-1], {})
            elif "=" in line and section is not None:
                k, v = line.split("=", 1)
                section[k] = v
        return result

    def start(self, wait_window=True, timeout=60, locale=None):
        """Starts the program on the session's desktop; by default waits until its window shows.
        locale: the Unix locale it runs in, from which Wine takes the ANSI code page (zh_CN.UTF-8: 936)."""
        s = self.session
        self.out_file = open(self._out, "wb")
        env = dict(s.program_env, KASSARO_LOCALE=locale) if locale else s.program_env
        self.launcher = s.wine.popen(s.probe_exe, "launch", windows_path(self.exe), cwd=self.folder,
                                     env=env, stdout=self.out_file, stderr=subprocess.STDOUT)
        wait_until(lambda: self._launch_lines() or self.launcher.poll() is not None, timeout,
                   what="the program to start")
        lines = self._launch_lines()
        if not lines:
            raise E2EError(f"the launcher ended: {self._out.read_bytes()!r}")
        launched = json.loads(lines[0])
        self.pid, self.launched_at = launched["pid"], launched["at"] / 1000
        if wait_window:
            s.probe.wait_window("主窗口", timeout)
        return self

    def _launch_lines(self):
        try:
            return [l for l in self._out.read_text(errors="replace").splitlines() if l.startswith("{")]
        except OSError:
            return []

    def running(self):
        return self.launcher is not None and self.launcher.poll() is None

    def _proc(self):
        """/proc/PID of the program's process (Wine runs it as a Unix process of its own, named by its
        Windows path)."""
        marker = str(self.folder.name).encode()
        for entry in Path("/proc").glob("[0-9]*"):
            try:
                cmdline = (entry / "cmdline").read_bytes()
            except OSError:
                continue
            if marker in cmdline and b"Kassaro.exe" in cmdline and b"kassaro_probe" not in cmdline:
                return entry
        raise E2EError("the program's process was not found in /proc")

    def memory_kib(self):
        """{"rss", "peak"}: the resident memory of the program's process in KiB, as the system counts it;
        the peak since the start or since reset_memory_peak()."""
        fields = dict(line.split(":", 1) for line in (self._proc() / "status").read_text().splitlines()
                      if ":" in line)
        return {"rss": int(fields["VmRSS"].split()[0]), "peak": int(fields["VmHWM"].split()[0])}

    def reset_memory_peak(self):
        """Makes the peak start again from the memory the program holds now."""
        (self._proc() / "clear_refs").write_text("5")

    def wait_exit(self, timeout=60):
        """The program's exit code, once it has ended; E2EError if it runs on past the timeout."""
        try:
            self.launcher.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise E2EError(f"the program was still running after {timeout} s")
        lines = self._launch_lines()
        ended = [json.loads(l) for l in lines if '"exit"' in l]
        if not ended:
            raise E2EError(f"the launcher ended without the program's exit code: {self._out.read_bytes()!r}")
        self.exit_code = ended[-1]["exit"]
        self.out_file.close()
        return self.exit_code


# ---------------------------------------------------------------- peers

class NotifyPeer:
    """tests/peers/notify_peer.py on the program's built-in port, steered through its control port."""

    def __init__(self, folder, port=9002, demo=False, down=False):
        self.folder = Path(folder)
        self.port = port
        ensure_ports_free([port], "notification peer")
        self.log_path = self.folder / "notify-frames.log"
        self.port_file = self.folder / "notify.ports"
        args = [PYTHON, str(PEERS / "notify_peer.py"), "--port", str(port), "--port-file", str(self.port_file),
                "--log", str(self.log_path), "--idle", "600"]
        if demo:
            args.append("--demo")
        if down:
            args.append("--down")
        self.out = open(self.folder / "notify-peer.out", "wb")
        self.process = subprocess.Popen(args, stdout=self.out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                        start_new_session=True)
        wait_until(lambda: self.port_file.exists() or self.process.poll() is not None, 20,
                   what="the notification peer")
        if self.process.poll() is not None:
            raise E2EError("the notification peer ended: " + (self.folder / "notify-peer.out").read_text())
        control_port = int(self.port_file.read_text().split()[1])
        self.control = socket.create_connection(("127.0.0.1", control_port), timeout=120)
        self.reader = self.control.makefile("r", encoding="utf-8")

    def command(self, cmd, answer_within=120, **fields):
        """Sends one control command; returns its answer (a dict with "ok")."""
        line = json.dumps(dict(cmd=cmd, **fields), ensure_ascii=False) + "\n"
        self.control.settimeout(answer_within)
        self.control.sendall(line.encode("utf-8"))
        answer = self.reader.readline()
        if not answer:
            raise E2EError("the notification peer closed its control port")
        return json.loads(answer)

    def push(self, text):
        return self.command("push", text=text)

    def stream(self, texts, per_second):
        """Sends the texts at a steady pace; returns each one's send time (Unix seconds)."""
        return self.command("stream", answer_within=len(texts) / per_second + 120, texts=texts,
                            per_second=per_second)["times"]

    def set(self, key, value):
        return self.command("set", key=key, value=value)

    def frames(self):
        return self.command("frames")["frames"]

    def wait_frames(self, count, timeout=30):
        answer = self.command("wait_frames", count=count, timeout=timeout)
        if not answer["ok"]:
            raise E2EError(f"expected {count} frames within {timeout} s, got {answer['frames']}")
        return answer["frames"]

    def wait_accepted(self, count, timeout=30):
        answer = self.command("wait_accepted", count=count, timeout=timeout)
        if not answer["ok"]:
            raise E2EError(f"expected {count} connections within {timeout} s, got {answer['accepted']}")
        return answer["accepted"]

    def stop(self):
        try:
            self.command("quit")
        except (OSError, E2EError, ValueError):
            pass
        try:
            self.control.close()
        except OSError:
            pass
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(timeout=10)
        self.out.close()


class SpeechPeer:
    """tests/peers/speech_peer.py (token endpoint localhost:9443, synthesis 127.0.0.1:9080, control 9081),
    with its test certificate trusted in the session's prefix."""

    CONTROL = "http://127.0.0.1:9081"

    def __init__(self, folder, wine, trust_cert_exe, demo=False):
        self.state_dir = Path(folder) / "speech-peer"
        ensure_ports_free([9443, 9080, 9081], "speech peer")
        args = [PYTHON, str(PEERS / "speech_peer.py"), "start", "--state-dir", str(self.state_dir)]
        if demo:
            args.append("--demo")
        r = subprocess.run(args, capture_output=True, timeout=180, stdin=subprocess.DEVNULL)
        if r.returncode != 0:
            raise E2EError("the speech peer did not start: " + decode(r.stdout + r.stderr))
        try:
            trust(wine, trust_cert_exe, self.state_dir / "cert.der")
        except E2EError:
            self.stop()
            raise

    def control(self, path):
        with urllib.request.urlopen(self.CONTROL + path, timeout=10) as r:
            return r.read()

    def log(self):
        return self.control("/log").decode("utf-8", errors="replace")

    def token_requests(self):
        """How many token requests the service has received."""
        return len(re.findall(r"GET /oauth/2\.0/token\?", self.log()))

    def synthesis_queries(self):
        """The query of each synthesis request, in order, as {name: [values]}."""
        return [urllib.parse.parse_qs(m.group(1)) for m in re.finditer(r"GET /text2audio\?(\S+) HTTP/1\.1", self.log())]

    def mode(self, name, delay=None):
        self.control(f"/mode?name={name}" + (f"&delay={delay}" if delay is not None else ""))

    def stop(self):
        subprocess.run([PYTHON, str(PEERS / "speech_peer.py"), "stop", "--state-dir", str(self.state_dir)],
                       capture_output=True, timeout=30, stdin=subprocess.DEVNULL)


# ---------------------------------------------------------------- display

class Display:
    """The X display the test runs on: DISPLAY when set, else an Xvfb of our own."""

    def __init__(self):
        self.process = None
        self.name = os.environ.get("DISPLAY")
        if self.name:
            return
        for number in range(120, 200):
            if not os.path.exists(f"/tmp/.X11-unix/X{number}") and not os.path.exists(f"/tmp/.X{number}-lock"):
                break
        else:
            raise E2EError("no free X display number")
        self.name = f":{number}"
        self.process = subprocess.Popen(["Xvfb", self.name, "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        wait_until(lambda: os.path.exists(f"/tmp/.X11-unix/X{number}") or self.process.poll() is not None, 10,
                   what="Xvfb")
        if self.process.poll() is not None:
            raise E2EError("Xvfb did not start")

    def screenshot(self, path):
        subprocess.run(["import", "-display", self.name, "-window", "root", str(path)], capture_output=True,
                       timeout=30)

    def stop(self):
        if self.process:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()


# ---------------------------------------------------------------- the session

class Session:
    """One end-to-end test's world; see the module's description.

    notify: start the notification peer (the program's first connection needs it, or it retries and
    gives up); speech: start the speech peer; capture_sound: route the program's sound into
    self.capture_file; time_limit: seconds after which everything is ended and TimeLimit raised.
    """

    def __init__(self, name, notify=True, speech=False, capture_sound=False, record_browser=False,
                 time_limit=240, exe="KASSARO_EXE"):
        self.name = name
        self.want_notify = notify
        self.want_speech = speech
        self.capture_sound = capture_sound
        self.record_browser = record_browser
        self.time_limit = time_limit
        # exe: the environment variable naming the build of the program to run (KASSARO_WSS_EXE: the
        # one with a wss:// address built in; it and KASSARO_HUB_EXE speak through the hub).
        self.kassaro_exe = binary(exe, {"KASSARO_WSS_EXE": "wss/Kassaro.exe",
                                        "KASSARO_HUB_EXE": "hub/Kassaro.exe"}.get(exe, "Kassaro.exe"))
        self.probe_exe = binary("KASSARO_PROBE", "kassaro_probe.exe")
        self.trust_cert_exe = binary("KASSARO_TRUST_CERT", "kassaro_trust_cert.exe")
        self.wine = Wine(os.environ.get("WINEPREFIX") or TOP / "build" / "wineprefix")
        self.probe = Probe(self.wine, self.probe_exe)
        self.notify = None
        self.speech = None
        self.display = None
        self.programs = []
        self.conversions = []  # pictures being made PNG
        self.autostart_was_left = False
        self.failed = False

    # -- set-up and tear-down
    def __enter__(self):
        base = TOP / "build" / "e2e-runs"
        base.mkdir(parents=True, exist_ok=True)
        self.folder = Path(tempfile.mkdtemp(prefix=self.name + "-", dir=base))
        self._old_alarm = signal.signal(signal.SIGALRM, self._expired)
        self._old_term = signal.signal(signal.SIGTERM, self._expired)
        signal.alarm(self.time_limit)
        try:
            self.display = Display()
            self.wine.env["DISPLAY"] = self.display.name
            self.program_env = dict(self.wine.env)
            if self.capture_sound:
                self.capture_file = self.folder / "capture.raw"
                conf = (PEERS / "capture_asound.conf.in").read_text().replace("@CAPTURE_FILE@", str(self.capture_file))
                (self.folder / "asound.conf").write_text(conf)
                self.program_env["ALSA_CONFIG_PATH"] = "/usr/share/alsa/alsa.conf:" + str(self.folder / "asound.conf")
            self._fresh_prefix()
            if self.record_browser:
                self._install_browser_recorder()
            if self.want_notify:
                self.notify = NotifyPeer(self.folder)
            if self.want_speech:
                self.speech = SpeechPeer(self.folder, self.wine, self.trust_cert_exe)
            self.started = time.time()
            self.programs_folder = self.folder
        except BaseException:
            self.failed = True  # keep the peers' output for whoever looks into it
            self._tear_down()
            raise
        return self

    def __exit__(self, kind, value, tb):
        self.failed = self.failed or kind is not None
        if kind is not None and not issubclass(kind, TimeLimit):
            self._keep_evidence()
        self._tear_down()
        return False

    @contextlib.contextmanager
    def case(self, name):
        """One of several cases that share this session (see SharedSession), its programs in a folder of
        its own. A case that fails keeps the evidence and the session's folder, and what it left behind
        (copies still running, the autostart value) is ended before the next case starts."""
        self.programs_folder = self.folder / name
        try:
            yield self
        except TimeLimit:
            self.failed = True
            raise
        except BaseException:
            self.failed = True
            self._keep_evidence()
            self._remove_autostart()
            self.wine.kill()
            raise
        finally:
            self.programs_folder = self.folder

    def _keep_evidence(self):
        """What the screen and the program's windows looked like when the test failed."""
        try:
            self.screenshot("failure")
            (self.folder / "failure-windows.json").write_text(self.probe("windows", timeout=30).out)
            (self.folder / "failure-msgbox.json").write_text(self.probe("msgbox", timeout=30).out)
        except Exception as error:  # evidence is a courtesy; the failure itself is reported anyway
            print(f"e2e: could not keep the evidence: {error!r}", file=sys.stderr)

    def _fresh_prefix(self):
        # Nothing of the prefix runs when the test starts: no program left by an earlier test.
        self.wine.kill()
        # Wine starts the user's Run values when it starts up in the prefix: none may be left.
        if self.wine.reg_query(RUN_KEY, RUN_VALUE) is not None:
            self.autostart_was_left = True
            print(f"e2e: {RUN_VALUE} was left in the prefix; removed", file=sys.stderr)
            self.wine.reg_delete(RUN_KEY, RUN_VALUE)
            self.wine.kill()  # and whatever that value started just now
        # The desktop "kassaro" is a virtual desktop of this size whenever Wine makes it.
        if self.wine.reg_query(DESKTOPS_KEY, DESKTOP) != DESKTOP_SIZE:
            self.wine.reg_add(DESKTOPS_KEY, DESKTOP, DESKTOP_SIZE)

    def _install_browser_recorder(self):
        """Makes Wine's browser (what the shell opens a web address with) a recorder that writes each
        address it is given to opened_addresses and opens nothing."""
        self.browser_log = self.folder / "browser.log"
        recorder = self.folder / "browser-recorder"
        recorder.write_text(f"#!/bin/sh\nprintf '%s\\n' \"$@\" >> '{self.browser_log}'\n")
        recorder.chmod(0o755)
        self.wine.reg_add(BROWSER_KEY, "Browsers", str(recorder))

    def opened_addresses(self):
        """The web addresses handed to the browser, in order (record_browser=True)."""
        if not self.browser_log.exists():
            return []
        return self.browser_log.read_text(encoding="utf-8", errors="replace").splitlines()

    def _tear_down(self):
        signal.alarm(0)
        steps = [
            self._remove_autostart,
            self._restore_browser,
            self.wine.kill,
            lambda: self.notify and self.notify.stop(),
            lambda: self.speech and self.speech.stop(),
            lambda: self.display and self.display.stop(),
            lambda: [c.wait(timeout=60) for c in self.conversions],
        ]
        for step in steps:
            try:
                step()
            except Exception as error:  # tear-down goes on whatever one step does
                print(f"e2e: tear-down step failed: {error!r}", file=sys.stderr)
        signal.signal(signal.SIGALRM, self._old_alarm)
        signal.signal(signal.SIGTERM, self._old_term)
        if self.failed or os.environ.get("KASSARO_E2E_KEEP"):
            print(f"e2e: session folder kept: {self.folder}", file=sys.stderr)
        else:
            shutil.rmtree(self.folder, ignore_errors=True)

    def _restore_browser(self):
        if self.record_browser:
            self.wine.reg_delete(BROWSER_KEY, "Browsers")

    def _remove_autostart(self):
        # While the prefix still runs: a fresh start would first start the program from the value.
        if self.wine.reg_query(RUN_KEY, RUN_VALUE) is not None:
            self.wine.reg_delete(RUN_KEY, RUN_VALUE)

    def _expired(self, signum, frame):
        signal.alarm(0)
        try:
            self.wine.kill()
        finally:
            raise TimeLimit(f"session {self.name} ended by its time limit ({self.time_limit} s) or a signal")

    # -- what tests use
    def trust(self, der_path):
        trust(self.wine, self.trust_cert_exe, der_path)

    def new_program(self, folder_name="program", exe=None):
        """A copy of the program (or of exe) in a folder of its own (not started): write its pz.ini, then
        start it."""
        program = Program(self, self.programs_folder / folder_name, exe)
        self.programs.append(program)
        return program

    def start_program(self, ini=None, folder_name="program", wait_window=True, exe=None, locale=None):
        program = self.new_program(folder_name, exe)
        if ini is not None:
            program.write_ini(ini)
        return program.start(wait_window=wait_window, locale=locale)

    def autostart_value(self):
        """The data of the Run value 我的启动项, or None when absent."""
        return self.wine.reg_query(RUN_KEY, RUN_VALUE)

    def screenshot(self, name):
        path = self.folder / f"{name}.png"
        self.display.screenshot(path)
        return path

    def keep_screenshot(self, name):
        """A picture of the program's desktop kept in build/screenshots as name.png, for people to look at;
        made PNG while the test goes on."""
        SCREENSHOTS.mkdir(parents=True, exist_ok=True)
        bmp = SCREENSHOTS / f"{name}.bmp"
        self.probe.screenshot(bmp)
        self.conversions.append(subprocess.Popen(
            ["sh", "-c", 'convert "$1" "$2" && rm "$1"', "convert", str(bmp), str(bmp.with_suffix(".png"))],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))

    @property
    def end_helper_exe(self):
        """The program with a thread that calls endProgram(7) once a file "go-ahead" is beside it."""
        return binary("KASSARO_END_HELPER", "kassaro_end_helper.exe")

    def new_temp_files(self, pattern="baidu_yuyin_*.mp3"):
        """Files in the prefix user's temporary directory made since the session started."""
        return sorted(p for d in self.wine.user_temp_dirs() for p in d.glob(pattern)
                      if p.stat().st_mtime >= self.started - 1)

    def captured_sound(self):
        """(peak sample, seconds) of what the program played, with capture_sound=True; (0, 0) if nothing.
        The capture is 16-bit little-endian stereo at 48 kHz."""
        if not self.capture_file.exists():
            return 0, 0.0
        samples = array.array("h")
        samples.frombytes(self.capture_file.read_bytes()[: self.capture_file.stat().st_size // 2 * 2])
        if sys.byteorder != "little":
            samples.byteswap()
        peak = max((abs(v) for v in samples), default=0)
        return peak, len(samples) / 2 / 48000


class SharedSession(unittest.TestCase):
    """Cases that share one Session, made once for the class with the arguments in `session`: each case
    starts and ends its own copies of the program inside `with self.s.case(name):`. Making Wine's world
    once saves seconds a case."""
    session = {}

    @classmethod
    def setUpClass(cls):
        cls.s = Session(**cls.session)
        cls.s.__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.s.__exit__(None, None, None)
