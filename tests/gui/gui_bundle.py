#!/usr/bin/env python3
"""End to end: the Windows program under Wine on a private virtual screen makes a bundle.

Generates a small sample export, writes a prepared state file pointing at it, starts the program
with APPDATA and LOCALAPPDATA in a temporary folder, and drives it the way a person would: Bundle,
the checks question if one comes, "Send this delivery?", the zip folder picker (which must start
in the prepared out_dir), "Zip ready". Then it checks the zip, closes the window and checks the
program ends with status 0 having rewritten the state file. Screenshots of every window it meets
go to --screenshots; on a failure the whole screen is saved there too.

usage: gui_bundle.py --wine WINE --program dalvento.exe --exportgen dalvento-exportgen.exe
                     --screenshots DIR [--keep]
"""

import argparse
import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import zipfile

sys.dont_write_bytecode = True  # nothing left behind in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import xscreen  # noqa: E402

MAIN_TITLE = "Dalvento \u00b7 Quarnell County"
DIALOG_TITLE = "Send this delivery?"
PICKER_TITLE = "Where should the zip be saved? (a folder or a USB stick)"
READY_TITLE = "Zip ready"
CHECKS_TITLE = "Before you send"
# Boxes that mean the flow went wrong, seen while waiting for something else.
TROUBLE_TITLES = ["Not ready yet", "Nothing new", "Couldn't build the zip",
                  "Couldn't save settings", "Couldn't open the dialog"]
CLIENT_WIDTH, CLIENT_HEIGHT = 940, 700
BUNDLE_BUTTON = (564 + 170 // 2, 626 + 40 // 2)  # centre, in client pixels at 96 DPI
SENDER = "Test Office"
TAX_YEAR = "2026 roll"
FIRST_START_TIMEOUT = 180  # Wine's first start in a fresh session is slow
STEP_TIMEOUT = 60


class TestFailure(Exception):
    pass


def windows_path(path):
    """The path as the program sees it under Wine, whose Z: drive is the Linux root."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Run:
    def __init__(self, args):
        self.args = args
        self.work = tempfile.mkdtemp(prefix="dalvento-gui-")
        self.shots = os.path.abspath(args.screenshots)
        os.makedirs(self.shots, exist_ok=True)
        for name in os.listdir(self.shots):
            if name.endswith(".png"):
                os.remove(os.path.join(self.shots, name))
        self.screen = None
        self.program = None
        self.log_path = os.path.join(self.work, "program.log")
        self.step = 0

    # --- helpers --------------------------------------------------------------------------------

    def say(self, text):
        print(f"[{time.strftime('%H:%M:%S')}] {text}", flush=True)

    def shot(self, name, window=None):
        self.step += 1
        path = os.path.join(self.shots, f"{self.step:02d}-{name}.png")
        box = self.screen.geometry(window) if window is not None else None
        picture = self.screen.screenshot(path, box)
        self.say(f"screenshot {path} ({picture[0]}x{picture[1]})")
        return path, picture

    def program_status(self):
        return self.program.poll() if self.program else None

    def wait_window(self, title, what, timeout=STEP_TIMEOUT, trouble=()):
        """Waits until a visible window titled title shows; fails naming what was awaited when it
        does not, when the program ends first or when a trouble box shows instead."""
        deadline = time.monotonic() + timeout
        while True:
            found = self.screen.find_windows(title)
            if found:
                # Give it a moment to paint before anyone looks at it.
                time.sleep(1.0)
                return found[-1]
            for other in trouble:
                if self.screen.find_windows(other):
                    raise TestFailure(f"waiting for {what}, a box titled {other!r} showed instead")
            status = self.program_status()
            if status is not None:
                raise TestFailure(f"the program ended with status {status} while waiting for "
                                  f"{what}{self.driver_hint()}")
            if time.monotonic() > deadline:
                raise TestFailure(f"{what} (a window titled {title!r}) did not show within "
                                  f"{timeout} s")
            time.sleep(0.5)

    def answer(self, window, title, what, send, attempts=4, settle=4.0):
        """Makes window take the keys and sends them with send(); under Wine without a window
        manager a key now and then goes nowhere, so when the window is still open a few seconds
        later it is activated and sent again."""
        for attempt in range(1, attempts + 1):
            self.screen.activate(window)
            send()
            deadline = time.monotonic() + settle
            while time.monotonic() < deadline:
                if window not in self.screen.find_windows(title):
                    return
                time.sleep(0.2)
            self.say(f"{what} still open after attempt {attempt} (X focus was on "
                     f"{self.screen.last_focus}, the window is {window})")
        raise TestFailure(f"{what} did not close after {attempts} attempts")

    def driver_hint(self):
        self.log.flush()
        with open(self.log_path, errors="replace") as f:
            if "no driver could be loaded" in f.read():
                return (". Wine says no display driver could be loaded: a Wine process started "
                        "without a display (DISPLAY unset) holds this Wine session's desktop; "
                        "run again once other Wine programs in this prefix have ended")
        return ""

    def check_picture(self, path, picture, what):
        problem = xscreen.picture_problem(*picture)
        if problem:
            raise TestFailure(f"the screenshot of {what} looks blank ({problem}): {path}")

    # --- set-up ---------------------------------------------------------------------------------

    def make_exports(self):
        exports = self.exports = os.path.join(self.work, "exports")
        started = time.monotonic()
        # Every Wine process here sees the virtual screen: the first one to start in a Wine session
        # starts its desktop process, and one started without a display leaves the whole session
        # without a display driver.
        made = subprocess.run(
            [self.args.wine, self.args.exportgen, windows_path(exports), "--layer-mb", "1",
             "--tables-mb", "1", "--other-files", "2", "--other-kb", "32"],
            env=self.screen.env(), capture_output=True, text=True, timeout=120)
        if made.returncode != 0:
            raise TestFailure(f"dalvento-exportgen failed with status {made.returncode}: "
                              f"{made.stderr.strip()}")
        for part in ("arcgis/OWNER.shp", "parcels/tblREProperty.txt"):
            if not os.path.isfile(os.path.join(exports, part)):
                raise TestFailure(f"dalvento-exportgen wrote no {part} under {exports}")
        self.say(f"sample export in {exports} ({time.monotonic() - started:.1f} s)")
        return exports

    def write_state(self, exports):
        self.out = os.path.join(self.work, "out")
        os.makedirs(self.out)
        # A folder in the destination, so the picker's picture shows where it opened.
        os.makedirs(os.path.join(self.out, "earlier deliveries"))
        self.appdata = os.path.join(self.work, "appdata")
        self.localappdata = os.path.join(self.work, "localappdata")
        os.makedirs(os.path.join(self.appdata, "dalvento"))
        os.makedirs(self.localappdata)
        self.state_path = os.path.join(self.appdata, "dalvento", "state.json")
        state = {
            "layers_dirs": [windows_path(os.path.join(exports, "arcgis"))],
            "tables_dirs": [windows_path(os.path.join(exports, "parcels"))],
            "other_dirs": [windows_path(os.path.join(exports, "other"))],
            "sender": SENDER,
            "tax_year": TAX_YEAR,
            "out_dir": windows_path(self.out),
        }
        with open(self.state_path, "w", encoding="utf-8") as f:
            json.dump(state, f, indent=2)
        self.state_written = os.stat(self.state_path).st_mtime_ns

    def start_program(self):
        # Wine fills APPDATA and LOCALAPPDATA from the prefix's registry over whatever the Linux
        # environment says, so they are set by cmd just before it starts the program (cmd waits
        # for it and ends with its exit code).
        command = [self.args.wine, "cmd", "/c",
                   "set", f"APPDATA={windows_path(self.appdata)}&&",
                   "set", f"LOCALAPPDATA={windows_path(self.localappdata)}&&",
                   windows_path(self.args.program)]
        for part in command[3:]:
            if " " in part:
                raise TestFailure(f"paths with blanks are not supported here: {part!r}")
        env = self.screen.env()
        # Quiet, except Wine's own diagnosis of a missing display driver.
        env["WINEDEBUG"] = "-all,err+winediag"
        self.log = open(self.log_path, "w")
        # Its own process group, so that only what this test started is stopped at the end.
        self.program = subprocess.Popen(command, env=env, stdout=self.log,
                                        stderr=subprocess.STDOUT, start_new_session=True)

    # --- the flow -------------------------------------------------------------------------------

    def run(self):
        started = time.monotonic()
        self.screen = xscreen.VirtualScreen(os.path.join(self.work, "fb"))
        self.say(f"Xvfb on {self.screen.display}, work folder {self.work}")
        exports = self.make_exports()
        self.write_state(exports)
        # A Wine process of another test that ran without a display may still hold this Wine
        # session's desktop for a moment; the program then cannot open a window and ends at once.
        for attempt in range(1, 4):
            self.start_program()
            try:
                main = self.wait_window(MAIN_TITLE, "the main window", FIRST_START_TIMEOUT)
                break
            except TestFailure:
                if attempt == 3 or not self.driver_hint():
                    raise
                self.say("Wine had no display driver for the program; starting it again in 5 s")
                self.log.close()
                time.sleep(5)
        self.say(f"main window up after {time.monotonic() - started:.1f} s")
        x, y, width, height = self.screen.geometry(main)
        # Without a window manager Wine's X window is the client area itself; with one it would
        # hold the frame too.
        if (width, height) == (CLIENT_WIDTH, CLIENT_HEIGHT):
            client_x, client_y = x, y
        else:
            border = max(0, (width - CLIENT_WIDTH) // 2)
            client_x, client_y = x + border, y + height - CLIENT_HEIGHT - border
            self.say(f"main window is {width}x{height}, not {CLIENT_WIDTH}x{CLIENT_HEIGHT}; "
                     f"taking the client area at ({client_x}, {client_y})")
        path, picture = self.shot("main-window", main)
        self.check_picture(path, picture, "the main window")

        self.screen.activate(main)
        self.screen.click(client_x + BUNDLE_BUTTON[0], client_y + BUNDLE_BUTTON[1])
        self.say("clicked Bundle...")

        # A first delivery asks whether the never-delivered files are right; answer Yes.
        deadline = time.monotonic() + STEP_TIMEOUT
        dialog = None
        while dialog is None:
            checks = self.screen.find_windows(CHECKS_TITLE)
            if checks:
                time.sleep(1.0)
                self.shot("before-you-send", checks[-1])
                self.answer(checks[-1], CHECKS_TITLE, "the 'Before you send' box",
                            lambda: self.screen.key("y"))
                self.say("answered Yes to 'Before you send'")
                continue
            found = self.screen.find_windows(DIALOG_TITLE)
            if found:
                time.sleep(1.0)
                dialog = found[-1]
                break
            for other in TROUBLE_TITLES:
                if self.screen.find_windows(other):
                    raise TestFailure(f"after Bundle, a box titled {other!r} showed instead of "
                                      f"{DIALOG_TITLE!r}")
            if self.program_status() is not None:
                raise TestFailure(f"the program ended with status {self.program_status()} "
                                  f"after Bundle was clicked")
            if time.monotonic() > deadline:
                raise TestFailure(f"the {DIALOG_TITLE!r} dialog did not show within "
                                  f"{STEP_TIMEOUT} s of clicking Bundle...")
            time.sleep(0.5)
        path, picture = self.shot("send-this-delivery", dialog)
        self.check_picture(path, picture, "the 'Send this delivery?' dialog")

        self.answer(dialog, DIALOG_TITLE, "the 'Send this delivery?' dialog",
                    lambda: self.screen.key("Return"))
        self.say("pressed Enter on the dialog (its default button is Bundle...)")

        picker = self.wait_window(PICKER_TITLE, "the zip folder picker (after the "
                                  "'Send this delivery?' dialog closed)", STEP_TIMEOUT,
                                  TROUBLE_TITLES)
        path, picture = self.shot("zip-folder-picker", picker)
        self.check_picture(path, picture, "the zip folder picker")
        # The picker has nothing selected and an empty name box, where Wine's Open button does
        # nothing; "." names the folder it shows, which must be the prepared out_dir.
        # Click into its name box (Wine lays it out along the bottom, right of a "File name:"
        # label), which also makes the picker take the keys.
        px, py, pwidth, pheight = self.screen.geometry(picker)

        def name_current_folder():
            self.screen.click(px + pwidth - 200, py + pheight - 41)
            time.sleep(0.3)
            self.screen.key("End", "shift+Home", "BackSpace")
            self.screen.xdotool("type", "--delay", "80", ".")
            self.screen.key("Return")

        self.answer(picker, PICKER_TITLE, "the zip folder picker", name_current_folder)
        self.say("typed '.' and Enter in the folder picker")

        ready = self.wait_window(READY_TITLE, "the 'Zip ready' box", STEP_TIMEOUT,
                                 TROUBLE_TITLES)
        path, picture = self.shot("zip-ready", ready)
        self.check_picture(path, picture, "the 'Zip ready' box")
        self.answer(ready, READY_TITLE, "the 'Zip ready' box", lambda: self.screen.key("n"))
        self.say("answered No to 'Show it in its folder?'")

        self.check_zip()

        time.sleep(1.0)
        self.shot("main-window-after", main)
        status = None
        for attempt in range(1, 5):
            self.screen.activate(main)
            self.screen.key("alt+F4")
            self.say("sent Alt+F4 to the main window")
            try:
                status = self.program.wait(timeout=10)
                break
            except subprocess.TimeoutExpired:
                self.say("the program still runs 10 s after Alt+F4")
        if status is None:
            raise TestFailure("the program did not end within 10 s of Alt+F4, four times over")
        if status != 0:
            raise TestFailure(f"the program ended with status {status}, not 0")
        self.check_state()
        self.say(f"passed in {time.monotonic() - started:.1f} s")

    def check_zip(self):
        zips = [n for n in os.listdir(self.out) if n.lower().endswith(".zip")]
        leftovers = [n for n in os.listdir(self.out)
                     if n not in zips and n != "earlier deliveries"]
        if len(zips) != 1:
            raise TestFailure(f"expected one zip in {self.out}, found {zips or 'none'} "
                              f"(everything there: {sorted(os.listdir(self.out))})")
        if leftovers:
            raise TestFailure(f"files left beside the zip in {self.out}: {leftovers}")
        path = os.path.join(self.out, zips[0])
        try:
            with zipfile.ZipFile(path) as archive:
                bad = archive.testzip()
                names = archive.namelist()
                for needed in ("NOTE.txt", "SHA256SUMS", "OWNER.shp", "tblREProperty.txt"):
                    if needed not in names:
                        raise TestFailure(f"{path} holds no {needed}; it holds {names}")
                members = {name: archive.read(name) for name in names}
        except zipfile.BadZipFile as error:
            raise TestFailure(f"{path} is not a valid zip: {error}")
        if bad is not None:
            raise TestFailure(f"{path}: member {bad} fails its CRC check")
        # Every packed file is listed in SHA256SUMS with its true digest.
        listed = {}
        for line in members["SHA256SUMS"].decode().splitlines():
            digest, _, name = line.partition("  ")
            listed[name] = digest
        for name, data in members.items():
            if name in ("NOTE.txt", "SHA256SUMS"):
                continue
            if listed.get(name) != hashlib.sha256(data).hexdigest():
                raise TestFailure(f"SHA256SUMS in {path} gives {listed.get(name)!r} for {name}, "
                                  f"whose digest is {hashlib.sha256(data).hexdigest()}")
        # The packed map layer is the exported one, byte for byte.
        with open(os.path.join(self.exports, "arcgis", "OWNER.shp"), "rb") as f:
            if members["OWNER.shp"] != f.read():
                raise TestFailure(f"OWNER.shp in {path} differs from the exported file")
        note = members["NOTE.txt"].decode("utf-8", errors="replace")
        for typed in (SENDER, TAX_YEAR):
            if typed not in note:
                raise TestFailure(f"NOTE.txt in {path} does not carry {typed!r} from the "
                                  f"dialog:\n{note[:600]}")
        self.say(f"zip {path}: {len(names)} members, {os.path.getsize(path)} bytes, valid")

    def check_state(self):
        if os.stat(self.state_path).st_mtime_ns == self.state_written:
            raise TestFailure(f"{self.state_path} was not rewritten")
        with open(self.state_path, encoding="utf-8") as f:
            state = json.load(f)
        if not state.get("last_sent_at"):
            raise TestFailure(f"{self.state_path}: last_sent_at is not set after the bundle: "
                              f"{state.get('last_sent_at')!r}")
        out_dir = (state.get("out_dir") or "").rstrip("\\")
        if out_dir.endswith("\\."):
            out_dir = out_dir[:-2]
        if out_dir.lower() != windows_path(self.out).lower():
            raise TestFailure(f"{self.state_path}: out_dir is {state.get('out_dir')!r}, "
                              f"expected {windows_path(self.out)!r}")
        if state.get("sender") != SENDER or state.get("tax_year") != TAX_YEAR:
            raise TestFailure(f"{self.state_path}: sender/tax_year changed to "
                              f"{state.get('sender')!r}/{state.get('tax_year')!r}")
        if not state.get("sent_hash"):
            raise TestFailure(f"{self.state_path}: no sent_hash recorded after the bundle")
        self.say(f"state file rewritten: last_sent_at {state['last_sent_at']}, "
                 f"out_dir {state['out_dir']}, {len(state['sent_hash'])} units recorded")

    # --- clean-up -------------------------------------------------------------------------------

    def on_failure(self):
        if self.screen is not None:
            try:
                self.shot("failure-whole-screen")
            except Exception as error:  # a picture is a help, not a must
                self.say(f"could not take the failure screenshot: {error}")

    def close(self):
        if self.program is not None and self.program.poll() is None:
            try:
                os.killpg(self.program.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.program.wait()
        if self.program is not None:
            self.log.close()
            with open(self.log_path, errors="replace") as f:
                text = f.read().strip()
            if text:
                self.say("program output:\n" + text[-3000:])
        if self.screen is not None:
            self.screen.close()
        if not self.args.keep:
            shutil.rmtree(self.work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--wine", default="wine")
    parser.add_argument("--program", required=True)
    parser.add_argument("--exportgen", required=True)
    parser.add_argument("--screenshots", required=True)
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    args = parser.parse_args()
    for name in ("program", "exportgen"):
        if not os.path.isfile(getattr(args, name)):
            print(f"gui_bundle: {getattr(args, name)} is missing; build it first", file=sys.stderr)
            return 2
    run = Run(args)
    try:
        run.run()
        return 0
    except (TestFailure, xscreen.ScreenError, subprocess.TimeoutExpired) as error:
        print(f"gui_bundle: FAILED: {error}", file=sys.stderr, flush=True)
        run.on_failure()
        return 1
    finally:
        run.close()


if __name__ == "__main__":
    sys.exit(main())
