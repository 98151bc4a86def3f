#!/usr/bin/env python3
"""Checks a camera-host output folder: every PNG must decode (signature, chunk order, zlib
stream with its Adler-32, filter bytes) to a picture of the expected size that is not a
single flat colour, and the summary must report delivered frames at a plausible rate.

usage: check_camera_output.py FOLDER WIDTH HEIGHT MIN_PICTURES MIN_FPS [MIN_DECODED_LINES]
"""
import os
import re
import struct
import sys
import zlib


def read_png(path):
    data, chunks = open(path, "rb").read(), []
    position = 8 if data.startswith(b"\x89PNG\r\n\x1a\n") else len(data)  # no signature: no chunks
    while position < len(data):
        length, kind = struct.unpack(">I4s", data[position:position + 8])
        chunks.append((kind, data[position + 8:position + 8 + length]))
        position += 12 + length
    if not chunks or chunks[0][0] != b"IHDR" or chunks[-1][0] != b"IEND" or chunks[0][1][8:] != b"\x08\x02\0\0\0":
        raise ValueError("not an 8-bit RGB PNG with its chunks in order")
    width, height = struct.unpack(">II", chunks[0][1][:8])
    raw = zlib.decompress(b"".join(body for kind, body in chunks if kind == b"IDAT"))  # checks Adler-32
    stride = width * 3 + 1
    if len(raw) != stride * height or any(raw[row * stride] != 0 for row in range(height)):
        raise ValueError("picture data does not match its header")
    return width, height, raw


def main(folder, width, height, min_pictures, min_fps, min_decoded=0):
    pictures = sorted(name for name in os.listdir(folder) if name.endswith(".png"))
    failures = [] if len(pictures) >= int(min_pictures) else ["only %d pictures" % len(pictures)]
    for name in pictures:
        try:
            w, h, raw = read_png(os.path.join(folder, name))
            if (w, h) != (int(width), int(height)):
                failures.append("%s is %dx%d" % (name, w, h))
            elif len(set(raw[::997])) < 4:
                failures.append("%s is flat" % name)
        except ValueError as error:
            failures.append("%s: %s" % (name, error))
    summary = open(os.path.join(folder, "summary.txt")).read()
    delivered = re.search(r"frames delivered: (\d+) \((\d+) with a size other", summary)
    fps = re.search(r"frames per second: ([\d.]+) \(arrival times\)", summary)
    decoded = re.search(r"decoded picture: (\d+)", summary)
    if not delivered or int(delivered.group(1)) == 0 or int(delivered.group(2)) != 0:
        failures.append("summary reports no (or wrongly sized) frames")
    if not fps or float(fps.group(1)) < float(min_fps):
        failures.append("summary reports %s frames per second" % (fps.group(1) if fps else "no"))
    if not decoded or "picture ages" not in summary:
        failures.append("summary has no picture ages")
    elif int(decoded.group(1)) < int(min_decoded):
        failures.append("only %s statistics lines name a decoded picture" % decoded.group(1))
    print("\n".join("FAIL: " + failure for failure in failures) or
          "ok: %d pictures of %sx%s; %s" % (len(pictures), width, height, fps.group(0)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
