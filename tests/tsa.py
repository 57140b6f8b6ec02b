#!/usr/bin/env python3
"""A throw-away certificate authority and a local RFC 3161 time-stamping authority, for the signing
tests and for trying signing by hand. Nothing here is fit to sign a real release.

  tsa.py ca DIR [--days N]
      Makes, with openssl, DIR/root.pem (the CA, to verify against), DIR/signer.pem and
      signer.key (a code-signing certificate, valid N days, default 1), DIR/tsa.pem and tsa.key
      (a time-stamping certificate, valid N+1 days) and DIR/tsa.cnf (openssl's `ts` settings).
  tsa.py serve DIR [--answer ok|refuse|garbage|silent] [--port N] [--requests N] [--seconds S]
      Serves time-stamp requests over HTTP on 127.0.0.1 (port N, default any free one) with DIR's
      time-stamping certificate: `openssl ts -reply` answers each. Prints its URL on the first line
      once it listens, and stops by itself after N requests (default 10) or S seconds (default
      120), whichever comes first. The other answers stand for broken authorities: `refuse` says
      HTTP 503, `garbage` sends bytes that are no time-stamp reply, `silent` never answers.

For the tests of signing from a token, `signer_between` issues the signer's key another certificate
valid between given times, and `token` puts the signer's key into a SoftHSM token of its own.
"""

import argparse
import http.server
import os
import subprocess
import sys
import tempfile
import time

SOFTHSM = "/usr/lib/softhsm/libsofthsm2.so"

GARBAGE = b"this is not a time-stamp reply\n" * 8


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def make_ca(folder, days=1):
    """The CA and its two certificates in `folder`: the code-signing one expires after `days`,
    the time-stamping one a day later, the CA long after both."""
    os.makedirs(folder, exist_ok=True)
    path = lambda name: os.path.join(folder, name)  # noqa: E731
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "3650",
            "-subj", "/CN=usb-serial-driver-update throw-away test CA", "-keyout", path("root.key"),
            "-out", path("root.pem"), "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    for name, usage, valid in (("signer", "codeSigning", days), ("tsa", "critical,timeStamping", days + 1)):
        with open(path(name + ".ext"), "w") as f:
            f.write(f"basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage={usage}\n")
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", f"/CN=usb-serial-driver-update test {name}",
                "-keyout", path(name + ".key"), "-out", path(name + ".csr"))
        openssl("x509", "-req", "-in", path(name + ".csr"), "-CA", path("root.pem"), "-CAkey", path("root.key"),
                "-set_serial", "2" if name == "signer" else "3", "-days", str(valid),
                "-extfile", path(name + ".ext"), "-out", path(name + ".pem"))
    with open(path("tsa.cnf"), "w") as f:
        f.write(f"""[tsa]
default_tsa = local
[local]
serial = {path("tsa.serial")}
signer_cert = {path("tsa.pem")}
signer_key = {path("tsa.key")}
certs = {path("tsa.pem")}
signer_digest = sha256
default_policy = 1.3.6.1.4.1.4146.2.3
digests = sha256, sha384, sha512
accuracy = secs:1
ess_cert_id_alg = sha256
""")
    with open(path("tsa.serial"), "w") as f:
        f.write("01\n")


def signer_between(folder, out, start, end):
    """Another certificate for DIR's signer key in `out`, valid from `start` to `end` (epoch)."""
    db = tempfile.mkdtemp(dir=folder)
    for name, text in (("index.txt", ""), ("serial", "10\n"), ("ca.cnf", f"""[ca]\ndefault_ca = c\n[c]
database = {db}/index.txt\nnew_certs_dir = {db}\nserial = {db}/serial\ndefault_md = sha256\npolicy = p
[p]\ncommonName = supplied\n""")):
        with open(os.path.join(db, name), "w") as f:
            f.write(text)
    stamp = [time.strftime("%Y%m%d%H%M%SZ", time.gmtime(t)) for t in (start, end)]
    openssl("ca", "-batch", "-config", f.name, "-cert", os.path.join(folder, "root.pem"), "-keyfile",
            os.path.join(folder, "root.key"), "-in", os.path.join(folder, "signer.csr"), "-extfile",
            os.path.join(folder, "signer.ext"), "-startdate", stamp[0], "-enddate", stamp[1], "-out", out)
    return out


def token(folder, ca_dir, pin):
    """A SoftHSM token in `folder` holding the signer's key (imported; no copy left there):
    returns the environment that finds the token (SOFTHSM2_CONF) and the key's PKCS#11 URI."""
    os.makedirs(os.path.join(folder, "tokens"))
    with open(os.path.join(folder, "softhsm2.conf"), "w") as f:
        f.write(f"directories.tokendir = {folder}/tokens\nobjectstore.backend = file\n")
    env, pkcs8 = dict(os.environ, SOFTHSM2_CONF=f.name), os.path.join(folder, "signer.p8")
    openssl("pkcs8", "-topk8", "-nocrypt", "-in", os.path.join(ca_dir, "signer.key"), "-out", pkcs8)
    for argv in (["--init-token", "--free", "--label", "usb-serial-test", "--so-pin", pin + "so"],
                 ["--import", pkcs8, "--token", "usb-serial-test", "--label", "signer", "--id", "01"]):
        subprocess.run(["softhsm2-util", *argv, "--pin", pin], env=env, check=True, stdout=subprocess.DEVNULL)
    os.remove(pkcs8)
    return env, "pkcs11:token=usb-serial-test;object=signer;type=private"


def serve(folder, answer="ok", port=0, requests=10, seconds=120.0, ready=print):
    deadline = time.monotonic() + seconds

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            query = self.rfile.read(int(self.headers.get("Content-Length", 0)))
            if answer == "silent":
                time.sleep(max(0.0, deadline - time.monotonic()))
                return
            if answer == "refuse":
                self.send_error(503, "not serving")
                return
            reply = GARBAGE
            if answer == "ok":
                with tempfile.TemporaryDirectory() as work:
                    with open(os.path.join(work, "q.tsq"), "wb") as f:
                        f.write(query)
                    openssl("ts", "-reply", "-config", os.path.join(folder, "tsa.cnf"),
                            "-queryfile", os.path.join(work, "q.tsq"), "-out", os.path.join(work, "r.tsr"))
                    with open(os.path.join(work, "r.tsr"), "rb") as f:
                        reply = f.read()
            self.send_response(200)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(reply)))
            self.end_headers()
            self.wfile.write(reply)

        def log_message(self, *args):
            pass

    with http.server.HTTPServer(("127.0.0.1", port), Handler) as server:
        ready(f"http://127.0.0.1:{server.server_address[1]}/", flush=True)
        for _ in range(requests):
            left = deadline - time.monotonic()
            if left <= 0:
                break
            server.timeout = left
            server.handle_request()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("action", choices=("ca", "serve"))
    parser.add_argument("folder")
    parser.add_argument("--days", type=int, default=1)
    parser.add_argument("--answer", choices=("ok", "refuse", "garbage", "silent"), default="ok")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--requests", type=int, default=10)
    parser.add_argument("--seconds", type=float, default=120.0)
    opts = parser.parse_args()
    if opts.action == "ca":
        make_ca(opts.folder, opts.days)
    else:
        serve(opts.folder, opts.answer, opts.port, opts.requests, opts.seconds)


if __name__ == "__main__":
    sys.exit(main())
