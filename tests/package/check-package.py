#!/usr/bin/env python3
"""Checks the release package: every file a user needs is there; the setup program is one
32-bit program for 32-bit, 64-bit and ARM64 Windows that asks for administrator rights itself and
carries the version the package is named after; each DLL, connection check and command-line
installer for installing by hand is built for its processor and imports only system DLLs, and
each DLL carries that version and exports the driver's three entry points.

    tests/package/check-package.py build/melvpcif-VERSION.zip

package.sh names the package after the project's version (CMakeLists.txt), so the files inside
are checked against that.
"""
import os
import re
import struct
import subprocess
import sys
import tempfile
import zipfile

if len(sys.argv) != 2:
    sys.exit(__doc__)
named = re.fullmatch(r"melvpcif-(\d+)\.(\d+)\.(\d+)\.(\d+)\.zip", os.path.basename(sys.argv[1]))
if not named:
    sys.exit(f"{sys.argv[1]} is not named melvpcif-VERSION.zip, VERSION being four numbers")
VERSION = tuple(int(part) for part in named.groups())
VERSION_TEXT = "%d.%d.%d.%d" % VERSION
SETUP = f"melvpcif-{VERSION_TEXT}-setup.exe"
EXPECTED = {SETUP, "README.md", "LICENSE", "by-hand/INSTALL-BY-HAND.txt",
            "by-hand/melvpcif-setup.exe", "by-hand/melvpcif-setup32.exe",
            "by-hand/melvpcif-setup-arm64.exe", "by-hand/x64/melvpcif.dll",
            "by-hand/x86/melvpcif.dll", "by-hand/arm64/melvpcif.dll", "by-hand/x64/melv-toolbox.exe",
            "by-hand/x86/melv-toolbox.exe", "by-hand/arm64/melv-toolbox.exe",
            "by-hand/x64/melv-settings.exe", "by-hand/x86/melv-settings.exe",
            "by-hand/arm64/melv-settings.exe", "by-hand/x64/melvpcif-share.exe",
            "by-hand/x86/melvpcif-share.exe", "by-hand/arm64/melvpcif-share.exe"}
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "winmm.dll", "setupapi.dll",
               "msvcrt.dll", "gdi32.dll", "comctl32.dll"}
# GNU objdump cannot read ARM64 PE files.
OBJDUMP = {"x64": "x86_64-w64-mingw32-objdump", "x86": "i686-w64-mingw32-objdump",
           "arm64": "llvm-objdump-16"}
FORMAT = {"x64": "pei-x86-64", "x86": "pei-i386", "arm64": "coff-arm64"}

failures = []
passes = []


def check(condition, what):
    print(("ok: " if condition else "FAILED: ") + what)
    (passes if condition else failures).append(what)


def fixed_file_version(data):
    """File and product version from the VS_FIXEDFILEINFO that follows its signature."""
    at = data.find(struct.pack("<I", 0xFEEF04BD))
    if at < 0:
        return None, None
    fields = struct.unpack_from("<IIIIII", data, at)
    file_ms, file_ls, product_ms, product_ls = fields[2:6]

    def split(ms, ls):
        return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

    return split(file_ms, file_ls), split(product_ms, product_ls)


def pe_details(path, objdump):
    dump = subprocess.run([objdump, "-p", path], capture_output=True, text=True,
                          check=True).stdout
    imports = {line.split(":", 1)[1].strip().lower()
               for line in dump.splitlines() if "DLL Name:" in line}
    return imports, dump


def exports(dump, name):
    """GNU objdump lists an export as "[   0] Name", llvm-objdump as "1   0x1040  Name"."""
    return re.search(r"(\]| 0x[0-9a-f]+ ) " + name + "\n", dump) is not None


def built_for(dump, arch):
    return f"file format {FORMAT[arch]}\n" in dump


with tempfile.TemporaryDirectory() as folder, zipfile.ZipFile(sys.argv[1]) as package:
    names = set(package.namelist())
    missing = EXPECTED - names
    check(not missing, "the package holds " + ", ".join(sorted(EXPECTED))
          + (" (missing " + ", ".join(sorted(missing)) + ")" if missing else ""))
    package.extractall(folder)
    for arch in ("x64", "x86", "arm64"):
        dll = f"{folder}/by-hand/{arch}/melvpcif.dll"
        imports, dump = pe_details(dll, OBJDUMP[arch])
        check(built_for(dump, arch), f"{arch} DLL is built for {arch}")
        check(imports and imports <= SYSTEM_DLLS,
              f"{arch} DLL imports only system DLLs: {sorted(imports)}")
        for export in ("DriverProc", "modMessage", "midMessage"):
            check(exports(dump, export), f"{arch} DLL exports {export} undecorated")
        file_version, product_version = fixed_file_version(open(dll, "rb").read())
        check(file_version == VERSION and product_version == VERSION,
              f"{arch} DLL carries version {VERSION_TEXT} (file {file_version}, "
              f"product {product_version})")
    for setup, arch in (("melvpcif-setup.exe", "x64"), ("melvpcif-setup32.exe", "x86"),
                        ("melvpcif-setup-arm64.exe", "arm64"), ("x64/melv-toolbox.exe", "x64"),
                        ("x86/melv-toolbox.exe", "x86"), ("arm64/melv-toolbox.exe", "arm64"),
                        ("x64/melv-settings.exe", "x64"), ("x86/melv-settings.exe", "x86"),
                        ("arm64/melv-settings.exe", "arm64"), ("x64/melvpcif-share.exe", "x64"),
                        ("x86/melvpcif-share.exe", "x86"), ("arm64/melvpcif-share.exe", "arm64")):
        imports, dump = pe_details(f"{folder}/by-hand/{setup}", OBJDUMP[arch])
        check(built_for(dump, arch) and imports and imports <= SYSTEM_DLLS,
              f"by-hand/{setup} is built for {arch} and imports only system DLLs: "
              f"{sorted(imports)}")

    for arch in ("x64", "x86", "arm64"):
        settings = open(f"{folder}/by-hand/{arch}/melv-settings.exe", "rb").read()
        check(b'level="requireAdministrator"' in settings,
              f"by-hand/{arch}/melv-settings.exe asks for administrator rights itself")

    if SETUP in names:
        setup = f"{folder}/{SETUP}"
        data = open(setup, "rb").read()
        _, dump = pe_details(setup, OBJDUMP["x86"])
        check("file format pei-i386" in dump,
              f"{SETUP} is a 32-bit program, which runs on 32- and 64-bit Windows")
        check(b'level="requireAdministrator"' in data,
              f"{SETUP} asks for administrator rights itself")
        file_version, product_version = fixed_file_version(data)
        check(file_version == VERSION and product_version == VERSION,
              f"{SETUP} carries version {VERSION_TEXT} (file {file_version}, "
              f"product {product_version})")

print(f"package: {len(passes)} passed, {len(failures)} failed")
sys.exit(1 if failures else 0)
