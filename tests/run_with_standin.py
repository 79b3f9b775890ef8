#!/usr/bin/env python3
"""Runs a test program beside the delivery service stand-in.

The Windows build's test programs run under Wine and cannot start the stand-in (a Linux program)
themselves. This starts two stand-ins on free loopback ports, one over HTTP and one over HTTPS with
a self-signed certificate made here with the openssl program, waits for each to say it listens,
runs the command with their addresses in the environment, then stops them:

    DALVENTO_STANDIN_URL        http://127.0.0.1:{port}
    DALVENTO_STANDIN_TLS_URL    https://127.0.0.1:{port}  (a certificate nobody trusts)
    DALVENTO_STANDIN_TOKEN      the office token both accept
    DALVENTO_STANDIN_DATA       the HTTP stand-in's data folder (Z:-drive path under Wine)

and two real proxies on loopback (tinyproxy), one letting anything through and one asking every
request to sign in with a password:

    DALVENTO_PROXY_URL          http://127.0.0.2:{port}
    DALVENTO_SIGN_IN_PROXY_URL  http://127.0.0.2:{port}  (answers 407)

The stand-in program is --standin, or DALVENTO_STANDIN when that is set. A missing program is an
error, never a skipped test.

usage: run_with_standin.py --standin PROGRAM -- COMMAND [ARG...]
"""

import os
import socket
import subprocess
import sys
import tempfile
import threading
import time

TOKEN = "dlvt_standin_token_for_tests"
PROXY_ADDRESS = "127.0.0.2"


def fail(message):
    print(f"run_with_standin: {message}", file=sys.stderr)
    sys.exit(2)


def start(program, data, extra):
    process = subprocess.Popen(
        [program, "--port", "0", "--data", data, "--token", TOKEN, *extra],
        stdout=subprocess.PIPE,
        text=True,
    )
    # The first line says where it listens; a stand-in that dies first gives an empty line. A
    # timer ends one that neither speaks nor dies.
    timer = threading.Timer(60, process.kill)
    timer.start()
    line = process.stdout.readline()
    timer.cancel()
    prefix = "listening on "
    if not line.startswith(prefix):
        process.kill()
        fail(f"{program} did not start (said {line!r}, exit code {process.poll()})")
    return process, line[len(prefix):].strip()


def start_proxy(folder, name, sign_in):
    # On an address of its own: Wine's WinHTTP sends a proxy the path alone, as to a server, which
    # tinyproxy then takes as a transparent request, and refuses one to its own address.
    with socket.socket() as probe:
        probe.bind((PROXY_ADDRESS, 0))
        port = probe.getsockname()[1]
    conf = os.path.join(folder, f"{name}.conf")
    with open(conf, "w", encoding="utf-8") as out:
        out.write(f"Port {port}\nListen {PROXY_ADDRESS}\nTimeout 600\nMaxClients 50\n"
                  f"LogLevel Connect\nLogFile \"{os.path.join(folder, name + '.log')}\"\n"
                  "Allow 127.0.0.0/8\n")
        if sign_in:
            out.write("BasicAuth office secret\n")
    try:
        process = subprocess.Popen(["tinyproxy", "-d", "-c", conf],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    except FileNotFoundError:
        fail("tinyproxy is missing; install it with ./scripts/install-deps.sh")
    for _ in range(100):
        try:
            with socket.create_connection((PROXY_ADDRESS, port), timeout=1):
                return process, f"http://{PROXY_ADDRESS}:{port}"
        except OSError:
            if process.poll() is not None:
                break
            time.sleep(0.05)
    process.kill()
    fail(f"tinyproxy did not start on port {port}")


def main():
    args = sys.argv[1:]
    if "--" not in args:
        fail("usage: run_with_standin.py --standin PROGRAM -- COMMAND [ARG...]")
    split = args.index("--")
    options, command = args[:split], args[split + 1:]
    program = os.environ.get("DALVENTO_STANDIN")
    if not program and len(options) == 2 and options[0] == "--standin":
        program = options[1]
    if not program:
        fail("no stand-in program: pass --standin or set DALVENTO_STANDIN")
    if not (os.path.isfile(program) and os.access(program, os.X_OK)):
        fail(f"the stand-in program {program} is missing; build the dalvento-standin target")
    if not command:
        fail("no command to run")

    processes = []
    with tempfile.TemporaryDirectory(prefix="dalvento-standin-") as folder:
        try:
            cert = os.path.join(folder, "cert.pem")
            key = os.path.join(folder, "key.pem")
            made = subprocess.run(
                ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                 "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                 "-keyout", key, "-out", cert],
                capture_output=True, text=True)
            if made.returncode != 0:
                fail(f"openssl could not make a certificate: {made.stderr.strip()}")

            data = os.path.join(folder, "http")
            process, http_address = start(program, data, [])
            processes.append(process)
            process, tls_address = start(program, os.path.join(folder, "https"),
                                         ["--cert", cert, "--key", key])
            processes.append(process)
            process, proxy = start_proxy(folder, "open", False)
            processes.append(process)
            process, sign_in_proxy = start_proxy(folder, "sign-in", True)
            processes.append(process)

            env = dict(os.environ)
            # Loopback must not go through a proxy the environment names.
            for name in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy",
                         "ALL_PROXY"):
                env.pop(name, None)
            env["DALVENTO_STANDIN_URL"] = f"http://{http_address}"
            env["DALVENTO_STANDIN_TLS_URL"] = f"https://{tls_address}"
            env["DALVENTO_STANDIN_TOKEN"] = TOKEN
            env["DALVENTO_PROXY_URL"] = proxy
            env["DALVENTO_SIGN_IN_PROXY_URL"] = sign_in_proxy
            env["DALVENTO_STANDIN_DATA"] = "Z:" + data.replace("/", "\\")
            return subprocess.run(command, env=env).returncode
        finally:
            for process in processes:
                process.terminate()
            for process in processes:
                try:
                    process.wait(timeout=30)
                except subprocess.TimeoutExpired:
                    process.kill()


if __name__ == "__main__":
    sys.exit(main())
