#!/usr/bin/env python3
"""Builds and checks the voice client's add-on package of the plug-in.

The package is a ZIP archive with package.ini at its root and one library per platform
under plugins/. The voice client's installer reads it, so it is strict about the form:
deflate only, ASCII names, nothing else in the archive.

  ts3_package.py build --linux SO --win64 DLL --win32 DLL --out FILE [--api N]
  ts3_package.py check FILE [--api N] [--win64-loader COMMAND...]

The identity in package.ini comes from the Linux library itself (its ts3plugin_* exports),
so the package cannot describe another version than the one it carries. Every library in a
package is built for one plug-in API: 20 (the 3.0 clients) unless the package's name ends in
_apiN. The check reads the number each library reports: the Linux one by loading it, the
Windows ones from their code, and the 64-bit one also by loading it when a loader is given
(g19-plugin-identity under Wine).
"""

import argparse
import ctypes
import os
import re
import struct
import subprocess
import sys
import tempfile
import time
import zipfile
import zlib

PACKAGE_NAME = "Kestro_G19_TS3_Plugin.ts3_plugin"
MODULE = "Kestro_G19_TS3_Plugin"
LINUX_ENTRY = "plugins/%s_linux_amd64.so" % MODULE
WIN64_ENTRY = "plugins/%s_win64.dll" % MODULE
WIN32_ENTRY = "plugins/%s_win32.dll" % MODULE
INI_ENTRY = "package.ini"
ENTRIES = [INI_ENTRY, WIN64_ENTRY, WIN32_ENTRY, LINUX_ENTRY]

TEMPLATE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "package.ini.in")

# What the voice client shows and checks before it installs anything.
EXPECTED_NAME = "Kestro G19 TS3 Plugin"
EXPECTED_AUTHOR = "Kestro (Special thanks to Delvane)"


def project_version():
    """The version of the top-level CMakeLists.txt, the one place it is written."""
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "CMakeLists.txt")
    with open(path, encoding="utf-8") as cmake:
        found = re.search(r"^project\([^)]*\bVERSION\s+([0-9][0-9.]*)", cmake.read(), re.MULTILINE)
    if not found:
        raise SystemExit("ts3_package.py: no project version in %s" % path)
    return found.group(1)


EXPECTED_VERSION = project_version()
DEFAULT_API_VERSION = 20
PLATFORMS_LINE = "Platforms = win32, win64, linux_amd64"

EXPORTS = [
    "ts3plugin_name", "ts3plugin_version", "ts3plugin_apiVersion", "ts3plugin_author",
    "ts3plugin_description", "ts3plugin_setFunctionPointers", "ts3plugin_init", "ts3plugin_shutdown",
]

ELF_MACHINE_X86_64 = 62
ELF_TYPE_SHARED = 3
PE_MACHINE_AMD64 = 0x8664
PE_MACHINE_I386 = 0x14C
PE_MAGIC_PE32 = 0x10B
PE_MAGIC_PE32_PLUS = 0x20B
PE_CHARACTERISTIC_DLL = 0x2000
# The newest glibc symbol version the Linux library may ask for: a system with an older glibc
# refuses to load it, and players still run 2.31 (Debian 11, Ubuntu 20.04) and older.
GLIBC_NEWEST = (2, 17)
# The newest libstdc++ symbol version it may ask for: the client runs it with the system's
# libstdc++, and 3.4.22 is GCC 6's (Debian 9, Ubuntu 18.04 have 3.4.22 and later).
GLIBCXX_NEWEST = (3, 4, 22)


class PackageError(Exception):
    pass


# --- The libraries ------------------------------------------------------------------------

def linux_identity(path):
    """The identity strings of a Linux plug-in library, read by loading it.

    Loading runs no plug-in code beyond its static initialisers; nothing starts before
    ts3plugin_init, which is never called here.
    """
    try:
        library = ctypes.CDLL(os.path.abspath(path))
    except OSError as error:
        raise PackageError("cannot load %s: %s" % (path, error))
    identity = {}
    for field in ("name", "version", "author", "description"):
        try:
            function = getattr(library, "ts3plugin_" + field)
        except AttributeError:
            raise PackageError("%s does not export ts3plugin_%s" % (path, field))
        function.restype = ctypes.c_char_p
        identity[field] = (function() or b"").decode("utf-8")
    library.ts3plugin_apiVersion.restype = ctypes.c_int
    identity["apiVersion"] = library.ts3plugin_apiVersion()
    return identity


def elf_symbols(path):
    """The dynamic symbol table of a Linux library as objdump -T lists it."""
    try:
        return subprocess.run(["objdump", "-T", path], capture_output=True, text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError) as error:
        raise PackageError("cannot list the symbols of %s: %s" % (path, error))


def elf_exports(listing):
    """The names of the functions a Linux library exports, from its objdump -T listing."""
    names = []
    for line in listing.splitlines():
        fields = line.split()
        # Defined global functions: "<address> g DF .text <size> [<version>] <name>".
        if len(fields) >= 6 and fields[1] == "g" and fields[2] == "DF" and fields[3] != "*UND*":
            names.append(fields[-1])
    return names


def needed_versions(listing, prefix):
    """The symbols of an objdump -T listing that ask for a version of `prefix` (GLIBC, GLIBCXX,
    CXXABI), as (version as numbers, "symbol (PREFIX_version)")."""
    found = []
    for line in listing.splitlines():
        # "... (GLIBC_2.34) pthread_create" for a symbol the file needs.
        match = re.search(r"\(?\b%s_([0-9][0-9.]*)\)?\s+(\S+)\s*$" % prefix, line)
        if match:
            found.append((tuple(int(part) for part in match.group(1).split(".") if part),
                          "%s (%s_%s)" % (match.group(2), prefix, match.group(1))))
    return found


def _too_new(listing, prefix, newest):
    return sorted(symbol for version, symbol in needed_versions(listing, prefix) if version > newest)


def check_glibc(name, listing, newest=GLIBC_NEWEST):
    """Refuses a Linux file that asks for a glibc symbol newer than `newest`."""
    too_new = _too_new(listing, "GLIBC", newest)
    if too_new:
        raise PackageError("%s asks for a glibc newer than %s: %s"
                           % (name, ".".join(map(str, newest)), ", ".join(too_new)))


def check_glibcxx(name, listing, newest=None):
    """Refuses a Linux file that asks for a libstdc++ symbol newer than `newest` (GLIBCXX_NEWEST)."""
    newest = newest or GLIBCXX_NEWEST
    too_new = _too_new(listing, "GLIBCXX", newest)
    if too_new:
        raise PackageError("%s asks for a libstdc++ newer than GLIBCXX_%s: %s"
                           % (name, ".".join(map(str, newest)), ", ".join(too_new)))


def check_own_cxx_runtime(name, listing):
    """Refuses a Linux program that asks the system for any part of the C++ runtime: one that
    carries its own runs where the system's libstdc++ is older than the one it was built with."""
    needed = sorted(symbol for prefix in ("GLIBCXX", "CXXABI") for _, symbol in needed_versions(listing, prefix))
    if needed:
        raise PackageError("%s needs the system's C++ runtime instead of carrying its own: %s"
                           % (name, ", ".join(needed)))


def check_exports(name, exports):
    missing = [export for export in EXPORTS if export not in exports]
    if missing:
        raise PackageError("%s does not export %s" % (name, ", ".join(missing)))
    extra = sorted(set(exports) - set(EXPORTS))
    if extra:
        raise PackageError("%s exports more than the eight entry points: %s" % (name, ", ".join(extra)))


def check_elf(name, data):
    if data[:4] != b"\x7fELF":
        raise PackageError("%s is not an ELF file" % name)
    if data[4] != 2 or data[5] != 1:
        raise PackageError("%s is not a 64-bit little-endian ELF file" % name)
    elf_type, machine = struct.unpack_from("<HH", data, 16)
    if machine != ELF_MACHINE_X86_64:
        raise PackageError("%s is for ELF machine %d, not x86-64 (%d)" % (name, machine, ELF_MACHINE_X86_64))
    if elf_type != ELF_TYPE_SHARED:
        raise PackageError("%s is ELF type %d, not a shared library (%d)" % (name, elf_type, ELF_TYPE_SHARED))


def _pe_offset(sections, rva, name):
    for virtual_address, virtual_size, raw_size, raw_pointer in sections:
        if virtual_address <= rva < virtual_address + max(virtual_size, raw_size):
            return raw_pointer + rva - virtual_address
    raise PackageError("%s: address 0x%x lies in no section" % (name, rva))


def _c_string(data, offset):
    end = data.index(b"\0", offset)
    return data[offset:end].decode("ascii", "replace")


def pe_exports(name, data, machine, magic):
    """The exports of a PE DLL of the given machine and optional-header magic: each name with
    the file offset of its code, or None where the address lies in no section."""
    if data[:2] != b"MZ" or len(data) < 0x40:
        raise PackageError("%s is not a PE file (no MZ header)" % name)
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise PackageError("%s is not a PE file (no PE signature)" % name)
    found_machine, section_count, _, _, _, optional_size, characteristics = struct.unpack_from(
        "<HHIIIHH", data, pe + 4)
    if found_machine != machine:
        raise PackageError("%s is for PE machine 0x%x, not 0x%x" % (name, found_machine, machine))
    if not characteristics & PE_CHARACTERISTIC_DLL:
        raise PackageError("%s is not a DLL" % name)
    optional = pe + 24
    found_magic = struct.unpack_from("<H", data, optional)[0]
    if found_magic != magic:
        raise PackageError("%s has optional header magic 0x%x, not 0x%x" % (name, found_magic, magic))
    # The data directories follow the fixed part, which is 16 bytes longer in PE32+.
    directories = optional + (112 if magic == PE_MAGIC_PE32_PLUS else 96)
    directory_count = struct.unpack_from("<I", data, directories - 4)[0]
    if directory_count < 1:
        raise PackageError("%s has no export directory" % name)
    export_rva, export_size = struct.unpack_from("<II", data, directories)
    if export_rva == 0 or export_size == 0:
        raise PackageError("%s exports nothing" % name)
    sections = []
    for index in range(section_count):
        header = optional + optional_size + 40 * index
        virtual_size, virtual_address, raw_size, raw_pointer = struct.unpack_from("<IIII", data, header + 8)
        sections.append((virtual_address, virtual_size, raw_size, raw_pointer))
    export = _pe_offset(sections, export_rva, name)
    # The export directory: AddressOfFunctions at 28, NumberOfNames at 24, AddressOfNames at 32,
    # AddressOfNameOrdinals at 36.
    name_count, functions_rva, names_rva, ordinals_rva = struct.unpack_from("<IIII", data, export + 24)
    exports = {}
    if not name_count:
        return exports
    names = _pe_offset(sections, names_rva, name)
    ordinals = _pe_offset(sections, ordinals_rva, name)
    for i in range(name_count):
        export_name = _c_string(data, _pe_offset(sections, struct.unpack_from("<I", data, names + 4 * i)[0], name))
        ordinal = struct.unpack_from("<H", data, ordinals + 2 * i)[0]
        code = None
        if functions_rva:
            code_rva = struct.unpack_from("<I", data, _pe_offset(sections, functions_rva, name) + 4 * ordinal)[0]
            try:
                code = _pe_offset(sections, code_rva, name)
            except PackageError:
                pass
        exports[export_name] = code
    return exports


def pe_api_version(name, data, exports):
    """The number ts3plugin_apiVersion returns, read from its code: the compiler makes it a
    single move of the constant into the result register and a return (B8 imm32 C3) on both
    Windows targets."""
    code = exports.get("ts3plugin_apiVersion")
    if code is None or data[code:code + 1] != b"\xB8" or data[code + 5:code + 6] != b"\xC3":
        raise PackageError("%s: cannot read the API version from the code of ts3plugin_apiVersion" % name)
    return struct.unpack_from("<i", data, code + 1)[0]


def pe_section_names(data):
    """The section names of a PE file. A name of over eight characters (.debug_info,
    .gnu_debuglink) stands in its header as "/" and an offset into the string table that
    follows the symbol table."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    section_count, _, symbols_at, symbol_count, optional_size = struct.unpack_from("<HIIIH", data, pe + 6)
    strings = symbols_at + 18 * symbol_count
    headers = pe + 24 + optional_size
    names = []
    for i in range(section_count):
        name = data[headers + 40 * i:headers + 40 * i + 8].rstrip(b"\0").decode("ascii", "replace")
        if name.startswith("/") and name[1:].isdigit() and symbols_at:
            name = _c_string(data, strings + int(name[1:]))
        names.append(name)
    return names


def check_pe(name, data, machine, magic, description, api):
    exports = pe_exports(name, data, machine, magic)
    check_exports(name, exports)
    # Debug sections belong in the .debug file beside the build, not in what players install.
    debug = [section for section in pe_section_names(data) if section.startswith(".debug")]
    if debug:
        raise PackageError("%s carries debug sections (%s)" % (name, ", ".join(debug)))
    # The identity strings live in the DLL as plain bytes; a DLL of another build would
    # carry another description.
    if description.encode("utf-8") not in data:
        raise PackageError("%s does not hold the description of package.ini" % name)
    found = pe_api_version(name, data, exports)
    if found != api:
        raise PackageError("%s is built for plug-in API %d, not %d" % (name, found, api))


def loaded_identity(loader, path):
    """The identity a loader command prints for the library at path, as "key=value" lines. The
    path replaces {} in the command's words (Z:{} names it under Wine), or comes last."""
    words = [word.replace("{}", path) for word in loader] if any("{}" in word for word in loader) else loader + [path]
    try:
        output = subprocess.run(words, capture_output=True, text=True, check=True, timeout=120).stdout
    except (OSError, subprocess.SubprocessError) as error:
        raise PackageError("cannot load %s with %s: %s" % (path, " ".join(words), error))
    identity = dict(line.split("=", 1) for line in output.splitlines() if "=" in line)
    try:
        identity["apiVersion"] = int(identity["apiVersion"])
    except (KeyError, ValueError):
        raise PackageError("%s printed no API version for %s" % (" ".join(loader), path))
    return identity


# --- package.ini --------------------------------------------------------------------------

def ini_text(identity):
    with open(TEMPLATE, encoding="ascii") as template:
        text = template.read()
    for key in ("name", "author", "version", "description"):
        value = identity[key]
        if '"' in value or "\n" in value or "@" in value:
            raise PackageError("the plug-in's %s cannot go into package.ini: %r" % (key, value))
        text = text.replace("@%s@" % key.upper(), value)
    if "@" in text:
        raise PackageError("package.ini.in holds a placeholder that nothing fills")
    return text


def check_ini(text, identity, api):
    expected = [
        "Name = " + EXPECTED_NAME,
        "Type = Plugin",
        "Author = " + EXPECTED_AUTHOR,
        "Version = " + EXPECTED_VERSION,
        PLATFORMS_LINE,
        'Description = "%s"' % identity["description"],
    ]
    lines = text.splitlines()
    if lines != expected:
        unexpected = [line for line in lines if line not in expected]
        missing = [line for line in expected if line not in lines]
        raise PackageError("package.ini differs: missing %r, unexpected %r" % (missing, unexpected))
    if identity["name"] != EXPECTED_NAME or identity["author"] != EXPECTED_AUTHOR or \
            identity["version"] != EXPECTED_VERSION:
        raise PackageError("the Linux library reports %r, not this package's identity" % identity)
    if identity["apiVersion"] != api:
        raise PackageError("the Linux library wants API version %d, not %d" % (identity["apiVersion"], api))
    if not identity["description"]:
        raise PackageError("the Linux library reports no description")


# --- The archive --------------------------------------------------------------------------

def package_api(path):
    """The plug-in API of the package at path, by its name: _apiN before the extension, or 20."""
    found = re.search(r"_api([0-9]+)\.ts3_plugin$", os.path.basename(path))
    return int(found.group(1)) if found else DEFAULT_API_VERSION


def build(linux, win64, win32, out, win64_loader=None):
    identity = linux_identity(linux)
    ini = ini_text(identity).encode("ascii")
    contents = {INI_ENTRY: ini}
    for entry, path in ((WIN64_ENTRY, win64), (WIN32_ENTRY, win32), (LINUX_ENTRY, linux)):
        with open(path, "rb") as library:
            contents[entry] = library.read()
    # A fixed date makes the same libraries give the same package.
    stamp = time.gmtime(int(os.environ.get("SOURCE_DATE_EPOCH", time.time())))
    date_time = max((1980, 1, 1, 0, 0, 0), tuple(stamp[:6]))
    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    partial = out + ".partial"
    with zipfile.ZipFile(partial, "w") as archive:
        for entry in ENTRIES:
            info = zipfile.ZipInfo(entry, date_time)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = 0o644 << 16
            archive.writestr(info, contents[entry], compresslevel=9)
    check(partial, package_api(out), win64_loader)
    os.replace(partial, out)


def check(path, api=None, win64_loader=None):
    """Raises PackageError with the first thing wrong with the package at path, whose libraries
    must report plug-in API `api` (by default the one its name gives). With `win64_loader`, a
    command that prints a Windows library's identity, the 64-bit library is loaded too."""
    if api is None:
        api = package_api(path)
    if not zipfile.is_zipfile(path):
        raise PackageError("%s is not a ZIP archive" % path)
    with zipfile.ZipFile(path) as archive:
        infos = archive.infolist()
        names = [info.filename for info in infos]
        for name in names:
            if not name.isascii():
                raise PackageError("entry name %r is not ASCII" % name)
        if sorted(names) != sorted(ENTRIES):
            raise PackageError("the entries are %s, expected exactly %s" % (names, ENTRIES))
        for info in infos:
            if info.compress_type != zipfile.ZIP_DEFLATED:
                raise PackageError("%s is stored with method %d, not deflate (%d)"
                                   % (info.filename, info.compress_type, zipfile.ZIP_DEFLATED))
            if info.flag_bits & 0x1:
                raise PackageError("%s is encrypted" % info.filename)
        try:
            broken = archive.testzip()
            data = {name: archive.read(name) for name in names}
        except (zipfile.BadZipFile, zlib.error, EOFError) as error:
            raise PackageError("the archive is damaged: %s" % error)
        if broken is not None:
            raise PackageError("%s fails its checksum" % broken)

    try:
        ini = data[INI_ENTRY].decode("ascii")
    except UnicodeDecodeError:
        raise PackageError("package.ini is not ASCII")
    check_elf(LINUX_ENTRY, data[LINUX_ENTRY])
    with tempfile.TemporaryDirectory() as directory:
        linux = os.path.join(directory, os.path.basename(LINUX_ENTRY))
        with open(linux, "wb") as file:
            file.write(data[LINUX_ENTRY])
        symbols = elf_symbols(linux)
        check_exports(LINUX_ENTRY, elf_exports(symbols))
        check_glibc(LINUX_ENTRY, symbols)
        check_glibcxx(LINUX_ENTRY, symbols)
        identity = linux_identity(linux)
        check_ini(ini, identity, api)
        check_pe(WIN64_ENTRY, data[WIN64_ENTRY], PE_MACHINE_AMD64, PE_MAGIC_PE32_PLUS, identity["description"], api)
        check_pe(WIN32_ENTRY, data[WIN32_ENTRY], PE_MACHINE_I386, PE_MAGIC_PE32, identity["description"], api)
        if win64_loader:
            win64 = os.path.join(directory, os.path.basename(WIN64_ENTRY))
            with open(win64, "wb") as file:
                file.write(data[WIN64_ENTRY])
            loaded = loaded_identity(win64_loader, win64)
            if loaded != identity:
                raise PackageError("%s, loaded, reports %r; the Linux library %r" % (WIN64_ENTRY, loaded, identity))


def main(argv):
    parser = argparse.ArgumentParser(description="Build or check the voice client's add-on package.")
    commands = parser.add_subparsers(dest="command", required=True)
    build_command = commands.add_parser("build", help="build the package from the three libraries")
    build_command.add_argument("--linux", required=True, help="the Linux x86-64 library (.so)")
    build_command.add_argument("--win64", required=True, help="the 64-bit Windows DLL")
    build_command.add_argument("--win32", required=True, help="the 32-bit Windows DLL")
    build_command.add_argument("--out", required=True,
                               help="the package to write; its name ends in _apiN for a plug-in API other than 20")
    check_command = commands.add_parser("check", help="check a package's content")
    check_command.add_argument("package")
    for command in (build_command, check_command):
        command.add_argument("--win64-loader", nargs=argparse.REMAINDER,
                             help="a command that loads a 64-bit Windows library and prints its identity "
                                  "(g19-plugin-identity under Wine), with {} for the library's path; "
                                  "the rest of the line")
    args = parser.parse_args(argv)
    try:
        if args.command == "build":
            build(args.linux, args.win64, args.win32, args.out, args.win64_loader)
            print("package: wrote %s (plug-in API %d)" % (args.out, package_api(args.out)))
        else:
            check(args.package, win64_loader=args.win64_loader)
            print("package: %s is complete (plug-in API %d)" % (args.package, package_api(args.package)))
    except (PackageError, OSError) as error:
        print("package: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
