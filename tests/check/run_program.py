#!/usr/bin/env python3
"""Runs the built dalvento-check (under Wine for the Windows build) as a receiver would, on
delivery zips written here by Python's zipfile, a writer the program did not write: a whole one
(deflated and stored members, a name in UTF-8) exits 0 with one "ok" line per member; --json
prints the same as JSON that Python's own parser reads; a member changed after packing exits 1
and names it; a zip cut short exits 2; no zip exits 2 with the usage. Exits non-zero naming
every fault."""

import argparse
import hashlib
import json
import os
import subprocess
import sys
import tempfile
import zipfile

NAME = "QUARNELL-2026-03-05-0123abcd.zip"
MEMBERS = [("\u00dcbersicht M\u00e4rz.pdf", b"%PDF-1.4 " * 3000, zipfile.ZIP_DEFLATED),
           ("readme.rtf", b"{\\rtf1 plain}", zipfile.ZIP_STORED)]


def note(members):
    lines = ["Quarnell County Valdex data delivery", "", "Sent by: Pat Clerk",
             "Exported: March 5, 2026 (from newest table export)", "Tax year / roll: (not given)",
             "Anything unusual: nothing noted", "Packed: 2026-03-06 14:07", "", "Files:"]
    for name, content, _ in members:
        lines.append(f"  {name:<28} {len(content):>12} bytes  modified 2026-03-05 09:30  (extra)")
    lines += ["", "Packed by Dalvento 0.2.0"]
    return "".join(line + "\r\n" for line in lines).encode("utf-8")


def write_delivery(path, members, sums_of=None):
    sums = "".join(f"{hashlib.sha256(c).hexdigest()}  {n}\r\n"
                   for n, c, _ in (sums_of or members)).encode("utf-8")
    with zipfile.ZipFile(path, "w") as z:
        for name, content, method in members:
            z.writestr(zipfile.ZipInfo(name, (2026, 3, 5, 9, 30, 0)), content, compress_type=method)
        z.writestr("NOTE.txt", note(sums_of or members), compress_type=zipfile.ZIP_DEFLATED)
        z.writestr("SHA256SUMS", sums, compress_type=zipfile.ZIP_DEFLATED)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--wine")
    args = parser.parse_args()
    faults = []

    def run(*arguments):
        command = [args.wine, args.program] if args.wine else [args.program]
        if args.wine:
            arguments = ["Z:" + a.replace("/", "\\") if a.startswith("/") else a
                         for a in arguments]
        result = subprocess.run(command + list(arguments), capture_output=True,
                                env=dict(os.environ, WINEDEBUG="-all"))
        return result.returncode, result.stdout.decode("utf-8"), result.stderr.decode("utf-8")

    def expect(condition, text):
        if not condition:
            faults.append(text)

    with tempfile.TemporaryDirectory() as scratch:
        for case in ("whole", "changed", "cut"):
            os.makedirs(os.path.join(scratch, case))
        whole = os.path.join(scratch, "whole", NAME)
        write_delivery(whole, MEMBERS)
        status, out, err = run(whole)
        names = [m[0] for m in MEMBERS] + ["NOTE.txt", "SHA256SUMS"]
        expected = "".join(f"{n}: ok\n" for n in names) + "4 members checked, 0 problems\n"
        expect(status == 0 and out.replace("\r\n", "\n") == expected,
               f"the whole zip gave {status}:\n{out}{err}")

        status, out, err = run("--json", whole)
        try:
            report = json.loads(out)
            expect(status == 0 and report["status"] == 0 and report["members"] == 4
                   and [f["subject"] for f in report["findings"]] == names
                   and all(f["ok"] and f["text"] == "ok" for f in report["findings"]),
                   f"--json on the whole zip gave {status}: {report}")
        except (ValueError, KeyError) as error:
            faults.append(f"--json printed no report ({error}):\n{out}{err}")

        changed = os.path.join(scratch, "changed", NAME)
        altered = [(MEMBERS[0][0], MEMBERS[0][1].replace(b"1.4", b"1.5", 1), MEMBERS[0][2])]
        write_delivery(changed, altered + MEMBERS[1:], sums_of=MEMBERS)
        status, out, err = run(changed)
        expect(status == 1 and f"{MEMBERS[0][0]}: its SHA-256 doesn't match SHA256SUMS" in out
               and out.replace("\r\n", "\n").endswith("4 members checked, 1 problems\n"),
               f"the changed member gave {status}:\n{out}{err}")

        cut = os.path.join(scratch, "cut", NAME)
        with open(whole, "rb") as f, open(cut, "wb") as g:
            g.write(f.read()[:-10])
        status, out, err = run(cut)
        expect(status == 2 and "not a readable zip" in out, f"the cut zip gave {status}:\n{out}")

        status, out, err = run()
        expect(status == 2 and err.startswith("usage: dalvento-check"),
               f"no zip gave {status}:\n{out}{err}")

    for fault in faults:
        print(f"FAULT: {fault}", file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
