#!/usr/bin/python3
"""The Debian package, made by CPack from the optimised build (build/hub-release) as scripts/package-hub
makes it, unpacked into a scratch root: the program, the systemd unit with its user, state directory and
hardening, the configuration as a conffile with every key the hub reads, maintainer scripts that make the
system user, the docs, and Depends from the libraries; the unpacked program answers --help, serves from a
scratch data directory with the shipped configuration, and ends with exit 0 on SIGTERM."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import tomllib
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from hubproc import TOP, Hub, main  # noqa: E402

RELEASE = TOP / "build" / "hub-release"
UNIT = "lib/systemd/system/kassaro-hub.service"
CONFIG = "etc/kassaro-hub/hub.toml"


def run(*args, **kw):
    return subprocess.run([str(a) for a in args], check=True, capture_output=True, text=True, timeout=300, **kw)


def directives(unit_text):
    """A unit's directives: name to the list of its values, in order."""
    found = {}
    for line in unit_text.splitlines():
        if "=" in line and not line.startswith(("#", "[")):
            name, value = line.split("=", 1)
            found.setdefault(name, []).append(value)
    return found


class Package(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not (RELEASE / "CPackConfig.cmake").is_file() or not (RELEASE / "bin" / "kassaro-hub").is_file():
            raise unittest.SkipTest(f"no hub-release build in {RELEASE}: build it first (`cmake --preset "
                                    "hub-release && cmake --build --preset hub-release`; scripts/test does)")
        runs = os.environ.get("KASSARO_HUB_RUNS")
        if runs:
            Path(runs).mkdir(parents=True, exist_ok=True)
        cls.scratch = Path(tempfile.mkdtemp(prefix="package-", dir=runs or None))
        run("cpack", "--config", RELEASE / "CPackConfig.cmake", "-B", cls.scratch / "out")
        cls.deb = next((cls.scratch / "out").glob("kassaro-hub_*_amd64.deb"))
        cls.root, cls.control = cls.scratch / "root", cls.scratch / "control"
        run("dpkg-deb", "-x", cls.deb, cls.root)
        run("dpkg-deb", "-e", cls.deb, cls.control)
        cls.unit = directives((cls.root / UNIT).read_text())

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def test_contents_and_depends(self):
        version = run("dpkg-deb", "-f", self.deb, "Version").stdout.strip()
        self.assertEqual(self.deb.name, f"kassaro-hub_{version}_amd64.deb")
        program = self.root / "usr/bin/kassaro-hub"
        self.assertTrue(os.access(program, os.X_OK))
        self.assertRegex(run("file", "-b", program).stdout, r"^ELF 64-bit .*x86-64.*, stripped")
        self.assertTrue(os.access(self.root / "usr/share/kassaro-hub/speak-espeak", os.X_OK))
        for doc in ("hub-operation.md", "protocol.md"):
            self.assertTrue((self.root / "usr/share/doc/kassaro-hub" / doc).is_file(), doc)
        self.assertEqual((self.control / "conffiles").read_text().split(), ["/" + CONFIG])
        depends = run("dpkg-deb", "-f", self.deb, "Depends").stdout
        for package in ("libc6", "libstdc++6", "libssl3", "libsqlite3-0", "libsodium23", "libboost-json1.81.0",
                        "adduser", "tzdata", "espeak-ng", "lame"):
            self.assertRegex(depends, r"(^|, )" + re.escape(package) + r"( \(|,|$)")

    def test_unit(self):
        u = self.unit
        self.assertEqual(u["ExecStart"][0].split()[0], "/usr/bin/kassaro-hub")
        self.assertIn("--config /etc/kassaro-hub/hub.toml", u["ExecStart"][0])
        for name, value in {"User": "kassaro-hub", "StateDirectory": "kassaro-hub", "ProtectSystem": "strict",
                            "NoNewPrivileges": "yes", "Restart": "on-failure", "ProtectHome": "yes",
                            "PrivateTmp": "yes", "CapabilityBoundingSet": "", "WantedBy": "multi-user.target",
                            "MemoryMax": "1G", "TasksMax": "128", "LimitNOFILE": "65536"}.items():
            self.assertEqual(u.get(name), [value], name)
        self.assertIn("kill -HUP", u["ExecReload"][0])
        # systemd's own reading of it, with the program where it was unpacked: no unknown key, no bad value.
        local = self.scratch / "kassaro-hub.service"
        program = str(self.root / "usr/bin/kassaro-hub")
        local.write_text((self.root / UNIT).read_text().replace("/usr/bin/kassaro-hub", program))
        done = subprocess.run(["systemd-analyze", "verify", "--man=no", local], capture_output=True, text=True)
        self.assertEqual((done.returncode, done.stderr), (0, ""))

    def test_maintainer_scripts(self):
        # Run with the commands they call stood in by recorders: a fresh installation, then a purge.
        stubs, log = self.scratch / "stubs", self.scratch / "calls.log"
        stubs.mkdir(exist_ok=True)
        for command in ("adduser", "getent", "dpkg-statoverride", "deb-systemd-helper", "systemctl"):
            (stubs / command).write_text('#!/bin/sh\necho "${0##*/} $*" >>"$CALLS"\n'
                                         'case "$1" in passwd|--list) exit 2;; esac\n')
            (stubs / command).chmod(0o755)
        env = {"PATH": f"{stubs}:/usr/bin:/bin", "CALLS": str(log)}
        for script, args in (("postinst", ["configure", ""]), ("prerm", ["remove"]), ("postrm", ["purge"])):
            self.assertEqual((self.control / script).stat().st_mode & 0o777, 0o755, script)
            run("sh", "-n", self.control / script)
            run("sh", self.control / script, *args, env=env)
        calls = log.read_text().splitlines()
        user = self.unit["User"][0]
        self.assertIn(f"adduser --system --group --home /var/lib/kassaro-hub --no-create-home --quiet {user}", calls)
        self.assertIn(f"dpkg-statoverride --update --add root {user} 0750 /etc/kassaro-hub", calls)
        self.assertIn("deb-systemd-helper enable kassaro-hub.service", calls)
        self.assertIn("deb-systemd-helper purge kassaro-hub.service", calls)

    def test_installed_program_serves(self):
        program = self.root / "usr/bin/kassaro-hub"
        self.assertIn("Usage:", run(program, "--help").stdout)
        # Every key, uncommented at its default: the hub takes them all, and reads no key the file lacks.
        shipped = (self.root / CONFIG).read_text()
        config = tomllib.loads(re.sub(r"^#(\w+ = )", r"\1", shipped, flags=re.M))
        read = re.findall(r'^\s*\{"(\w+)",', (TOP / "hub/src/common/config.cpp").read_text(), re.M)
        self.assertEqual(sorted(config), sorted(read))
        os.environ["KASSARO_HUB"] = str(program)
        with Hub(config=config, name="installed", data=self.scratch / "data") as hub:
            key = hub.add_account("shop0001", "secret01")
            self.assertEqual(hub.request("GET", "/healthz")[:2], (200, {"ok": True}))
            self.assertEqual(hub.post("/api/v1/payments", {"channel": "alipay", "amount": "3.20"}, key=key)[0], 200)
            self.assertEqual(hub.stop(), 0)
            self.assertIn("\t支付宝收款\t3.20", hub.cli("bills", "shop0001").stdout)


if __name__ == "__main__":
    main()
