#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Draws the program's small pictures as XPM files under ui/images/, and its
desktop icon as PNG files at the hicolor theme's sizes and as one SVG file.

Run once after changing a drawing; the results are committed."""
import math, os

OUT = os.path.join(os.path.dirname(__file__), "..", "ui", "images")

def xpm(name, w, h, palette, pixel):
    rows = []
    for y in range(h):
        rows.append("".join(pixel(x, y) for x in range(w)))
    keys = sorted(palette)
    lines = [f'"{w} {h} {len(keys)} 1",'] + [f'"{k} c {palette[k]}",' for k in keys]
    lines += [f'"{r}",' for r in rows]
    lines[-1] = lines[-1].rstrip(",")
    with open(os.path.join(OUT, name + ".xpm"), "w") as f:
        f.write("/* XPM */\nstatic const char *%s[] = {\n%s\n};\n" % (name, "\n".join(lines)))

TWO = {" ": "None", "#": "#1d2b3a"}

def tri_right(x, y, x0, x1, y0, y1):
    # filled triangle pointing right, tip at x1
    if x < x0 or x > x1: return False
    half = (y1 - y0) / 2 * (1 - (x - x0) / max(1, x1 - x0))
    mid = (y0 + y1) / 2
    return abs(y - mid) <= half + 0.01

def tri_left(x, y, x0, x1, y0, y1):
    return tri_right(x0 + x1 - x, y, x0, x1, y0, y1)

def p(b): return "#" if b else " "

xpm("play", 16, 16, TWO, lambda x, y: p(tri_right(x, y, 4, 12, 2, 13)))
xpm("stop", 16, 16, TWO, lambda x, y: p(3 <= x <= 12 and 3 <= y <= 12))
xpm("pause", 16, 16, TWO, lambda x, y: p((3 <= x <= 6 or 9 <= x <= 12) and 2 <= y <= 13))
xpm("next", 16, 16, TWO, lambda x, y: p(tri_right(x, y, 2, 10, 2, 13) or (11 <= x <= 13 and 2 <= y <= 13)))
xpm("previous", 16, 16, TWO, lambda x, y: p(tri_left(x, y, 5, 13, 2, 13) or (2 <= x <= 4 and 2 <= y <= 13)))

def speaker(x, y, muted):
    body = 3 <= x <= 6 and 7 <= y <= 13
    cone = 7 <= x <= 11 and abs(y - 10) <= (x - 7) + 3
    waves = False
    if not muted:
        for r in (4, 7):
            d = math.hypot(x - 11, y - 10)
            waves |= abs(d - r) < 0.6 and x > 12
    cross = muted and (x - 13 == y - 7 or x - 13 == 13 - y) and 13 <= x <= 19 and 7 <= y <= 13
    return body or cone or waves or cross

xpm("mute", 20, 21, {" ": "None", "#": "#1d2b3a"}, lambda x, y: p(speaker(x, y, False)))
xpm("mute_on", 20, 21, {" ": "None", "#": "#a01818"}, lambda x, y: p(speaker(x, y, True)))
xpm("add", 13, 14, {" ": "None", "#": "#1d6b2a"}, lambda x, y: p((5 <= x <= 7 and 1 <= y <= 12) or (0 <= x <= 12 and 5 <= y <= 7)))
xpm("fold", 9, 9, TWO, lambda x, y: p(tri_left(y, x, 1, 7, 1, 7) if False else (abs(x - 4) <= (y - 2) and 2 <= y <= 6)))

# The current-song marker: a shaded play triangle in many tones.
tones = {}
chars = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQ"
def marker(x, y):
    if not tri_right(x, y, 3, 12, 1, 13):
        return " "
    t = min(41, int((x - 3) / 9 * 20 + abs(y - 7) / 6 * 21))
    c = chars[t]
    g = 0x30 + t * 4
    tones[c] = "#%02x%02x%02x" % (0x10 + t * 2, min(255, g + 0x40), 0x20 + t)
    return c
grid = [[marker(x, y) for x in range(15)] for y in range(15)]
pal = dict(tones); pal[" "] = "None"
xpm("playing_icon", 15, 15, pal, lambda x, y: grid[y][x])

def note(x, y, s):
    k = s / 15
    head = math.hypot((x - 5 * k) / 1.3, y - 11 * k) <= 2.6 * k
    stem = 7 * k <= x <= 8 * k and 2 * k <= y <= 11 * k
    flag = 8 * k <= x <= 11 * k and 2 * k <= y <= 4 * k + (x - 8 * k) * 0.4
    return head or stem or flag
xpm("header_icon", 15, 15, {" ": "None", "#": "#1d2b3a"}, lambda x, y: p(note(x, y, 15)))

def program(x, y, s):
    cx = cy = (s - 1) / 2
    d = math.hypot(x - cx, y - cy)
    if d > s / 2 - 0.5: return " "
    if note(x * 15 / s * 1.25 - 1.6, y * 15 / s * 1.25 - 1.9, 15): return "#"
    return "o"
for name, s in (("tonra", 43), ("tonra_small", 15)):
    xpm(name, s, s, {" ": "None", "#": "#ffffff", "o": "#2a6fb0"}, lambda x, y, s=s: program(x, y, s))

# The desktop icon at the sizes of the hicolor theme, as PNG.
import struct, zlib

def png(path, s, pixel):
    raw = b""
    for y in range(s):
        raw += b"\0" + b"".join(pixel(x, y) for x in range(s))
    def chunk(kind, data):
        c = struct.pack(">I", len(data)) + kind + data
        return c + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    data = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", s, s, 8, 6, 0, 0, 0))
    data += chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)

def icon_pixel(x, y, s):
    # Supersampled so that the edges are smooth at every size.
    n = 4
    hits = {" ": 0, "#": 0, "o": 0}
    for i in range(n):
        for j in range(n):
            hits[program((x + (i + 0.5) / n) * 43 / s - 0.5, (y + (j + 0.5) / n) * 43 / s - 0.5, 43)] += 1
    total = n * n
    a = (hits["#"] + hits["o"]) / total
    if a == 0:
        return b"\0\0\0\0"
    w = hits["#"] / (hits["#"] + hits["o"])
    r = int(0x2a + (0xff - 0x2a) * w); g = int(0x6f + (0xff - 0x6f) * w); b = int(0xb0 + (0xff - 0xb0) * w)
    return bytes((r, g, b, int(255 * a)))

DATA = os.path.join(os.path.dirname(__file__), "..", "data", "icons", "hicolor")
for s in (16, 22, 24, 32, 48, 64, 128, 256):
    png(os.path.join(DATA, f"{s}x{s}", "apps", "tonra.png"), s, lambda x, y, s=s: icon_pixel(x, y, s))

# The same icon as a scalable drawing: the circle and the note of program(),
# in the 43-pixel grid's coordinates (a pixel's centre is at +0.5).
k = 15 / 43 * 1.25
note_at = f"translate({1.6 / k + 0.5:.4f} {1.9 / k + 0.5:.4f}) scale({1 / k:.4f})"
svg = f"""<?xml version="1.0" encoding="UTF-8"?>
<svg xmlns="http://www.w3.org/2000/svg" width="256" height="256" viewBox="0 0 43 43">
  <circle cx="21.5" cy="21.5" r="21" fill="#2a6fb0"/>
  <g fill="#ffffff" transform="{note_at}">
    <ellipse cx="5" cy="11" rx="3.38" ry="2.6"/>
    <rect x="7" y="2" width="1" height="9"/>
    <polygon points="8,2 11,2 11,5.2 8,4"/>
  </g>
</svg>
"""
os.makedirs(os.path.join(DATA, "scalable", "apps"), exist_ok=True)
with open(os.path.join(DATA, "scalable", "apps", "tonra.svg"), "w") as f:
    f.write(svg)
