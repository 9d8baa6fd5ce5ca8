#!/usr/bin/env python3
"""Builds and checks the archives of g19-bridge for players: the program (on Windows also
g19-bridgew, the same program without a console window), a README and the notices of the
libraries built into it.

  bridge_archive.py build --platform {win64,linux-amd64} --bridge EXE [--bridgew EXE] --out FILE
  bridge_archive.py check FILE

The win64 archive is g19-bridge-win64.zip, the linux-amd64 one g19-bridge-linux-amd64.tar.gz
(which keeps the execute permission); each holds one folder named after it. The Linux program
must run on glibc 2.31 (Debian 11, Ubuntu 20.04) and later whatever their C++ runtime: it may
ask for no glibc symbol newer than 2.31 and for no part of libstdc++.
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
# their notice go along with a program built from them: nlohmann-json (MIT), CLI11 (BSD), and
# on Windows the MinGW-w64 runtime linked in statically.
NOTICE_PACKAGES = {
    "win64": ["nlohmann-json3-dev", "libcli11-dev", "mingw-w64-x86-64-dev"],
    "linux-amd64": ["nlohmann-json3-dev", "libcli11-dev"],
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


def readme():
    with open(README_TEMPLATE, encoding="utf-8") as file:
        text = file.read()
    return text.replace("@VERSION@", ts3_package.EXPECTED_VERSION).encode("utf-8")


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
    entries = [(README, readme(), False), (NOTICES, notices(platform), False)]
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
    if content[README][0] != readme():
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
    args = parser.parse_args(argv)
    try:
        if args.command == "build":
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
