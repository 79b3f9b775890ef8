#!/usr/bin/env python3
"""Installs the built installer under Wine the way a user would, then upgrades and removes it.

Everything happens in a Wine prefix of its own (made afresh in --prefix) on a private virtual
screen: a state file and an outbox zip are put in place first, as a user of an earlier copy would
have them; the package is installed quietly; its files, Start-menu shortcut and registration are
checked, and that it wrote nothing else; the installed program is started through the shortcut and
its window found, pictured and checked for the program's icon; a package of a higher version is
installed over it (one registration, the newer files) and the older one is then refused; finally
the package is removed, and the program, shortcut and registry key must be gone while the state
file and the outbox stay as they were. The prefix is deleted when every check passes and kept
otherwise.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "gui"))
from xscreen import ScreenError, VirtualScreen, picture_problem  # noqa: E402

MAIN_WINDOW_TITLE = "Dalvento \u00b7 Quarnell County"
STATE_TEXT = """{
  "sender": "Install Test Office",
  "tax_year": "2026 roll",
  "host": "https://deliveries.example.invalid",
  "token_protected": "AQAAANCMnd8BFdERjHoAwE_kept_across_installs",
  "sent_hash": {"parcels/OWNER.shp": "3fa91c0b"},
  "last_sent_at": "2026-03-05T10:00:00Z"
}
"""
OUTBOX_ZIP = "QUARNELL-2026-03-05-3fa91c0b.zip"
# Where the package's components keep their key paths.
PACKAGE_KEY = "HKCU\\Software\\Dalvento"
# Exit codes of msiexec.
SUCCESS = 0


class Fault(Exception):
    pass


def say(text):
    print(f"-- {text}", flush=True)


class Prefix:
    """A Wine prefix of its own, and the Windows paths in it that the package touches."""

    def __init__(self, wine, folder, display):
        self.wine = wine
        self.wineserver = os.path.join(os.path.dirname(wine), "wineserver")
        if not os.path.exists(self.wineserver):
            self.wineserver = shutil.which("wineserver") or "wineserver"
        self.folder = folder
        self.env = dict(os.environ)
        # No menu entries or file associations in the Linux desktop, and no offers to fetch Mono
        # or Gecko while the prefix is made.
        self.env.update(WINEPREFIX=folder, WINEDEBUG="-all", DISPLAY=display,
                        WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d")

    def run(self, *args, timeout=300):
        return subprocess.run([self.wine, *args], env=self.env, capture_output=True, text=True,
                              errors="replace", timeout=timeout)

    def create(self):
        if os.path.exists(self.folder):
            shutil.rmtree(self.folder)
        subprocess.run([self.wine, "wineboot", "-i"], env=self.env, capture_output=True,
                       timeout=600)
        users = os.path.join(self.folder, "drive_c", "users")
        names = [n for n in os.listdir(users) if n != "Public"] if os.path.isdir(users) else []
        if len(names) != 1:
            raise Fault(f"the new Wine prefix {self.folder} has users {names}, expected one")
        self.user = names[0]
        self.profile = os.path.join(users, self.user)
        self.local = os.path.join(self.profile, "AppData", "Local")
        self.roaming = os.path.join(self.profile, "AppData", "Roaming")
        self.install_dir = os.path.join(self.local, "Programs", "Dalvento")
        self.shortcut = os.path.join(self.roaming, "Microsoft", "Windows", "Start Menu",
                                     "Programs", "Dalvento.lnk")
        self.state = os.path.join(self.roaming, "dalvento", "state.json")
        self.outbox_zip = os.path.join(self.local, "dalvento", "outbox", OUTBOX_ZIP)
        self.windows_install_dir = f"C:\\users\\{self.user}\\AppData\\Local\\Programs\\Dalvento"

    def msiexec(self, *args):
        log = os.path.join(self.folder, f"msiexec-{int(time.monotonic() * 1000)}.log")
        result = self.run("msiexec", *args, "/qn", "/l*v", log, timeout=600)
        return result.returncode, log

    def files(self):
        """Every file under drive_c, as paths relative to it."""
        root = os.path.join(self.folder, "drive_c")
        found = set()
        for folder, _, names in os.walk(root):
            for name in names:
                found.add(os.path.relpath(os.path.join(folder, name), root))
        return found

    def registrations(self):
        """Apps & features entries named Dalvento: (key, values) from the uninstall keys of both
        hives (Wine keeps a per-user product's under HKLM), with the product icon Windows
        Installer registered for it (HKCU Products, by packed product code)."""
        entries = []
        for hive in ("HKLM", "HKCU"):
            result = self.run("reg", "query",
                              f"{hive}\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall",
                              "/s")
            entries += [e for e in parse_reg_query(result.stdout)
                        if e[1].get("DisplayName") == "Dalvento"]
        products = parse_reg_query(
            self.run("reg", "query", "HKCU\\Software\\Microsoft\\Installer\\Products",
                     "/s").stdout)
        icons = {key.rsplit("\\", 1)[-1]: values.get("ProductIcon")
                 for key, values in products if values.get("ProductName") == "Dalvento"}
        return entries, icons

    def host_path(self, windows_path):
        """The Linux path of a C: path in this prefix."""
        if not re.match(r"^[Cc]:\\", windows_path):
            raise Fault(f"{windows_path} is not on drive C:")
        return os.path.join(self.folder, "drive_c", *windows_path[3:].split("\\"))

    def stop(self):
        subprocess.run([self.wineserver, "-k"], env=self.env, capture_output=True, timeout=60)


def parse_reg_query(text):
    """`reg query /s` output as a list of (key, {value name: data})."""
    entries = []
    for line in text.splitlines():
        if line.startswith("HKEY_"):
            entries.append((line.strip(), {}))
        elif entries and line.startswith("    "):
            parts = re.split(r"\s{4}", line.strip(), maxsplit=2)
            if len(parts) >= 2:
                entries[-1][1][parts[0]] = parts[2] if len(parts) == 3 else ""
    return entries


def packed_guid(guid):
    """Windows Installer's packed form of a {GUID}, as its registry keys are named."""
    g = guid.strip("{}").replace("-", "")
    parts = [g[0:8][::-1], g[8:12][::-1], g[12:16][::-1]]
    parts += [g[i:i + 2][::-1] for i in range(16, 32, 2)]
    return "".join(parts).upper()


def product_code(msi):
    out = subprocess.run(["msiinfo", "export", msi, "Property"], capture_output=True,
                         text=True, check=True).stdout
    return re.search(r"^ProductCode\t(\{[^}]+\})$", out, re.M).group(1)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def check_installed(prefix, version, program, icon, msi, faults):
    """The installed files, the shortcut and the one registration of `version`."""
    exe = os.path.join(prefix.install_dir, "dalvento.exe")
    readme = os.path.join(prefix.install_dir, "README.txt")
    if not os.path.isfile(exe) or read(exe) != program:
        faults.append(f"{exe} is missing or is not the built program")
    if not os.path.isfile(readme) or f"Dalvento {version}".encode() not in read(readme):
        faults.append(f"{readme} is missing or does not name version {version}")
    if not os.path.isfile(os.path.join(prefix.install_dir, "dalvento-check.exe")):
        faults.append(f"the receiver's checker dalvento-check.exe is not in {prefix.install_dir}")
    if not os.path.isfile(prefix.shortcut):
        faults.append(f"the Start-menu shortcut {prefix.shortcut} is missing")
    else:
        target = prefix.windows_install_dir + "\\dalvento.exe"
        link = read(prefix.shortcut)
        if target.encode("utf-16-le") not in link and target.encode("ascii") not in link:
            faults.append(f"the shortcut {prefix.shortcut} does not point at {target}")
    entries, icons = prefix.registrations()
    if len(entries) != 1:
        faults.append(f"{len(entries)} Apps & features entries named Dalvento, expected one: "
                      f"{[key for key, _ in entries]}")
    for key, values in entries:
        if values.get("DisplayVersion") != version or values.get("Publisher") != "Dalvento":
            faults.append(f"{key} shows version {values.get('DisplayVersion')!r} by "
                          f"{values.get('Publisher')!r}, expected {version} by Dalvento")
        if not key.endswith(product_code(msi)):
            faults.append(f"{key} is not the product code of {msi}")
    packed = packed_guid(product_code(msi))
    if list(icons) != [packed]:
        faults.append(f"Windows Installer registers products {list(icons)}, expected {packed}")
    elif not icons[packed] or not os.path.isfile(prefix.host_path(icons[packed])) or \
            read(prefix.host_path(icons[packed])) != icon:
        faults.append(f"the product icon {icons[packed]!r} is missing or not the program's icon")


def icon_has_badge(xprop_output):
    """Whether a window's _NET_WM_ICON (as xprop prints it in 32c format) holds the orange of the
    program's icon; the stock application icon has none."""
    numbers = [int(n) for n in re.findall(r"\d+", xprop_output.split("=", 1)[-1])]
    i = 0
    while i + 2 <= len(numbers):
        width, height = numbers[i], numbers[i + 1]
        pixels = numbers[i + 2:i + 2 + width * height]
        for argb in pixels:
            a, r, g, b = argb >> 24, (argb >> 16) & 255, (argb >> 8) & 255, argb & 255
            if a > 200 and r > 200 and 100 < g < 170 and b < 80:
                return True
        i += 2 + width * height
    return False


def run_installed_program(prefix, screen, screenshots, faults):
    """Starts the program through its Start-menu shortcut and checks its window."""
    say("starting the installed program through its Start-menu shortcut")
    started = subprocess.Popen([prefix.wine, "start", "/unix", prefix.shortcut], env=prefix.env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    windows = []
    deadline = time.monotonic() + 120
    while not windows and time.monotonic() < deadline:
        time.sleep(1)
        windows = screen.find_windows(MAIN_WINDOW_TITLE)
    started.wait(timeout=60)
    if not windows:
        faults.append(f"the installed program showed no window titled {MAIN_WINDOW_TITLE!r} "
                      "within 120 s")
        return
    time.sleep(2)  # let it paint
    box = screen.geometry(windows[0])
    picture = screen.screenshot(os.path.join(screenshots, "installed_main_window.png"), box)
    problem = picture_problem(*picture)
    if problem:
        faults.append(f"the installed program's window looks blank: {problem}")
    icon = subprocess.run(["xprop", "-id", str(windows[0]), "-f", "_NET_WM_ICON", "32c",
                           " = $0+\n", "_NET_WM_ICON"], env=screen.env(), capture_output=True,
                          text=True, timeout=30).stdout
    if not icon_has_badge(icon):
        faults.append("the installed program's window does not carry the program's icon "
                      f"(_NET_WM_ICON: {icon[:120].strip()!r})")
    say(f"window {windows[0]} at {box}; closing it")
    prefix.run("taskkill", "/im", "dalvento.exe", timeout=120)
    deadline = time.monotonic() + 60
    while screen.find_windows(MAIN_WINDOW_TITLE) and time.monotonic() < deadline:
        time.sleep(1)
    if screen.find_windows(MAIN_WINDOW_TITLE):
        faults.append("the installed program did not close when asked")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--wine", required=True)
    parser.add_argument("--prefix", required=True, help="the folder for the test's Wine prefix")
    parser.add_argument("--msi", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--upgrade-msi", required=True, help="the same program, a higher version")
    parser.add_argument("--upgrade-version", required=True)
    parser.add_argument("--program", required=True, help="the built dalvento.exe")
    parser.add_argument("--icon", required=True, help="the program's .ico")
    parser.add_argument("--screenshots", required=True)
    args = parser.parse_args()
    program, icon = read(args.program), read(args.icon)
    faults = []

    screen = VirtualScreen(os.path.join(args.screenshots, "framebuffer"))
    prefix = Prefix(args.wine, os.path.abspath(args.prefix), screen.display)
    try:
        say(f"making the Wine prefix {prefix.folder}")
        prefix.create()
        os.makedirs(os.path.dirname(prefix.state), exist_ok=True)
        with open(prefix.state, "w", encoding="utf-8") as f:
            f.write(STATE_TEXT)
        os.makedirs(os.path.dirname(prefix.outbox_zip), exist_ok=True)
        with open(prefix.outbox_zip, "wb") as f:
            f.write(b"PK\x05\x06" + bytes(18))
        before = prefix.files()

        say(f"installing {args.msi}")
        status, log = prefix.msiexec("/i", args.msi)
        if status != SUCCESS:
            raise Fault(f"msiexec /i {args.msi} /qn ended with {status}; its log: {log}")
        check_installed(prefix, args.version, program, icon, args.msi, faults)
        if prefix.run("reg", "query", PACKAGE_KEY).returncode != 0:
            faults.append(f"installing did not write the components' key paths under {PACKAGE_KEY}")
        # Nothing beyond the program, its shortcut, and Windows Installer's own copies of the
        # package and of the product icon (which Windows keeps too).
        cache = os.path.join("users", prefix.user, "AppData", "Roaming", "Microsoft", "Installer")
        install = os.path.relpath(prefix.install_dir, os.path.join(prefix.folder, "drive_c"))
        link = os.path.relpath(prefix.shortcut, os.path.join(prefix.folder, "drive_c"))
        stray = sorted(p for p in prefix.files() - before
                       if not p.startswith((install + os.sep, cache + os.sep,
                                            os.path.join("windows", "Installer") + os.sep))
                       and p != link)
        if stray:
            faults.append(f"installing wrote files outside the program's folder: {stray}")

        run_installed_program(prefix, screen, args.screenshots, faults)
        state, outbox = read(prefix.state), read(prefix.outbox_zip)

        say(f"installing the higher version {args.upgrade_msi} over it")
        status, log = prefix.msiexec("/i", args.upgrade_msi)
        if status != SUCCESS:
            raise Fault(f"msiexec /i {args.upgrade_msi} /qn ended with {status}; its log: {log}")
        check_installed(prefix, args.upgrade_version, program, icon, args.upgrade_msi, faults)

        say(f"installing the older {args.msi} again, which must be refused")
        status, log = prefix.msiexec("/i", args.msi)
        if status == SUCCESS:
            faults.append(f"installing {args.version} over {args.upgrade_version} was accepted")
        check_installed(prefix, args.upgrade_version, program, icon, args.upgrade_msi, faults)

        say(f"removing {args.upgrade_msi}")
        status, log = prefix.msiexec("/x", args.upgrade_msi)
        if status != SUCCESS:
            raise Fault(f"msiexec /x {args.upgrade_msi} /qn ended with {status}; its log: {log}")
        if os.path.exists(prefix.install_dir):
            faults.append(f"after removal {prefix.install_dir} still holds "
                          f"{os.listdir(prefix.install_dir)}")
        if os.path.exists(prefix.shortcut):
            faults.append(f"after removal the shortcut {prefix.shortcut} is still there")
        entries, icons = prefix.registrations()
        if entries or icons:
            faults.append(f"after removal Dalvento is still registered: {entries} {icons}")
        if prefix.run("reg", "query", PACKAGE_KEY).returncode == 0:
            faults.append(f"after removal {PACKAGE_KEY} is still there")
        if not os.path.isfile(prefix.state) or read(prefix.state) != state:
            faults.append(f"removal changed or deleted the state file {prefix.state}")
        if not os.path.isfile(prefix.outbox_zip) or read(prefix.outbox_zip) != outbox:
            faults.append(f"removal changed or deleted the outbox zip {prefix.outbox_zip}")
    except (Fault, ScreenError, subprocess.TimeoutExpired) as error:
        faults.append(str(error))
    finally:
        prefix.stop()
        screen.close()

    for fault in faults:
        print(f"FAULT: {fault}", file=sys.stderr)
    if faults:
        print(f"The Wine prefix is kept for a look: {prefix.folder}", file=sys.stderr)
        return 1
    shutil.rmtree(prefix.folder, ignore_errors=True)
    say("installed, started, upgraded, refused a downgrade and removed as expected")
    return 0


if __name__ == "__main__":
    sys.exit(main())
