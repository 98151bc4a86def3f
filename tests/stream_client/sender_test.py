#!/usr/bin/env python3
"""The frame-stream sender's frames and encoding (its network side is exercised by the
Windows stream-client tests)."""

import os
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "sender"))
import sender  # noqa: E402

HEADER = ">IQQQ"  # length, capture, opaque, delay


class Sender(unittest.TestCase):
    def test_scenario_options(self):
        scenario = sender.Scenario.from_query("name=length-over&length-at=4&size=320x180")
        self.assertEqual((scenario["length"], scenario["length-at"], scenario["size"]), (2097153, 4, (320, 180)))
        self.assertEqual(sender.Scenario.from_query("step=-1000@30,3000@10")["step"], [(10, 3000), (30, -1000)])
        for bad in ["colour=red", "name=nothing", "size=33x9", "split=28", "payload=mpeg", "timing=maybe"]:
            with self.subTest(bad), self.assertRaises(ValueError):
                sender.Scenario.from_query(bad)

    def test_frame_fields(self):
        loops = [[b"\x00\x00\x00\x01\x09\x10" + bytes([k]) * 50 for k in range(4)],
                 [b"\x00\x00\x00\x01\x09\x10" + b"B" * 70] * 4]
        query = "delay=40&step=500@2,-3000@3&length=300&length-at=1&change=320x180&change-at=2&change-every=3"
        source = sender.FrameSource(sender.Scenario.from_query(query), loops)
        frames = [source.frame(k, 1000000 - 7, 1000000) for k in range(6)]
        lengths, captures, opaques, delays = zip(*(struct.unpack(HEADER, header) for header, _, _ in frames))
        payloads = [payload for _, payload, _ in frames]
        # Clock steps at frames 2 and 3, a stated length of 300 at frame 1, sizes alternating after 2.
        self.assertEqual((captures, opaques, delays), ((999960, 999960, 1000460, 997460, 997460, 997460),
                                                       tuple(range(6)), (40,) * 6))
        self.assertEqual(lengths, (56, 300, 76, 76, 76, 56))
        self.assertEqual([len(p) for p in payloads], list(lengths))
        self.assertEqual((payloads[1], payloads[5]), (loops[0][1] + bytes(300 - 56), loops[0][0]))  # zeros; the IDR
        measured = sender.FrameSource(sender.Scenario(), loops).frame(0, 1000, 1012)[0]
        self.assertEqual(struct.unpack(HEADER, measured)[1::2], (1000, 12))
        pattern = sender.FrameSource(sender.Scenario.from_query("payload=pattern&sizes=600"), []).frame(1, 0, 0)[1]
        self.assertEqual([pattern[0], pattern[250], pattern[251], pattern[599]], [7, 257 % 256, 259 % 256, 608 % 256])

    def test_dump_of_a_size_change_is_real_h264(self):
        with tempfile.TemporaryDirectory() as folder:
            dump, annexb = os.path.join(folder, "dump.bin"), os.path.join(folder, "dump.h264")
            sender.main(["--dump", dump, "--frames", "50", "--size", "160x96", "--fps", "20", "--seconds", "1",
                         "--cache", folder, "--scenario", "change=192x108&change-at=20"])
            with open(dump, "rb") as file:
                data = file.read()
            frames, position = [], 0
            while position < len(data):
                length, capture = struct.unpack_from(HEADER, data, position)[:2]
                frames.append((capture, data[position + 28:position + 28 + length]))
                position += 28 + length
            self.assertEqual((position, len(frames)), (len(data), 50))
            self.assertTrue(all(payload.startswith(b"\x00\x00\x00\x01\x09") for _, payload in frames))
            for k in (0, 20, 40):  # every size starts with its parameter sets and an IDR
                self.assertLessEqual({7, 8, 5}, set(sender.nal_types(frames[k][1])))
            self.assertEqual([f[0] - frames[0][0] for f in frames[:3]], [0, 50, 100])  # 20 fps
            with open(annexb, "wb") as file:
                file.write(b"".join(payload for _, payload in frames))
            probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries",
                                    "frame=width,height,color_space,chroma_location", "-of", "csv=p=0", annexb],
                                   capture_output=True, text=True, check=True)
            lines = [line.rstrip(",") for line in probe.stdout.split()]
            self.assertEqual(lines, ["160,96,bt470bg,center"] * 20 + ["192,108,bt470bg,center"] * 30)


if __name__ == "__main__":
    unittest.main()
