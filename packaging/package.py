#!/usr/bin/env python3
"""Makes the Windows packages from a folder of the files they carry, the same bytes every time.

    package.py msi --config PACKAGES.json --stage FOLDER --output FILE.msi
    package.py zip --config PACKAGES.json --stage FOLDER --output FILE.zip

The build makes its packages with it, and scripts/release.sh its signed ones from the same
settings (PACKAGES.json, written by packaging/CMakeLists.txt): the installer source, its
variables, the files of the portable zip, and the file holding the time every package carries.

Nothing of the moment or the machine goes in. The installer's cabinet takes each file's
modification time, so wixl is given copies dated at that time (and the zone of UTC, in which the
cabinet's local times are read). wixl stamps the summary with the time it runs and a random
package code; both are then set in place: the dates to that time, and the package code to one
derived from the package's own bytes, so that a different package always gets a different code.
The zip's entries carry that time and fixed attributes, nothing from the files on disk.
"""

import argparse
import datetime
import hashlib
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import uuid
import zipfile

# Property identifiers of the summary information stream.
PID_REVNUMBER = 9  # the package code
PID_CREATE_DTM = 12
PID_LASTSAVE_DTM = 13
VT_LPSTR = 30
VT_FILETIME = 64
FILETIME_AT_1970 = 116444736000000000  # 100 ns steps from 1601 to 1970
PLACEHOLDER_CODE = "{00000000-0000-0000-0000-000000000000}"
SUMMARY_STREAM = "\x05SummaryInformation"
ZIP_EARLIEST = 315532800  # 1980-01-01, the first time a zip entry can hold


class PackageError(Exception):
    pass


class CompoundFile:
    """Just enough of a compound file (the container of an MSI) to find one stream's bytes and
    overwrite them in place, leaving the layout as it is."""

    FREE, END = 0xFFFFFFFF, 0xFFFFFFFE

    def __init__(self, data):
        if data[:8] != bytes.fromhex("D0CF11E0A1B11AE1"):
            raise PackageError("not a compound file")
        self.data = data
        self.sector_size = 1 << struct.unpack_from("<H", data, 0x1E)[0]
        self.mini_size = 1 << struct.unpack_from("<H", data, 0x20)[0]
        (fat_count, first_dir, _, cutoff, first_minifat, _, first_difat,
         difat_count) = struct.unpack_from("<IIIIIIII", data, 0x2C)
        self.cutoff = cutoff
        fat_sectors = list(struct.unpack_from("<109I", data, 0x4C))
        per_sector = self.sector_size // 4
        sector = first_difat
        for _ in range(difat_count):
            entries = struct.unpack_from(f"<{per_sector}I", data, self.offset(sector))
            fat_sectors += entries[:-1]
            sector = entries[-1]
        self.fat = []
        for sector in fat_sectors[:fat_count]:
            self.fat += struct.unpack_from(f"<{per_sector}I", data, self.offset(sector))
        self.minifat = []
        for sector in self.chain(first_minifat):
            self.minifat += struct.unpack_from(f"<{per_sector}I", data, self.offset(sector))
        directory = b"".join(self.sector(s) for s in self.chain(first_dir))
        self.entries = []
        for at in range(0, len(directory), 128):
            name_length, kind = struct.unpack_from("<HB", directory, at + 0x40)
            start, size = struct.unpack_from("<IQ", directory, at + 0x74)
            name = directory[at:at + max(name_length - 2, 0)].decode("utf-16-le")
            self.entries.append((name, kind, start, size))
        # The mini stream, holding the small streams, is the root entry's chain.
        self.mini_stream = list(self.chain(self.entries[0][2]))

    def offset(self, sector):
        return (sector + 1) * self.sector_size

    def sector(self, sector):
        at = self.offset(sector)
        return self.data[at:at + self.sector_size]

    def chain(self, start, table=None):
        table = self.fat if table is None else table
        seen = set()
        while start not in (self.END, self.FREE):
            if start in seen or start >= len(table):
                raise PackageError("the compound file's sector chain is broken")
            seen.add(start)
            yield start
            start = table[start]

    def stream_offsets(self, name):
        """The file offset of each byte of the named stream."""
        found = [e for e in self.entries if e[0] == name and e[1] == 2]
        if len(found) != 1:
            raise PackageError(f"the package has {len(found)} streams named {name!r}")
        _, _, start, size = found[0]
        offsets = []
        if size < self.cutoff:
            per_sector = self.sector_size // self.mini_size
            for mini in self.chain(start, self.minifat):
                sector = self.mini_stream[mini // per_sector]
                base = self.offset(sector) + (mini % per_sector) * self.mini_size
                offsets += range(base, base + self.mini_size)
        else:
            for sector in self.chain(start):
                offsets += range(self.offset(sector), self.offset(sector) + self.sector_size)
        if len(offsets) < size:
            raise PackageError(f"the stream {name!r} is shorter than its entry says")
        return offsets[:size]


def summary_fields(stream):
    """{property id: (type, offset of its value in the stream, value length)} of the summary's one
    property set."""
    if len(stream) < 48 or struct.unpack_from("<H", stream, 0)[0] != 0xFFFE:
        raise PackageError("the summary information is not a property set")
    section = struct.unpack_from("<I", stream, 44)[0]
    _, count = struct.unpack_from("<II", stream, section)
    fields = {}
    for i in range(count):
        pid, at = struct.unpack_from("<II", stream, section + 8 + 8 * i)
        at += section
        kind = struct.unpack_from("<I", stream, at)[0]
        if kind == VT_LPSTR:
            length = struct.unpack_from("<I", stream, at + 4)[0]
            fields[pid] = (kind, at + 8, length)
        elif kind == VT_FILETIME:
            fields[pid] = (kind, at + 4, 8)
    return fields


def set_summary(path, epoch):
    """Sets the package's creation and last-saved dates to `epoch` and its package code to one
    derived from its content, in place."""
    with open(path, "rb") as f:
        data = bytearray(f.read())
    offsets = CompoundFile(bytes(data)).stream_offsets(SUMMARY_STREAM)
    stream = bytes(data[o] for o in offsets)
    fields = summary_fields(stream)

    def put(at, value):
        for i, byte in enumerate(value):
            data[offsets[at + i]] = byte

    filetime = struct.pack("<Q", FILETIME_AT_1970 + epoch * 10_000_000)
    for pid in (PID_CREATE_DTM, PID_LASTSAVE_DTM):
        if fields.get(pid, (None,))[0] != VT_FILETIME:
            raise PackageError(f"the summary has no date {pid} to set")
        put(fields[pid][1], filetime)
    kind, at, length = fields.get(PID_REVNUMBER, (None, 0, 0))
    if kind != VT_LPSTR or length != len(PLACEHOLDER_CODE) + 1:
        raise PackageError("the summary has no package code to set")
    put(at, PLACEHOLDER_CODE.encode("ascii"))
    digest = hashlib.sha256(data).hexdigest()
    code = "{" + str(uuid.uuid5(uuid.NAMESPACE_OID, "dalvento-package:" + digest)).upper() + "}"
    put(at, code.encode("ascii"))
    with open(path, "wb") as f:
        f.write(data)
    return code


def read_epoch(config):
    with open(config["source_date_epoch_file"], encoding="ascii") as f:
        text = f.read().strip()
    if not text.isdigit():
        raise PackageError(f"{config['source_date_epoch_file']} holds {text!r}, not a time")
    return int(text)


def make_msi(config, stage, output):
    epoch = read_epoch(config)
    with tempfile.TemporaryDirectory(dir=os.path.dirname(os.path.abspath(output))) as work:
        for name in config["msi_files"]:
            shutil.copyfile(os.path.join(stage, name), os.path.join(work, name))
            os.utime(os.path.join(work, name), (epoch, epoch))
        partial = os.path.join(work, "package.msi")
        command = [config["wixl"], "--arch", "x64"]
        for name, value in config["wixl_variables"].items():
            command += ["-D", f"{name}={value}"]
        command += ["-o", partial, config["wxs"]]
        result = subprocess.run(command, cwd=work, env=dict(os.environ, TZ="UTC"),
                                capture_output=True, text=True)
        if result.returncode != 0:
            raise PackageError(f"wixl failed: {result.stderr.strip()}")
        set_summary(partial, epoch)
        os.replace(partial, output)


def make_zip(config, stage, output):
    epoch = max(read_epoch(config), ZIP_EARLIEST)
    when = datetime.datetime.fromtimestamp(epoch, datetime.timezone.utc).timetuple()[:6]
    partial = output + ".partial"
    with zipfile.ZipFile(partial, "w") as z:
        for name in config["zip_files"]:
            entry = zipfile.ZipInfo(name, date_time=when)
            entry.create_system = 0  # MS-DOS attributes: what Windows' own zips carry
            entry.external_attr = 0x20  # archive
            entry.compress_type = zipfile.ZIP_DEFLATED
            with open(os.path.join(stage, name), "rb") as f:
                z.writestr(entry, f.read(), compresslevel=9)
    os.replace(partial, output)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("kind", choices=("msi", "zip"))
    parser.add_argument("--config", required=True)
    parser.add_argument("--stage", required=True, help="the folder holding the packaged files")
    parser.add_argument("--output", required=True)
    args = parser.parse_args()
    with open(args.config, encoding="utf-8") as f:
        config = json.load(f)
    try:
        (make_msi if args.kind == "msi" else make_zip)(config, args.stage, args.output)
    except (PackageError, OSError) as error:
        print(f"package.py: {args.output}: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
