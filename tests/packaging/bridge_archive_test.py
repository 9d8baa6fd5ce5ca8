#!/usr/bin/env python3
"""The bridge archives' check: archives built from good programs pass, the same programs give
the same bytes, and each way an archive can be wrong is refused with a reason.

  bridge_archive_test.py LINUX_PLUGIN_SO

The programs are small PE and ELF files made here; the Linux program's symbol needs, which
objdump reads from the real file, are given as objdump's listing. The plug-in library this
build made stands for a real file that needs the system's libstdc++.
"""

import os
import struct
import sys
import tarfile
import tempfile
import unittest
import unittest.mock

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "packaging"))
import bridge_archive  # noqa: E402
import display_kit  # noqa: E402
import ts3_package  # noqa: E402

LINUX_PLUGIN = None

SYMBOL = "0000000000000000      DF *UND*\t0000000000000000 (%s) %s\n"
# What the compat build of g19-bridge asks for: nothing newer than glibc 2.30, the unwinder's
# GCC_ versions allowed, no libstdc++.
GOOD_LISTING = "".join(SYMBOL % pair for pair in (
    ("GLIBC_2.2.5", "memcpy"), ("GLIBC_2.3.4", "__sprintf_chk"), ("GLIBC_2.30", "pthread_cond_clockwait"),
    ("GLIBC_2.31", "msgctl"), ("GCC_3.0", "_Unwind_Resume")))


def version_info(version, strings=None):
    """A VS_VERSIONINFO block as a resource compiler writes it: the fixed part with `version`'s
    numbers, and a string table of the program's names and of `version`."""
    def block(key, value=b"", children=(), text=False):
        head_key = key.encode("utf-16-le") + b"\0\0"
        body = head_key + b"\0" * (-(6 + len(head_key)) % 4) + value
        for child in children:
            body += b"\0" * (-(6 + len(body)) % 4) + child
        value_length = len(value) // 2 if text else len(value)
        return struct.pack("<HHH", 6 + len(body), value_length, 1 if text else 0) + body

    numbers = [int(part) for part in version.split(".")] + [0]
    fixed = struct.pack("<IIIIIIIIIIIII", bridge_archive.VS_FIXEDFILEINFO_SIGNATURE, 0x10000,
                        numbers[0] << 16 | numbers[1], numbers[2] << 16 | numbers[3],
                        numbers[0] << 16 | numbers[1], numbers[2] << 16 | numbers[3], 0x3F, 0, 4, 1, 0, 0, 0)
    fields = {"ProductName": "Kestro G19 bridge", "FileDescription": "Kestro G19 bridge",
              "ProductVersion": version, "FileVersion": version}
    fields.update(strings or {})
    table = block("040904B0", children=[block(key, (value + "\0").encode("utf-16-le"), text=True)
                                        for key, value in fields.items() if value is not None])
    return block("VS_VERSION_INFO", fixed, [block("StringFileInfo", children=[table])])


def resource_section(tree, rva):
    """A .rsrc section at `rva` holding {type: {ID: bytes}}, each in one language, laid out as
    a linker lays it out: the three levels of directories, the data entries, the data."""
    def directory(count):
        return struct.pack("<IIHHHH", 0, 0, 0, 0, 0, count)
    kinds = sorted(tree)
    leaves = [(kind, key) for kind in kinds for key in sorted(tree[kind])]
    second_at = 16 + 8 * len(kinds)
    third_at = second_at + sum(16 + 8 * len(tree[kind]) for kind in kinds)
    entries_at = third_at + len(leaves) * (16 + 8)
    data_at = entries_at + 16 * len(leaves)
    root, second, third, entries, payload = directory(len(kinds)), b"", b"", b"", b""
    leaf = 0
    for kind in kinds:
        root += struct.pack("<II", kind, 0x80000000 | (second_at + len(second)))
        part = directory(len(tree[kind]))
        for key in sorted(tree[kind]):
            part += struct.pack("<II", key, 0x80000000 | (third_at + len(third)))
            third += directory(1) + struct.pack("<II", 0x409, entries_at + 16 * leaf)
            entries += struct.pack("<IIII", rva + data_at + len(payload), len(tree[kind][key]), 0, 0)
            payload += tree[kind][key] + b"\0" * (-len(tree[kind][key]) % 8)
            leaf += 1
        second += part
    return root + second + third + entries + payload


def good_resources(name):
    return {bridge_archive.RT_ICON: {1: b"\0" * 40}, bridge_archive.RT_GROUP_ICON: {1: b"\0" * 20},
            bridge_archive.RT_VERSION: {1: version_info(ts3_package.EXPECTED_VERSION, {"OriginalFilename": name})}}


def make_exe(subsystem, machine=ts3_package.PE_MACHINE_AMD64, dll=False, resources=None):
    """The headers of a PE program and, when given, a .rsrc section with `resources`: only
    what the check reads."""
    dos = bytearray(0x40)
    dos[0:2] = b"MZ"
    struct.pack_into("<I", dos, 0x3C, 0x40)
    characteristics = 0x0022 | (ts3_package.PE_CHARACTERISTIC_DLL if dll else 0)
    optional = bytearray(240)
    struct.pack_into("<H", optional, 0, ts3_package.PE_MAGIC_PE32_PLUS)
    struct.pack_into("<H", optional, 68, subsystem)
    struct.pack_into("<I", optional, 108, 16)
    sections, body = b"", b""
    if resources is not None:
        rva, raw_at = 0x1000, 0x200
        body = resource_section(resources, rva)
        struct.pack_into("<II", optional, 112 + 2 * 8, rva, len(body))
        sections = b".rsrc\0\0\0" + struct.pack("<IIIIIIHHI", len(body), rva, len(body), raw_at, 0, 0, 0, 0,
                                                  0x40000040)
    headers = bytes(dos) + b"PE\0\0" + struct.pack("<HHIIIHH", machine, 1 if sections else 0, 0, 0, 0,
                                                   len(optional), characteristics) + bytes(optional) + sections
    return headers + (b"\0" * (0x200 - len(headers)) + body if body else b"")


def make_elf(elf_type=display_kit.ELF_TYPE_EXECUTABLE):
    """An x86-64 ELF header without program headers."""
    header = bytearray(64)
    header[0:7] = b"\x7fELF\x02\x01\x01"
    struct.pack_into("<HHI", header, 16, elf_type, ts3_package.ELF_MACHINE_X86_64, 1)
    struct.pack_into("<HH", header, 54, 56, 0)
    return bytes(header)


def good_programs(platform):
    if platform == "win64":
        return {"g19-bridge.exe": make_exe(bridge_archive.PE_SUBSYSTEM_CONSOLE,
                                           resources=good_resources("g19-bridge.exe")),
                "g19-bridgew.exe": make_exe(bridge_archive.PE_SUBSYSTEM_GUI, resources=good_resources("g19-bridgew.exe"))}
    return {"g19-bridge": make_elf()}


class BridgeArchiveTest(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.addCleanup(self.directory.cleanup)
        self.symbols = unittest.mock.patch.object(ts3_package, "elf_symbols", return_value=GOOD_LISTING)
        self.listing = self.symbols.start()
        self.addCleanup(self.symbols.stop)

    def out(self, platform):
        kind = bridge_archive.PLATFORMS[platform]
        return os.path.join(self.directory.name, bridge_archive.folder(platform) + kind["suffix"])

    def write(self, platform, replace=None, drop=(), top=None):
        """An archive of good entries, some replaced by name (name: bytes or (bytes, executable))
        or dropped."""
        entries = {bridge_archive.README: (bridge_archive.readme(platform), False),
                   bridge_archive.NOTICES: (bridge_archive.notices(platform), False)}
        entries.update({name: (data, True) for name, data in good_programs(platform).items()})
        for name, value in (replace or {}).items():
            entries[name] = value if isinstance(value, tuple) else (value, True)
        path = self.out(platform)
        display_kit.write(path, platform, top or bridge_archive.folder(platform),
                          [(name, data, executable) for name, (data, executable) in entries.items()
                           if name not in drop])
        return path

    def assertRefused(self, path, reason):
        with self.assertRaises(ts3_package.PackageError) as caught:
            bridge_archive.check(path)
        self.assertIn(reason, str(caught.exception))

    def test_archives_built_from_good_programs_pass_and_are_reproducible(self):
        for platform in bridge_archive.PLATFORMS:
            with self.subTest(platform=platform):
                programs = {}
                for name, data in good_programs(platform).items():
                    programs[name] = os.path.join(self.directory.name, name)
                    with open(programs[name], "wb") as file:
                        file.write(data)
                out = self.out(platform)
                built = []
                for stamp in (1700000000, 1700000000, 1800000000):
                    # A newer file of the same bytes gives the same archive; another date, another.
                    for path in programs.values():
                        os.utime(path, (stamp + len(built), stamp + len(built)))
                    with unittest.mock.patch.dict(os.environ, {"SOURCE_DATE_EPOCH": str(stamp)}):
                        bridge_archive.build(platform, programs, out)
                    bridge_archive.check(out)
                    with open(out, "rb") as file:
                        built.append(file.read())
                self.assertEqual(built[0], built[1])
                self.assertNotEqual(built[0], built[2])
                content = display_kit.read(out, platform, bridge_archive.folder(platform))
                self.assertEqual(sorted(content), sorted([bridge_archive.README, bridge_archive.NOTICES]
                                                         + list(programs)))
        with tarfile.open(self.out("linux-amd64")) as archive:
            self.assertEqual(archive.getmember("g19-bridge-linux-amd64/g19-bridge").mode, 0o755)

    def test_refuses_archives_without_exactly_their_files(self):
        for platform, kwargs in (("win64", {"drop": ["g19-bridgew.exe"]}),
                                 ("win64", {"drop": [bridge_archive.NOTICES]}),
                                 ("linux-amd64", {"drop": [bridge_archive.README]}),
                                 ("linux-amd64", {"replace": {"g19-bridgew": make_elf()}}),
                                 ("linux-amd64", {"replace": {"g19-bridge.exe": make_elf()}, "drop": ["g19-bridge"]})):
            with self.subTest(platform=platform, change=kwargs):
                self.assertRefused(self.write(platform, **kwargs), "expected exactly")
        self.assertRefused(self.write("win64", top="g19-bridge"), "entries outside g19-bridge-win64/")
        with self.assertRaises(ts3_package.PackageError):
            bridge_archive.build("win64", {"g19-bridge.exe": __file__}, self.out("win64"))

    def test_refuses_programs_of_the_wrong_kind(self):
        gui, console = bridge_archive.PE_SUBSYSTEM_GUI, bridge_archive.PE_SUBSYSTEM_CONSOLE
        for platform, name, value, reason in (
                ("win64", "g19-bridgew.exe", make_exe(console), "is a console program, not without a console window"),
                ("win64", "g19-bridge.exe", make_exe(gui), "is without a console window, not a console program"),
                ("win64", "g19-bridge.exe", make_exe(console, dll=True), "is a DLL"),
                ("win64", "g19-bridge.exe", make_exe(console, machine=ts3_package.PE_MACHINE_I386),
                 "not a 64-bit Windows file"),
                ("win64", "g19-bridgew.exe", make_elf(), "not a Windows program"),
                ("linux-amd64", "g19-bridge", make_exe(console), "not an x86-64 ELF file"),
                ("linux-amd64", "g19-bridge", make_elf(display_kit.ELF_TYPE_SHARED), "is not a program"),
                ("linux-amd64", "g19-bridge", (make_elf(), False), "may not be executed")):
            with self.subTest(name=name, reason=reason):
                self.assertRefused(self.write(platform, replace={name: value}), reason)

    def test_refuses_a_linux_program_that_would_not_run_on_glibc_2_31(self):
        path = self.write("linux-amd64")
        for extra, reason in ((SYMBOL % ("GLIBC_2.34", "pthread_create"), "newer than 2.31: pthread_create (GLIBC_2.34)"),
                              (SYMBOL % ("GLIBC_2.32", "__libc_single_threaded"), "newer than 2.31"),
                              (SYMBOL % ("GLIBCXX_3.4.9", "_ZNSo9_M_insertIbEERSoT_"), "system's C++ runtime"),
                              (SYMBOL % ("CXXABI_1.3", "__cxa_begin_catch"), "system's C++ runtime")):
            with self.subTest(reason=reason):
                self.listing.return_value = GOOD_LISTING + extra
                self.assertRefused(path, reason)
        # objdump's own listing of a real file that leans on the system's libstdc++.
        self.symbols.stop()
        with self.assertRaisesRegex(ts3_package.PackageError, r"C\+\+ runtime.*\(GLIBCXX_3\.4"):
            bridge_archive.check_linux_needs("plugin.so", ts3_package.elf_symbols(LINUX_PLUGIN))
        self.listing = self.symbols.start()

    def test_refuses_a_windows_program_without_its_icon_or_version_information(self):
        gui = bridge_archive.PE_SUBSYSTEM_GUI
        name = "g19-bridgew.exe"

        def without(kind):
            return {k: v for k, v in good_resources(name).items() if k != kind}

        def version(version=ts3_package.EXPECTED_VERSION, **strings):
            return {**good_resources(name), bridge_archive.RT_VERSION: {1: version_info(
                version, dict({"OriginalFilename": name}, **strings))}}
        for resources, reason in (
                (None, "carries no version information"),
                ({}, "carries no version information"),
                (without(bridge_archive.RT_VERSION), "carries no version information"),
                (without(bridge_archive.RT_GROUP_ICON), "carries no icon"),
                (without(bridge_archive.RT_ICON), "carries no icon"),
                (version(ProductVersion="0.0.1"), "its ProductVersion is '0.0.1', not " + ts3_package.EXPECTED_VERSION),
                (version(FileVersion=None), "its FileVersion is None"),
                (version("0.0.1", ProductVersion=ts3_package.EXPECTED_VERSION, FileVersion=ts3_package.EXPECTED_VERSION),
                 "its file version is 0.0.1.0"),
                (version(ProductName=None), "names no ProductName"),
                (version(OriginalFilename="g19-bridge.exe"), "names it g19-bridge.exe"),
                ({**good_resources(name), bridge_archive.RT_VERSION: {1: b"\x10\0\0\0\0\0"}},
                 "its version information")):
            with self.subTest(reason=reason):
                self.assertRefused(self.write("win64", replace={name: make_exe(gui, resources=resources)}), reason)

    def test_refuses_a_windows_readme_without_windows_line_ends(self):
        crlf = bridge_archive.readme("win64")
        self.assertIn(b"\r\n", crlf)
        for readme in (crlf.replace(b"\r\n", b"\n"), crlf.replace(b"\r\n", b"\n", 1)):
            with self.subTest(unix_lines=readme.count(b"\n") - readme.count(b"\r\n")):
                self.assertRefused(self.write("win64", replace={bridge_archive.README: (readme, False)}),
                                   "README.txt has Unix line ends")
        # The Linux one keeps its Unix line ends.
        self.assertNotIn(b"\r", bridge_archive.readme("linux-amd64"))

    def test_refuses_a_readme_or_notices_of_another_build(self):
        readme = bridge_archive.readme("win64").replace(ts3_package.EXPECTED_VERSION.encode(), b"0.0.1")
        self.assertRefused(self.write("win64", replace={bridge_archive.README: (readme, False)}),
                           "README.txt is not this version's")
        notices = bridge_archive.notices("linux-amd64")
        self.assertRefused(self.write("win64", replace={bridge_archive.NOTICES: (notices, False)}),
                           "not the notices of this build's libraries")


if __name__ == "__main__":
    if len(sys.argv) < 2:
        print("usage: bridge_archive_test.py LINUX_PLUGIN_SO", file=sys.stderr)
        sys.exit(2)
    LINUX_PLUGIN = sys.argv.pop(1)
    unittest.main(verbosity=2)
