"""scripts/sign-exe as a release signs the program: with a test code-signing certificate and a local
timestamp service (RFC 3161, answered by `openssl ts`), the signed copy's Authenticode signature and its
timestamp are accepted by `osslsigncode verify`; without a certificate the program is left as it was.

usage: signing.py PROGRAM.exe"""
import http.server, os, shutil, subprocess, sys, tempfile, threading
from pathlib import Path

TOP = Path(__file__).resolve().parents[1]
program = Path(sys.argv[1])
folder = Path(tempfile.mkdtemp(prefix="kassaro-signing-"))


def certificate(name, usage):
    """A self-signed certificate for one extended key usage: (certificate, key)."""
    cert, key = folder / f"{name}.pem", folder / f"{name}.key"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                    "-days", "2", "-subj", f"/CN=Kassaro test {name}", "-addext", f"extendedKeyUsage=critical,{usage}"],
                   check=True, capture_output=True)
    return cert, key


signer, signer_key = certificate("signer", "codeSigning")
tsa, tsa_key = certificate("tsa", "timeStamping")
(folder / "serial").write_text("01\n")
(folder / "tsa.cnf").write_text(f"""[ tsa ]
default_tsa = local
[ local ]
serial = {folder / 'serial'}
signer_cert = {tsa}
signer_key = {tsa_key}
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha1, sha256, sha384, sha512
ess_cert_id_alg = sha256
""")


class Timestamps(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query, reply = folder / "query.tsq", folder / "reply.tsr"
        query.write_bytes(self.rfile.read(int(self.headers["Content-Length"])))
        subprocess.run(["openssl", "ts", "-reply", "-config", folder / "tsa.cnf", "-queryfile", query, "-out", reply],
                       check=True, capture_output=True)
        answer = reply.read_bytes()
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(answer)))
        self.end_headers()
        self.wfile.write(answer)

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), Timestamps)
threading.Thread(target=server.serve_forever, daemon=True).start()
failures = []
try:
    unsigned = folder / "unsigned.exe"
    shutil.copyfile(program, unsigned)
    env = {k: v for k, v in os.environ.items() if not k.startswith("KASSARO_SIGN")}
    subprocess.run([TOP / "scripts" / "sign-exe", unsigned], check=True, env=env)
    if unsigned.read_bytes() != program.read_bytes():
        failures.append("without a certificate the program was changed")

    signed = folder / "Kassaro.exe"
    shutil.copyfile(program, signed)
    env.update(KASSARO_SIGN_CERT=str(signer), KASSARO_SIGN_KEY=str(signer_key),
               KASSARO_TIMESTAMP_URL=f"http://127.0.0.1:{server.server_port}/")
    subprocess.run([TOP / "scripts" / "sign-exe", signed], check=True, env=env)
    verified = subprocess.run(["osslsigncode", "verify", "-CAfile", signer, "-TSA-CAfile", tsa, "-in", signed],
                              capture_output=True, text=True)
    report = verified.stdout + verified.stderr
    if verified.returncode != 0 or "Signature verification: ok" not in report:
        failures.append("the signature was not accepted:\n" + report)
    if "Message digest algorithm: SHA256" not in report or "Timestamp Server Signature verification: ok" not in report:
        failures.append("not a SHA-256 signature with a verified timestamp:\n" + report)
finally:
    server.shutdown()
    shutil.rmtree(folder, ignore_errors=True)
for failure in failures:
    print(f"signing: {failure}")
print(f"signing: {len(failures)} problem(s)")
sys.exit(1 if failures else 0)
