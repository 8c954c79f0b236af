#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Makes files that a user's collection or an attacker could hand the player:
damaged, misleading or not files at all. Everything is generated here (sox
and lame make the sound, a fixed seed the noise), nothing is copied.

Usage: make-attack-corpus.py DIRECTORY
"""
import os
import random
import subprocess
import sys
import tempfile

BITRATES = {  # MPEG-1 Layer III, kbit/s by index
    1: 32, 2: 40, 3: 48, 4: 56, 5: 64, 6: 80, 7: 96, 8: 112, 9: 128,
    10: 160, 11: 192, 12: 224, 13: 256, 14: 320}
RATES = {0: 44100, 1: 48000, 2: 32000}


def encode(work, name, rate, channels, seconds, *lame_args):
    wav = os.path.join(work, name + ".wav")
    mp3 = os.path.join(work, name + ".mp3")
    synth = ["sine", "300-3000"] + (["sine", "500"] if channels == 2 else [])
    subprocess.run(["sox", "-R", "-q", "-n", "-r", str(rate), "-c", str(channels), "-b", "16", wav,
                    "synth", str(seconds)] + synth + ["gain", "-8"], check=True)
    subprocess.run(["lame", "--quiet", "-t", *lame_args, wav, mp3], check=True)
    with open(mp3, "rb") as f:
        return f.read()


def frames(data):
    """The MPEG-1 Layer III frames of a constant-rate stream, in order."""
    out, at = [], 0
    while at + 4 <= len(data):
        if data[at] != 0xFF or (data[at + 1] & 0xFE) != 0xFA:
            at += 1
            continue
        index, rate, pad = data[at + 2] >> 4, (data[at + 2] >> 2) & 3, (data[at + 2] >> 1) & 1
        if index not in BITRATES or rate not in RATES:
            at += 1
            continue
        length = 144000 * BITRATES[index] // RATES[rate] + pad
        out.append(data[at:at + length])
        at += length
    return out


def id3v2(body, claimed=None):
    size = len(body) if claimed is None else claimed
    syncsafe = bytes([(size >> 21) & 0x7F, (size >> 14) & 0x7F, (size >> 7) & 0x7F, size & 0x7F])
    return b"ID3\x04\x00\x00" + syncsafe + body


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    rnd = random.Random(13)

    def write(name, data):
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)

    with tempfile.TemporaryDirectory() as work:
        clean = encode(work, "clean", 44100, 2, 2, "-b", "128", "--nores")
        write("clean.mp3", clean)
        write("truncated.mp3", clean[:len(clean) * 3 // 5 + 37])

        damaged = bytearray()
        for i, frame in enumerate(frames(clean)):
            frame = bytearray(frame)
            if i % 7 == 3:
                frame[2] = rnd.randrange(256)  # bitrate, rate, padding
                frame[3] = rnd.randrange(256)  # mode, emphasis
            damaged += frame
        write("corrupt-headers.mp3", bytes(damaged))

        protected = encode(work, "crc", 44100, 2, 2, "-b", "128", "-p")
        crc = bytearray(protected)
        for at in range(2000, len(crc), 3001):
            crc[at] ^= 0x5A
        write("corrupt-crc.mp3", bytes(crc))

        noise = bytearray(rnd.randbytes(300000))
        for at in range(0, len(noise) - 4, 37):
            noise[at:at + 3] = bytes([0xFF, rnd.choice([0xFB, 0xFA, 0xF3, 0xF2, 0xE3, 0xFD]), rnd.randrange(256)])
        write("sync-dense.mp3", bytes(noise))

        write("free-format.mp3", encode(work, "free", 44100, 2, 1, "--freeformat", "-b", "320"))
        write("mpeg25-8k.mp3", encode(work, "slow", 8000, 1, 1, "-b", "16"))
        write("one-frame.mp3", frames(clean)[0])
        write("tag-16mb.mp3", id3v2(rnd.randbytes(16 << 20)) + clean)
        write("tag-claims-256mb.mp3", id3v2(b"A" * 1000, claimed=256 << 20) + clean)

        other = frames(encode(work, "other", 32000, 1, 2, "-b", "64", "--nores"))
        mixed = b"".join(a + b for a, b in zip(frames(clean), other))
        write("format-every-frame.mp3", mixed)

    with open(os.path.join(out, "sparse-4g.mp3"), "wb") as f:
        f.truncate(4 << 30)
    for name, target in (("zero.mp3", "/dev/zero"), ("urandom.mp3", "/dev/urandom")):
        path = os.path.join(out, name)
        if not os.path.lexists(path):
            os.symlink(target, path)
    os.makedirs(os.path.join(out, "directory.mp3"), exist_ok=True)


if __name__ == "__main__":
    main()
