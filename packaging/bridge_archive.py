#!/usr/bin/env python3
"""Builds and checks the archives of g19-bridge for players: the program (on Windows also
g19-bridgew, the same program without a console window), a README and the notices of the
libraries built into it.

  bridge_archive.py build --platform {win64,linux-amd64} --bridge EXE [--bridgew EXE] --out FILE
  bridge_archive.py check FILE

The win64 archive is g19-bridge-win64.zip, the linux-amd64 one g19-bridge-linux-amd64.tar.gz
(which keeps the execute permission); each holds one folder named after it. The Linux program
must run on glibc 2.31 (Debian 11, Ubuntu 20.04) and later whatever their C++ runtime: it may
ask for no glibc symbol newer than 2.31 and for no part of libstdc++. The Windows programs
carry an icon and version information of this version, and the Windows README.txt has
Windows line ends (CRLF), which Notepad on older Windows needs to show it as more than one
line.

  bridge_archive.py check-programs --bridge EXE --bridgew EXE

checks the two Windows programs as built, as the archive's check does.
"""

import argparse
import os
import struct
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import display_kit  # noqa: E402
import ts3_package  # noqa: E402

README_TEMPLATE = os.path.join(display_kit.SOURCE, "packaging", "bridge-README.md")
README = "README.txt"
NOTICES = "NOTICES.txt"
GLIBC_NEWEST = (2, 31)

PE_SUBSYSTEM_GUI, PE_SUBSYSTEM_CONSOLE = 2, 3
PE_SUBSYSTEM_NAMES = {PE_SUBSYSTEM_GUI: "without a console window", PE_SUBSYSTEM_CONSOLE: "a console program"}
# Each program with the PE subsystem it must have (None on Linux).
PLATFORMS = {
    "win64": {"suffix": ".zip", "programs": {"g19-bridge.exe": PE_SUBSYSTEM_CONSOLE,
                                             "g19-bridgew.exe": PE_SUBSYSTEM_GUI}},
    "linux-amd64": {"suffix": ".tar.gz", "programs": {"g19-bridge": None}},
}
# Debian's copyright files of the libraries compiled into the programs whose licences ask that
# their notice go along with a program built from them: nlohmann-json (MIT), RapidJSON (MIT),
# CLI11 (BSD), and on Windows the MinGW-w64 runtime linked in statically.
NOTICE_PACKAGES = {
    "win64": ["nlohmann-json3-dev", "rapidjson-dev", "libcli11-dev", "mingw-w64-x86-64-dev"],
    "linux-amd64": ["nlohmann-json3-dev", "rapidjson-dev", "libcli11-dev"],
}
COPYRIGHT_FILE = "/usr/share/doc/%s/copyright"


def folder(platform):
    return "g19-bridge-" + platform


def platform_of(path):
    for platform, kind in PLATFORMS.items():
        if os.path.basename(path) == folder(platform) + kind["suffix"]:
            return platform
    raise ts3_package.PackageError("%s is named like no bridge archive (%s)" % (
        path, ", ".join(folder(p) + k["suffix"] for p, k in PLATFORMS.items())))


def readme(platform):
    with open(README_TEMPLATE, encoding="utf-8", newline="\n") as file:
        text = file.read().replace("@VERSION@", ts3_package.EXPECTED_VERSION)
    if platform == "win64":
        text = text.replace("\n", "\r\n")
    return text.encode("utf-8")


def check_line_ends(platform, text):
    if platform == "win64" and text.count(b"\n") != text.count(b"\r\n"):
        raise ts3_package.PackageError("%s has Unix line ends; Notepad on older Windows shows it as one line "
                                       "(it needs CRLF)" % README)


def notices(platform):
    parts = ["g19-bridge %s is built from the Kestro G19 project's sources and from these libraries.\n"
             "Boost (Beast and Asio) is under the Boost Software License 1.0 and GCC's C++ runtime under\n"
             "the GCC Runtime Library Exception; neither asks for a notice beside a program. The\n"
             "libraries below do, and their Debian copyright files follow in full.\n"
             % ts3_package.EXPECTED_VERSION]
    for package in NOTICE_PACKAGES[platform]:
        try:
            with open(COPYRIGHT_FILE % package, encoding="utf-8") as file:
                text = file.read()
        except OSError as error:
            raise ts3_package.PackageError("cannot read the notice of %s (install it: scripts/deps): %s"
                                           % (package, error))
        parts.append("\n==== %s ====\n\n%s" % (package, text))
    return "".join(parts).encode("utf-8")


def pe_subsystem(data):
    """The Subsystem field of a PE file's optional header, at the same place in PE32 and PE32+."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    return struct.unpack_from("<H", data, pe + 24 + 68)[0]


RT_ICON, RT_GROUP_ICON, RT_VERSION = 3, 14, 16
VS_FIXEDFILEINFO_SIGNATURE = 0xFEEF04BD


def pe_resources(name, data):
    """The resources of a PE file: {type ID: {name or ID: bytes of its first language}}, read
    from its resource directory (data directory 2). Names are strings, IDs numbers."""
    try:
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        section_count, optional_size = struct.unpack_from("<H", data, pe + 6)[0], struct.unpack_from("<H", data, pe + 20)[0]
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        directories = optional + (112 if magic == ts3_package.PE_MAGIC_PE32_PLUS else 96)
        if struct.unpack_from("<I", data, directories - 4)[0] < 3:
            return {}
        rva, size = struct.unpack_from("<II", data, directories + 2 * 8)
        if rva == 0 or size == 0:
            return {}
        sections = []
        for index in range(section_count):
            header = optional + optional_size + 40 * index
            virtual_size, virtual_address, raw_size, raw_pointer = struct.unpack_from("<IIII", data, header + 8)
            sections.append((virtual_address, virtual_size, raw_size, raw_pointer))
        try:
            base = ts3_package._pe_offset(sections, rva, name)
        except ts3_package.PackageError:
            raise ts3_package.PackageError("%s carries no version information: its resource directory lies in "
                                           "no section" % name)

        def entries(offset):
            """(name or ID, offset, whether a directory) of the directory at offset."""
            named, numbered = struct.unpack_from("<HH", data, base + offset + 12)
            for i in range(named + numbered):
                key, target = struct.unpack_from("<II", data, base + offset + 16 + 8 * i)
                if key & 0x80000000:
                    at = base + (key & 0x7FFFFFFF)
                    count = struct.unpack_from("<H", data, at)[0]
                    key = data[at + 2:at + 2 + 2 * count].decode("utf-16-le")
                yield key, target & 0x7FFFFFFF, bool(target & 0x80000000)

        found = {}
        for kind, kind_at, kind_is_directory in entries(0):
            if not kind_is_directory:
                continue
            for resource, resource_at, resource_is_directory in entries(kind_at):
                if not resource_is_directory:
                    continue
                for _, leaf_at, leaf_is_directory in entries(resource_at):
                    if leaf_is_directory:
                        continue
                    data_rva, data_size = struct.unpack_from("<II", data, base + leaf_at)
                    start = ts3_package._pe_offset(sections, data_rva, name)
                    if start + data_size > len(data):
                        raise ts3_package.PackageError("%s: a resource runs past the end of the file" % name)
                    found.setdefault(kind, {}).setdefault(resource, data[start:start + data_size])
        return found
    except (struct.error, UnicodeDecodeError) as error:
        raise ts3_package.PackageError("%s: its resources cannot be read (%s)" % (name, error))


def version_strings(name, block):
    """The fixed version (four numbers) and the strings of a VS_VERSIONINFO resource."""
    def node(offset):
        """(key, value bytes, children offsets, end) of the block at offset: a length, the
        value's length, a type, a key, then the value and the children, each on a 4-byte
        boundary."""
        length, value_length, kind = struct.unpack_from("<HHH", block, offset)
        end = offset + length
        if length < 6 or end > len(block):
            raise struct.error("a block of %d bytes at %d, in %d" % (length, offset, len(block)))
        key_end = offset + 6
        while block[key_end:key_end + 2] != b"\0\0":
            key_end += 2
            if key_end >= end:
                raise struct.error("a key without its end at %d" % offset)
        key = block[offset + 6:key_end].decode("utf-16-le")
        value_at = (key_end + 2 + 3) & ~3
        value_size = value_length * 2 if kind == 1 else value_length
        value = block[value_at:value_at + value_size]
        children = []
        child = (value_at + value_size + 3) & ~3
        while child < end:
            child_length = struct.unpack_from("<H", block, child)[0]
            if child_length == 0:
                break
            children.append(child)
            child = (child + child_length + 3) & ~3
        return key, value, children

    try:
        key, fixed, children = node(0)
        if key != "VS_VERSION_INFO" or len(fixed) < 52 or struct.unpack_from("<I", fixed)[0] != VS_FIXEDFILEINFO_SIGNATURE:
            raise ts3_package.PackageError("%s: its version information is not a VS_VERSION_INFO" % name)
        file_ms, file_ls = struct.unpack_from("<II", fixed, 8)
        numbers = (file_ms >> 16, file_ms & 0xFFFF, file_ls >> 16, file_ls & 0xFFFF)
        strings = {}
        for child in children:
            child_key, _, tables = node(child)
            if child_key != "StringFileInfo":
                continue
            for table in tables:
                for string in node(table)[2]:
                    string_key, value, _ = node(string)
                    strings[string_key] = value.decode("utf-16-le").split("\0")[0]
        return numbers, strings
    except (struct.error, UnicodeDecodeError) as error:
        raise ts3_package.PackageError("%s: its version information cannot be read (%s)" % (name, error))


def check_windows_resources(name, data):
    """A Windows program shows players its icon, and its version and what it is in Explorer's
    properties: both come from its resources."""
    resources = pe_resources(name, data)
    if RT_VERSION not in resources:
        raise ts3_package.PackageError("%s carries no version information" % name)
    if not resources.get(RT_GROUP_ICON) or not resources.get(RT_ICON):
        raise ts3_package.PackageError("%s carries no icon" % name)
    numbers, strings = version_strings(name, next(iter(resources[RT_VERSION].values())))
    version = ts3_package.EXPECTED_VERSION
    for field in ("ProductVersion", "FileVersion"):
        if strings.get(field) != version:
            raise ts3_package.PackageError("%s: its %s is %r, not %s" % (name, field, strings.get(field), version))
    expected = tuple(int(part) for part in version.split(".")) + (0,)
    if numbers[:len(expected)] != expected[:4]:
        raise ts3_package.PackageError("%s: its file version is %s, not %s" % (
            name, ".".join(map(str, numbers)), version))
    for field in ("ProductName", "FileDescription", "OriginalFilename"):
        if not strings.get(field):
            raise ts3_package.PackageError("%s: its version information names no %s" % (name, field))
    if strings["OriginalFilename"].lower() != name.lower():
        raise ts3_package.PackageError("%s: its version information names it %s" % (name, strings["OriginalFilename"]))


def check_linux_needs(name, listing):
    """Refuses a Linux program, by its objdump -T listing, that would not run on glibc 2.31 or
    where the system's libstdc++ is older than the one it was built with."""
    ts3_package.check_own_cxx_runtime(name, listing)
    ts3_package.check_glibc(name, listing, GLIBC_NEWEST)


def check_program(name, data, executable, platform, subsystem):
    display_kit.check_program(name, data, platform, library=False)
    if platform == "win64":
        found = pe_subsystem(data)
        if found != subsystem:
            raise ts3_package.PackageError("%s is %s, not %s" % (
                name, PE_SUBSYSTEM_NAMES.get(found, "of PE subsystem %d" % found), PE_SUBSYSTEM_NAMES[subsystem]))
        check_windows_resources(name, data)
        return
    if not executable:
        raise ts3_package.PackageError("%s may not be executed" % name)
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, name)
        with open(path, "wb") as file:
            file.write(data)
        check_linux_needs(name, ts3_package.elf_symbols(path))


def build(platform, programs, out):
    """programs: the built file of each of the platform's programs, by its name in the archive."""
    if sorted(programs) != sorted(PLATFORMS[platform]["programs"]):
        raise ts3_package.PackageError("the %s archive holds %s" % (platform, ", ".join(PLATFORMS[platform]["programs"])))
    entries = [(README, readme(platform), False), (NOTICES, notices(platform), False)]
    for name, path in programs.items():
        with open(path, "rb") as file:
            entries.append((name, file.read(), True))
    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    display_kit.write(out, platform, folder(platform), entries)


def check(path):
    """Raises PackageError with the first thing wrong with the bridge archive at path."""
    platform = platform_of(path)
    content = display_kit.read(path, platform, folder(platform))
    programs = PLATFORMS[platform]["programs"]
    expected = sorted([README, NOTICES] + list(programs))
    if sorted(content) != expected:
        raise ts3_package.PackageError("the archive holds %s, expected exactly %s" % (sorted(content), expected))
    for name, subsystem in programs.items():
        data, executable = content[name]
        check_program(name, data, executable, platform, subsystem)
    check_line_ends(platform, content[README][0])
    if content[README][0] != readme(platform):
        raise ts3_package.PackageError("%s is not this version's" % README)
    if content[NOTICES][0] != notices(platform):
        raise ts3_package.PackageError("%s is not the notices of this build's libraries" % NOTICES)


def main(argv):
    parser = argparse.ArgumentParser(description="Build or check an archive of g19-bridge for players.")
    commands = parser.add_subparsers(dest="command", required=True)
    build_command = commands.add_parser("build", help="build an archive from the built programs")
    build_command.add_argument("--platform", required=True, choices=sorted(PLATFORMS))
    build_command.add_argument("--bridge", required=True, help="g19-bridge as built")
    build_command.add_argument("--bridgew", help="g19-bridgew.exe as built (win64)")
    build_command.add_argument("--out", required=True)
    check_command = commands.add_parser("check", help="check an archive's content")
    check_command.add_argument("archive")
    programs_command = commands.add_parser("check-programs", help="check the Windows programs as built")
    programs_command.add_argument("--bridge", required=True, help="g19-bridge.exe as built")
    programs_command.add_argument("--bridgew", required=True, help="g19-bridgew.exe as built")
    args = parser.parse_args(argv)
    try:
        if args.command == "check-programs":
            for name, path in (("g19-bridge.exe", args.bridge), ("g19-bridgew.exe", args.bridgew)):
                with open(path, "rb") as file:
                    check_program(name, file.read(), True, "win64", PLATFORMS["win64"]["programs"][name])
            print("bridge archive: the Windows programs carry their icon and version information")
        elif args.command == "build":
            exe = ".exe" if args.platform == "win64" else ""
            programs = {"g19-bridge" + exe: args.bridge}
            if args.bridgew:
                programs["g19-bridgew" + exe] = args.bridgew
            build(args.platform, programs, args.out)
            print("bridge archive: wrote %s" % args.out)
        else:
            check(args.archive)
            print("bridge archive: %s is complete" % args.archive)
    except (ts3_package.PackageError, OSError) as error:
        print("bridge archive: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
