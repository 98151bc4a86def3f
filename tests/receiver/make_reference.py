#!/usr/bin/env python3
"""Writes what a receiver test compares against: the framed stream that the sender serves
for a scenario (from the sender's own cache, so the bytes are the ones on the wire) and
ffmpeg's own NV12 decode of its payloads.

usage: make_reference.py SENDER CACHE OUTDIR SIZE FPS FRAMES
"""
import os
import struct
import subprocess
import sys


def main():
    sender, cache, outdir, size, fps, frames = sys.argv[1:7]
    os.makedirs(outdir, exist_ok=True)
    framed = os.path.join(outdir, "reference.bin")
    subprocess.run([sys.executable, sender, "--dump", framed, "--frames", frames, "--size", size,
                    "--fps", fps, "--cache", cache], check=True, stdout=subprocess.DEVNULL)
    annexb = os.path.join(outdir, "reference.h264")
    with open(framed, "rb") as source, open(annexb, "wb") as target:
        while True:
            header = source.read(28)
            if len(header) < 28:
                break
            (length,) = struct.unpack(">I", header[:4])
            target.write(source.read(length))
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "h264", "-i", annexb, "-pix_fmt", "nv12",
                    "-f", "rawvideo", os.path.join(outdir, "reference.nv12")], check=True)


if __name__ == "__main__":
    main()
