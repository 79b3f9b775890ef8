#!/usr/bin/env python3
"""Runs scripts/release.sh on a built Windows build folder, without a certificate and then with
one made here (a CA of its own and a code-signing certificate from it), and checks the results
with osslsigncode and sha256sum:

- unsigned: the script says so, and its installer, zip and programs are the build's own bytes;
- signed, with time stamps from a time-stamp service run here (openssl ts behind a loopback HTTP
  server): osslsigncode, trusting that CA, accepts every program and the installer, and the copies
  inside the installer and the zip (signed before packing), each with its time stamp; a signed
  file with one byte changed is refused; and the build's own unsigned files are left as they
  were;
- a certificate without its password is refused rather than releasing unsigned files.

Exits non-zero naming every fault.
"""

import argparse
import hashlib
import http.server
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import zipfile

PASSWORD = "correct horse $battery 'staple'"


def sh(*command, cwd=None):
    subprocess.run(command, check=True, capture_output=True, cwd=cwd)


TSA_CONFIG = """[ tsa ]
default_tsa = test_tsa
[ test_tsa ]
serial = ./tsa.serial
crypto_device = builtin
signer_cert = ./tsa.pem
certs = ./ca.pem
signer_key = ./tsa.key
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256, sha384, sha512
accuracy = secs:1
ordering = yes
tsa_name = yes
ess_cert_id_chain = no
ess_cert_id_alg = sha256
"""


def issue(folder, name, subject, usage):
    """A certificate from the CA in folder, as name.pem with its key name.key."""
    sh("openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key",
       "-out", f"{name}.csr", "-subj", subject, cwd=folder)
    with open(os.path.join(folder, f"{name}.ext"), "w") as f:
        f.write(f"basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                f"extendedKeyUsage={usage}\n")
    sh("openssl", "x509", "-req", "-in", f"{name}.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
       "-CAcreateserial", "-out", f"{name}.pem", "-days", "2", "-extfile", f"{name}.ext",
       cwd=folder)


def make_certificates(folder):
    """A CA, a code-signing certificate it issued as signer.pfx (with PASSWORD), and a
    time-stamping one with the openssl ts settings in tsa.cnf."""
    os.makedirs(folder)
    sh("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key",
       "-out", "ca.pem", "-days", "3", "-subj", "/CN=Dalvento Test CA",
       "-addext", "basicConstraints=critical,CA:TRUE",
       "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=folder)
    issue(folder, "signer", "/CN=Dalvento Test Signer/O=Dalvento", "codeSigning")
    sh("openssl", "pkcs12", "-export", "-inkey", "signer.key", "-in", "signer.pem",
       "-certfile", "ca.pem", "-out", "signer.pfx", "-passout", f"pass:{PASSWORD}", cwd=folder)
    issue(folder, "tsa", "/CN=Dalvento Test Time Stamps", "critical,timeStamping")
    with open(os.path.join(folder, "tsa.cnf"), "w") as f:
        f.write(TSA_CONFIG)
    with open(os.path.join(folder, "tsa.serial"), "w") as f:
        f.write("01\n")
    return os.path.join(folder, "ca.pem"), os.path.join(folder, "signer.pfx")


def start_time_stamp_service(folder):
    """An RFC 3161 time-stamp service on loopback, answering with openssl ts; its URL and how
    many stamps it gave."""
    given = []

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            query = self.rfile.read(int(self.headers["Content-Length"]))
            with tempfile.TemporaryDirectory() as scratch:
                with open(os.path.join(scratch, "query"), "wb") as f:
                    f.write(query)
                made = subprocess.run(["openssl", "ts", "-reply", "-config", "tsa.cnf",
                                       "-queryfile", os.path.join(scratch, "query"),
                                       "-out", os.path.join(scratch, "reply")],
                                      cwd=folder, capture_output=True)
                reply = read(os.path.join(scratch, "reply")) if made.returncode == 0 else b""
            if not reply:
                self.send_error(500)
                return
            given.append(len(reply))
            self.send_response(200)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(reply)))
            self.end_headers()
            self.wfile.write(reply)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, f"http://127.0.0.1:{server.server_address[1]}/", given


def release(script, build, out, env):
    env = {k: v for k, v in env.items()}
    return subprocess.run([script, "--build-dir", build, "--out", out], env=env,
                          capture_output=True, text=True)


def verify(file, ca):
    """osslsigncode's verdict on a file: (accepted, what it printed)."""
    result = subprocess.run(["osslsigncode", "verify", "-CAfile", ca, "-TSA-CAfile", ca,
                             "-in", file],
                            capture_output=True, text=True)
    return result.returncode == 0, (result.stdout + result.stderr).strip()


def read(path):
    with open(path, "rb") as f:
        return f.read()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--release-script", required=True)
    parser.add_argument("--build", required=True)
    parser.add_argument("--config", required=True, help="the build's package settings")
    parser.add_argument("--work", required=True, help="a folder for this test")
    args = parser.parse_args()
    with open(args.config, encoding="utf-8") as f:
        config = json.load(f)
    programs, msi, zip_name = config["programs"], config["msi"], config["zip"]
    built = {name: os.path.join(config["stage"], name) for name in programs}
    built[msi] = os.path.join(args.build, msi)
    built[zip_name] = os.path.join(args.build, zip_name)
    faults = []

    def expect(condition, text):
        if not condition:
            faults.append(text)

    shutil.rmtree(args.work, ignore_errors=True)
    ca, pfx = make_certificates(os.path.join(args.work, "certificate"))
    env = {k: v for k, v in os.environ.items() if not k.startswith("DALVENTO_SIGN_")}

    # Unsigned: the build's own bytes, said to be unsigned.
    unsigned = os.path.join(args.work, "unsigned")
    result = release(args.release_script, args.build, unsigned, env)
    expect(result.returncode == 0, f"release.sh without a certificate failed: {result.stderr}")
    expect("Not signed" in result.stdout, "release.sh did not say the files are unsigned")
    for name, path in built.items():
        released = os.path.join(unsigned, name)
        expect(os.path.isfile(released) and read(released) == read(path),
               f"the unsigned release's {name} is not the build's {path}")
    accepted, _ = verify(os.path.join(unsigned, "dalvento.exe"), ca)
    expect(not accepted, "osslsigncode accepts the unsigned program")
    before = {name: hashlib.sha256(read(path)).hexdigest() for name, path in built.items()}

    # Signed with the certificate made here, and time-stamped.
    signed = os.path.join(args.work, "signed")
    server, url, stamps = start_time_stamp_service(os.path.dirname(ca))
    try:
        result = release(args.release_script, args.build, signed,
                         dict(env, DALVENTO_SIGN_PFX=pfx, DALVENTO_SIGN_PASSWORD=PASSWORD,
                              DALVENTO_SIGN_TIMESTAMP_URL=url))
    finally:
        server.shutdown()
        server.server_close()
    expect(result.returncode == 0, f"release.sh with a certificate failed: {result.stderr}")
    expect(len(stamps) == len(programs) + 1,
           f"the time-stamp service gave {len(stamps)} stamps, not one per signed file")
    inner = os.path.join(args.work, "inside")
    os.makedirs(inner)
    checked = [os.path.join(signed, name) for name in programs + [msi]]
    with zipfile.ZipFile(os.path.join(signed, zip_name)) as z:
        z.extract("dalvento.exe", os.path.join(inner, "zip"))
    checked.append(os.path.join(inner, "zip", "dalvento.exe"))
    sh("msiextract", "-C", os.path.join(inner, "msi"), os.path.join(signed, msi))
    for folder, _, names in os.walk(os.path.join(inner, "msi")):
        checked += [os.path.join(folder, n) for n in names if n.endswith(".exe")]
    for path in checked:
        accepted, text = verify(path, ca)
        print(f"--- osslsigncode verify {os.path.relpath(path, args.work)}:\n{text}\n")
        expect(accepted, f"osslsigncode refuses the signed {path}: {text}")
        expect("Timestamp Server Signature verification: ok" in text,
               f"{path} carries no valid time stamp")
    expect("Calculated MsiDigitalSignatureEx" in verify(os.path.join(signed, msi), ca)[1],
           "the installer's signature does not cover its streams' names and dates")
    sums = subprocess.run(["sha256sum", "-c", "SHA256SUMS"], cwd=signed, capture_output=True,
                          text=True)
    expect(sums.returncode == 0 and len(sums.stdout.splitlines()) == len(programs) + 2,
           f"SHA256SUMS does not check out: {sums.stdout} {sums.stderr}")

    # One byte changed in a signed file: refused.
    for name in ("dalvento.exe", msi):
        data = bytearray(read(os.path.join(signed, name)))
        data[len(data) // 2] ^= 0x01
        tampered = os.path.join(args.work, "tampered-" + name)
        with open(tampered, "wb") as f:
            f.write(data)
        accepted, text = verify(tampered, ca)
        print(f"--- osslsigncode verify {os.path.basename(tampered)} (one byte changed):\n"
              f"{text}\n")
        expect(not accepted, f"osslsigncode accepts {name} with a byte changed")

    after = {name: hashlib.sha256(read(path)).hexdigest() for name, path in built.items()}
    expect(before == after, "signing changed the build's own unsigned files")

    # Half a certificate.
    result = release(args.release_script, args.build, os.path.join(args.work, "half"),
                     dict(env, DALVENTO_SIGN_PFX=pfx))
    expect(result.returncode != 0 and "DALVENTO_SIGN_PASSWORD" in result.stderr,
           f"release.sh with a certificate but no password did not refuse: {result.stderr}")

    for fault in faults:
        print(f"FAULT: {fault}", file=sys.stderr)
    if faults:
        return 1
    shutil.rmtree(args.work, ignore_errors=True)
    print(f"unsigned and signed releases as expected: {', '.join(programs + [msi, zip_name])}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
