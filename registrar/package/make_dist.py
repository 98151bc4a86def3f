#!/usr/bin/env python3
"""Builds the distributables: stripped binaries (their symbols kept as NAME.debug files),
signed when a certificate is configured, the zip, the installer package and SHA256SUMS.

usage: make_dist.py VERSION DIST_DIR SYMBOLS_DIR OBJCOPY REGISTRAR_EXE SOURCE_DLL FILE...
  FILE...: further files for the zip (the guide, the install script).

Signing: VELMORA_SIGN_PFX (a PKCS#12 file) and VELMORA_SIGN_PASSWORD sign both binaries
and the package with Authenticode (SHA-256); VELMORA_SIGN_TIMESTAMP_URL adds an RFC 3161
time stamp from that server.
"""
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
STAGE_NAME = "Velmora-windows-x64"
ZIP_NAME = STAGE_NAME + ".zip"
# Custom action type bits; the low bits say what runs: 2 a program stored in the
# package, 18 an installed program.
CUSTOM_ACTION_IGNORE_EXIT = 0x40
CUSTOM_ACTION_ROLLBACK = 0x100
CUSTOM_ACTION_SCRIPT = 0x400
CUSTOM_ACTION_ELEVATED = 0x800
UPGRADE_VERSION_MAX_INCLUSIVE = 0x200


def msi_name(version):
    return f"Velmora-{version}-x64.msi"


def run(*command, cwd=None):
    subprocess.run(command, check=True, cwd=cwd)


def msibuild_query(package, *queries):
    run("msibuild", package, *[part for query in queries for part in ("-q", query)])


def strip(objcopy, built, stage_dir, symbols_dir):
    """Copies a binary into the stage without symbols; the symbols go to NAME.debug, which
    the stripped copy names (debug link) so a debugger finds them."""
    name = os.path.basename(built)
    symbols = os.path.join(symbols_dir, name + ".debug")
    run(objcopy, "--only-keep-debug", built, symbols)
    run(objcopy, "--strip-all", "--add-gnu-debuglink=" + symbols, built, os.path.join(stage_dir, name))


def signing_configured():
    return bool(os.environ.get("VELMORA_SIGN_PFX")) and bool(os.environ.get("VELMORA_SIGN_PASSWORD"))


def sign(path):
    """Authenticode signature in place; the password reaches osslsigncode through a private
    file, never its command line."""
    with tempfile.TemporaryDirectory() as private:
        password = os.path.join(private, "password")
        with open(os.open(password, os.O_WRONLY | os.O_CREAT, 0o600), "w") as file:
            file.write(os.environ["VELMORA_SIGN_PASSWORD"])
        command = ["osslsigncode", "sign", "-pkcs12", os.environ["VELMORA_SIGN_PFX"], "-readpass", password,
                   "-h", "sha256", "-n", "Velmora"]
        if os.environ.get("VELMORA_SIGN_TIMESTAMP_URL"):
            command += ["-ts", os.environ["VELMORA_SIGN_TIMESTAMP_URL"]]
        signed = os.path.join(private, "signed")
        run(*command, "-in", path, "-out", signed)
        shutil.copyfile(signed, path)


def build_msi(version, stage_dir, output):
    """wixl builds the package; the tables are then patched where wixl 0.101 builds something
    else than the source says: it writes rollback actions as immediate ones, cannot run a
    program from the Binary table, and its major upgrade leaves an installed package of the
    same version beside this one."""
    # wixl finds the files named in the source only in its current directory.
    run("wixl", "-a", "x64", "-D", "Version=" + version, "-o", os.path.abspath(output),
        os.path.join(HERE, "Velmora.wxs"), cwd=stage_dir)
    rollback = CUSTOM_ACTION_ROLLBACK | CUSTOM_ACTION_SCRIPT | CUSTOM_ACTION_ELEVATED | CUSTOM_ACTION_IGNORE_EXIT
    upgrade_code = "{0F63E7AD-3723-4307-853F-F2DAC5786C80}"
    msibuild_query(
        output,
        f"UPDATE CustomAction SET Type={rollback | 2}, Source='RegistrarBinary' WHERE Action='RegisterCameraRollback'",
        f"UPDATE CustomAction SET Type={rollback | 18} WHERE Action='UnregisterCameraRollback'",
        "DELETE FROM Upgrade WHERE ActionProperty='WIX_UPGRADE_DETECTED'",
        "INSERT INTO Upgrade (UpgradeCode, VersionMin, VersionMax, Language, Attributes, Remove, ActionProperty) "
        f"VALUES ('{upgrade_code}', '', '{version}', '', {1 | UPGRADE_VERSION_MAX_INCLUSIVE}, '', "
        "'WIX_UPGRADE_DETECTED')")


def main():
    version, dist_dir, symbols_dir, objcopy, registrar, library, *files = sys.argv[1:]
    stage_dir = os.path.join(dist_dir, STAGE_NAME)
    shutil.rmtree(stage_dir, ignore_errors=True)
    os.makedirs(stage_dir)
    os.makedirs(symbols_dir, exist_ok=True)
    for built in (registrar, library):
        strip(objcopy, built, stage_dir, symbols_dir)
    signed = signing_configured()
    if not signed:
        print("make_dist: no certificate (VELMORA_SIGN_PFX, VELMORA_SIGN_PASSWORD); nothing is signed")
    binaries = [os.path.join(stage_dir, os.path.basename(path)) for path in (registrar, library)]
    for binary in binaries if signed else []:
        sign(binary)

    packages = [ZIP_NAME, msi_name(version)]
    with zipfile.ZipFile(os.path.join(dist_dir, ZIP_NAME), "w", zipfile.ZIP_DEFLATED) as archive:
        for path in binaries + files:
            archive.write(path, os.path.basename(path))
    build_msi(version, stage_dir, os.path.join(dist_dir, packages[1]))
    if signed:
        sign(os.path.join(dist_dir, packages[1]))

    with open(os.path.join(dist_dir, "SHA256SUMS"), "w", newline="\n") as sums:
        for name in packages:
            with open(os.path.join(dist_dir, name), "rb") as file:
                sums.write(f"{hashlib.sha256(file.read()).hexdigest()}  {name}\n")


if __name__ == "__main__":
    main()
