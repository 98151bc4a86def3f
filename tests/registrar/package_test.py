#!/usr/bin/env python3
"""The installer package and signing, for real.

usage: package_test.py msiexec WINE PREFIX_SCRIPT PREFIX STAGE_DIR MSI STANDIN_DLL VERSION
       package_test.py signing OBJCOPY REGISTRAR_EXE SOURCE_DLL VERSION FILE...

msiexec: Wine's msiexec installs, upgrades, refuses a downgrade, rolls back a failed installation and
uninstalls, in a prefix of the test's own whose System32 stand-in mfsensorgroup.dll records the camera calls.
signing: with a throwaway certificate the distributables carry signatures that osslsigncode accepts and that
fail once a byte changes; without one nothing is signed.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "registrar", "package"))
import make_dist  # noqa: E402

failures = []
CLASS_KEY = r"HKLM\Software\Classes\CLSID\{5D1E3B7A-2C94-4F60-A8B1-0E6F9C2D4B83}\InprocServer32"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
CAMERA = ("Nivra", "1", "1")  # name, lifetime System, access AllUsers


def check(condition, message):
    if not condition:
        failures.append(message)


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def read(path):
    with open(path, "rb") as file:
        return file.read()


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
        shutil.rmtree(prefix, ignore_errors=True)
        # One wineserver for the whole test: a server Wine starts by itself exits with msiexec,
        # and a reg query started while it shuts down dies silently.
        subprocess.run([script, "setup", standin], env=self.env, check=True, capture_output=True)

    def msiexec(self, verb, package, fail=None):
        env = dict(self.env, VELMORA_STANDIN_FAIL=fail) if fail else self.env
        log = os.path.join(os.path.dirname(self.drive), "msiexec.log")
        result = subprocess.run([self.wine, "msiexec", verb, windows_path(package), "/qn", "/l*v", windows_path(log)],
                                env=env, capture_output=True)
        return result.returncode, read(log).decode("latin-1")

    def reg_query(self, key, *options):
        result = subprocess.run([self.wine, "reg", "query", key, *options], env=self.env, capture_output=True,
                                text=True, errors="replace")
        # reg writes its messages to standard output; only a missing key may fail quietly.
        said = result.stdout + result.stderr
        check(result.returncode == 0 or (result.returncode == 1 and "Unable to find" in said),
              f"reg query {key}: exit {result.returncode} {said!r}")
        return result.stdout if result.returncode == 0 else ""

    def log_lines(self):
        return open(self.log, encoding="utf-8").read().splitlines() if os.path.exists(self.log) else []

    def state(self):
        """Our uninstall entries (name, version), the cameras left registered after every Start and
        Remove of the call log, the library that the COM class names, and Program Files' listing."""
        blocks = self.reg_query(UNINSTALL_KEY, "/s").split("\n\n")
        fields = [dict(re.findall(r"^\s+(DisplayName|DisplayVersion)\s+REG_SZ\s+(.*?)\s*$", block, re.M))
                  for block in blocks]
        entries = [(f["DisplayName"], f.get("DisplayVersion")) for f in fields if f.get("DisplayName") == "Velmora"]
        cameras, created = [], None
        for line in self.log_lines():
            name, *pairs = line.split("\t")
            call = dict(pair.split("=", 1) for pair in pairs)
            if name == "MFCreateVirtualCamera":
                created = (call["name"], call["lifetime"], call["access"]) if "result" not in call else None
            elif name == "IMFVirtualCamera::Start" and "result" not in call:
                cameras.append(created)
            elif name == "IMFVirtualCamera::Remove" and "result" not in call:
                cameras = [camera for camera in cameras if camera != created]
        match = re.search(r"\(Default\)\s+REG_SZ\s+C:\\(.+)", self.reg_query(CLASS_KEY, "/ve"))
        copy = os.path.join(self.drive, match.group(1).strip().replace("\\", "/")) if match else None
        return entries, cameras, copy, listing(self.programs)


def check_installed(wine, version, step):
    """One uninstall entry of this version, the camera once, and the class naming a copy of the
    installed library beside our two files in Program Files. Returns the copy's number."""
    entries, cameras, copy, programs = wine.state()
    copy = copy or "none"
    found = (entries, cameras, os.path.dirname(copy), programs)
    expected = ([("Velmora", version)], [CAMERA], wine.programs,
                sorted(["VelmoraRegistrar.exe", "VelmoraSource.dll", os.path.basename(copy)]))
    check(found == expected, f"{step}: found {found}")
    check(os.path.isfile(copy) and read(copy) == read(os.path.join(wine.programs, "VelmoraSource.dll")),
          f"{step}: the class names {copy}, not a copy of the installed library")
    number = re.search(r"VelmoraSource_(\d+)\.dll$", copy)
    return int(number.group(1)) if number else -1


def check_removed(wine, step, data):
    """Nothing of ours left but the data files named."""
    found = wine.state() + (listing(os.path.join(wine.drive, "ProgramData/Velmora")),)
    check(found == ([], [], None, None, data), f"{step}: left {found}")


def msiexec_test(wine_binary, script, prefix, stage, package, standin, version):
    wine = Prefix(wine_binary, script, prefix, standin)
    packages = {}
    for other in ("0.9.0", "1.1.0"):
        packages[other] = os.path.join(prefix, make_dist.msi_name(other))
        make_dist.build_msi(other, stage, packages[other])

    check(wine.msiexec("/i", package)[0] == 0, "install failed")
    check_installed(wine, version, "install")
    for name in ("source.log", "decode_mode.txt"):  # what the library and the user leave
        with open(os.path.join(wine.drive, "ProgramData/Velmora", name), "w") as file:
            file.write("kept\n")
    check(wine.msiexec("/x", package)[0] == 0, "uninstall failed")
    check_removed(wine, "uninstall", ["decode_mode.txt", "source.log"])

    check(wine.msiexec("/i", packages["0.9.0"])[0] == 0, "0.9.0 did not install")
    older = check_installed(wine, "0.9.0", "0.9.0")
    check(wine.msiexec("/i", package)[0] == 0, "upgrade failed")
    newer = check_installed(wine, version, "upgrade")
    check(newer > older >= 0, f"upgrade: copy {newer} registered after copy {older}")

    check(wine.msiexec("/i", packages["1.1.0"])[0] == 0, "1.1.0 did not install")
    code, log = wine.msiexec("/i", package)
    # 1603 (its low byte under Wine): the launch condition refused. Wine logs no message
    # text without a user interface; check_dist.py checks the condition's text.
    check(code == 1603 & 0xFF and "WIX_DOWNGRADE_DETECTED = {" in log, f"downgrade: exit code {code}")
    check_installed(wine, "1.1.0", "downgrade")
    check(wine.msiexec("/x", packages["1.1.0"])[0] == 0, "1.1.0 did not uninstall")

    logged = len(wine.log_lines())
    check(wine.msiexec("/i", package, fail="MFCreateVirtualCamera=0x80004005")[0] != 0, "failed install succeeded")
    check(any("lifetime=1\taccess=1\tname=Nivra" in line and "result=0x80004005" in line
              for line in wine.log_lines()[logged:]), "failed install: the registrar did not fail at the camera")
    check_removed(wine, "failed install", ["decode_mode.txt"])  # each installation deletes the log
    subprocess.run([script, "cleanup"], env=wine.env, capture_output=True)
    if not failures:  # a prefix takes some 700 MB; a failed run keeps it for a look
        shutil.rmtree(prefix)


def signing_test(objcopy, registrar, library, version, *files):
    with tempfile.TemporaryDirectory() as folder:
        pem, key, pfx = (os.path.join(folder, name) for name in ("cert.pem", "key.pem", "cert.pfx"))
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", pem,
                        "-subj", "/CN=Velmora test", "-days", "2"], check=True, capture_output=True)
        subprocess.run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", pem, "-out", pfx,
                        "-passout", "pass:throwaway"], check=True, capture_output=True)
        for signed in (False, True):
            env = {k: v for k, v in os.environ.items() if not k.startswith("VELMORA_SIGN_")}
            env.update({"VELMORA_SIGN_PFX": pfx, "VELMORA_SIGN_PASSWORD": "throwaway"} if signed else {})
            dist = os.path.join(folder, f"dist-{signed}")
            output = subprocess.run([sys.executable, make_dist.__file__, version, dist, os.path.join(folder, "symbols"),
                                     objcopy, registrar, library, *files], env=env, check=True, capture_output=True,
                                    text=True).stdout
            check(output.count("nothing is signed") == (0 if signed else 1), f"signed={signed}: said {output!r}")
            stage = os.path.join(dist, make_dist.STAGE_NAME)
            for path in [os.path.join(stage, os.path.basename(binary)) for binary in (registrar, library)] + [
                    os.path.join(dist, make_dist.msi_name(version))]:
                check(verify(path, pem) == signed, f"signed={signed}: verify of {path}")
                if signed:
                    data = bytearray(read(path))
                    # A byte of the package's cabinet; of a binary, one from the middle of its code.
                    data[data.find(b"MSCF") + 0x100 if path.endswith(".msi") else len(data) // 2] ^= 0x01
                    with open(path, "wb") as file:
                        file.write(data)
                    check(not verify(path, pem), f"a changed byte of {path} still verifies")


def verify(path, certificate):
    return subprocess.run(["osslsigncode", "verify", "-CAfile", certificate, "-in", path],
                          capture_output=True).returncode == 0


if __name__ == "__main__":
    {"msiexec": msiexec_test, "signing": signing_test}[sys.argv[1]](*sys.argv[2:])
    for failure in failures:
        print("FAIL:", failure)
    if failures:
        sys.exit(1)
    print("ok")
