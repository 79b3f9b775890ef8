#!/usr/bin/env python3
"""Checks the built installer's summary and tables with msitools' msiinfo, and the portable zip's
contents, against what an office's IT expects of them. Exits non-zero naming every fault."""

import argparse
import os
import re
import struct
import subprocess
import sys
import tempfile
import time
import zipfile

UPGRADE_ATTR_ONLY_DETECT = 2
WORD_COUNT_COMPRESSED = 2
WORD_COUNT_NO_ELEVATION = 8


def msiinfo(*args):
    # Exporting a table of binary data writes its streams as files, so it runs in a scratch folder.
    with tempfile.TemporaryDirectory() as scratch:
        result = subprocess.run(["msiinfo", *[os.path.abspath(a) if a.endswith(".msi") else a
                                              for a in args]],
                                capture_output=True, text=True, cwd=scratch,
                                env=dict(os.environ, TZ="UTC"))
    if result.returncode != 0:
        raise SystemExit(f"msiinfo {' '.join(args)} failed: {result.stderr.strip()}")
    return result.stdout


def table(msi, name):
    """The rows of one table as dicts (msiinfo export: names, types, key line, then rows)."""
    lines = msiinfo("export", msi, name).splitlines()
    columns = lines[0].split("\t")
    return [dict(zip(columns, line.split("\t"))) for line in lines[3:] if line]


def icon_images(data):
    """The images an .ico holds, as {size: image bytes}."""
    reserved, kind, count = struct.unpack_from("<HHH", data)
    if (reserved, kind) != (0, 1):
        return {}
    images = {}
    for i in range(count):
        width, _, _, _, _, _, length, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        images[width or 256] = data[offset:offset + length]
    return images


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--msi", required=True)
    parser.add_argument("--zip", required=True)
    parser.add_argument("--program", required=True, help="the built dalvento.exe")
    parser.add_argument("--icon", required=True, help="the program's .ico")
    parser.add_argument("--version", required=True)
    parser.add_argument("--upgrade-code", required=True)
    parser.add_argument("--source-date-epoch-file", required=True,
                        help="the build's file holding the time the packages carry")
    args = parser.parse_args()
    with open(args.source_date_epoch_file, encoding="ascii") as f:
        epoch = int(f.read())
    faults = []

    def expect(condition, text):
        if not condition:
            faults.append(text)

    # Summary: a 64-bit package, compressed, that asks for no elevation (a per-user install).
    summary = dict(re.findall(r"^([^:\n]+): (.*)$", msiinfo("suminfo", args.msi), re.M))
    expect(summary.get("Template", "").startswith("x64;"),
           f"the summary's platform is {summary.get('Template')!r}, not x64")
    expect(summary.get("Author") == "Dalvento", f"the summary's author is {summary.get('Author')!r}")
    expect(args.version in summary.get("Subject", ""),
           f"the summary's subject {summary.get('Subject')!r} does not name {args.version}")
    word_count = int(summary.get("Source", "0").split()[0])
    expect(word_count & WORD_COUNT_COMPRESSED, "the summary does not say the files are compressed")
    expect(word_count & WORD_COUNT_NO_ELEVATION,
           "the summary says installing needs administrator rights")
    # Dated at the commit's time, not when it was built.
    for field in ("Created", "Last saved"):
        expect(summary.get(field) == time.asctime(time.gmtime(epoch)),
               f"the summary's {field} is {summary.get(field)!r}, not the commit's time "
               f"{time.asctime(time.gmtime(epoch))}")

    properties = {row["Property"]: row["Value"] for row in table(args.msi, "Property")}
    expect(properties.get("ProductName") == "Dalvento",
           f"ProductName is {properties.get('ProductName')!r}")
    expect(properties.get("ProductVersion") == args.version,
           f"ProductVersion is {properties.get('ProductVersion')!r}, the project's is {args.version}")
    expect(properties.get("Manufacturer") == "Dalvento",
           f"Manufacturer (the publisher Apps & features shows) is {properties.get('Manufacturer')!r}")
    upgrade_code = "{" + args.upgrade_code.upper() + "}"
    expect(properties.get("UpgradeCode") == upgrade_code,
           f"UpgradeCode is {properties.get('UpgradeCode')!r}, not the fixed {upgrade_code}")
    # Per user: ALLUSERS unset (1 or 2 would ask for, or prefer, a machine-wide install).
    expect(not properties.get("ALLUSERS"),
           f"ALLUSERS is {properties.get('ALLUSERS')!r}: the install would not be per user")
    product_code = properties.get("ProductCode", "")
    expect(re.fullmatch(r"\{[0-9A-F-]{36}\}", product_code), f"ProductCode is {product_code!r}")

    # The major-upgrade rule: older versions of the upgrade code are removed, newer ones detected
    # (and refused by a launch condition).
    upgrades = [row for row in table(args.msi, "Upgrade") if row["UpgradeCode"] == upgrade_code]
    removes_older = [row for row in upgrades
                     if row["VersionMax"] == args.version and not row["VersionMin"]
                     and not int(row["Attributes"]) & UPGRADE_ATTR_ONLY_DETECT]
    detects_newer = [row for row in upgrades
                     if row["VersionMin"] == args.version
                     and int(row["Attributes"]) & UPGRADE_ATTR_ONLY_DETECT]
    expect(removes_older, "the Upgrade table has no row removing older versions")
    expect(detects_newer, "the Upgrade table has no row detecting newer versions")
    sequence = {row["Action"] for row in table(args.msi, "InstallExecuteSequence")}
    expect({"FindRelatedProducts", "RemoveExistingProducts"} <= sequence,
           "the install sequence lacks FindRelatedProducts or RemoveExistingProducts")
    conditions = [row["Condition"] for row in table(args.msi, "LaunchCondition")]
    expect(any(newer["ActionProperty"] in c for c in conditions for newer in detects_newer),
           "no launch condition refuses to install over a newer version")

    # Where it installs: the user's programs folder under LOCALAPPDATA, and the Start menu.
    directories = {row["Directory"]: row for row in table(args.msi, "Directory")}

    files = {row["FileName"].split("|")[-1]: row for row in table(args.msi, "File")}
    expect(set(files) == {"dalvento.exe", "dalvento-check.exe", "README.txt"},
           f"the package installs {sorted(files)}, not dalvento.exe, dalvento-check.exe and "
           "README.txt")
    components = {row["Component"]: row for row in table(args.msi, "Component")}
    for name, row in files.items():
        directory = components[row["Component_"]]["Directory_"]
        path = []
        while directory:
            entry = directories[directory]
            path.append(directory if entry["DefaultDir"] == "." else entry["DefaultDir"])
            directory = entry["Directory_Parent"]
        where = "\\".join(reversed(path[:-1]))
        expect(where == "LocalAppDataFolder\\Programs\\Dalvento",
               f"{name} installs into {where}, not LocalAppDataFolder\\Programs\\Dalvento")
    with open(args.program, "rb") as f:
        program = f.read()
    expect(int(files.get("dalvento.exe", {}).get("FileSize", -1)) == len(program),
           "the packaged dalvento.exe is not the size of the built one")
    # The registry holds only the components' key paths under HKCU\Software\Dalvento.
    key_paths = {row["KeyPath"] for row in components.values()}
    stray = [row for row in table(args.msi, "Registry")
             if row["Root"] != "1" or row["Key"] != "Software\\Dalvento"
             or row["Registry"] not in key_paths]
    expect(not stray, f"the package writes to the registry beyond its key paths: {stray}")
    expect(not table(args.msi, "CustomAction") or all(
        row["Action"].startswith("WIX") for row in table(args.msi, "CustomAction")),
        "the package runs custom actions")

    shortcuts = table(args.msi, "Shortcut")
    expect(len(shortcuts) == 1 and shortcuts[0]["Directory_"] == "ProgramMenuFolder"
           and shortcuts[0]["Name"].split("|")[-1] == "Dalvento"
           and shortcuts[0]["Target"] == f"[#{files.get('dalvento.exe', {}).get('File')}]",
           f"the Start-menu shortcut is not one 'Dalvento' to dalvento.exe: {shortcuts}")

    # Apps & features shows the product's icon: ARPPRODUCTICON names a row of the Icon table
    # holding the program's icon.
    icons = {row["Name"] for row in table(args.msi, "Icon")}
    expect(properties.get("ARPPRODUCTICON") in icons,
           f"ARPPRODUCTICON {properties.get('ARPPRODUCTICON')!r} is not in the Icon table {icons}")
    with open(args.icon, "rb") as f:
        images = icon_images(f.read())
    expect({16, 32, 48, 256} <= set(images),
           f"the icon holds sizes {sorted(images)}, not 16, 32, 48 and 256")
    # The program carries the icon among its resources (the resource compiler keeps each image's
    # bytes as they are), for Explorer, the shortcut and the taskbar.
    missing = [size for size, image in images.items() if image not in program]
    expect(not missing, f"the program's resources lack the icon's images of sizes {missing}")

    # The portable zip: the same program, the checker and a read-me naming the version, nothing
    # else.
    with zipfile.ZipFile(args.zip) as z:
        names = sorted(z.namelist())
        expect(names == ["README.txt", "dalvento-check.exe", "dalvento.exe"],
               f"the portable zip holds {names}, not dalvento.exe, dalvento-check.exe and "
               "README.txt")
        if "dalvento.exe" in names:
            expect(z.read("dalvento.exe") == program,
                   "the portable zip's dalvento.exe is not the built program")
        when = time.gmtime(max(epoch, 315532800) // 2 * 2)[:6]  # zips keep even seconds
        dates = {info.filename: info.date_time for info in z.infolist()}
        expect(all(date == when for date in dates.values()),
               f"the portable zip's entries are dated {dates}, not the commit's time {when}")
        if "README.txt" in names:
            readme = z.read("README.txt").decode("utf-8")
            expect(f"Dalvento {args.version}" in readme, "the read-me does not name the version")
            expect("\r\n" in readme and "\n" not in readme.replace("\r\n", ""),
                   "the read-me's lines do not end in CR LF (Notepad on older Windows)")

    for fault in faults:
        print(f"FAULT: {fault}", file=sys.stderr)
    if faults:
        return 1
    print(f"{args.msi}: {len(files)} files, product code {product_code}; {args.zip}: {names}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
