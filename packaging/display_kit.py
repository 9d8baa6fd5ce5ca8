#!/usr/bin/env python3
"""Builds and checks the display author's kits: g19-hostsim, g19-probe, the API-20 plug-in
library, the protocol and scenario references with the example scenarios, and a README.

  display_kit.py build --platform {win64,linux-amd64} --hostsim EXE --probe EXE --plugin LIB --out FILE
  display_kit.py check FILE

The win64 kit is a ZIP archive, the linux-amd64 kit a gzipped tar (which keeps the tools'
execute permission). Each holds one folder named after the kit.
"""

import argparse
import gzip
import io
import os
import stat
import struct
import sys
import tarfile
import tempfile
import time
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ts3_package  # noqa: E402

SOURCE = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir))
README_TEMPLATE = os.path.join(SOURCE, "packaging", "display-kit-README.md")
KIT_API = 20

PLATFORMS = {
    "win64": {"suffix": ".zip", "exe": ".exe", "library": ".dll", "run": ""},
    "linux-amd64": {"suffix": ".tar.gz", "exe": "", "library": ".so", "run": "./"},
}
ELF_TYPE_EXECUTABLE, ELF_TYPE_SHARED = 2, 3
PT_INTERP = 3


def docs():
    """The documents every kit carries, as paths relative to the source tree."""
    scenarios = sorted("docs/scenarios/" + name for name in os.listdir(os.path.join(SOURCE, "docs", "scenarios"))
                       if name.endswith(".json"))
    return ["docs/protocol.md", "docs/example-server.json", "docs/scenarios.md", "docs/scenario.schema.json",
            "docs/console.md", "docs/console.png"] + scenarios


def names(platform):
    kind = PLATFORMS[platform]
    return {"hostsim": "g19-hostsim" + kind["exe"], "probe": "g19-probe" + kind["exe"],
            "plugin": ts3_package.MODULE + kind["library"]}


def folder(platform):
    return "g19-display-kit-" + platform


def readme(platform):
    with open(README_TEMPLATE, encoding="utf-8") as file:
        text = file.read()
    files = names(platform)
    for key, value in (("@VERSION@", ts3_package.EXPECTED_VERSION), ("@PLATFORM@", platform),
                       ("@HOSTSIM@", files["hostsim"]), ("@PROBE@", files["probe"]),
                       ("@PLUGIN@", files["plugin"]), ("@RUN@", PLATFORMS[platform]["run"])):
        text = text.replace(key, value)
    return text.encode("utf-8")


def platform_of(path):
    for platform, kind in PLATFORMS.items():
        if os.path.basename(path) == folder(platform) + kind["suffix"]:
            return platform
    raise ts3_package.PackageError("%s is named like no kit (%s)" % (
        path, ", ".join(folder(p) + k["suffix"] for p, k in PLATFORMS.items())))


def build(platform, hostsim, probe, plugin, out):
    files = names(platform)
    entries = [("README.md", readme(platform), False)]
    for key, path in (("hostsim", hostsim), ("probe", probe), ("plugin", plugin)):
        with open(path, "rb") as file:
            entries.append((files[key], file.read(), key != "plugin"))
    for document in docs():
        with open(os.path.join(SOURCE, document), "rb") as file:
            entries.append((document, file.read(), False))
    write(out, platform, folder(platform), entries)


def write(out, platform, top, entries):
    """Writes (name, bytes, executable) entries into one folder `top` of an archive of the
    platform's kind, the same bytes for the same entries and SOURCE_DATE_EPOCH."""
    stamp = int(os.environ.get("SOURCE_DATE_EPOCH", time.time()))
    top += "/"
    if platform == "win64":
        with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as archive:
            for name, data, _ in sorted(entries):
                info = zipfile.ZipInfo(top + name, time.gmtime(max(stamp, 315532800))[:6])
                info.compress_type = zipfile.ZIP_DEFLATED
                archive.writestr(info, data)
        return
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w", format=tarfile.PAX_FORMAT) as archive:
        for name, data, executable in sorted(entries):
            info = tarfile.TarInfo(top + name)
            info.size, info.mtime, info.mode = len(data), stamp, 0o755 if executable else 0o644
            archive.addfile(info, io.BytesIO(data))
    with open(out, "wb") as file, gzip.GzipFile(fileobj=file, mode="wb", mtime=stamp, filename="") as packed:
        packed.write(buffer.getvalue())


def read(path, platform, top=None):
    """The files of the archive's one folder (the kit's unless `top` names another) by name
    within it, with whether each may be executed."""
    top = (top or folder(platform)) + "/"
    found = {}
    try:
        if platform == "win64":
            with zipfile.ZipFile(path) as archive:
                for info in archive.infolist():
                    found[info.filename] = (archive.read(info), True)
        else:
            with tarfile.open(path, "r:gz") as archive:
                for info in archive.getmembers():
                    if not info.isfile():
                        raise ts3_package.PackageError("%s is not a plain file" % info.name)
                    found[info.name] = (archive.extractfile(info).read(), bool(info.mode & stat.S_IXUSR))
    except (zipfile.BadZipFile, tarfile.TarError, OSError, EOFError) as error:
        raise ts3_package.PackageError("%s cannot be read: %s" % (path, error))
    outside = [name for name in found if not name.startswith(top)]
    if outside:
        raise ts3_package.PackageError("entries outside %s: %s" % (top, outside))
    return {name[len(top):]: content for name, content in found.items()}


def check_program(name, data, platform, library):
    if platform == "win64":
        if data[:2] != b"MZ":
            raise ts3_package.PackageError("%s is not a Windows program" % name)
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        machine, characteristics = struct.unpack_from("<H", data, pe + 4)[0], struct.unpack_from("<H", data, pe + 22)[0]
        if data[pe:pe + 4] != b"PE\0\0" or machine != ts3_package.PE_MACHINE_AMD64:
            raise ts3_package.PackageError("%s is not a 64-bit Windows file" % name)
        if bool(characteristics & ts3_package.PE_CHARACTERISTIC_DLL) != library:
            raise ts3_package.PackageError("%s is %s DLL" % (name, "not a" if library else "a"))
        return
    if data[:4] != b"\x7fELF" or data[4] != 2 or struct.unpack_from("<H", data, 18)[0] != ts3_package.ELF_MACHINE_X86_64:
        raise ts3_package.PackageError("%s is not an x86-64 ELF file" % name)
    # A position-independent program is of the shared type too, but names a program interpreter.
    elf_type = struct.unpack_from("<H", data, 16)[0]
    header_at, header_size, headers = struct.unpack_from("<Q", data, 32)[0], *struct.unpack_from("<HH", data, 54)
    interpreter = any(struct.unpack_from("<I", data, header_at + i * header_size)[0] == PT_INTERP
                      for i in range(headers))
    program = elf_type == ELF_TYPE_EXECUTABLE or (elf_type == ELF_TYPE_SHARED and interpreter)
    if program == library:
        raise ts3_package.PackageError("%s is %s program" % (name, "a" if library else "not a"))


def plugin_api(name, data, platform):
    if platform == "win64":
        exports = ts3_package.pe_exports(name, data, ts3_package.PE_MACHINE_AMD64, ts3_package.PE_MAGIC_PE32_PLUS)
        ts3_package.check_exports(name, exports)
        return ts3_package.pe_api_version(name, data, exports)
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, name)
        with open(path, "wb") as file:
            file.write(data)
        symbols = ts3_package.elf_symbols(path)
        ts3_package.check_exports(name, ts3_package.elf_exports(symbols))
        ts3_package.check_glibc(name, symbols)
        ts3_package.check_glibcxx(name, symbols)
        return ts3_package.linux_identity(path)["apiVersion"]


def check(path):
    """Raises PackageError with the first thing wrong with the kit at path."""
    platform = platform_of(path)
    content = read(path, platform)
    files = names(platform)
    expected = sorted(["README.md"] + list(files.values()) + docs())
    if sorted(content) != expected:
        raise ts3_package.PackageError("the kit holds %s, expected exactly %s" % (sorted(content), expected))
    for key, name in files.items():
        data, executable = content[name]
        check_program(name, data, platform, library=key == "plugin")
        if key != "plugin" and not executable:
            raise ts3_package.PackageError("%s may not be executed" % name)
    api = plugin_api(files["plugin"], content[files["plugin"]][0], platform)
    if api != KIT_API:
        raise ts3_package.PackageError("%s is built for plug-in API %d, not %d" % (files["plugin"], api, KIT_API))
    for document in docs():
        with open(os.path.join(SOURCE, document), "rb") as file:
            if content[document][0] != file.read():
                raise ts3_package.PackageError("%s differs from the source tree's" % document)
    if content["README.md"][0] != readme(platform):
        raise ts3_package.PackageError("README.md is not this version's")


def main(argv):
    parser = argparse.ArgumentParser(description="Build or check a display author's kit.")
    commands = parser.add_subparsers(dest="command", required=True)
    build_command = commands.add_parser("build", help="build a kit from the built tools and library")
    build_command.add_argument("--platform", required=True, choices=sorted(PLATFORMS))
    for option in ("--hostsim", "--probe", "--plugin", "--out"):
        build_command.add_argument(option, required=True)
    check_command = commands.add_parser("check", help="check a kit's content")
    check_command.add_argument("kit")
    args = parser.parse_args(argv)
    try:
        if args.command == "build":
            build(args.platform, args.hostsim, args.probe, args.plugin, args.out)
            print("kit: wrote %s" % args.out)
        else:
            check(args.kit)
            print("kit: %s is complete" % args.kit)
    except (ts3_package.PackageError, OSError) as error:
        print("kit: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
