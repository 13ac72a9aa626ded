#!/usr/bin/python3
"""The hub's TLS address with certificates the test makes: a counter over wss:// hears a payment that a
phone posted over https://, as a counter on ws:// does; after SIGHUP new connections get a replaced
certificate while an open one keeps its own, and a file that does not load leaves the last good pair in
use; a certificate that does not load at start is one line and exit 1."""
import asyncio
import hashlib
import http.client
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from hubproc import SEP, Hub, hub_binary, main  # noqa: E402


def make_certificate(folder, name):
    """A self-signed certificate for localhost and 127.0.0.1: (certificate file, key file)."""
    cert, key = folder / f"{name}.crt", folder / f"{name}.key"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                    "-nodes", "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=" + name,
                    "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1"], check=True, capture_output=True)
    return cert, key


def fingerprint(der):
    return hashlib.sha256(der).hexdigest()


def file_fingerprint(cert):
    return fingerprint(ssl.PEM_cert_to_DER_cert(cert.read_text()))


def served_fingerprint(hub, trust):
    """The certificate a new connection to the TLS address gets."""
    with socket.create_connection((hub.host, hub.tls_port), 10) as raw:
        with trust.wrap_socket(raw, server_hostname=hub.host) as tls:
            return fingerprint(tls.getpeercert(binary_form=True))


class Tls(unittest.TestCase):
    def setUp(self):
        self.folder = Path(tempfile.mkdtemp(prefix="tls-"))
        self.addCleanup(shutil.rmtree, self.folder, True)

    def test_counter_and_phone_over_tls_and_reload(self):
        first, second = make_certificate(self.folder, "first"), make_certificate(self.folder, "second")
        cert, key = self.folder / "hub.crt", self.folder / "hub.key"

        def install(pair):
            shutil.copy(pair[0], cert)
            shutil.copy(pair[1], key)

        install(first)
        trust = ssl.create_default_context(cafile=first[0])
        trust.load_verify_locations(second[0])
        with Hub(config={"tls_listen": "127.0.0.1:0", "tls_certificate": str(cert), "tls_key": str(key)},
                 name="tls") as hub:
            intake_key = hub.add_account("shop0001", "secret01")

            async def payment_over_tls():
                async with hub.counter(tls=trust) as secure, hub.counter() as plain:
                    for c in (secure, plain):
                        self.assertEqual(await c.login("shop0001", "secret01"), "登录成功！")
                    status, answer = await asyncio.to_thread(
                        hub.post, "/api/v1/payments", {"channel": "wechat", "amount": "8.80"}, intake_key, None, trust)
                    self.assertEqual((status, answer["ok"]), (200, True))
                    for c in (secure, plain):
                        await c.wait_for(lambda t: t == SEP.join(["收到收款", "微信收款", "8.80"]))
                    return fingerprint(secure.ws.transport.get_extra_info("ssl_object").getpeercert(True))

            self.assertEqual(asyncio.run(payment_over_tls()), file_fingerprint(first[0]))

            # A keep-alive connection made before the renewal.
            before = http.client.HTTPSConnection(hub.host, hub.tls_port, timeout=10, context=trust)
            before.request("GET", "/healthz")
            self.assertEqual(before.getresponse().read(), b'{"ok":true}')

            install(second)
            hub.proc.send_signal(signal.SIGHUP)
            hub.wait_log(r" info certificate reloaded ")
            self.assertEqual(served_fingerprint(hub, trust), file_fingerprint(second[0]))
            before.request("GET", "/healthz")
            self.assertEqual(before.getresponse().status, 200)
            self.assertEqual(fingerprint(before.sock.getpeercert(True)), file_fingerprint(first[0]))
            before.close()

            key.write_text("not a key\n")
            hub.proc.send_signal(signal.SIGHUP)
            hub.wait_log(r" warn certificate not reloaded, the old one kept .*hub\.key")
            self.assertEqual(served_fingerprint(hub, trust), file_fingerprint(second[0]))
            self.assertEqual(hub.request("GET", "/healthz", tls=trust)[0], 200)
            self.assertEqual(hub.stop(), 0)

    def test_no_session_ticket_after_a_tls13_handshake(self):
        cert, key = make_certificate(self.folder, "hub")
        trust = ssl.create_default_context(cafile=cert)
        trust.minimum_version = ssl.TLSVersion.TLSv1_3
        with Hub(config={"tls_listen": "127.0.0.1:0", "tls_certificate": str(cert), "tls_key": str(key)},
                 name="tls-tickets") as hub:
            connection = http.client.HTTPSConnection(hub.host, hub.tls_port, timeout=10, context=trust)
            # A server's tickets come after the handshake, before its first answer: read one.
            connection.request("GET", "/healthz")
            self.assertEqual(connection.getresponse().read(), b'{"ok":true}')
            self.assertEqual(connection.sock.version(), "TLSv1.3")
            self.assertFalse(connection.sock.session.has_ticket)
            connection.close()
            self.assertEqual(hub.stop(), 0)

    def test_bad_certificate_at_start(self):
        _, key = make_certificate(self.folder, "only")
        config = self.folder / "hub.toml"
        for name, certificate in (("missing", self.folder / "absent.crt"), ("not a certificate", key)):
            with self.subTest(name):
                config.write_text(f'tls_listen = "127.0.0.1:0"\ntls_certificate = "{certificate}"\n'
                                  f'tls_key = "{key}"\n')
                done = subprocess.run([hub_binary(), "--config", config, "--data", self.folder, "serve",
                                       "--listen", "127.0.0.1:0"], capture_output=True, text=True, timeout=60)
                self.assertEqual(done.returncode, 1)
                lines = done.stderr.splitlines()
                self.assertEqual(len(lines), 1, done.stderr)
                self.assertRegex(lines[0], r" error cannot start reason=.*TLS certificate " + str(certificate))


if __name__ == "__main__":
    main()
