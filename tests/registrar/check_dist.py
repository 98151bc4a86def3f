#!/usr/bin/env python3
"""Checks the distributables: the zip holds the two stripped binaries, the guide and the
install script; the package holds the same binaries and runs the registrar at the right
places of its installation script; the symbols stay resolvable; SHA256SUMS lists both.

usage: check_dist.py DIST_DIR SYMBOLS_DIR VERSION
"""
import hashlib
import os
import re
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


def contains(name, text, *parts):
    for part in parts:
        check(part in text, f"{name} lacks {part!r}")


def pe_sections(data):
    """Section name -> bytes, and the COFF symbol count. Long names live in the string table."""
    header = struct.unpack_from("<I", data, 0x3C)[0]
    count, _, symbol_table, symbol_count, optional_size = struct.unpack_from("<HIIIH", data, header + 6)
    sections = {}
    for index in range(count):
        at = header + 24 + optional_size + 40 * index
        name, virtual_size, _, raw_size, raw_offset = struct.unpack_from("<8sIIII", data, at)
        name = name.rstrip(b"\0").decode()
        if name.startswith("/"):
            start = symbol_table + 18 * symbol_count + int(name[1:])
            name = data[start:data.index(b"\0", start)].decode()
        sections[name] = data[raw_offset:raw_offset + min(virtual_size or raw_size, raw_size)]
    return sections, symbol_count


def msi_table(package, table):
    """Rows of an exported table as lists of fields (the three header lines dropped)."""
    text = subprocess.run(["msiinfo", "export", package, table], check=True, capture_output=True, text=True).stdout
    return [line.split("\t") for line in text.splitlines()[3:]]


def check_binary(name, shipped, symbols_dir, version):
    sections, symbol_count = pe_sections(shipped)
    check(symbol_count == 0 and not any(s.startswith(".debug") for s in sections), f"{name} is not stripped")
    with open(os.path.join(symbols_dir, name + ".debug"), "rb") as file:
        symbols = file.read()
    check(".debug_info" in pe_sections(symbols)[0], f"{name}.debug holds no debugging information")
    # The debug link: the file name, padding to 4 bytes, then the CRC-32 of the symbol file.
    link = (name + ".debug").encode() + b"\0"
    link += b"\0" * (-len(link) % 4) + struct.pack("<I", zlib.crc32(symbols))
    check(sections.get(".gnu_debuglink") == link, f"{name} does not link to its symbol file")
    # VS_FIXEDFILEINFO: signature, structure version, file version (MS, LS), product version (MS, LS).
    at = shipped.find(struct.pack("<I", 0xFEEF04BD))
    major, minor, patch = (int(part) for part in version.split("."))
    check(at >= 0 and struct.unpack_from("<6I", shipped, at)[2:] == ((major << 16) | minor, patch << 16) * 2,
          f"{name} has no version resource {version}")
    text = re.escape("FileVersion\0".encode("utf-16-le")) + b"(\0\0)?" + re.escape((version + "\0").encode("utf-16-le"))
    check(re.search(text, shipped) is not None, f"{name} lacks the version text")


def check_msi(package, version, binaries):
    properties = {row[0]: row[1] for row in msi_table(package, "Property")}
    found = [properties.get(name) for name in ("ProductVersion", "UpgradeCode", "ALLUSERS")]
    check(found == [version, "{0F63E7AD-3723-4307-853F-F2DAC5786C80}", "1"], f"package properties {found}")
    directories = {row[0]: row[1:] for row in msi_table(package, "Directory")}
    check(directories.get("INSTALLDIR") == ["ProgramFiles64Folder", "Velmora"], "not installed into Program Files")
    with tempfile.TemporaryDirectory() as folder:
        subprocess.run(["msiextract", "-C", folder, package], check=True, capture_output=True)
        for name, data in binaries.items():
            path = os.path.join(folder, "Velmora", name)
            check(os.path.isfile(path) and open(path, "rb").read() == data, f"the package's {name} is not the zip's")
    carried = subprocess.run(["msiinfo", "extract", package, "Binary.RegistrarBinary"], capture_output=True).stdout
    check(carried == binaries["VelmoraRegistrar.exe"], "the registrar for the rollback is not the zip's")

    # Script order: the older product leaves first; each registrar step directly after its
    # rollback twin; uninstall before the files go, install after they are in place.
    sequence = {row[0]: (row[1], int(row[2])) for row in msi_table(package, "InstallExecuteSequence")}
    position = {action: index for index, action in enumerate(sorted(sequence, key=lambda a: sequence[a][1]))}
    for before, after in (("InstallInitialize", "RemoveExistingProducts"),
                          ("RemoveExistingProducts", "ProcessComponents"),
                          ("UnregisterCameraRollback", "UnregisterCamera"), ("UnregisterCamera", "RemoveFiles"),
                          ("InstallFiles", "RegisterCameraRollback"), ("RegisterCameraRollback", "RegisterCamera")):
        check(position.get(after, -1) == position.get(before, -9) + 1, f"{after} does not follow {before}")
    check(position.get("InstallInitialize", 99) < position.get("UnregisterCameraRollback", -1)
          and position.get("RegisterCamera", 99) < position["InstallFinalize"], "a registrar step outside the script")
    # Type: 18 runs an installed program, 2 one from the Binary table; 0x400 deferred,
    # 0x500 rollback; 0x800 elevated; 0x40 ignores the exit code.
    actions = {row[0]: (int(row[1]), row[2], row[3]) for row in msi_table(package, "CustomAction")}
    for action, kind, source, command, condition in (
            ("RegisterCamera", 18 | 0x400 | 0x800, "RegistrarExe", "install-all-users", 'NOT REMOVE="ALL"'),
            ("RegisterCameraRollback", 2 | 0x500 | 0x800 | 0x40, "RegistrarBinary", "uninstall-system",
             'NOT REMOVE="ALL"'),
            ("UnregisterCamera", 18 | 0x400 | 0x800 | 0x40, "RegistrarExe", "uninstall-system", 'REMOVE="ALL"'),
            ("UnregisterCameraRollback", 18 | 0x500 | 0x800 | 0x40, "RegistrarExe", "install-all-users",
             'REMOVE="ALL"')):
        check(actions.get(action) == (kind, source, command), f"{action} is {actions.get(action)}")
        check(sequence.get(action, ("",))[0] == condition, f"{action} runs when {sequence.get(action)}")

    # Upgrades: every older version (and a rebuild of this one) is removed, a newer one is
    # detected and refused; no Windows-version condition.
    upgrades = sorted((row[1], row[2], int(row[4]), row[6]) for row in msi_table(package, "Upgrade"))
    check(upgrades == [("", version, 0x201, "WIX_UPGRADE_DETECTED"), (version, "", 2, "WIX_DOWNGRADE_DETECTED")],
          f"upgrade rows {upgrades}")
    conditions = msi_table(package, "LaunchCondition")
    check([row[0] for row in conditions] == ["NOT WIX_DOWNGRADE_DETECTED"] and "newer version" in conditions[0][1],
          f"launch conditions {conditions}")


def check_guide_and_script(guide, script, registrar):
    # Notepad and PowerShell 5.1 need the BOM to read UTF-8; Windows line ends throughout.
    for name, data in (("README.txt", guide), ("register_source_machine.ps1", script)):
        check(data.startswith(b"\xef\xbb\xbf"), f"{name} has no UTF-8 BOM")
        check(b"\n" not in data.replace(b"\r\n", b""), f"{name} has a line end other than CRLF")
        contains(name, data.decode("utf-8-sig"), "C:\\Program Files\\Velmora")
    text = guide.decode("utf-8-sig")
    contains("README.txt", text, "설치", "Install", "register_source_machine.ps1",
             *(f"VelmoraRegistrar.exe {verb}" for verb in ("install-system", "install-all-users", "status",
                                                          "uninstall-system")))
    for half in text.split("[English]"):
        check(0 <= half.find(".msi") < half.find(".zip"), "the guide does not name the package before the zip")
    for command in ("Get-FileHash .\\Velmora-windows-x64.zip -Algorithm SHA256",
                    "Unblock-File .\\Velmora-windows-x64.zip", "SHA256SUMS"):
        check(text.count(command) == 2, f"the guide does not show '{command}' in both languages")

    # The access-denied advice names the script; it must be the file in the archive.
    check(b"register_source_machine.ps1" in registrar, "the registrar's advice names another script")
    code = "\n".join(line for line in script.decode("utf-8-sig").splitlines() if not line.lstrip().startswith("#"))
    contains("the script", code, "WindowsBuiltInRole]::Administrator", "Join-Path $PSScriptRoot 'VelmoraRegistrar.exe'",
             "Join-Path $PSScriptRoot 'VelmoraSource.dll'", "'install-system'", "'install-all-users'",
             "exit $LASTEXITCODE")
    check(0 <= code.find("IsInRole") < code.find("exit 1") < code.find("& $registrar $verb"),
          "the script does not stop with exit 1 before running the registrar when not elevated")


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
    with open(os.path.join(dist_dir, "SHA256SUMS")) as sums:
        listed = sums.read()
    hashes = [f"{hashlib.sha256(open(path, 'rb').read()).hexdigest()}  {os.path.basename(path)}\n"
              for path in (archive, package)]
    check(listed == "".join(hashes), f"SHA256SUMS reads {listed!r}")


if __name__ == "__main__":
    main()
    for failure in failures:
        print("FAIL:", failure)
    if failures:
        sys.exit(1)
    print("distributables ok")
