#!/usr/bin/env python3
"""Checks the distributables: the zip's two stripped binaries, guide and install script; the package's same binaries
and registrar runs (verbs, rights, conditions); resolvable symbols; SHA256SUMS listing both.

usage: check_dist.py DIST_DIR SYMBOLS_DIR VERSION
"""
import hashlib
import os
import pathlib
import struct
import subprocess
import sys
import tempfile
import zipfile
import zlib

failures = []
BINARIES = ("VelmoraRegistrar.exe", "VelmoraSource.dll")


def check(condition, message):
    if not condition:
        failures.append(message)


def finish(success):
    for failure in failures:
        print("FAIL:", failure)
    if failures:
        sys.exit(1)
    print(success)


def msi_table(package, table):
    """Rows of an exported table as lists of fields (the three header lines dropped)."""
    text = subprocess.run(["msiinfo", "export", package, table], check=True, capture_output=True, text=True).stdout
    return [line.split("\t") for line in text.splitlines()[3:]]


def check_binary(name, shipped, symbols_dir, version):
    # No COFF symbols, no debugging sections (whose long names would sit in the string table).
    header = struct.unpack_from("<I", shipped, 0x3C)[0]
    check(struct.unpack_from("<I", shipped, header + 16)[0] == 0 and b".debug_" not in shipped, f"{name} not stripped")
    symbols = pathlib.Path(symbols_dir, name + ".debug").read_bytes()
    # The debug link: the file name, padding to 4 bytes, then the CRC-32 of the symbol file.
    link = (name + ".debug").encode() + b"\0"
    link += b"\0" * (-len(link) % 4) + struct.pack("<I", zlib.crc32(symbols))
    check(link in shipped and b".debug_info" in symbols, f"{name} does not link to its symbols")
    # VS_FIXEDFILEINFO: signature, structure version, file version (MS, LS), product version (MS, LS).
    at = shipped.find(struct.pack("<I", 0xFEEF04BD))
    major, minor, patch = (int(part) for part in version.split("."))
    check(at >= 0 and struct.unpack_from("<6I", shipped, at)[2:] == ((major << 16) | minor, patch << 16) * 2,
          f"{name} has no version resource {version}")


def check_msi(package, version, binaries):
    # What package_test.py's runs under Wine cannot show.
    properties = {row[0]: row[1] for row in msi_table(package, "Property")}
    found = [properties.get(name) for name in ("ProductVersion", "UpgradeCode", "ALLUSERS")]
    check(found == [version, "{0F63E7AD-3723-4307-853F-F2DAC5786C80}", "1"], f"package properties {found}")
    with tempfile.TemporaryDirectory() as folder:
        subprocess.run(["msiextract", "-C", folder, package], check=True, capture_output=True)
        extracted = {name: pathlib.Path(folder, "Velmora", name).read_bytes() for name in BINARIES}
    carried = subprocess.run(["msiinfo", "extract", package, "Binary.RegistrarBinary"], capture_output=True).stdout
    check(extracted == binaries and carried == binaries["VelmoraRegistrar.exe"], "the package's binaries differ")

    # Type: 18 runs an installed program, 2 one from the Binary table; 0x400 deferred,
    # 0x500 rollback; 0x800 elevated (Wine runs all as an administrator); 0x40 ignores the exit code.
    sequence = {row[0]: row[1] for row in msi_table(package, "InstallExecuteSequence")}
    actions = {row[0]: (int(row[1]), row[2], row[3], sequence.get(row[0]))
               for row in msi_table(package, "CustomAction")}
    check(actions == {
        "RegisterCamera": (18 | 0x400 | 0x800, "RegistrarExe", "install-all-users", 'NOT REMOVE="ALL"'),
        "RegisterCameraRollback": (2 | 0x500 | 0x800 | 0x40, "RegistrarBinary", "uninstall-system", 'NOT REMOVE="ALL"'),
        "UnregisterCamera": (18 | 0x400 | 0x800 | 0x40, "RegistrarExe", "uninstall-system", 'REMOVE="ALL"'),
        "UnregisterCameraRollback": (18 | 0x500 | 0x800 | 0x40, "RegistrarExe", "install-all-users", 'REMOVE="ALL"')},
          f"custom actions {actions}")


def check_guide_and_script(guide, script, registrar):
    # Notepad and PowerShell 5.1 need the BOM to read UTF-8; Windows line ends throughout.
    for name, data in (("README.txt", guide), ("register_source_machine.ps1", script)):
        check(data.startswith(b"\xef\xbb\xbf") and b"\n" not in data.replace(b"\r\n", b"")
              and "C:\\Program Files\\Velmora" in data.decode("utf-8-sig"), f"{name}: no BOM, not CRLF or no folder")

    # The access-denied advice names the script, which must be the archive's; the program never asks for elevation.
    check(b"register_source_machine.ps1" in registrar, "the registrar's advice names another script")
    check(b'<requestedExecutionLevel level="asInvoker" uiAccess="false"/>' in registrar, "the registrar elevates")
    code = "\n".join(line for line in script.decode("utf-8-sig").splitlines() if not line.lstrip().startswith("#"))
    # Not elevated: exit 1 before the registrar of the script's own folder runs; its exit code passed on.
    steps = [code.find(part) for part in ("WindowsBuiltInRole]::Administrator", "exit 1",
                                          "Join-Path $PSScriptRoot 'VelmoraRegistrar.exe'",
                                          "Join-Path $PSScriptRoot 'VelmoraSource.dll'", "'install-all-users'",
                                          "'install-system'", "& $registrar $verb", "exit $LASTEXITCODE")]
    check(0 <= steps[0] and steps == sorted(steps), f"the script's steps at {steps}")


def main():
    dist_dir, symbols_dir, version = sys.argv[1:4]
    archive = os.path.join(dist_dir, "Velmora-windows-x64.zip")
    package = os.path.join(dist_dir, f"Velmora-{version}-x64.msi")
    with zipfile.ZipFile(archive) as zipped:
        names = sorted(zipped.namelist())
        expected = sorted(BINARIES + ("README.txt", "register_source_machine.ps1"))
        check(names == expected, f"archive holds {names}, expected {expected}")
        if names != expected:
            return
        binaries = {name: zipped.read(name) for name in BINARIES}
        check_guide_and_script(zipped.read("README.txt"), zipped.read("register_source_machine.ps1"),
                               binaries["VelmoraRegistrar.exe"])
    for name, data in binaries.items():
        check_binary(name, data, symbols_dir, version)
    check_msi(package, version, binaries)
    hashes = [f"{hashlib.sha256(pathlib.Path(path).read_bytes()).hexdigest()}  {os.path.basename(path)}\n"
              for path in (archive, package)]
    check(pathlib.Path(dist_dir, "SHA256SUMS").read_text() == "".join(hashes), "SHA256SUMS lists other files")


if __name__ == "__main__":
    main()
    finish("distributables ok")
