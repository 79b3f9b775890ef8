"""A private virtual screen for driving Windows programs under Wine, and pictures of it.

Xvfb runs with -fbdir, so its framebuffer is a live XWD file; screenshots are cut from it and
written as PNG with nothing but struct and zlib. Windows are found and driven with xdotool.
"""

import os
import re
import select
import struct
import subprocess
import time
import zlib


class ScreenError(Exception):
    """Something awaited on the screen did not happen; the text says what."""


class VirtualScreen:
    """An Xvfb server on a free display number, stopped by close()."""

    def __init__(self, fbdir, size="1280x1024x24", timeout=30):
        os.makedirs(fbdir, exist_ok=True)
        self.fbdir = fbdir
        read_end, write_end = os.pipe()
        try:
            # -displayfd lets the server pick a free display and tell us which.
            self.process = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_end), "-screen", "0", size, "-fbdir", fbdir,
                 "-nolisten", "tcp"],
                pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                start_new_session=True)
        finally:
            os.close(write_end)
        number = b""
        deadline = time.monotonic() + timeout
        while not number.endswith(b"\n"):
            left = deadline - time.monotonic()
            ready, _, _ = select.select([read_end], [], [], max(left, 0))
            chunk = os.read(read_end, 16) if ready else b""
            if not chunk:
                os.close(read_end)
                self.process.kill()
                error = self.process.communicate()[1].decode(errors="replace").strip()
                raise ScreenError(f"Xvfb did not report its display within {timeout} s "
                                  f"(exit code {self.process.poll()}): {error[-500:]}")
            number += chunk
        os.close(read_end)
        self.display = ":" + number.decode().strip()
        self.framebuffer = os.path.join(fbdir, "Xvfb_screen0")
        self.last_focus = ""

    def env(self, base=None):
        env = dict(os.environ if base is None else base)
        env["DISPLAY"] = self.display
        return env

    def close(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()

    # --- pictures -------------------------------------------------------------------------------

    def read_screen(self):
        """The whole screen as (width, height, rows of RGB bytes)."""
        with open(self.framebuffer, "rb") as f:
            data = f.read()
        return decode_xwd(data)

    def screenshot(self, path, box=None):
        """Writes the screen, or the part inside box (x, y, width, height), as a PNG. Returns the
        picture as (width, height, rows) for checking."""
        width, height, rows = self.read_screen()
        if box is not None:
            width, height, rows = crop(width, height, rows, box)
        os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
        with open(path, "wb") as f:
            f.write(encode_png(width, height, rows))
        return width, height, rows

    # --- xdotool --------------------------------------------------------------------------------

    def xdotool(self, *args, timeout=30, check=True):
        result = subprocess.run(["xdotool", *map(str, args)], env=self.env(),
                                capture_output=True, text=True, timeout=timeout)
        if check and result.returncode != 0:
            raise ScreenError(f"xdotool {' '.join(map(str, args))} failed: "
                              f"{result.stderr.strip() or result.returncode}")
        return result.stdout

    def find_windows(self, title):
        """Visible windows whose title is exactly title."""
        pattern = "^" + re.escape(title) + "$"
        out = self.xdotool("search", "--onlyvisible", "--name", pattern, check=False)
        return [int(line) for line in out.split()]

    def geometry(self, window):
        """(x, y, width, height) of a window on the screen."""
        out = self.xdotool("getwindowgeometry", "--shell", window)
        values = dict(line.split("=", 1) for line in out.split() if "=" in line)
        return tuple(int(values[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))

    def activate(self, window):
        """Makes window the one that gets the keys: a click on a bare corner of it (without a
        window manager Wine takes only that as activation), then the X input focus."""
        x, y, _, _ = self.geometry(window)
        self.click(x + 4, y + 4)
        time.sleep(0.3)
        self.xdotool("windowfocus", window, check=False)
        time.sleep(0.3)
        self.last_focus = self.xdotool("getwindowfocus", check=False).strip()

    def key(self, *keys):
        self.xdotool("key", "--delay", "80", *keys)

    def click(self, x, y):
        self.xdotool("mousemove", "--sync", x, y)
        time.sleep(0.2)
        self.xdotool("click", "1")


def decode_xwd(data):
    """Decodes the XWD image Xvfb keeps for a 24- or 32-bit TrueColor screen."""
    if len(data) < 100:
        raise ScreenError(f"the framebuffer file holds only {len(data)} bytes")
    fields = struct.unpack(">25I", data[:100])
    (header_size, version, pixmap_format, _depth, width, height, _xoffset, byte_order,
     _bitmap_unit, _bit_order, _pad, bits_per_pixel, bytes_per_line, _visual_class,
     red_mask, green_mask, blue_mask, _bits_per_rgb, _colormap_entries, ncolors) = fields[:20]
    if version != 7 or pixmap_format != 2 or bits_per_pixel != 32:
        raise ScreenError(f"unexpected framebuffer format: version {version}, format "
                          f"{pixmap_format}, {bits_per_pixel} bits per pixel")
    start = header_size + ncolors * 12
    end = start + bytes_per_line * height
    if len(data) < end:
        raise ScreenError(f"the framebuffer file is cut short ({len(data)} of {end} bytes)")

    def shift(mask):
        return (mask & -mask).bit_length() - 1

    order = "<" if byte_order == 0 else ">"
    rs, gs, bs = shift(red_mask), shift(green_mask), shift(blue_mask)
    rows = []
    if (order, rs, gs, bs) == ("<", 16, 8, 0):
        # Little-endian 0x00RRGGBB: bytes B, G, R, X. Reorder with slicing, row by row.
        for y in range(height):
            line = data[start + y * bytes_per_line:start + y * bytes_per_line + width * 4]
            rgb = bytearray(width * 3)
            rgb[0::3] = line[2::4]
            rgb[1::3] = line[1::4]
            rgb[2::3] = line[0::4]
            rows.append(bytes(rgb))
    else:
        for y in range(height):
            base = start + y * bytes_per_line
            pixels = struct.unpack_from(f"{order}{width}I", data, base)
            rgb = bytearray()
            for p in pixels:
                rgb += bytes(((p & red_mask) >> rs, (p & green_mask) >> gs, (p & blue_mask) >> bs))
            rows.append(bytes(rgb))
    return width, height, rows


def crop(width, height, rows, box):
    x, y, w, h = box
    left, top = max(0, x), max(0, y)
    right, bottom = min(width, x + w), min(height, y + h)
    if right <= left or bottom <= top:
        raise ScreenError(f"the box {box} lies outside the {width}x{height} screen")
    return right - left, bottom - top, [row[left * 3:right * 3] for row in rows[top:bottom]]


def encode_png(width, height, rows):
    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

    raw = b"".join(b"\x00" + row for row in rows)
    return (b"\x89PNG\r\n\x1a\n" +
            chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b""))


def picture_problem(width, height, rows):
    """Why a picture looks blank (one flat colour, or nearly), or None when it shows something."""
    counts = {}
    for row in rows[::2]:
        for i in range(0, len(row), 6):
            colour = row[i:i + 3]
            counts[colour] = counts.get(colour, 0) + 1
    total = sum(counts.values())
    if total == 0:
        return "the picture is empty"
    top = max(counts.values())
    if len(counts) < 4:
        return f"the picture holds only {len(counts)} colour(s)"
    if top / total > 0.97:
        return f"{100 * top / total:.1f}% of the picture is one colour"
    return None
