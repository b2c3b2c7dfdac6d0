#!/usr/bin/env python3
"""Checks a built Vesplin.exe without running it: the image kind (objdump), the
GUI subsystem, the DLLs it imports, and its resources (one manifest naming the
build's architecture, the version record, icon 104 with several sizes).

usage: check_binary.py <exe> <i686|x86_64> [objdump]
Exit 0 when every check passes; otherwise each failure is printed and the exit is 1.
"""
import re
import struct
import subprocess
import sys

ARCHS = {
    # build: (objdump's name for the format, PE machine, manifest architecture)
    "i686": ("pei-i386", 0x014C, "x86"),
    "x86_64": ("pei-x86-64", 0x8664, "amd64"),
}
ALLOWED_DLLS = re.compile(r"^(KERNEL32|USER32|GDI32|ADVAPI32|COMDLG32|SHELL32|COMCTL32|msvcrt)\.dll$", re.I)
RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
MANIFEST_PARTS = [
    'name="Microsoft.Windows.Common-Controls"', 'version="6.0.0.0"',
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}", "<dpiAware", ">true<", 'level="asInvoker"',
]
VERSION_STRINGS = {"ProductName": "Vesplin", "ProductVersion": "V2.3", "FileVersion": "2.3.0.1006",
                   "OriginalFilename": "Vesplin.exe"}


class Image:
    """The parts of a PE file these checks read."""

    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        self.machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        self.pe32plus = magic == 0x20B
        self.subsystem = struct.unpack_from("<H", data, optional + 68)[0]
        directories = optional + (112 if self.pe32plus else 96)
        self.rsrc_rva, self.rsrc_size = struct.unpack_from("<II", data, directories + 2 * 8)
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            name, vsize, rva, rawsize, rawptr = struct.unpack_from("<8sIIII", data, table + 40 * i)
            self.sections.append((rva, max(vsize, rawsize), rawptr))

    def offset(self, rva):
        for start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError("address 0x%X outside every section" % rva)

    def resources(self):
        """{(type, name): bytes} for every resource (the first language of each)."""
        if not self.rsrc_rva:
            return {}
        base = self.offset(self.rsrc_rva)
        found = {}

        def entries(table):
            named, numbered = struct.unpack_from("<HH", self.data, base + table + 12)
            for i in range(named + numbered):
                ident, target = struct.unpack_from("<II", self.data, base + table + 16 + 8 * i)
                yield ident, target

        for rtype, to_names in entries(0):
            if not to_names & 0x80000000:
                continue
            for name, to_langs in entries(to_names & 0x7FFFFFFF):
                if not to_langs & 0x80000000:
                    continue
                for _, leaf in entries(to_langs & 0x7FFFFFFF):
                    rva, size = struct.unpack_from("<II", self.data, base + leaf)
                    start = self.offset(rva)
                    found.setdefault((rtype, name), self.data[start:start + size])
        return found


def version_string(block, key):
    """The value of one StringFileInfo entry: its UTF-16 key, padding, then the value."""
    text = block.decode("utf-16-le", errors="replace")
    at = text.find(key + "\0")
    if at < 0:
        return None
    rest = text[at + len(key):].lstrip("\0")
    return rest.split("\0", 1)[0]


def check(exe, arch, objdump):
    failures = []
    fmt, machine, manifest_arch = ARCHS[arch]
    info = subprocess.run([objdump, "-p", exe], capture_output=True, text=True, check=True).stdout
    if "file format %s" % fmt not in info:
        failures.append("objdump does not report %s" % fmt)
    if not re.search(r"^Subsystem\s+00000002", info, re.M):
        failures.append("not a GUI-subsystem program")
    dlls = re.findall(r"^\s*DLL Name: (\S+)", info, re.M)
    for dll in dlls:
        if not ALLOWED_DLLS.match(dll):
            failures.append("unexpected import: %s" % dll)

    with open(exe, "rb") as f:
        image = Image(f.read())
    if image.machine != machine:
        failures.append("machine 0x%04X, expected 0x%04X" % (image.machine, machine))
    if image.pe32plus != (arch == "x86_64"):
        failures.append("optional header is %s" % ("PE32+" if image.pe32plus else "PE32"))
    if image.subsystem != 2:
        failures.append("subsystem %d in the optional header" % image.subsystem)
    resources = image.resources()

    manifests = [name for (rtype, name) in resources if rtype == RT_MANIFEST]
    if manifests != [1]:
        failures.append("manifests %s, expected exactly one with id 1" % manifests)
    else:
        manifest = resources[(RT_MANIFEST, 1)].decode("utf-8", errors="replace")
        for part in MANIFEST_PARTS:
            if part not in manifest:
                failures.append("manifest lacks %s" % part)
        named = re.findall(r'processorArchitecture="([^"]*)"', manifest)
        if len(named) != 2 or any(a != manifest_arch for a in named):
            failures.append("manifest architectures %s, expected %s for itself and the common controls"
                            % (named, manifest_arch))

    version = resources.get((RT_VERSION, 1))
    if version is None:
        failures.append("no version record")
    else:
        fixed = version.find(struct.pack("<I", 0xFEEF04BD))
        if fixed < 0:
            failures.append("version record without its fixed part")
        else:
            ms, ls = struct.unpack_from("<II", version, fixed + 8)
            if (ms, ls) != ((2 << 16) | 3, 1006):
                failures.append("file version %d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF))
        for key, want in VERSION_STRINGS.items():
            got = version_string(version, key)
            if got != want:
                failures.append("version %s is %r, expected %r" % (key, got, want))

    group = resources.get((RT_GROUP_ICON, 104))
    if group is None:
        failures.append("no icon group 104")
    else:
        count = struct.unpack_from("<H", group, 4)[0]
        if count < 3:
            failures.append("icon 104 has %d sizes, expected at least 3" % count)
        for i in range(count):
            icon_id = struct.unpack_from("<H", group, 6 + 14 * i + 12)[0]
            if (RT_ICON, icon_id) not in resources:
                failures.append("icon 104 names missing image %d" % icon_id)
    return failures, dlls


def main():
    if len(sys.argv) < 3 or sys.argv[2] not in ARCHS:
        print(__doc__)
        return 2
    exe, arch = sys.argv[1], sys.argv[2]
    objdump = sys.argv[3] if len(sys.argv) > 3 else arch + "-w64-mingw32-objdump"
    try:
        failures, dlls = check(exe, arch, objdump)
    except (OSError, ValueError, struct.error, subprocess.CalledProcessError) as error:
        print("cannot read %s: %s" % (exe, error))
        return 1
    for failure in failures:
        print(failure)
    if failures:
        return 1
    print("%s: %s GUI program, one manifest (%s), version 2.3.0.1006, icon 104; imports: %s"
          % (exe, ARCHS[arch][0], ARCHS[arch][2], " ".join(dlls)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
