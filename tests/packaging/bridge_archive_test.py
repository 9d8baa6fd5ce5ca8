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


def make_exe(subsystem, machine=ts3_package.PE_MACHINE_AMD64, dll=False):
    """The headers of a PE program: no sections, only what the check reads."""
    dos = bytearray(0x40)
    dos[0:2] = b"MZ"
    struct.pack_into("<I", dos, 0x3C, 0x40)
    characteristics = 0x0022 | (ts3_package.PE_CHARACTERISTIC_DLL if dll else 0)
    optional = bytearray(240)
    struct.pack_into("<H", optional, 0, ts3_package.PE_MAGIC_PE32_PLUS)
    struct.pack_into("<H", optional, 68, subsystem)
    return bytes(dos) + b"PE\0\0" + struct.pack("<HHIIIHH", machine, 0, 0, 0, 0, len(optional),
                                                characteristics) + bytes(optional)


def make_elf(elf_type=display_kit.ELF_TYPE_EXECUTABLE):
    """An x86-64 ELF header without program headers."""
    header = bytearray(64)
    header[0:7] = b"\x7fELF\x02\x01\x01"
    struct.pack_into("<HHI", header, 16, elf_type, ts3_package.ELF_MACHINE_X86_64, 1)
    struct.pack_into("<HH", header, 54, 56, 0)
    return bytes(header)


def good_programs(platform):
    if platform == "win64":
        return {"g19-bridge.exe": make_exe(bridge_archive.PE_SUBSYSTEM_CONSOLE),
                "g19-bridgew.exe": make_exe(bridge_archive.PE_SUBSYSTEM_GUI)}
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
        entries = {bridge_archive.README: (bridge_archive.readme(), False),
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

    def test_refuses_a_readme_or_notices_of_another_build(self):
        readme = bridge_archive.readme().replace(ts3_package.EXPECTED_VERSION.encode(), b"0.0.1")
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
