#!/usr/bin/env python3
"""The add-on package's content check: a package built from good libraries passes, and each
way a package can be wrong is refused with a reason.

  package_check_test.py LINUX_PLUGIN_SO

The Linux library is the one this build made; the two Windows DLLs are small PE files made
here, with the export table and the identity text that the check looks for.
"""

import os
import struct
import re
import sys
import tempfile
import unittest
import unittest.mock
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "packaging"))
import ts3_package  # noqa: E402

LINUX_PLUGIN = None

DESCRIPTION = ("This plugin provides support for the Logitech G19 keyboard. "
               "Requires the Kestro G19 Display Manager to work.")


def make_dll(machine, magic, exports=tuple(ts3_package.EXPORTS), text=DESCRIPTION, api=20, section=".edata"):
    """A minimal PE DLL: headers, one section with an export directory, the names, the code of
    each export (ts3plugin_apiVersion returns `api`, the others return) and the text."""
    section_rva, section_raw = 0x1000, 0x200
    names = sorted(exports)
    directory_size = 40
    # After the directory: the functions' addresses, the names' addresses, the ordinals.
    functions_at = directory_size
    pointers_at = functions_at + 4 * len(names)
    ordinals_at = pointers_at + 4 * len(names)
    body = bytearray(ordinals_at + 2 * len(names))
    for index, name in enumerate(names):
        code = b"\xB8" + struct.pack("<i", api) + b"\xC3" if name == "ts3plugin_apiVersion" else b"\xC3"
        struct.pack_into("<I", body, functions_at + 4 * index, section_rva + len(body))
        body += code
        struct.pack_into("<I", body, pointers_at + 4 * index, section_rva + len(body))
        body += name.encode("ascii") + b"\0"
        struct.pack_into("<H", body, ordinals_at + 2 * index, index)
    # NumberOfFunctions, NumberOfNames, AddressOfFunctions, AddressOfNames, AddressOfNameOrdinals.
    struct.pack_into("<IIIII", body, 20, len(names), len(names), section_rva + functions_at,
                     section_rva + pointers_at, section_rva + ordinals_at)
    body += text.encode("utf-8") + b"\0"

    directories_offset = 112 if magic == ts3_package.PE_MAGIC_PE32_PLUS else 96
    optional_size = directories_offset + 16 * 8
    optional = bytearray(optional_size)
    struct.pack_into("<H", optional, 0, magic)
    struct.pack_into("<I", optional, directories_offset - 4, 16)
    struct.pack_into("<II", optional, directories_offset, section_rva, len(body))

    dos = bytearray(0x40)
    dos[0:2] = b"MZ"
    struct.pack_into("<I", dos, 0x3C, 0x40)
    coff = struct.pack("<HHIIIHH", machine, 1, 0, 0, 0, optional_size, ts3_package.PE_CHARACTERISTIC_DLL | 2)
    section_name, section = section, bytearray(40)
    section[0:len(section_name)] = section_name.encode("ascii")
    struct.pack_into("<IIII", section, 8, len(body), section_rva, len(body), section_raw)
    headers = bytes(dos) + b"PE\0\0" + coff + bytes(optional) + bytes(section)
    assert len(headers) <= section_raw
    return headers + bytes(section_raw - len(headers)) + bytes(body)


def win64():
    return make_dll(ts3_package.PE_MACHINE_AMD64, ts3_package.PE_MAGIC_PE32_PLUS)


def win32():
    return make_dll(ts3_package.PE_MACHINE_I386, ts3_package.PE_MAGIC_PE32)


def good_ini():
    return ts3_package.ini_text(ts3_package.linux_identity(LINUX_PLUGIN)).encode("ascii")


class PackageCheckTest(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.addCleanup(self.directory.cleanup)
        with open(LINUX_PLUGIN, "rb") as library:
            self.linux = library.read()

    def path(self, name):
        return os.path.join(self.directory.name, name)

    def write(self, entries, method=zipfile.ZIP_DEFLATED):
        """A package with the given (name, bytes[, method]) entries."""
        path = self.path("test.ts3_plugin")
        with zipfile.ZipFile(path, "w") as archive:
            for entry in entries:
                name, data = entry[0], entry[1]
                info = zipfile.ZipInfo(name, (2020, 1, 1, 0, 0, 0))
                info.compress_type = entry[2] if len(entry) > 2 else method
                archive.writestr(info, data)
        return path

    def good_entries(self):
        return [(ts3_package.INI_ENTRY, good_ini()), (ts3_package.WIN64_ENTRY, win64()),
                (ts3_package.WIN32_ENTRY, win32()), (ts3_package.LINUX_ENTRY, self.linux)]

    def replaced(self, name, data=None, new_name=None, method=None):
        entries = []
        for entry in self.good_entries():
            if entry[0] == name:
                entry = (new_name or name, entry[1] if data is None else data) + \
                    ((method,) if method is not None else ())
            entries.append(entry)
        return entries

    def assertRefused(self, entries, reason):
        with self.assertRaises(ts3_package.PackageError) as caught:
            ts3_package.check(self.write(entries))
        self.assertIn(reason, str(caught.exception))

    def test_a_package_built_from_good_libraries_passes(self):
        for name, data in ((ts3_package.WIN64_ENTRY, win64()), (ts3_package.WIN32_ENTRY, win32())):
            with open(self.path(os.path.basename(name)), "wb") as file:
                file.write(data)
        out = self.path("out/Kestro_G19_TS3_Plugin.ts3_plugin")
        ts3_package.build(LINUX_PLUGIN, self.path(os.path.basename(ts3_package.WIN64_ENTRY)),
                          self.path(os.path.basename(ts3_package.WIN32_ENTRY)), out)
        ts3_package.check(out)
        with zipfile.ZipFile(out) as archive:
            self.assertEqual([info.filename for info in archive.infolist()], ts3_package.ENTRIES)
            self.assertEqual(archive.read(ts3_package.INI_ENTRY).decode("ascii").splitlines(), [
                "Name = Kestro G19 TS3 Plugin",
                "Type = Plugin",
                "Author = Kestro (Special thanks to Delvane)",
                "Version = 0.9.9",
                "Platforms = win32, win64, linux_amd64",
                'Description = "%s"' % DESCRIPTION,
            ])
        self.assertFalse(os.path.exists(out + ".partial"))

    def test_refuses_entries_not_deflated(self):
        self.assertRefused(self.replaced(ts3_package.INI_ENTRY, method=zipfile.ZIP_STORED), "not deflate")
        self.assertRefused(self.replaced(ts3_package.LINUX_ENTRY, method=zipfile.ZIP_BZIP2), "not deflate")

    def test_refuses_missing_extra_and_misnamed_entries(self):
        self.assertRefused(self.good_entries()[:3], "expected exactly")
        self.assertRefused(self.good_entries() + [("plugins/readme.txt", b"x")], "expected exactly")
        self.assertRefused(self.good_entries() + [("plugins/", b"")], "expected exactly")
        misnamed_dll = self.replaced(ts3_package.WIN64_ENTRY,
                                     new_name="plugins/Kestro_G19_TS3_Plugin_x64.dll")
        self.assertRefused(misnamed_dll, "expected exactly")
        misplaced_ini = self.replaced(ts3_package.INI_ENTRY, new_name="plugins/package.ini")
        self.assertRefused(misplaced_ini, "expected exactly")

    def test_refuses_names_that_are_not_ascii(self):
        self.assertRefused(self.good_entries() + [("plugins/K\u00e9stro.dll", win64())], "not ASCII")

    def test_refuses_a_package_ini_that_differs(self):
        ini = good_ini().decode("ascii")
        for changed in (ini.replace("Version = 0.9.9", "Version = 1.0.0"),
                        ini.replace("Type = Plugin", "Type = Theme"),
                        ini.replace("win32, win64, linux_amd64", "win64, linux_amd64"),
                        ini.replace('Description = "', 'Description = "A '),
                        ini.replace('"\n', "\n"),
                        ini + "Api = 20\n",
                        "\n".join(ini.splitlines()[:-1]) + "\n"):
            with self.subTest(changed=changed):
                self.assertRefused(self.replaced(ts3_package.INI_ENTRY, changed.encode("ascii")),
                                   "package.ini differs")

    def test_refuses_libraries_of_the_wrong_format(self):
        self.assertRefused(self.replaced(ts3_package.LINUX_ENTRY, win64()), "not an ELF file")
        self.assertRefused(self.replaced(ts3_package.WIN64_ENTRY, win32()), "not 0x8664")
        self.assertRefused(self.replaced(ts3_package.WIN32_ENTRY, win64()), "not 0x14c")
        self.assertRefused(self.replaced(ts3_package.WIN64_ENTRY, self.linux), "not a PE file")
        wrong_magic = make_dll(ts3_package.PE_MACHINE_AMD64, ts3_package.PE_MAGIC_PE32)
        self.assertRefused(self.replaced(ts3_package.WIN64_ENTRY, wrong_magic), "optional header magic")
        elf32 = bytearray(self.linux)
        elf32[4] = 1
        self.assertRefused(self.replaced(ts3_package.LINUX_ENTRY, bytes(elf32)), "not a 64-bit")

    def test_refuses_a_linux_library_that_asks_for_a_newer_glibc(self):
        ts3_package.check_glibc(LINUX_PLUGIN, ts3_package.elf_symbols(LINUX_PLUGIN))
        listing = ("0000000000000000      DF *UND*\t0000000000000000 (GLIBC_2.17) clock_gettime\n"
                   "0000000000000000      DF *UND*\t0000000000000000 (GLIBC_2.34) pthread_create\n")
        with self.assertRaisesRegex(ts3_package.PackageError, r"newer than 2\.17: pthread_create \(GLIBC_2\.34\)"):
            ts3_package.check_glibc("library.so", listing)

    def test_refuses_a_linux_library_that_asks_for_a_newer_libstdcxx(self):
        if RELEASE_LIMIT == ts3_package.GLIBCXX_NEWEST:
            ts3_package.check_glibcxx(LINUX_PLUGIN, ts3_package.elf_symbols(LINUX_PLUGIN))
        line = "0000000000000000      DF *UND*\t0000000000000000 (%s) _ZNSt6chrono3_V212system_clock3nowEv\n"
        # Numbers, not text: 3.4.9 is older than 3.4.22.
        for version, refused in (("GLIBCXX_3.4.9", False), ("GLIBCXX_3.4.21", False), ("GLIBCXX_3.4.22", False),
                                 ("GLIBCXX_3.4.23", True), ("GLIBCXX_3.4.30", True), ("GLIBCXX_3.5", True),
                                 ("CXXABI_1.3.13", False), ("GLIBC_2.17", False)):
            with self.subTest(version=version):
                if refused:
                    with self.assertRaisesRegex(ts3_package.PackageError,
                                                r"libstdc\+\+ newer than GLIBCXX_3\.4\.22: .*now.* \(%s\)" % version):
                        ts3_package.check_glibcxx("library.so", line % version, RELEASE_LIMIT)
                else:
                    ts3_package.check_glibcxx("library.so", line % version, RELEASE_LIMIT)
        # The package check reads it too.
        listing = ts3_package.elf_symbols(LINUX_PLUGIN) + line % "GLIBCXX_3.4.99"
        with unittest.mock.patch.object(ts3_package, "elf_symbols", return_value=listing):
            self.assertRefused(self.good_entries(), "newer than GLIBCXX_3.4.")

    def test_refuses_dlls_of_another_build(self):
        without_init = [name for name in ts3_package.EXPORTS if name != "ts3plugin_init"]
        self.assertRefused(self.replaced(ts3_package.WIN32_ENTRY,
                                         make_dll(ts3_package.PE_MACHINE_I386, ts3_package.PE_MAGIC_PE32,
                                                  exports=without_init)),
                           "does not export ts3plugin_init")
        with_more = list(ts3_package.EXPORTS) + ["ts3plugin_onConnectStatusChangeEvent"]
        self.assertRefused(self.replaced(ts3_package.WIN64_ENTRY,
                                         make_dll(ts3_package.PE_MACHINE_AMD64, ts3_package.PE_MAGIC_PE32_PLUS,
                                                  exports=with_more)),
                           "exports more than the eight entry points")
        with_debug = make_dll(ts3_package.PE_MACHINE_AMD64, ts3_package.PE_MAGIC_PE32_PLUS, section=".debug")
        self.assertRefused(self.replaced(ts3_package.WIN64_ENTRY, with_debug), "carries debug sections")
        for_api26 = make_dll(ts3_package.PE_MACHINE_I386, ts3_package.PE_MAGIC_PE32, api=26)
        self.assertRefused(self.replaced(ts3_package.WIN32_ENTRY, for_api26), "built for plug-in API 26, not 20")
        other_text = make_dll(ts3_package.PE_MACHINE_AMD64, ts3_package.PE_MAGIC_PE32_PLUS,
                              text="Another plug-in.")
        self.assertRefused(self.replaced(ts3_package.WIN64_ENTRY, other_text),
                           "does not hold the description")

    def test_a_package_named_for_another_api_needs_libraries_of_that_api(self):
        entries = self.good_entries()
        path = self.write(entries)
        renamed = self.path("Kestro_G19_TS3_Plugin_api26.ts3_plugin")
        os.replace(path, renamed)
        with self.assertRaises(ts3_package.PackageError) as caught:
            ts3_package.check(renamed)
        self.assertIn("wants API version 20, not 26", str(caught.exception))

    def test_the_64_bit_library_loaded_must_report_the_linux_identity(self):
        identity = ts3_package.linux_identity(LINUX_PLUGIN)
        lines = "".join("%s=%s\n" % item for item in identity.items())
        path = self.write(self.good_entries())
        printing = lambda text: [sys.executable, "-c", "import sys; sys.stdout.write(%r)" % text, "{}"]
        ts3_package.check(path, win64_loader=printing(lines))
        other = lines.replace("apiVersion=20", "apiVersion=26")
        with self.assertRaises(ts3_package.PackageError) as caught:
            ts3_package.check(path, win64_loader=printing(other))
        self.assertIn("loaded, reports", str(caught.exception))

    def test_refuses_a_damaged_archive(self):
        path = self.write(self.good_entries())
        with open(path, "r+b") as file:
            data = bytearray(file.read())
            # Inside the first entry's compressed data, after its 30-byte header and name.
            data[30 + len(ts3_package.INI_ENTRY) + 4] ^= 0xFF
            file.seek(0)
            file.write(data)
        with self.assertRaises(ts3_package.PackageError) as caught:
            ts3_package.check(path)
        self.assertRegex(str(caught.exception), "damaged|checksum")


if __name__ == "__main__":
    if len(sys.argv) < 2:
        print("usage: package_check_test.py LINUX_PLUGIN_SO", file=sys.stderr)
        sys.exit(2)
    LINUX_PLUGIN = sys.argv.pop(1)
    # The release library asks for no libstdc++ newer than the limit. A debug build calls
    # members of the system's libstdc++ that a release build inlines: its packages are checked
    # against what it needs, and the limit itself against made-up listings.
    RELEASE_LIMIT = ts3_package.GLIBCXX_NEWEST
    needs = [tuple(int(part) for part in version.split("."))
             for version in re.findall(r"\(GLIBCXX_([0-9.]+)\)", ts3_package.elf_symbols(LINUX_PLUGIN))]
    if needs and max(needs) > RELEASE_LIMIT:
        ts3_package.GLIBCXX_NEWEST = max(needs)
        print("package_check_test: a debug library, which asks for GLIBCXX_%s" % ".".join(map(str, max(needs))),
              file=sys.stderr)
    unittest.main(verbosity=2)
