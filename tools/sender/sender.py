#!/usr/bin/env python3
"""Velmora frame-stream sender.

Serves http://127.0.0.1:8080/h264frames the way a phone camera application does: one
endless HTTP response of frames, each a 28-byte big-endian header (payload length,
capture time, opaque value, sender delay) followed by one H.264 access unit (Annex B,
parameter sets in band before every IDR). The video is a moving test pattern or a video
file, encoded ahead by ffmpeg with libx264 and looped, paced at the frame rate.

Scenarios make it misbehave on purpose (split headers, pauses, closes, resets, bad
lengths, error statuses, odd timing fields, garbage, size changes); a control port lets
tests choose the scenario of the next connections. See README.md next to this file.
"""

import argparse
import errno
import hashlib
import http.server
import os
import random
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

HEADER = struct.Struct(">IQQQ")  # payloadLength, captureTimeMs, opaqueValue, senderDelayMs
HEADER_SIZE = HEADER.size
LARGEST_PAYLOAD = 2097152
STREAM_PATH = "/h264frames"
REDIRECT_TARGET = "http://127.0.0.1:8080/redirected"  # requests for its path are counted


def log(message):
    print(time.strftime("%H:%M:%S ") + message, flush=True)


# ---------------------------------------------------------------------------- encoding

def split_access_units(stream):
    """Splits an Annex B byte stream at its access unit delimiters (NAL type 9)."""
    starts = []
    position = stream.find(b"\x00\x00\x01")
    while position >= 0:
        if position + 3 < len(stream) and stream[position + 3] & 0x1F == 9:
            # Keep a four-byte start code whole.
            starts.append(position - 1 if position > 0 and stream[position - 1] == 0 else position)
        position = stream.find(b"\x00\x00\x01", position + 3)
    if not starts or starts[0] != 0:
        starts.insert(0, 0)
    starts.append(len(stream))
    return [stream[a:b] for a, b in zip(starts, starts[1:]) if b > a]


def nal_types(access_unit):
    """NAL unit types in an access unit, in order."""
    types = []
    position = access_unit.find(b"\x00\x00\x01")
    while position >= 0 and position + 3 < len(access_unit):
        types.append(access_unit[position + 3] & 0x1F)
        position = access_unit.find(b"\x00\x00\x01", position + 3)
    return types



# BT.601 limited range throughout, and said so in the VUI: decoders that guess the colour
# description from the picture size then have nothing to guess. Chroma sited at the centre
# (location 1): a decoder pipeline that wants centred chroma resamples left-sited chroma,
# and its pictures then no longer equal the encoder's.
X264_OPTIONS = ("repeat-headers=1:aud=1:colorprim=bt470bg:transfer=bt470bg:"
                "colormatrix=bt470bg:chromaloc=1:range=tv")

class Encoding:
    """Parameters of one pre-encoded loop; frames is a multiple of the GOP."""

    def __init__(self, width, height, fps, gop, seconds, pattern, input_path, preset):
        self.width, self.height, self.fps, self.gop = width, height, fps, gop
        self.frames = max(1, -(-round(seconds * fps) // gop)) * gop
        self.pattern, self.input_path, self.preset = pattern, input_path, preset

    def key(self):
        source = self.pattern
        if self.input_path:
            status = os.stat(self.input_path)
            source = "%s:%d:%d" % (os.path.abspath(self.input_path), status.st_size, status.st_mtime_ns)
        return (source, self.width, self.height, self.fps, self.gop, self.frames, self.preset, X264_OPTIONS)

    def describe(self):
        source = self.input_path or self.pattern
        return "%dx%d @ %d fps, GOP %d, %d frames of %s" % (
            self.width, self.height, self.fps, self.gop, self.frames, source)

    def ffmpeg_command(self):
        command = ["ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin"]
        if self.input_path:
            command += ["-stream_loop", "-1", "-i", self.input_path]
            fit = ("scale=w=%d:h=%d:force_original_aspect_ratio=decrease,"
                   "pad=%d:%d:(ow-iw)/2:(oh-ih)/2,fps=%d," % (
                       self.width, self.height, self.width, self.height, self.fps))
        else:
            command += ["-f", "lavfi", "-i", "%s=size=%dx%d:rate=%d" % (
                self.pattern, self.width, self.height, self.fps)]
            fit = ""
        x264 = X264_OPTIONS
        command += [
            "-vf", fit + "scale=out_color_matrix=bt601:out_range=tv,format=yuv420p",
            "-frames:v", str(self.frames), "-an",
            "-c:v", "libx264", "-preset", self.preset, "-tune", "zerolatency",
            "-g", str(self.gop), "-keyint_min", str(self.gop), "-sc_threshold", "0", "-bf", "0",
            "-threads", "1", "-x264-params", x264, "-f", "h264", "-"]
        return command


class EncodingCache:
    """Encoded loops in memory (and on disk when a cache folder is given)."""

    def __init__(self, folder):
        self.folder = folder
        self.loops = {}
        self.lock = threading.Lock()

    def get(self, encoding):
        key = encoding.key()
        with self.lock:
            if key not in self.loops:
                self.loops[key] = self._load_or_encode(encoding, key)
            return self.loops[key]

    def _load_or_encode(self, encoding, key):
        path = None
        if self.folder:
            digest = hashlib.sha256(repr(key).encode()).hexdigest()[:16]
            path = os.path.join(self.folder, "%dx%d_%dfps_%s.h264" % (
                encoding.width, encoding.height, encoding.fps, digest))
            if os.path.exists(path):
                with open(path, "rb") as file:
                    return self._check(split_access_units(file.read()), encoding)
        started = time.monotonic()
        log("encoding %s ..." % encoding.describe())
        result = subprocess.run(encoding.ffmpeg_command(), stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, check=False)
        if result.returncode != 0:
            raise RuntimeError("ffmpeg failed: " + result.stderr.decode(errors="replace").strip())
        units = self._check(split_access_units(result.stdout), encoding)
        log("encoded %d frames, %.1f MB, in %.1f s" % (
            len(units), len(result.stdout) / 1e6, time.monotonic() - started))
        if path:
            os.makedirs(self.folder, exist_ok=True)
            with tempfile.NamedTemporaryFile(dir=self.folder, delete=False) as file:
                file.write(result.stdout)
            os.replace(file.name, path)
        return units

    @staticmethod
    def _check(units, encoding):
        if len(units) != encoding.frames or 5 not in nal_types(units[0]):
            raise RuntimeError("encoder gave %d access units (expected %d, IDR first)" % (
                len(units), encoding.frames))
        return units


# ---------------------------------------------------------------------------- scenarios

def parse_size(text):
    width, _, height = text.lower().partition("x")
    width, height = int(width), int(height)
    if not (16 <= width <= 4096 and 16 <= height <= 4096 and width % 2 == 0 and height % 2 == 0):
        raise ValueError("size must be WIDTHxHEIGHT, even, 16 to 4096")
    return width, height


def parse_steps(text):
    """'MS@FRAME[,MS@FRAME...]': the sender clock jumps by MS (signed) from FRAME on."""
    steps = []
    for item in filter(None, text.split(",")):
        amount, _, frame = item.partition("@")
        steps.append((int(frame or 0), int(amount)))
    return sorted(steps)


def parse_sizes(text):
    sizes = [int(item) for item in text.split(",") if item]
    if not sizes or any(size < 0 for size in sizes):
        raise ValueError("sizes must be a list of byte counts")
    return sizes


def parse_switch(text):
    if text not in ("on", "off", "1", "0"):
        raise ValueError("expected on or off")
    return text in ("on", "1")


# name: (parser, default, meaning); the README lists the same table.
OPTIONS = {
    "size": (parse_size, (640, 360), "picture size WIDTHxHEIGHT"),
    "fps": (int, 30, "frame rate (pacing and encoding)"),
    "gop": (int, 0, "frames from one IDR to the next; 0 = one second"),
    "seconds": (float, 4.0, "length of the pre-encoded loop"),
    "pattern": (str, "testsrc2", "ffmpeg lavfi source taking size and rate"),
    "input": (str, "", "video file to encode instead of the pattern (looped)"),
    "preset": (str, "ultrafast", "x264 preset"),
    "start": (int, 0, "loop frame each connection starts at (0 = an IDR)"),
    "pace": (parse_switch, True, "off: send as fast as the receiver reads"),
    "frames": (int, 0, "close cleanly after this many frames (0 = never)"),
    "reset": (int, 0, "reset the connection (RST) after this many frames (0 = never)"),
    "pause": (int, 0, "pause this many ms before frame pause-at"),
    "pause-at": (int, 1, "frame index before which to pause"),
    "split": (int, 0, "write every header as SPLIT bytes, then the rest (0 = whole)"),
    "split-ms": (int, 20, "sleep between the parts of a split header"),
    "length": (int, -1, "payload length written in the header of frame length-at"),
    "length-at": (int, 0, "frame index that gets the length above"),
    "hold": (int, 0, "wait this many ms before answering the request"),
    "status": (int, 200, "HTTP status; other than 200: answer with body, then close"),
    "body": (str, "", "body of an error status"),
    "location": (str, "", "Location header of an error status (a redirect)"),
    "timing": (parse_switch, True, "off: captureTimeMs and senderDelayMs are 0"),
    "latency": (int, 0, "ms between capture and send that the sender claims (measured)"),
    "delay": (int, -1, "fixed senderDelayMs; capture time = send time - delay"),
    "step": (parse_steps, [], "sender clock steps, MS@FRAME[,MS@FRAME...]"),
    "garbage": (int, 0, "number of frames with random payloads"),
    "garbage-at": (int, 0, "first frame with a random payload"),
    "payload": (str, "h264", "h264, pattern (predictable bytes) or random"),
    "sizes": (parse_sizes, [1000], "payload sizes, cycled, for payload=pattern/random"),
    "change": (str, "", "second picture size WIDTHxHEIGHT"),
    "change-at": (int, 0, "frame index from which the second size is sent"),
    "change-every": (int, 0, "alternate between the sizes every N frames (0 = once)"),
    "connections": (int, 0, "serve this scenario to N connections, then the default (0 = all)"),
}

SERVER_ERROR_BODY = "Internal server error: no camera picture available.\n"

PRESETS = {
    "normal": {},
    "split-header": {"split": "5"},
    "pause": {"pause": "2000", "pause-at": "3"},
    "close": {"frames": "5"},
    "reset": {"reset": "5"},
    "length-zero": {"length": "0", "length-at": "1"},
    "length-max": {"length": str(LARGEST_PAYLOAD), "length-at": "1"},
    "length-over": {"length": str(LARGEST_PAYLOAD + 1), "length-at": "1"},
    "not-found": {"status": "404", "body": "Not found\n"},
    "server-error": {"status": "500", "body": SERVER_ERROR_BODY},
    "redirect": {"status": "302", "location": REDIRECT_TARGET},
    "no-timing": {"timing": "off"},
    "delay-5000": {"delay": "5000"},
    "delay-5001": {"delay": "5001"},
    "clock-forward": {"step": "3000@30"},
    "clock-back": {"step": "-1000@30"},
    "clock-back-far": {"step": "-3000@30"},
    "garbage": {"garbage": "5", "garbage-at": "30"},
    "resolution-change": {"change": "1280x720", "change-at": "60"},
    "pattern": {"payload": "pattern", "sizes": "50000,1000"},
}

REASONS = {200: "OK", 302: "Found", 400: "Bad Request", 403: "Forbidden", 404: "Not Found",
           500: "Internal Server Error", 503: "Service Unavailable"}


class Scenario:
    """One set of options; built from a query such as 'name=close&frames=3'."""

    def __init__(self, values=None, base=None):
        self.values = dict(base.values) if base else {k: v[1] for k, v in OPTIONS.items()}
        self.text = base.text if base else "normal"
        if values:
            self.update(values)

    @classmethod
    def from_query(cls, query, base=None):
        pairs = urllib.parse.parse_qsl(query, keep_blank_values=True)
        return cls(pairs, base)

    def update(self, pairs):
        pairs = list(pairs)
        names = [value for key, value in pairs if key == "name"]
        for name in names:
            if name not in PRESETS:
                raise ValueError("unknown scenario name '%s' (known: %s)" % (name, ", ".join(PRESETS)))
            for key, value in PRESETS[name].items():
                self._set(key, value)
        for key, value in pairs:
            if key != "name":
                self._set(key, value)
        text = "&".join("%s=%s" % pair for pair in pairs)
        self.text = text or self.text
        self.check()

    def _set(self, key, value):
        if key not in OPTIONS:
            raise ValueError("unknown option '%s'" % key)
        try:
            self.values[key] = OPTIONS[key][0](value)
        except ValueError as error:
            raise ValueError("bad value for %s: '%s' (%s)" % (key, value, error))

    def check(self):
        v = self.values
        if not 1 <= v["fps"] <= 240:
            raise ValueError("fps must be 1 to 240")
        if v["payload"] not in ("h264", "pattern", "random"):
            raise ValueError("payload must be h264, pattern or random")
        if not 0 <= v["split"] < HEADER_SIZE:
            raise ValueError("split must be 0 to 27")
        if v["length"] > 0xFFFFFFFF or not 0 < v["seconds"] <= 120:
            raise ValueError("length must fit 32 bits, seconds 0 to 120")
        if v["change"]:
            parse_size(v["change"])
        if v["input"] and not os.path.isfile(v["input"]):
            raise ValueError("no such input file: %s" % v["input"])

    def __getitem__(self, key):
        return self.values[key]

    def encodings(self):
        v = self.values
        sizes = [v["size"]]
        if v["change"]:
            sizes.append(parse_size(v["change"]))
        gop = v["gop"] or v["fps"]
        return [Encoding(w, h, v["fps"], gop, v["seconds"], v["pattern"], v["input"], v["preset"])
                for w, h in sizes]


def pattern_payload(frame, size):
    """Predictable bytes: byte j of frame k is (j + 7k + j // 251) mod 256."""
    return bytes((j + 7 * frame + j // 251) & 0xFF for j in range(size))


class FrameSource:
    """Payloads and header fields of one connection's frames, frame by frame."""

    def __init__(self, scenario, loops):
        self.scenario = scenario
        self.loops = loops  # access units of each encoding: [first size, changed size]
        self.random = random.Random(0x5EED)
        self.clock_step_ms = 0

    def loop_and_position(self, k):
        s = self.scenario
        if len(self.loops) < 2 or k < s["change-at"]:
            return 0, s["start"] + k
        since = k - s["change-at"]
        every = s["change-every"]
        if every <= 0:
            return 1, since
        segment, position = divmod(since, every)
        return (1 if segment % 2 == 0 else 0), position

    def payload(self, k):
        """(length written in the header, payload bytes, encoding index)."""
        s = self.scenario
        which = 0
        if s["payload"] == "h264":
            which, position = self.loop_and_position(k)
            units = self.loops[which]
            payload = units[position % len(units)]
            if s["garbage-at"] <= k < s["garbage-at"] + s["garbage"]:
                payload = self.random.randbytes(len(payload))
        else:
            sizes = s["sizes"]
            size = sizes[k % len(sizes)]
            payload = pattern_payload(k, size) if s["payload"] == "pattern" else self.random.randbytes(size)
        length = len(payload)
        if s["length"] >= 0 and k == s["length-at"]:
            length = s["length"]
            # A real picture padded with zero bytes (trailing zeros are legal in Annex B), or
            # cut short. Lengths above the limit get one byte more than the limit at most:
            # a receiver stops at such a header anyway.
            wanted = min(length, LARGEST_PAYLOAD + 1)
            payload = payload[:wanted] + bytes(max(0, wanted - len(payload)))
        return length, payload, which

    def timing(self, k, capture_wall_ms, send_wall_ms):
        """(captureTimeMs, senderDelayMs) of frame k."""
        s = self.scenario
        if not s["timing"]:
            return 0, 0
        for frame, amount in s["step"]:
            if frame == k:
                self.clock_step_ms += amount
        if s["delay"] >= 0:
            return max(0, send_wall_ms - s["delay"] + self.clock_step_ms), s["delay"]
        return max(0, capture_wall_ms + self.clock_step_ms), max(0, send_wall_ms - capture_wall_ms)

    def frame(self, k, capture_wall_ms, send_wall_ms):
        length, payload, which = self.payload(k)
        capture, delay = self.timing(k, capture_wall_ms, send_wall_ms)
        return HEADER.pack(length, capture, k, delay), payload, which


def wall_ms():
    return time.time_ns() // 1000000


def write_dump(path, scenario, loops, frames):
    """The framed stream as the receiver would read it, timed as if sent at the frame rate."""
    source = FrameSource(scenario, loops)
    base = wall_ms()
    total = 0
    with open(path, "wb") as file:
        for k in range(frames):
            send = base + k * 1000 // scenario["fps"]
            header, payload, _ = source.frame(k, send - scenario["latency"], send)
            file.write(header)
            file.write(payload)
            total += len(header) + len(payload)
    return total


# ---------------------------------------------------------------------------- stream server

class Sender:
    def __init__(self, args, default):
        self.host, self.port = args.host, args.port
        self.default = default
        self.scenario = default
        self.remaining = 0  # connections left for a limited scenario
        self.cache = EncodingCache(args.cache)
        self.lock = threading.Lock()
        self.listener = None
        self.accepted = 0
        self.active = 0
        self.frames_sent = 0
        self.redirected = 0  # requests that followed a redirect to REDIRECT_TARGET
        self.last_end = "none"
        self.stopped = threading.Event()

    # ---- control side
    def prepare(self, scenario):
        return [self.cache.get(encoding) for encoding in scenario.encodings()] \
            if scenario["payload"] == "h264" else []

    def set_scenario(self, scenario, connections):
        self.prepare(scenario)
        with self.lock:
            self.scenario = scenario
            self.remaining = connections
        log("scenario for the next connection%s: %s" % (
            "s" if connections != 1 else "", scenario.text))

    def reset(self):
        with self.lock:
            self.scenario, self.remaining = self.default, 0
            self.accepted = self.frames_sent = self.redirected = 0
            self.last_end = "none"

    def status(self):
        with self.lock:
            return {"listening": int(self.listener is not None), "port": self.port,
                    "connections": self.accepted, "active": self.active,
                    "frames": self.frames_sent, "redirected": self.redirected, "last_end": self.last_end,
                    "scenario": self.scenario.text}

    # ---- listening
    def listen(self, wait_seconds=0.0):
        listener = retry_while_busy(wait_seconds, lambda: bound_socket(self.host, self.port))
        self.port = listener.getsockname()[1]  # the one chosen for port 0
        listener.listen(16)
        with self.lock:
            self.listener = listener
        threading.Thread(target=self.accept_loop, args=(listener,), daemon=True).start()
        log("listening on http://%s:%d%s" % (self.host, self.port, STREAM_PATH))

    def stop_listening(self):
        with self.lock:
            listener, self.listener = self.listener, None
        if listener:
            # shutdown wakes the accept() blocked in the other thread.
            try:
                listener.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            listener.close()
            log("stopped listening")

    def accept_loop(self, listener):
        while True:
            try:
                connection, peer = listener.accept()
            except OSError:
                return
            with self.lock:
                if self.listener is not listener:
                    connection.close()
                    return
                scenario = self.scenario
                if self.remaining > 0:
                    self.remaining -= 1
                    if self.remaining == 0:
                        self.scenario = self.default
                self.accepted += 1
                self.active += 1
                number = self.accepted
            threading.Thread(target=self.serve, args=(connection, peer, number, scenario),
                             daemon=True).start()

    # ---- one connection
    def serve(self, connection, peer, number, scenario):
        name = "#%d %s:%d" % (number, peer[0], peer[1])
        sent = [0]  # frames written, kept up to date by stream()
        end = "error"
        try:
            connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            path = read_request(connection)
            if path is None:
                end = "bad request"
                return
            if scenario["hold"]:
                time.sleep(scenario["hold"] / 1000)
            if path == urllib.parse.urlsplit(REDIRECT_TARGET).path:
                with self.lock:
                    self.redirected += 1
            if path != STREAM_PATH:
                send_error(connection, 404, "Not found\n")
                end = "404 for %s" % path
                return
            if scenario["status"] != 200:
                body = scenario["body"] or (REASONS.get(scenario["status"], "Error") + "\n")
                send_error(connection, scenario["status"], body, scenario["location"])
                log("%s: answered %d with %d body bytes" % (name, scenario["status"], len(body)))
                end = "status %d" % scenario["status"]
                return
            end = self.stream(connection, name, scenario, sent)
        except (BrokenPipeError, ConnectionResetError, socket.timeout, OSError) as error:
            end = "receiver went away (%s)" % (error.strerror or error.__class__.__name__)
        finally:
            connection.close()
            log("%s: ended after %d frames: %s" % (name, sent[0], end))
            with self.lock:
                self.active -= 1
                self.last_end = end

    def stream(self, connection, name, scenario, sent):
        loops = self.prepare(scenario)
        source = FrameSource(scenario, loops)
        connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                           b"Cache-Control: no-cache\r\nConnection: close\r\n\r\n")
        encodings = scenario.encodings()
        log("%s: streaming %s (scenario %s)" % (
            name, encodings[0].describe() if loops else scenario["payload"] + " payloads",
            scenario.text))
        interval = 1.0 / scenario["fps"]
        origin = time.monotonic()
        second_start, second_frames, second_bytes = origin, 0, 0
        k = 0
        while True:
            if scenario["pause"] and k == scenario["pause-at"]:
                log("%s: pausing %d ms" % (name, scenario["pause"]))
                time.sleep(scenario["pause"] / 1000)
                origin = time.monotonic() - k * interval
            if scenario["pace"]:
                due = origin + k * interval
                now = time.monotonic()
                if now < due:
                    time.sleep(due - now)
                elif now > due + 2 * interval:
                    origin = now - k * interval  # fell behind: no burst to catch up
            # A close or reset comes when the next frame would have: a reset right after
            # a frame could destroy it in the receiver's socket before it was read.
            if scenario["frames"] and k >= scenario["frames"]:
                connection.shutdown(socket.SHUT_WR)
                return "closed after %d frames" % k
            if scenario["reset"] and k >= scenario["reset"]:
                connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                connection.close()
                return "reset"
            capture = wall_ms() - scenario["latency"]
            header, payload, which = source.frame(k, capture, wall_ms())
            if scenario["split"]:
                connection.sendall(header[:scenario["split"]])
                time.sleep(scenario["split-ms"] / 1000)
                connection.sendall(header[scenario["split"]:])
            else:
                connection.sendall(header)
            connection.sendall(payload)
            k += 1
            sent[0] = k
            second_frames += 1
            second_bytes += len(header) + len(payload)
            with self.lock:
                self.frames_sent += 1
            now = time.monotonic()
            if now - second_start >= 1.0:
                size = ("%dx%d" % (encodings[which].width, encodings[which].height)
                        if loops else scenario["payload"] + " payloads")
                log("%s: %s, %.1f frames/s, %.0f kB/s, %d frames sent" % (
                    name, size, second_frames / (now - second_start),
                    second_bytes / 1000 / (now - second_start), k))
                second_start, second_frames, second_bytes = now, 0, 0


def bound_socket(host, port):
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        listener.bind((host, port))
    except OSError:
        listener.close()
        raise
    return listener


def retry_while_busy(wait_seconds, bind):
    """bind(), retried while its port is in use (another tree's test run, say)."""
    deadline = time.monotonic() + wait_seconds
    while True:
        try:
            return bind()
        except OSError as error:
            if error.errno != errno.EADDRINUSE or time.monotonic() >= deadline:
                raise
            time.sleep(0.5)


def read_request(connection):
    """The path of a GET request, or None."""
    connection.settimeout(5)
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = connection.recv(4096)
        if not chunk or len(data) > 16384:
            return None
        data += chunk
    connection.settimeout(None)
    parts = data.split(b"\r\n", 1)[0].split(b" ")
    if len(parts) != 3 or parts[0] != b"GET":
        return None
    return urllib.parse.urlsplit(parts[1].decode("latin-1")).path


def send_error(connection, status, body, location=""):
    data = body.encode()
    location = "Location: %s\r\n" % location if location else ""
    connection.sendall(("HTTP/1.1 %d %s\r\n%sContent-Type: text/plain\r\nContent-Length: %d\r\n"
                        "Connection: close\r\n\r\n" % (status, REASONS.get(status, "Error"), location,
                                                       len(data))).encode() + data)
    connection.shutdown(socket.SHUT_WR)


# ---------------------------------------------------------------------------- control server

class ControlHandler(http.server.BaseHTTPRequestHandler):
    sender = None
    protocol_version = "HTTP/1.0"

    def do_GET(self):
        self.dispatch(urllib.parse.urlsplit(self.path).query)

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length).decode() if length else ""
        query = urllib.parse.urlsplit(self.path).query
        self.dispatch("&".join(filter(None, [query, body])))

    def dispatch(self, query):
        path = urllib.parse.urlsplit(self.path).path
        sender = self.sender
        try:
            pairs = urllib.parse.parse_qsl(query, keep_blank_values=True)
            if path == "/scenario":
                connections = 0
                rest = []
                for key, value in pairs:
                    if key == "connections":
                        connections = int(value)
                    else:
                        rest.append((key, value))
                scenario = Scenario(rest, sender.default)
                sender.set_scenario(scenario, connections)
                self.reply(200, "ok scenario=%s\n" % scenario.text)
            elif path == "/status":
                self.reply(200, "".join("%s=%s\n" % item for item in sender.status().items()))
            elif path == "/listen":
                on = parse_switch(dict(pairs).get("on", "1"))
                if on and sender.status()["listening"] == 0:
                    sender.listen()
                elif not on:
                    sender.stop_listening()
                self.reply(200, "ok listening=%d\n" % int(on))
            elif path == "/reset":
                sender.reset()
                if sender.status()["listening"] == 0:
                    sender.listen()
                self.reply(200, "ok\n")
            elif path == "/dump":
                values = dict(pairs)
                target = values.pop("path", "")
                frames = int(values.pop("frames", "300"))
                if not target:
                    raise ValueError("dump needs path=FILE")
                scenario = Scenario(list(values.items()), sender.default)
                size = write_dump(target, scenario, sender.prepare(scenario), frames)
                self.reply(200, "ok bytes=%d frames=%d\n" % (size, frames))
            elif path == "/quit":
                self.reply(200, "ok\n")
                sender.stopped.set()
            else:
                self.reply(404, "unknown control path %s\n" % path)
        except (ValueError, RuntimeError, OSError) as error:
            self.reply(400, "error: %s\n" % error)

    def reply(self, status, text):
        data = text.encode()
        self.send_response(status)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def log_message(self, format, *args):
        pass  # set_scenario and the stream side say what matters


# ---------------------------------------------------------------------------- process

def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        description="Serves the Velmora frame stream (28-byte big-endian headers + H.264 "
                    "access units) on http://HOST:PORT/h264frames from a test pattern or a "
                    "video file, encoded ahead with ffmpeg/libx264 and looped.",
        epilog="Examples:\n"
               "  %(prog)s                          640x360 test pattern at 30 fps\n"
               "  %(prog)s --size 1280x720 --fps 60\n"
               "  %(prog)s --input clip.mp4 --size 1920x1080\n"
               "  %(prog)s --scenario 'name=clock-back'    misbehave (see README.md)\n"
               "  %(prog)s --dump stream.bin --frames 90   framed stream to a file\n"
               "  curl 'http://127.0.0.1:8091/scenario?name=close&frames=3'\n",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", default="640x360", help="picture size (default 640x360)")
    parser.add_argument("--fps", default="30", help="frame rate (default 30)")
    parser.add_argument("--gop", default="0", help="IDR interval in frames (default: one second)")
    parser.add_argument("--seconds", default="4", help="length of the pre-encoded loop (default 4)")
    parser.add_argument("--pattern", default="testsrc2", help="ffmpeg lavfi source (default testsrc2)")
    parser.add_argument("--input", default="", help="video file to send instead of the pattern")
    parser.add_argument("--preset", default="ultrafast", help="x264 preset (default ultrafast)")
    parser.add_argument("--scenario", default="", help="scenario query for every connection, "
                        "e.g. 'name=pause&pause=3000' (see README.md)")
    parser.add_argument("--host", default="127.0.0.1", help="stream address (default 127.0.0.1)")
    parser.add_argument("--port", type=int, default=8080, help="stream port (default 8080)")
    parser.add_argument("--control-port", type=int, default=8091,
                        help="control port on the same address; 0 = none (default 8091)")
    parser.add_argument("--cache", default=os.path.join(
        os.environ.get("XDG_CACHE_HOME", os.path.expanduser("~/.cache")), "velmora-sender"),
        help="folder for encoded loops; '' = encode at every start")
    parser.add_argument("--dump", metavar="FILE", help="write the framed stream to FILE and exit")
    parser.add_argument("--frames", type=int, default=300, help="frames to --dump (default 300)")
    parser.add_argument("--daemon", action="store_true",
                        help="run in the background once listening (needs --pid-file)")
    parser.add_argument("--pid-file", help="file that holds the running sender's process id")
    parser.add_argument("--log-file", help="output of a --daemon sender (default: none)")
    parser.add_argument("--wait-port", type=float, default=0,
                        help="seconds to wait for busy ports to become free")
    parser.add_argument("--stop", action="store_true",
                        help="stop the sender named by --pid-file and exit")
    return parser.parse_args(argv)


def default_scenario(args):
    options = [("size", args.size), ("fps", args.fps), ("gop", args.gop),
               ("seconds", args.seconds), ("pattern", args.pattern), ("input", args.input),
               ("preset", args.preset)]
    scenario = Scenario(options)
    if args.scenario:
        scenario = Scenario.from_query(args.scenario, scenario)
    else:
        scenario.text = "normal"
    return scenario


def process_alive(pid):
    """False once the process has exited, also while it waits to be reaped (zombie)."""
    try:
        with open("/proc/%d/stat" % pid) as file:
            return file.read().rpartition(")")[2].split()[0] != "Z"
    except OSError:
        return False


def stop_running(pid_file, quiet=False):
    try:
        with open(pid_file) as file:
            pid = int(file.read().strip())
    except (OSError, ValueError):
        if not quiet:
            print("no sender running (no pid file %s)" % pid_file)
        return 0
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as file:
            is_sender = b"sender.py" in file.read()
    except OSError:
        is_sender = False
    if is_sender:
        os.kill(pid, signal.SIGTERM)
        for _ in range(100):
            if not process_alive(pid):
                break
            time.sleep(0.05)
        else:
            os.kill(pid, signal.SIGKILL)
        print("sender %d stopped" % pid)
    else:
        print("sender %d was not running" % pid)
    try:
        os.unlink(pid_file)
    except OSError:
        pass
    return 0


def daemonise(args):
    """Forks twice; the first process returns only when the sender listens (or failed)."""
    read_end, write_end = os.pipe()
    if os.fork() > 0:
        os.close(write_end)
        with os.fdopen(read_end) as pipe:
            message = pipe.read()
        print(message.strip() or "sender failed to start")
        os._exit(0 if message.startswith("ready") else 1)
    os.close(read_end)
    os.setsid()
    if os.fork() > 0:
        os._exit(0)
    # Detached from the caller's terminal and pipes (ctest waits for open pipes).
    output = os.open(args.log_file or os.devnull, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    null = os.open(os.devnull, os.O_RDONLY)
    os.dup2(null, 0)
    os.dup2(output, 1)
    os.dup2(output, 2)
    return write_end


def main(argv):
    args = parse_arguments(argv)
    if args.stop:
        if not args.pid_file:
            sys.exit("--stop needs --pid-file")
        return stop_running(args.pid_file)
    try:
        default = default_scenario(args)
    except ValueError as error:
        sys.exit("sender: %s" % error)

    if args.dump:
        sender = Sender(args, default)
        size = write_dump(args.dump, default, sender.prepare(default), args.frames)
        print("wrote %d frames, %d bytes, to %s" % (args.frames, size, args.dump))
        return 0

    if args.daemon and not args.pid_file:
        sys.exit("--daemon needs --pid-file")
    if args.pid_file:
        stop_running(args.pid_file, quiet=True)  # left over from an interrupted run
    ready = daemonise(args) if args.daemon else None
    try:
        sender = Sender(args, default)
        sender.prepare(default)
        sender.listen(args.wait_port)
        if args.control_port:
            ControlHandler.sender = sender
            control = retry_while_busy(args.wait_port, lambda: http.server.ThreadingHTTPServer(
                (args.host, args.control_port), ControlHandler))
            control.daemon_threads = True
            threading.Thread(target=control.serve_forever, daemon=True).start()
            log("control on http://%s:%d (scenario, status, listen, reset, dump, quit)" % (
                args.host, args.control_port))
        if args.pid_file:
            with open(args.pid_file, "w") as file:
                file.write("%d\n" % os.getpid())
    except Exception as error:  # reported to the waiting parent, then fatal
        if ready is not None:
            os.write(ready, ("error: %s\n" % error).encode())
        sys.exit("sender: %s" % error)
    if ready is not None:
        os.write(ready, ("ready: pid %d, stream port %d, control port %d\n" % (
            os.getpid(), args.port, args.control_port)).encode())
        os.close(ready)

    signal.signal(signal.SIGTERM, lambda *_: sender.stopped.set())
    try:
        while not sender.stopped.wait(0.5):
            pass
    except KeyboardInterrupt:
        pass
    log("sender stopping")
    if args.pid_file:
        try:
            with open(args.pid_file) as file:
                if int(file.read().strip()) == os.getpid():
                    os.unlink(args.pid_file)
        except (OSError, ValueError):
            pass
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
