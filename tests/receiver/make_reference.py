#!/usr/bin/env python3
"""usage: make_reference.py SENDER CACHE OUTDIR SIZE FPS FRAMES: ffmpeg's NV12 decode of the
stream the sender serves, from the sender's own cache, so the bytes are the ones on the wire."""
import os
import struct
import subprocess
import sys

sender, cache, outdir, size, fps, frames = sys.argv[1:7]
os.makedirs(outdir, exist_ok=True)
dump = os.path.join(outdir, "reference.bin")
subprocess.run([sys.executable, sender, "--dump", dump, "--frames", frames, "--size", size, "--fps", fps,
                "--cache", cache], check=True, stdout=subprocess.DEVNULL)
with open(dump, "rb") as file:
    framed = file.read()
payloads, at = [], 0
while at + 28 <= len(framed):
    (length,) = struct.unpack_from(">I", framed, at)
    payloads.append(framed[at + 28:at + 28 + length])
    at += 28 + length
subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "h264", "-i", "-", "-pix_fmt", "nv12", "-f", "rawvideo",
                os.path.join(outdir, "reference.nv12")], input=b"".join(payloads), check=True)
