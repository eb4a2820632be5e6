# Reads with pefile what Windows finds in the installer: the resource script as MinGW's windres
# compiles it (linked into a resource-only DLL), and the cross-built program when it is given,
# whose subsystem, imported DLLs and size are checked too. Fails with the first difference.
#
# Usage: /usr/bin/python3 check_windows_resources.py RESOURCES_DIRECTORY [PROGRAM.exe]
# (Debian's python3-pefile is found by Debian's own interpreter.)

import re
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

import pefile

US_ENGLISH = 0x0409
RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
ICON_COUNT = 6
# The DLLs of Windows itself that the program may import: Qt, the compiler's runtime, OpenSSL and
# zlib are linked in, and Windows ships none of them.
WINDOWS_DLLS = {"advapi32", "bcrypt", "comdlg32", "crypt32", "dwmapi", "gdi32", "imm32", "iphlpapi",
                "kernel32", "mpr", "msvcrt", "ncrypt", "netapi32", "ole32", "oleaut32", "secur32",
                "shell32", "shlwapi", "user32", "userenv", "uxtheme", "version", "winmm",
                "wintrust", "ws2_32", "wtsapi32"}
# Shipped with every copy of the product, which users compare with other updaters.
MAXIMUM_SIZE = 10 * 1024 * 1024


def check_equal(actual, expected, what):
    if actual != expected:
        sys.exit(f"{what}: {actual!r} instead of {expected!r}")


def check(path, resources):
    pe = pefile.PE(path)
    found = {}
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for item in kind.directory.entries:
            name = str(item.name) if item.name is not None else item.id
            for entry in item.directory.entries:
                found[(kind.id, name, entry.data.sublang << 10 | entry.data.lang)] = \
                    pe.get_data(entry.data.struct.OffsetToData, entry.data.struct.Size)
    expected = {(RT_ICON, index + 1) for index in range(ICON_COUNT)}
    expected |= {(RT_GROUP_ICON, "IDI_ICON1"), (RT_VERSION, 1), (RT_MANIFEST, 1)}
    check_equal(set(found), {key + (US_ENGLISH,) for key in expected}, f"{path}: resources")

    # The group lists the icon file's images in its order, each stored whole.
    icon_file = (resources / "larkspur.ico").read_bytes()
    group = found[(RT_GROUP_ICON, "IDI_ICON1", US_ENGLISH)]
    check_equal(struct.unpack_from("<HHH", group), (0, 1, ICON_COUNT), "icon group")
    for index in range(ICON_COUNT):
        length, offset = struct.unpack_from("<II", icon_file, 14 + 16 * index)
        identifier = struct.unpack_from("<H", group, 18 + 14 * index)[0]
        check_equal(found[(RT_ICON, identifier, US_ENGLISH)], icon_file[offset:offset + length],
                    f"icon image {index}")

    fixed = pe.VS_FIXEDFILEINFO[0]
    # 0.0.56.0; FILEOS 0x4 is VOS__WINDOWS32, FILETYPE 0x1 is VFT_APP.
    check_equal((fixed.FileVersionMS, fixed.FileVersionLS, fixed.ProductVersionMS,
                 fixed.ProductVersionLS, fixed.FileFlags, fixed.FileOS, fixed.FileType),
                (0, 56 << 16, 0, 56 << 16, 0, 0x4, 0x1), "fixed version record")
    tables = {info.Key: info for info in pe.FileInfo[0]}
    (strings,) = tables[b"StringFileInfo"].StringTable
    script = (resources / "larkspur.rc").read_text()
    values = {key.encode(): value.encode()
              for key, value in re.findall(r'VALUE "(\w+)", "([^"]*)"', script)}
    check_equal((strings.LangID, strings.entries), (b"040904b0", values), "strings")
    check_equal([var.entry for var in tables[b"VarFileInfo"].Var],
                [{b"Translation": "0x0409 0x04b0"}], "translation")
    check_equal(found[(RT_MANIFEST, 1, US_ENGLISH)],
                (resources / "larkspur.manifest").read_bytes(), "manifest")
    return pe


resources = Path(sys.argv[1])
with tempfile.TemporaryDirectory() as work:
    # binutils alone brings no C preprocessor; the script includes no headers, so the host's
    # preprocessor serves.
    subprocess.run(["x86_64-w64-mingw32-windres", "--preprocessor=cpp",
                    "--preprocessor-arg=-DRC_INVOKED", "-i", resources / "larkspur.rc",
                    "-o", f"{work}/resources.o"], check=True, timeout=120)
    subprocess.run(["x86_64-w64-mingw32-ld", "--dll", "-e", "0", "-o", f"{work}/resources.dll",
                    f"{work}/resources.o"], check=True, timeout=120)
    check(f"{work}/resources.dll", resources)
if len(sys.argv) > 2:
    program = check(sys.argv[2], resources)
    check_equal((program.FILE_HEADER.Machine, program.OPTIONAL_HEADER.Subsystem),
                (pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"],
                 pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"]), "machine and subsystem")
    imported = {entry.dll.decode().lower().removesuffix(".dll")
                for entry in program.DIRECTORY_ENTRY_IMPORT}
    check_equal(sorted(imported - WINDOWS_DLLS), [], "DLLs imported that Windows doesn't ship")
    size = Path(sys.argv[2]).stat().st_size
    if size > MAXIMUM_SIZE:
        sys.exit(f"{sys.argv[2]}: {size} bytes, more than {MAXIMUM_SIZE}")
print("The Windows resources and program are as Windows expects them.")
