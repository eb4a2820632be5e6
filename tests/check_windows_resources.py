"""Compiles the Windows resource script with the MinGW resource compiler, links it into a
resource-only DLL and reads that back with pefile, so a real compiler and a real PE reader
confirm what Windows will find in the installer's executable.

Usage: /usr/bin/python3 check_windows_resources.py RESOURCES_DIRECTORY
(Debian's python3-pefile is found by Debian's own interpreter.)
"""

import struct
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree
from pathlib import Path

import pefile

RESOURCES = Path(sys.argv.pop(1)).resolve() if len(sys.argv) > 1 else None

US_ENGLISH = 0x0409
RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
# (size, bytes of a bitmap image or None for PNG), in the group's order.
ICON_IMAGES = [(32, 4264), (64, 16936), (128, 67624), (256, None), (512, None), (1024, None)]
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"


def run(command, directory):
    subprocess.run(command, cwd=directory, check=True, timeout=120)


class WindowsResources(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.temporary = tempfile.TemporaryDirectory()
        work = cls.temporary.name
        # binutils alone brings no C preprocessor of its own; the script includes no headers,
        # so the host's preprocessor serves.
        run(["x86_64-w64-mingw32-windres", "--preprocessor=cpp",
             "--preprocessor-arg=-DRC_INVOKED", "-i", str(RESOURCES / "larkspur.rc"),
             "-o", "resources.o"], work)
        run(["x86_64-w64-mingw32-ld", "--dll", "-e", "0", "-o", "resources.dll",
             "resources.o"], work)
        cls.pe = pefile.PE(str(Path(work) / "resources.dll"))
        cls.resources = {}
        for kind in cls.pe.DIRECTORY_ENTRY_RESOURCE.entries:
            for item in kind.directory.entries:
                name = str(item.name) if item.name is not None else item.id
                languages = [(entry.data.lang, entry.data.sublang, entry.data.struct)
                             for entry in item.directory.entries]
                cls.resources[(kind.id, name)] = languages

    @classmethod
    def tearDownClass(cls):
        cls.pe.close()
        cls.temporary.cleanup()

    def data(self, kind, name):
        languages = self.resources[(kind, name)]
        self.assertEqual(len(languages), 1)
        entry = languages[0][2]
        return self.pe.get_data(entry.OffsetToData, entry.Size)

    def test_every_resource_is_us_english_and_nothing_else_is_there(self):
        expected = {(RT_ICON, index) for index in range(1, 7)}
        expected |= {(RT_GROUP_ICON, "IDI_ICON1"), (RT_VERSION, 1), (RT_MANIFEST, 1)}
        self.assertEqual(set(self.resources), expected)
        for key, languages in self.resources.items():
            for language, sublanguage, _ in languages:
                self.assertEqual(sublanguage << 10 | language, US_ENGLISH, key)

    def test_version_record(self):
        fixed = self.pe.VS_FIXEDFILEINFO[0]
        # 0.0.56.0: the major and minor numbers in the high word, 56 and 0 in the low one.
        self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS), (0, 56 << 16))
        self.assertEqual((fixed.ProductVersionMS, fixed.ProductVersionLS), (0, 56 << 16))
        self.assertEqual((fixed.FileFlagsMask, fixed.FileFlags), (0x3F, 0))
        self.assertEqual((fixed.FileOS, fixed.FileType, fixed.FileSubtype), (0x4, 0x1, 0))
        self.assertEqual((fixed.FileDateMS, fixed.FileDateLS), (0, 0))

        tables = [info for info in self.pe.FileInfo[0] if info.Key == b"StringFileInfo"]
        self.assertEqual(len(tables), 1)
        self.assertEqual([table.LangID for table in tables[0].StringTable], [b"040904b0"])
        strings = tables[0].StringTable[0].entries
        self.assertEqual(list(strings), [b"CompanyName", b"FileDescription", b"FileVersion",
                                         b"LegalCopyright", b"OriginalFilename", b"ProductName",
                                         b"ProductVersion"])
        self.assertEqual(strings[b"CompanyName"], b"Fernhollow")
        self.assertEqual(strings[b"FileDescription"], b"Larkspur Installer")
        self.assertEqual(strings[b"FileVersion"], b"0.0.56.0")
        self.assertTrue(strings[b"LegalCopyright"].startswith(b"Copyright"))
        self.assertEqual(strings[b"OriginalFilename"], b"Larkspur Installer.exe")
        self.assertEqual(strings[b"ProductName"], b"Larkspur Installer")
        self.assertEqual(strings[b"ProductVersion"], b"0.0.56.0")

        variables = [info for info in self.pe.FileInfo[0] if info.Key == b"VarFileInfo"]
        self.assertEqual([var.entry for var in variables[0].Var],
                         [{b"Translation": "0x0409 0x04b0"}])

    def test_icon_group_lists_six_images_in_order(self):
        group = self.data(RT_GROUP_ICON, "IDI_ICON1")
        self.assertEqual(struct.unpack_from("<HHH", group), (0, 1, len(ICON_IMAGES)))
        for index, (size, bitmap_bytes) in enumerate(ICON_IMAGES):
            entry = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * index)
            width, height, colours, _, planes, bits, length, identifier = entry
            byte_size = 0 if size >= 256 else size
            self.assertEqual((width, height, colours, planes, bits),
                             (byte_size, byte_size, 0, 1, 32))
            self.assertEqual(identifier, index + 1)
            image = self.data(RT_ICON, identifier)
            self.assertEqual(length, len(image))
            self.check_icon_image(image, size, bitmap_bytes)

    def check_icon_image(self, image, size, bitmap_bytes):
        if bitmap_bytes is None:
            self.assertEqual(image[:8], PNG_SIGNATURE)
            self.assertEqual(image[12:16], b"IHDR")
            # Width, height, 8 bits per sample, colour type 6: RGBA.
            self.assertEqual(struct.unpack_from(">IIBB", image, 16), (size, size, 8, 6))
            return
        self.assertEqual(len(image), bitmap_bytes)
        header = struct.unpack_from("<IiiHHI", image)
        self.assertEqual(header, (40, size, 2 * size, 1, 32, 0))
        # Legacy drawing ignores alpha and uses the mask: it must cover the transparent pixels.
        pixels = 40
        mask = pixels + size * size * 4
        stride = (size + 31) // 32 * 4
        for row in range(size):
            for column in range(size):
                alpha = image[pixels + (row * size + column) * 4 + 3]
                bit = image[mask + row * stride + column // 8] >> (7 - column % 8) & 1
                self.assertEqual(bit, int(alpha == 0), (size, row, column))

    def test_icon_file_is_what_windows_reads(self):
        icon = (RESOURCES / "larkspur.ico").read_bytes()
        self.assertEqual(struct.unpack_from("<HHH", icon), (0, 1, len(ICON_IMAGES)))
        end = 6 + 16 * len(ICON_IMAGES)
        for index, (size, bitmap_bytes) in enumerate(ICON_IMAGES):
            entry = struct.unpack_from("<BBBBHHII", icon, 6 + 16 * index)
            width, height, colours, reserved, planes, bits, length, offset = entry
            byte_size = 0 if size >= 256 else size
            self.assertEqual((width, height, colours, reserved, planes, bits),
                             (byte_size, byte_size, 0, 0, 1, 32))
            self.assertEqual(offset, end, "images must follow each other without gaps")
            end = offset + length
            self.assertEqual(icon[offset:end], self.data(RT_ICON, index + 1))
        self.assertEqual(end, len(icon))

    def test_manifest_asks_for_no_elevation_and_common_controls_6(self):
        text = self.data(RT_MANIFEST, 1)
        self.assertTrue(text.startswith(
            b'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>'))
        root = ElementTree.fromstring(text)
        self.assertEqual(root.tag, ASM_V1 + "assembly")
        self.assertEqual(root.attrib, {"manifestVersion": "1.0"})
        # No DPI awareness, no supported-OS list: exactly these two children.
        self.assertEqual([child.tag for child in root], [ASM_V3 + "trustInfo",
                                                         ASM_V1 + "dependency"])

        trust, dependency = root
        path = [ASM_V3 + "security", ASM_V3 + "requestedPrivileges",
                ASM_V3 + "requestedExecutionLevel"]
        element = trust
        for tag in path:
            self.assertEqual([child.tag for child in element], [tag])
            element = element[0]
        self.assertEqual(element.attrib, {"level": "asInvoker", "uiAccess": "false"})

        self.assertEqual([child.tag for child in dependency], [ASM_V1 + "dependentAssembly"])
        self.assertEqual([child.tag for child in dependency[0]], [ASM_V1 + "assemblyIdentity"])
        self.assertEqual(dependency[0][0].attrib, {
            "type": "win32", "name": "Microsoft.Windows.Common-Controls", "version": "6.0.0.0",
            "processorArchitecture": "*", "publicKeyToken": "6595b64144ccf1df", "language": "*"})


if __name__ == "__main__":
    if RESOURCES is None:
        sys.exit(__doc__)
    unittest.main(verbosity=2)
