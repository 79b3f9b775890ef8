#!/usr/bin/env python3
"""Checks zips written by Dalvento with readers it did not write.

Each zip comes with an expectation file "{zip}.json":
  {"entries": [{"name": ..., "date_time": [y, m, d, H, M, S], "sha256": ..., "size": ...,
                "ntfs": true}, ...],
   "sums": true}
Checked: Python's zipfile reads every entry in that order with that name and time, every CRC
(testzip) and, where given, the SHA-256 of the content; every entry is deflated with the UTF-8
flag; every local header carries the ZIP64 extended-information field with both sizes; Info-ZIP's `unzip -t` passes and `unzip -l` shows every name unmangled;
7-Zip's `7zz t` passes without a warning (it reports damaged headers as a warning and still
exits 0); libarchive's bsdtar reads every entry back without a complaint; with "sums",
SHA256SUMS as extracted by unzip passes `sha256sum -c`.

Usage:
  check_zip.py ZIP                       check one zip against ZIP.json
  check_zip.py --folder DIR              check every zip in DIR that has a .json
  check_zip.py --wine WINE --exe EXE --filter PATTERN
                                         run the Windows test program under Wine with
                                         DALVENTO_ZIP_CHECK_DIR set, then check what it kept
"""
import hashlib
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile

UTF8_FLAG = 0x800
NTFS = 11


def fail(zip_path, text):
    raise AssertionError(f"{zip_path}: {text}")


def check_local_headers(zip_path, infos):
    with open(zip_path, "rb") as f:
        for info in infos:
            f.seek(info.header_offset)
            head = f.read(30)
            (sig, needed, flags, method, _time, _date, _crc, csize, usize, name_len,
             extra_len) = struct.unpack("<IHHHHHIIIHH", head)
            if sig != 0x04034B50:
                fail(zip_path, f"no local header for {info.filename}")
            if needed < 45:
                fail(zip_path, f"{info.filename}: version needed {needed}, not 4.5 for ZIP64")
            f.read(name_len)
            extra = f.read(extra_len)
            zip64 = None
            at = 0
            while at + 4 <= len(extra):
                field_id, size = struct.unpack_from("<HH", extra, at)
                if field_id == 1:
                    zip64 = extra[at + 4:at + 4 + size]
                at += 4 + size
            if zip64 is None or len(zip64) < 16:
                fail(zip_path, f"{info.filename}: no ZIP64 field with both sizes")
            z_usize, z_csize = struct.unpack_from("<QQ", zip64)
            if (z_usize, z_csize) != (info.file_size, info.compress_size):
                fail(zip_path, f"{info.filename}: ZIP64 sizes {z_usize}, {z_csize} in the "
                               f"local header, {info.file_size}, {info.compress_size} in the "
                               "central directory")
            if usize != 0xFFFFFFFF and csize != 0xFFFFFFFF and (usize, csize) != (
                    info.file_size, info.compress_size):
                fail(zip_path, f"{info.filename}: local sizes differ from the central directory")


def check_zip(zip_path, expect):
    entries = expect["entries"]
    with zipfile.ZipFile(zip_path) as z:
        bad = z.testzip()
        if bad is not None:
            fail(zip_path, f"bad CRC in {bad}")
        infos = z.infolist()
        names = [i.filename for i in infos]
        want = [e["name"] for e in entries]
        if names != want:
            fail(zip_path, f"entries {names[:20]}..., expected {want[:20]}...")
        for info, e in zip(infos, entries):
            if "date_time" in e and list(info.date_time) != e["date_time"]:
                fail(zip_path, f"{info.filename}: time {info.date_time}, expected {e['date_time']}")
            if "size" in e and info.file_size != e["size"]:
                fail(zip_path, f"{info.filename}: {info.file_size} bytes, expected {e['size']}")
            if info.compress_type != zipfile.ZIP_DEFLATED:
                fail(zip_path, f"{info.filename}: not deflated")
            if not info.flag_bits & UTF8_FLAG:
                fail(zip_path, f"{info.filename}: no UTF-8 flag")
            if e.get("ntfs", True) and info.create_system != NTFS:
                fail(zip_path, f"{info.filename}: made on system {info.create_system}, not NTFS")
            if "sha256" in e:
                digest = hashlib.sha256()
                with z.open(info) as member:
                    while piece := member.read(1 << 20):
                        digest.update(piece)
                if digest.hexdigest() != e["sha256"]:
                    fail(zip_path, f"{info.filename}: content differs")
        check_local_headers(zip_path, infos)

    check_7zip(zip_path)
    check_bsdtar(zip_path, want)

    if shutil.which("unzip") is None:
        return
    tested = subprocess.run(["unzip", "-t", "-q", zip_path], capture_output=True, text=True)
    if tested.returncode != 0:
        fail(zip_path, "unzip -t: " + tested.stdout + tested.stderr)
    env = dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8")
    listed = subprocess.run(["unzip", "-l", zip_path], capture_output=True, env=env)
    if listed.returncode != 0:
        fail(zip_path, "unzip -l failed")
    shown = listed.stdout.decode("utf-8", errors="replace")
    lines = set(line.split("   ")[-1].strip() for line in shown.splitlines())
    for name in want:
        if name not in lines:
            fail(zip_path, f"unzip -l does not show {name!r}")
    if expect.get("sums") and shutil.which("sha256sum"):
        with tempfile.TemporaryDirectory() as out:
            unpacked = subprocess.run(["unzip", "-q", zip_path, "-d", out], capture_output=True,
                                      env=env)
            if unpacked.returncode != 0:
                fail(zip_path, "unzip could not extract it")
            summed = subprocess.run(["sha256sum", "-c", "--strict", "SHA256SUMS"], cwd=out,
                                    capture_output=True, text=True)
            if summed.returncode != 0:
                fail(zip_path, "sha256sum -c: " + summed.stdout + summed.stderr)


def check_7zip(zip_path):
    program = shutil.which("7zz") or shutil.which("7z")
    if program is None:
        return
    tested = subprocess.run([program, "t", zip_path], capture_output=True, text=True,
                            errors="replace")
    said = tested.stdout + tested.stderr
    if (tested.returncode != 0 or "Everything is Ok" not in said or "WARNING" in said.upper()
            or "Headers Error" in said):
        fail(zip_path, f"{os.path.basename(program)} t (exit {tested.returncode}): " + said)


def check_bsdtar(zip_path, names):
    if shutil.which("bsdtar") is None:
        return
    env = dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8")
    listed = subprocess.run(["bsdtar", "-tf", zip_path], capture_output=True, env=env)
    shown = listed.stdout.decode("utf-8", errors="replace").splitlines()
    if listed.returncode != 0 or listed.stderr or shown != names:
        fail(zip_path, f"bsdtar -t (exit {listed.returncode}) lists {shown[:20]}: "
                       + listed.stderr.decode("utf-8", errors="replace"))
    # Reading every entry to the end makes libarchive check its CRC.
    read = subprocess.run(["bsdtar", "-xOf", zip_path], stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, env=env)
    if read.returncode != 0 or read.stderr:
        fail(zip_path, f"bsdtar -x (exit {read.returncode}): "
                       + read.stderr.decode("utf-8", errors="replace"))


def check_folder(folder):
    zips = sorted(n for n in os.listdir(folder)
                  if n.endswith(".zip") and os.path.exists(os.path.join(folder, n + ".json")))
    for name in zips:
        path = os.path.join(folder, name)
        with open(path + ".json", encoding="utf-8") as f:
            check_zip(path, json.load(f))
        print(f"ok {name}")
    return len(zips)


def main(argv):
    try:
        if argv[:1] == ["--folder"]:
            if check_folder(argv[1]) == 0:
                print("no zips to check", file=sys.stderr)
                return 1
        elif argv[:1] == ["--wine"]:
            wine, exe, pattern = argv[1], argv[3], argv[5]
            with tempfile.TemporaryDirectory() as folder:
                env = dict(os.environ, WINEDEBUG="-all",
                           DALVENTO_ZIP_CHECK_DIR="Z:" + folder.replace("/", "\\"))
                run = subprocess.run([wine, exe, "--gtest_filter=" + pattern], env=env)
                if run.returncode != 0:
                    return run.returncode
                count = check_folder(folder)
                if count == 0:
                    print("the Windows tests kept no zips", file=sys.stderr)
                    return 1
                print(f"{count} zips from the Windows build checked")
        else:
            with open(argv[0] + ".json", encoding="utf-8") as f:
                check_zip(argv[0], json.load(f))
    except (AssertionError, zipfile.BadZipFile) as e:
        print(e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
