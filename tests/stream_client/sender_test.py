#!/usr/bin/env python3
"""The frame-stream sender (tools/sender/sender.py): framing, scenarios, real encoding."""

import os
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "sender"))
import sender  # noqa: E402


def read_frames(data):
    frames, position = [], 0
    while position < len(data):
        length, capture, opaque, delay = struct.unpack_from(">IQQQ", data, position)
        frames.append((length, capture, opaque, delay, data[position + 28:position + 28 + length]))
        position += 28 + length
    return frames


class Framing(unittest.TestCase):
    def test_access_units_split_at_delimiters(self):
        aud, sps, idr, p = b"\x00\x00\x00\x01\x09\xf0", b"\x00\x00\x00\x01\x67\x42", b"\x00\x00\x01\x65\x88", b"\x00\x00\x01\x41\x9a"
        stream = aud + sps + idr + aud + p + b"\x00\x00\x01\x09\x30" + p
        units = sender.split_access_units(stream)
        self.assertEqual(units, [aud + sps + idr, aud + p, b"\x00\x00\x01\x09\x30" + p])
        self.assertEqual(sender.nal_types(units[0]), [9, 7, 5])

    def test_scenario_options_and_presets(self):
        scenario = sender.Scenario.from_query("name=length-over&length-at=4&size=320x180")
        self.assertEqual((scenario["length"], scenario["length-at"], scenario["size"]), (2097153, 4, (320, 180)))
        self.assertEqual(sender.Scenario.from_query("step=-1000@30,3000@10")["step"], [(10, 3000), (30, -1000)])
        for bad in ["colour=red", "name=nothing", "size=33x9", "split=28", "payload=mpeg", "timing=maybe"]:
            with self.assertRaises(ValueError, msg=bad):
                sender.Scenario.from_query(bad)

    def test_frame_fields(self):
        loops = [[b"\x00\x00\x00\x01\x09\x10" + bytes([k]) * 50 for k in range(4)],
                 [b"\x00\x00\x00\x01\x09\x10" + b"B" * 70 for _ in range(4)]]
        query = "delay=40&step=500@2,-3000@3&length=300&length-at=1&change=320x180&change-at=2&change-every=3"
        source = sender.FrameSource(sender.Scenario.from_query(query), loops)
        frames = [source.frame(k, 1000000 - 7, 1000000) for k in range(6)]
        fields = [struct.unpack(">IQQQ", header) for header, _, _ in frames]
        payloads = [payload for _, payload, _ in frames]
        self.assertEqual([f[2] for f in fields], list(range(6)))                  # opaque = frame number
        self.assertEqual([f[3] for f in fields], [40] * 6)                        # fixed delay
        self.assertEqual([f[1] for f in fields], [999960, 999960, 1000460, 997460, 997460, 997460])
        self.assertEqual(fields[1][0], 300)
        self.assertEqual(payloads[1], loops[0][1] + bytes(300 - 56))             # padded with zeros
        self.assertEqual([len(p) for p in payloads], [56, 300, 76, 76, 76, 56])  # sizes alternate after 2
        self.assertEqual(payloads[5], loops[0][0])                               # back at the IDR
        timing_off = sender.FrameSource(sender.Scenario.from_query("timing=off"), loops)
        self.assertEqual(struct.unpack(">IQQQ", timing_off.frame(0, 5, 9)[0])[1::2], (0, 0))
        measured = sender.FrameSource(sender.Scenario(), loops)
        self.assertEqual(struct.unpack(">IQQQ", measured.frame(0, 1000, 1012)[0])[1::2], (1000, 12))

    def test_pattern_payloads(self):
        source = sender.FrameSource(sender.Scenario.from_query("payload=pattern&sizes=600,10"), [])
        payload = source.frame(3, 0, 0)[1]
        self.assertEqual(len(payload), 10)
        first = source.frame(0, 0, 0)[1]
        self.assertEqual(len(first), 600)
        self.assertEqual([first[0], first[250], first[251], first[599]], [0, 250, 252, 601 % 256])


class RealStream(unittest.TestCase):
    """Small pictures, so that ffmpeg takes well under a second."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        args = sender.parse_arguments(["--port", "0", "--cache", cls.folder.name, "--size", "160x96",
                                       "--fps", "20", "--seconds", "1"])
        cls.sender = sender.Sender(args, sender.default_scenario(args))
        cls.sender.listen()
        sender.ControlHandler.sender = cls.sender
        cls.control = sender.http.server.ThreadingHTTPServer(("127.0.0.1", 0), sender.ControlHandler)
        threading.Thread(target=cls.control.serve_forever, daemon=True).start()

    @classmethod
    def tearDownClass(cls):
        cls.control.shutdown()
        cls.sender.stop_listening()
        cls.folder.cleanup()

    def control_get(self, path):
        url = "http://127.0.0.1:%d%s" % (self.control.server_address[1], path)
        try:
            with urllib.request.urlopen(url, timeout=60) as reply:
                return reply.status, reply.read().decode()
        except urllib.error.HTTPError as error:
            return error.code, error.read().decode()

    def fetch(self, path="/h264frames", limit=10 ** 7):
        with socket.create_connection(("127.0.0.1", self.sender.port), timeout=10) as connection:
            connection.sendall(("GET %s HTTP/1.1\r\nHost: x\r\n\r\n" % path).encode())
            data = b""
            try:
                while len(data) < limit:
                    chunk = connection.recv(65536)
                    if not chunk:
                        break
                    data += chunk
            except ConnectionResetError:
                return data, "reset"
        return data, "closed"

    def test_dump_of_a_size_change_is_real_h264(self):
        path = os.path.join(self.folder.name, "dump.bin")
        status, text = self.control_get("/dump?path=%s&frames=50&change=192x108&change-at=20" % path)
        self.assertEqual(status, 200, text)
        with open(path, "rb") as file:
            frames = read_frames(file.read())
        self.assertEqual(len(frames), 50)
        for length, capture, opaque, delay, payload in frames:
            self.assertEqual(length, len(payload))
            self.assertEqual(payload[:5], b"\x00\x00\x00\x01\x09")
        self.assertIn(5, sender.nal_types(frames[0][4]))
        self.assertLessEqual({7, 8, 5}, set(sender.nal_types(frames[20][4])))  # new size starts at an IDR
        self.assertEqual([f[1] - frames[0][1] for f in frames[:3]], [0, 50, 100])  # 20 fps
        annexb = os.path.join(self.folder.name, "dump.h264")
        with open(annexb, "wb") as file:
            file.write(b"".join(f[4] for f in frames))
        probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "frame=width,height,color_space,chroma_location",
                                "-of", "csv=p=0", annexb], capture_output=True, text=True, check=True)
        lines = [line.rstrip(",") for line in probe.stdout.split()]
        self.assertEqual(len(lines), 50)
        self.assertEqual(set(lines[:20]), {"160,96,smpte170m,left"})
        self.assertEqual(set(lines[20:]), {"192,108,smpte170m,left"})

    def test_stream_split_close_and_counters(self):
        self.assertEqual(self.control_get("/reset")[0], 200)
        self.assertEqual(self.control_get("/scenario?name=split-header&frames=4&connections=1")[0], 200)
        started = time.monotonic()
        data, end = self.fetch()
        head, _, body = data.partition(b"\r\n\r\n")
        self.assertTrue(head.startswith(b"HTTP/1.1 200 OK"))
        self.assertEqual(end, "closed")
        frames = read_frames(body)
        self.assertEqual([f[2] for f in frames], [0, 1, 2, 3])
        self.assertGreater(time.monotonic() - started, 0.1)  # paced: 3 intervals of 50 ms
        self.assertTrue(all(abs(f[1] - time.time() * 1000) < 5000 and f[3] < 100 for f in frames))
        # connections=1: the next connection gets the default again (endless).
        data, _ = self.fetch(limit=5000)
        self.assertGreater(len(data), 5000)
        status = dict(line.split("=", 1) for line in self.control_get("/status")[1].split("\n") if line)
        self.assertEqual(status["connections"], "2")

    def test_errors_resets_and_listening(self):
        self.assertEqual(self.control_get("/scenario?name=not-found")[0], 200)
        data, end = self.fetch()
        self.assertTrue(data.startswith(b"HTTP/1.1 404 Not Found"))
        self.assertTrue(data.endswith(b"\r\n\r\nNot found\n"))
        self.assertEqual(self.control_get("/scenario?reset=2")[0], 200)
        data, end = self.fetch()
        self.assertEqual(end, "reset")
        self.assertEqual(self.fetch("/other")[0].split(b"\r\n")[0], b"HTTP/1.1 404 Not Found")
        self.assertEqual(self.control_get("/scenario?colour=red")[0], 400)
        self.assertEqual(self.control_get("/listen?on=0")[0], 200)
        with self.assertRaises(ConnectionRefusedError):
            self.fetch()
        self.assertEqual(self.control_get("/listen?on=1")[0], 200)
        self.control_get("/reset")


if __name__ == "__main__":
    unittest.main()
