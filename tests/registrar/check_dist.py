#!/usr/bin/env python3
"""Checks the distributable archive: exactly the two binaries as built, the guide and the
install script, and that the guide and script say what the registrar's advice promises;
and SHA256SUMS beside it, which must list the archive with its hash.

usage: check_dist.py ARCHIVE REGISTRAR_EXE SOURCE_DLL
"""
import hashlib
import os
import sys
import zipfile

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)


def main():
    archive, registrar, library = sys.argv[1:4]
    dist = os.path.dirname(archive)
    with open(os.path.join(dist, "SHA256SUMS"), "rb") as file:
        sums = file.read().decode("ascii").splitlines()
    listed = {}
    for line in sums:
        digest, _, name = line.partition("  ")
        check(len(digest) == 64 and digest == digest.lower() and "/" not in name, f"SHA256SUMS line {line!r}")
        with open(os.path.join(dist, name), "rb") as file:
            check(hashlib.sha256(file.read()).hexdigest() == digest, f"SHA256SUMS has a wrong hash for {name}")
        listed[name] = digest
    check(os.path.basename(archive) in listed, "SHA256SUMS does not list the archive")
    with zipfile.ZipFile(archive) as package:
        names = sorted(package.namelist())
        expected = sorted(["VelmoraRegistrar.exe", "VelmoraSource.dll", "README.txt", "register_source_machine.ps1"])
        check(names == expected, f"archive holds {names}, expected {expected}")
        if names != expected:
            return
        for name, built in (("VelmoraRegistrar.exe", registrar), ("VelmoraSource.dll", library)):
            with open(built, "rb") as file:
                check(package.read(name) == file.read(), f"{name} differs from the built {built}")
        registrar_bytes = package.read("VelmoraRegistrar.exe")
        guide = package.read("README.txt")
        script = package.read("register_source_machine.ps1")

    # Notepad and PowerShell 5.1 need the BOM to read UTF-8; Windows line ends throughout.
    for name, data in (("README.txt", guide), ("register_source_machine.ps1", script)):
        check(data.startswith(b"\xef\xbb\xbf"), f"{name} has no UTF-8 BOM")
        check(b"\n" not in data.replace(b"\r\n", b""), f"{name} has a line end other than CRLF")
        data.decode("utf-8")

    text = guide.decode("utf-8-sig")
    for verb in ("install-system", "install-all-users", "status", "uninstall-system"):
        check(f"VelmoraRegistrar.exe {verb}" in text, f"the guide does not show '{verb}'")
    check("설치" in text and "Install" in text, "the guide is not in Korean and English")
    check("register_source_machine.ps1" in text, "the guide does not mention the script")
    for command in ("Get-FileHash .\\Velmora-windows-x64.zip -Algorithm SHA256",
                    "Unblock-File .\\Velmora-windows-x64.zip", "SHA256SUMS"):
        check(text.count(command) == 2, f"the guide does not show '{command}' in both languages")
    for name, data in (("README.txt", text), ("register_source_machine.ps1", script.decode("utf-8-sig"))):
        check("C:\\Program Files\\Velmora" in data, f"{name} does not name the installation folder")

    # The access-denied advice names the script; it must be the file in the archive.
    check("register_source_machine.ps1".encode() in registrar_bytes,
          "the registrar's advice names another script")
    code = "\n".join(line for line in script.decode("utf-8-sig").splitlines()
                     if not line.lstrip().startswith("#"))
    check("WindowsBuiltInRole]::Administrator" in code and "IsInRole" in code, "the script does not check elevation")
    elevation = code.find("IsInRole")
    run = code.find("& $registrar $verb")
    check(0 <= elevation < code.find("exit 1") < run, "the script does not stop with exit 1 before running the registrar")
    check("Join-Path $PSScriptRoot 'VelmoraRegistrar.exe'" in code, "the script does not run the registrar beside it")
    check("Join-Path $PSScriptRoot 'VelmoraSource.dll'" in code, "the script does not check for the library")
    check("'install-system'" in code and "'install-all-users'" in code, "the script does not use the install verbs")
    check("exit $LASTEXITCODE" in code, "the script does not pass on the registrar's exit code")


if __name__ == "__main__":
    main()
    for failure in failures:
        print("FAIL:", failure)
    if failures:
        sys.exit(1)
    print("archive ok")
