#!/usr/bin/env python3
"""Checks the shipped launcher.exe as a Windows loader would see it: a 32-bit GUI program that
imports only system DLLs (BCRYPT for the signed releases), carries icon group 1 with seven PNG images, and an
application manifest that asks to run as the invoking user with UTF-8 as its code page and changes nothing
else. Given make_manifest.exe as well, holds its manifest to the same."""
import re
import struct
import subprocess
import sys
import unittest
import xml.etree.ElementTree as ElementTree

EXE = None
TOOL_EXE = None
ALLOWED_IMPORTS = {"KERNEL32.DLL", "USER32.DLL", "GDI32.DLL", "COMCTL32.DLL", "WININET.DLL", "BCRYPT.DLL",
                   "MSVCRT.DLL"}
ICON_SIZES = [16, 24, 32, 48, 64, 128, 256]
RT_ICON, RT_GROUP_ICON, RT_MANIFEST = 3, 14, 24


def objdump_headers(path):
    return subprocess.run(["i686-w64-mingw32-objdump", "-p", path], check=True,
                          capture_output=True, text=True).stdout


class PeImage:
    """Just enough of a PE reader to walk the resource tree."""

    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        pe = struct.unpack_from("<I", self.data, 0x3C)[0]
        assert self.data[pe:pe + 4] == b"PE\0\0"
        self.machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", self.data, pe + 4)
        optional = pe + 24
        magic = struct.unpack_from("<H", self.data, optional)[0]
        directories = optional + (96 if magic == 0x10B else 112)
        self.resource_rva = struct.unpack_from("<I", self.data, directories + 2 * 8)[0]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            name, vsize, rva, raw_size, raw_ptr = struct.unpack_from("<8sIIII", self.data, table + 40 * i)
            self.sections.append((rva, max(vsize, raw_size), raw_ptr))

    def offset(self, rva):
        for start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError("rva outside every section: %#x" % rva)

    def _entries(self, dir_offset):
        base = self.offset(self.resource_rva)
        named, ids = struct.unpack_from("<HH", self.data, base + dir_offset + 12)
        for i in range(named + ids):
            ident, value = struct.unpack_from("<II", self.data, base + dir_offset + 16 + 8 * i)
            yield ident, value

    def resources(self):
        """{type id: {name id: bytes of the first language}} for every id-named resource."""
        result = {}
        base = self.offset(self.resource_rva)
        for type_id, type_value in self._entries(0):
            names = result.setdefault(type_id, {})
            for name_id, name_value in self._entries(type_value & 0x7FFFFFFF):
                for _, leaf in self._entries(name_value & 0x7FFFFFFF):
                    rva, size = struct.unpack_from("<II", self.data, base + leaf)
                    start = self.offset(rva)
                    names[name_id] = self.data[start:start + size]
                    break
        return result


WINDOWS_SETTINGS_2019 = "http://schemas.microsoft.com/SMI/2019/WindowsSettings"


def check_manifest(case, resources):
    manifests = resources.get(RT_MANIFEST, {})
    case.assertEqual(list(manifests), [1], "one manifest, resource 1")
    root = ElementTree.fromstring(manifests[1])
    elements = [element.tag.split("}")[-1] for element in root.iter()]
    case.assertEqual(elements, ["assembly", "trustInfo", "security", "requestedPrivileges",
                                "requestedExecutionLevel", "application", "windowsSettings", "activeCodePage"])
    level = next(e for e in root.iter() if e.tag.endswith("requestedExecutionLevel"))
    case.assertEqual(level.attrib, {"level": "asInvoker", "uiAccess": "false"})
    # Windows reads the element only in its own namespace; under any other it silently keeps the ANSI code page.
    page = next(e for e in root.iter() if e.tag.endswith("activeCodePage"))
    case.assertEqual((page.tag, page.text, page.attrib), ("{%s}activeCodePage" % WINDOWS_SETTINGS_2019, "UTF-8", {}))


class LauncherExe(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.headers = objdump_headers(EXE)
        cls.image = PeImage(EXE)
        cls.resources = cls.image.resources()

    def test_is_a_32_bit_gui_program(self):
        self.assertEqual(self.image.machine, 0x14C, "machine is not i386")
        self.assertRegex(self.headers, r"Magic\s+010b\s+\(PE32\)")
        self.assertRegex(self.headers, r"Subsystem\s+00000002\s+\(Windows GUI\)")

    def test_imports_only_system_dlls(self):
        imports = {name.upper() for name in re.findall(r"DLL Name: (\S+)", self.headers)}
        self.assertTrue(imports, "no import found")
        self.assertEqual(imports, ALLOWED_IMPORTS)

    def test_manifest_asks_for_the_invoking_user_and_utf8_and_nothing_else(self):
        # Without a manifest Windows would virtualise writes under Program Files; a common-controls
        # dependency, a compatibility or a DPI section would change how the program behaves.
        check_manifest(self, self.resources)

    def test_icon_group_1_holds_seven_png_images(self):
        groups = self.resources.get(RT_GROUP_ICON, {})
        self.assertIn(1, groups, "icon group 1 missing")
        group = groups[1]
        reserved, kind, count = struct.unpack_from("<HHH", group, 0)
        self.assertEqual((reserved, kind, count), (0, 1, len(ICON_SIZES)))
        icons = self.resources.get(RT_ICON, {})
        sizes = []
        for i in range(count):
            width, height, _, _, _, bits, length, icon_id = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
            self.assertEqual(bits, 32)
            image = icons.get(icon_id)
            self.assertIsNotNone(image, "icon image %d missing" % icon_id)
            self.assertEqual(len(image), length)
            self.assertEqual(image[:8], b"\x89PNG\r\n\x1a\n", "icon image %d is not a PNG" % icon_id)
            png_width, png_height, depth, colour = struct.unpack_from(">IIBB", image, 16)
            self.assertEqual((png_width, png_height), (width or 256, height or 256))
            self.assertEqual((depth, colour), (8, 6), "not 32-bit RGBA")
            sizes.append(png_width)
        self.assertEqual(sorted(sizes), ICON_SIZES)


class ToolExe(unittest.TestCase):
    def test_make_manifest_declares_the_same_manifest(self):
        if TOOL_EXE is None:
            self.skipTest("no make_manifest.exe given")
        check_manifest(self, PeImage(TOOL_EXE).resources())


if __name__ == "__main__":
    EXE = sys.argv.pop(1)
    if len(sys.argv) > 1 and sys.argv[1].endswith(".exe"):
        TOOL_EXE = sys.argv.pop(1)
    unittest.main()
