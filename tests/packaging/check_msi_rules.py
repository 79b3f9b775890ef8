#!/usr/bin/env python3
"""Checks the installer against Windows Installer's validation rules (ICEs) that matter for a
per-user package, reading its tables with msiinfo, and that its components are the ones earlier
versions shipped, so that upgrades keep working. Exits non-zero naming every fault.

    ICE38  a component installed into the user's profile keys on an HKCU registry value
    ICE43  a component with a non-advertised shortcut keys on an HKCU registry value
    ICE57  no component mixes per-user and per-machine data, nor keys on a root that can be either
    ICE64  every folder the package makes in the user's profile is removed on uninstall
    ICE105 nothing per machine: no system folders, HKLM values, services, data sources, or
           custom actions that run elevated
"""

import argparse
import sys

from check_packages import msiinfo, table

# The components as shipped: id -> (GUID, folder, key path under HKCU). Windows Installer tells a
# component by its GUID across versions; one that keeps its GUID must keep its folder and key path,
# or an upgrade or repair leaves files behind or removes shared ones. A new component is added
# here with a new GUID; a shipped one is never changed.
SHIPPED_COMPONENTS = {
    "ProgramsFolder": ("{BC6A3DC2-9F51-4B6A-8B50-EEC9806BD9CF}", "UserProgramsFolder",
                       ("Software\\Dalvento", "ProgramsFolder")),
    "Program": ("{DC3446C6-2CA8-4CE3-92DA-304680386F67}", "INSTALLDIR",
                ("Software\\Dalvento", "Program")),
    "Readme": ("{252F3225-55F3-4259-B8CF-338FDDDE469E}", "INSTALLDIR",
               ("Software\\Dalvento", "Readme")),
    "Checker": ("{A2F66D08-5AC0-4483-A443-50D2F21BF5F4}", "INSTALLDIR",
                ("Software\\Dalvento", "Checker")),
}

# Standard folder properties: in the user's profile (for a per-user package, as this one is
# checked to be), and per machine.
PROFILE_FOLDERS = {
    "AppDataFolder", "LocalAppDataFolder", "PersonalFolder", "DesktopFolder", "FavoritesFolder",
    "MyPicturesFolder", "NetHoodFolder", "PrintHoodFolder", "RecentFolder", "SendToFolder",
    "StartMenuFolder", "ProgramMenuFolder", "StartupFolder", "TemplateFolder",
}
MACHINE_FOLDERS = {
    "ProgramFilesFolder", "ProgramFiles64Folder", "CommonFilesFolder", "CommonFiles64Folder",
    "CommonAppDataFolder", "SystemFolder", "System16Folder", "System64Folder", "WindowsFolder",
    "WindowsVolume", "FontsFolder", "TempFolder", "AdminToolsFolder",
}
HKCU, HKLM = 1, 2
ROOTS = {-1: "HKMU (per user or per machine)", 0: "HKCR", 1: "HKCU", 2: "HKLM", 3: "HKU"}
REGISTRY_KEY_PATH = 4  # msidbComponentAttributesRegistryKeyPath
NO_IMPERSONATE = 0x800  # msidbCustomActionTypeNoImpersonate: runs elevated
REMOVE_ON_UNINSTALL = 2  # InstallMode bit


def check(msi, faults):
    def expect(condition, text):
        if not condition:
            faults.append(text)

    directories = {row["Directory"]: row for row in table(msi, "Directory")}
    components = {row["Component"]: row for row in table(msi, "Component")}
    registry = {row["Registry"]: row for row in table(msi, "Registry")}
    files = table(msi, "File")
    shortcuts = table(msi, "Shortcut")
    features = {row["Feature"] for row in table(msi, "Feature")}

    def scope(directory):
        """'user', 'machine' or None for a folder, from the standard folder it lies in."""
        seen = set()
        while directory and directory not in seen:
            if directory in PROFILE_FOLDERS:
                return "user"
            if directory in MACHINE_FOLDERS:
                return "machine"
            seen.add(directory)
            directory = directories.get(directory, {}).get("Directory_Parent")
        return None

    def key_path(name):
        """The registry row a component keys on, or None when it keys on a file or folder."""
        row = components[name]
        if not int(row["Attributes"]) & REGISTRY_KEY_PATH:
            return None
        return registry.get(row["KeyPath"])

    def keys_on_hkcu(name):
        row = key_path(name)
        return row is not None and int(row["Root"]) == HKCU

    for name, row in components.items():
        if scope(row["Directory_"]) == "user":
            expect(keys_on_hkcu(name),
                   f"ICE38: component {name} installs to the user profile; it must key on an "
                   f"HKCU registry value, not {row['KeyPath']!r}")

    for shortcut in shortcuts:
        if shortcut["Target"] not in features:  # not advertised
            expect(keys_on_hkcu(shortcut["Component_"]),
                   f"ICE43: component {shortcut['Component_']} has the non-advertised shortcut "
                   f"{shortcut['Shortcut']}; it must key on an HKCU registry value")

    # Per-user and per-machine data of each component: its registry values, and the folders of
    # its files, shortcuts and its own.
    for name, row in components.items():
        kinds = set()
        for value in registry.values():
            if value["Component_"] == name:
                root = int(value["Root"])
                kinds.add("user" if root == HKCU else "machine" if root in (HKLM, 0, 3)
                          else "either")
        for f in files:
            if f["Component_"] == name:
                kinds.add(scope(row["Directory_"]))
        for s in shortcuts:
            if s["Component_"] == name:
                kinds.add(scope(s["Directory_"]))
        kinds.discard(None)
        expect(not {"user", "machine"} <= kinds,
               f"ICE57: component {name} has both per-user and per-machine data")
        expect("either" not in kinds,
               f"ICE57: component {name} has a registry value that can be per user or per machine")
        value = key_path(name)
        expect(value is None or int(value["Root"]) in (HKCU, HKLM),
               f"ICE57: component {name} keys on {ROOTS.get(int(value['Root'])) if value else ''}, "
               "which can be either per user or per machine")

    removed = {row["DirProperty"] for row in table(msi, "RemoveFile")
               if not row["FileName"] and int(row["InstallMode"]) & REMOVE_ON_UNINSTALL}
    for name in directories:
        if name not in PROFILE_FOLDERS and scope(name) == "user":
            expect(name in removed,
                   f"ICE64: the folder {name} is in the user profile but the RemoveFile table "
                   "does not remove it on uninstall")

    machine = sorted(set(directories) & MACHINE_FOLDERS)
    expect(not machine, f"ICE105: the package uses the per-machine folders {machine}")
    hklm = [row["Registry"] for row in registry.values() if int(row["Root"]) == HKLM]
    expect(not hklm, f"ICE105: the package writes under HKLM: {hklm}")
    for name in ("ServiceInstall", "ODBCDataSource", "MsiAssembly"):
        rows = table(msi, name) if name in tables(msi) else []
        expect(not rows, f"ICE105: the package has rows in {name}: {rows}")
    elevated = [row["Action"] for row in table(msi, "CustomAction")
                if int(row["Type"]) & NO_IMPERSONATE]
    expect(not elevated, f"ICE105: custom actions run elevated: {elevated}")

    # Stable across versions: the shipped components as they were, and no component without one
    # of its own GUID.
    guids = [row["ComponentId"] for row in components.values()]
    expect(len(set(guids)) == len(guids), f"two components share a GUID: {guids}")
    for name, (guid, directory, (key, value_name)) in SHIPPED_COMPONENTS.items():
        row = components.get(name)
        if row is None:
            faults.append(f"the shipped component {name} ({guid}) is gone; an upgrade would "
                          "leave its files behind")
            continue
        value = key_path(name) or {}
        expect((row["ComponentId"], row["Directory_"], value.get("Key"), value.get("Name")) ==
               (guid, directory, key, value_name),
               f"the shipped component {name} changed: {row['ComponentId']} in "
               f"{row['Directory_']} keyed on {value.get('Key')}\\{value.get('Name')}, shipped as "
               f"{guid} in {directory} keyed on {key}\\{value_name}; give it a new GUID")
    return components


def tables(msi):
    return {row["Name"] for row in table(msi, "_Tables")}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--msi", required=True)
    parser.add_argument("--upgrade-msi", required=True,
                        help="a package of a higher version from the same source")
    args = parser.parse_args()
    faults = []
    components = check(args.msi, faults)
    upgrade_components = check(args.upgrade_msi, faults)

    # Versions differ in product code and package code (a package code names one package's
    # bytes; two packages sharing one confuse Windows Installer's cache), never in components.
    def codes(msi):
        properties = {row["Property"]: row["Value"] for row in table(msi, "Property")}
        summary = dict(line.split(": ", 1) for line in
                       msiinfo("suminfo", msi).splitlines() if ": " in line)
        return properties.get("ProductCode"), summary.get("Revision number (UUID)")

    product, package = codes(args.msi)
    upgrade_product, upgrade_package = codes(args.upgrade_msi)
    if product == upgrade_product or package == upgrade_package:
        faults.append(f"the two versions share a product code ({product}, {upgrade_product}) or "
                      f"a package code ({package}, {upgrade_package})")
    if components != upgrade_components:
        faults.append("the components differ between the two versions")

    for fault in faults:
        print(f"FAULT: {fault}", file=sys.stderr)
    if faults:
        return 1
    print(f"{args.msi} and {args.upgrade_msi}: ICE38, ICE43, ICE57, ICE64 and ICE105 hold for "
          f"components {sorted(components)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
