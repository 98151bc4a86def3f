#!/usr/bin/env python3
"""The installer package for real: Wine's msiexec installs, upgrades, refuses a downgrade, rolls back a failed
installation and uninstalls, in a prefix of the test's own whose System32 stand-in mfsensorgroup.dll records the
camera calls.

usage: package_test.py WINE PREFIX_SCRIPT PREFIX STAGE_DIR MSI STANDIN_DLL VERSION
"""
import os
import pathlib
import re
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "registrar", "package"))
import make_dist  # noqa: E402
from check_dist import check, failures, finish  # noqa: E402

CLASS_KEY = r"HKLM\Software\Classes\CLSID\{5D1E3B7A-2C94-4F60-A8B1-0E6F9C2D4B83}\InprocServer32"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def read(path):
    return pathlib.Path(path).read_bytes() if os.path.isfile(path) else None


def listing(folder):
    return sorted(os.listdir(folder)) if os.path.isdir(folder) else None


class Prefix:
    def __init__(self, wine, script, prefix, standin):
        self.wine = wine
        self.log = os.path.join(prefix, "standin.log")
        self.env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree=;mshtml=",
                        VELMORA_STANDIN_LOG=windows_path(self.log), VELMORA_WINEPREFIX=prefix)
        self.env.pop("VELMORA_STANDIN_FAIL", None)
        self.drive = os.path.join(prefix, "drive_c")
        self.programs = os.path.join(self.drive, "Program Files/Velmora")
        self.data = os.path.join(self.drive, "ProgramData/Velmora")
        shutil.rmtree(prefix, ignore_errors=True)
        # One wineserver for the whole test: a server Wine starts by itself exits with msiexec,
        # and a reg query started while it shuts down dies silently.
        subprocess.run([script, "setup", standin], env=self.env, check=True, capture_output=True)

    def msiexec(self, verb, package, fail=None):
        env = dict(self.env, VELMORA_STANDIN_FAIL=fail) if fail else self.env
        return subprocess.run([self.wine, "msiexec", verb, windows_path(package), "/qn"], env=env,
                              capture_output=True).returncode

    def reg_query(self, key, *options):
        result = subprocess.run([self.wine, "reg", "query", key, *options], env=self.env, capture_output=True,
                                text=True, errors="replace")
        # reg writes its messages to standard output; only a missing key may fail quietly.
        said = result.stdout + result.stderr
        check(result.returncode == 0 or (result.returncode == 1 and "Unable to find" in said),
              f"reg query {key}: exit {result.returncode} {said!r}")
        return result.stdout if result.returncode == 0 else ""

    def state(self):
        """Our uninstall entries (name, version), cameras (name, lifetime, access) the call log leaves registered,
        the COM class's library ("copy": a copy of the installed one), Program Files' other files, the data folder's."""
        blocks = self.reg_query(UNINSTALL_KEY, "/s").split("\n\n")
        fields = [dict(re.findall(r"^\s+(DisplayName|DisplayVersion)\s+REG_SZ\s+(.*?)\s*$", block, re.M))
                  for block in blocks]
        entries = [(f["DisplayName"], f.get("DisplayVersion")) for f in fields if f.get("DisplayName") == "Velmora"]
        cameras, created = [], None
        for line in (read(self.log) or b"").decode().splitlines():
            name, *pairs = line.split("\t")
            call = dict(pair.split("=", 1) for pair in pairs)
            if name == "MFCreateVirtualCamera":
                created = (call["name"], call["lifetime"], call["access"]) if "result" not in call else None
            elif name == "IMFVirtualCamera::Start" and "result" not in call:
                cameras.append(created)
            elif name == "IMFVirtualCamera::Remove" and "result" not in call:
                cameras = [camera for camera in cameras if camera != created]
        match = re.search(r"\(Default\)\s+REG_SZ\s+C:\\(.+)", self.reg_query(CLASS_KEY, "/ve"))
        named = os.path.join(self.drive, match.group(1).strip().replace("\\", "/")) if match else None
        programs = listing(self.programs)
        library = os.path.join(self.programs, "VelmoraSource.dll")
        if named and os.path.dirname(named) == self.programs and os.path.isfile(named) and read(named) == read(library):
            programs.remove(os.path.basename(named))  # a new time-stamped name each installation
            named = "copy"
        return entries, cameras, named, programs, listing(self.data)


def msiexec_test(wine_binary, script, prefix, stage, package, standin, version):
    wine = Prefix(wine_binary, script, prefix, standin)
    older, newer = (os.path.join(prefix, make_dist.msi_name(other)) for other in ("0.9.0", "1.1.0"))
    make_dist.build_msi("0.9.0", stage, older)
    make_dist.build_msi("1.1.0", stage, newer)
    # What the library and the user leave: every installation deletes the log, nothing the rest.
    os.makedirs(wine.data)
    for name in ("source.log", "decode_mode.txt"):
        pathlib.Path(wine.data, name).write_text("kept\n")
    removed = ([], [], None, None, ["decode_mode.txt"])

    def installed(installed_version):
        # One uninstall entry, the camera once for all users of the system (lifetime 1, access 1).
        programs = ["VelmoraRegistrar.exe", "VelmoraSource.dll"]
        return [("Velmora", installed_version)], [("Nivra", "1", "1")], "copy", programs, ["decode_mode.txt"]

    # Exit codes are their low byte under Wine. The downgrade fails at the launch condition, the failed install at
    # the registrar.
    for step, verb, msi, fail, code, state in (
            ("install", "/i", package, None, 0, installed(version)),
            ("uninstall", "/x", package, None, 0, removed),
            ("0.9.0", "/i", older, None, 0, installed("0.9.0")),
            ("upgrade", "/i", package, None, 0, installed(version)),
            ("1.1.0", "/i", newer, None, 0, installed("1.1.0")),
            ("downgrade", "/i", package, None, 1603 & 0xFF, installed("1.1.0")),
            ("1.1.0 uninstall", "/x", newer, None, 0, removed),
            ("failed install", "/i", package, "MFCreateVirtualCamera=0x80004005", 1627 & 0xFF, removed)):
        exit_code = wine.msiexec(verb, msi, fail)
        found = wine.state()
        check(exit_code == code and found == state, f"{step}: exit code {exit_code}, found {found}")
    subprocess.run([script, "cleanup"], env=wine.env, capture_output=True)
    if not failures:  # a prefix takes some 700 MB; a failed run keeps it for a look
        shutil.rmtree(prefix)


if __name__ == "__main__":
    msiexec_test(*sys.argv[1:])
    finish("ok")
