"""Self-signed test certificates for DNS:localhost, made with openssl: the certificate and its key as PEM
for the peers, and the certificate as DER for a Windows certificate store."""
import os
import subprocess


def make_certificate(folder, prefix=""):
    """Makes (once) and returns the paths of PREFIXcert.pem, PREFIXkey.pem and PREFIXcert.der in FOLDER."""
    cert, key, der = (os.path.join(folder, prefix + n) for n in ("cert.pem", "key.pem", "cert.der"))
    if not all(os.path.exists(p) for p in (cert, key, der)):
        os.makedirs(folder, exist_ok=True)
        # Wine checks the host against DNS names only, hence DNS:localhost and not an IP address.
        quiet = {"check": True, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "30",
                        "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost",
                        "-addext", "extendedKeyUsage=serverAuth", "-keyout", key, "-out", cert], **quiet)
        subprocess.run(["openssl", "x509", "-in", cert, "-outform", "DER", "-out", der], **quiet)
    return cert, key, der
