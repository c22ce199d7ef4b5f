#!/usr/bin/env python3
"""Proves that check_exe.py catches faults: takes a good Kestrune.exe, breaks
one thing at a time in a copy held in memory, and expects the checker to name
each fault. A checker that passes everything fails here.

Usage: check_exe_faults.py PATH/TO/Kestrune.exe
"""

import os
import re
import struct
import subprocess
import sys
import tempfile

# Importing the checker must not leave a cache behind in the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_exe  # noqa: E402


def utf16(text):
    return text.encode("utf-16-le")


class Exe:
    """A mutable copy of the executable with the offsets the faults need."""

    def __init__(self, data):
        self.data = bytearray(data)
        self.pe = check_exe.PeImage(bytes(data))
        self.resources = self.pe.resources()
        self.version = check_exe.VersionNode(
            self.pe.data, self.resource(check_exe.RT_VERSION).offset,
            len(self.pe.data))

    def resource(self, type_id, name=None):
        return next(r for r in self.resources
                    if r.type_id == type_id and name in (None, r.name))

    def put(self, offset, fmt, *values):
        struct.pack_into(fmt, self.data, offset, *values)

    def manifest(self, edit):
        """Rewrites the manifest text in place; trailing blanks keep its size."""
        res = self.resource(check_exe.RT_MANIFEST)
        text = bytes(self.data[res.offset:res.offset + res.size])
        text = edit(re.sub(rb">\s+<", b"><", text))
        assert len(text) <= res.size, "edited manifest outgrew its resource"
        self.data[res.offset:res.offset + res.size] = text.ljust(res.size)

    def scratch(self, payload):
        """Parks bytes in the manifest's place and returns their RVA."""
        res = self.resource(check_exe.RT_MANIFEST)
        self.data[res.offset:res.offset + len(payload)] = payload
        return res.rva

    def version_string(self, key):
        block = next(n for n in self.version.children if n.key == "StringFileInfo")
        return next(n for n in block.children[0].children if n.key == key)

    def fixed(self, field, value):
        names = ("signature", "struct", "file_ms", "file_ls", "product_ms", "product_ls",
                 "mask", "flags", "os", "type")
        self.put(self.version.value_at + 4 * names.index(field), "<I", value)

    def icon_entry(self, size):
        group = self.resource(check_exe.RT_GROUP_ICON)
        count = struct.unpack_from("<H", self.data, group.offset + 4)[0]
        for i in range(count):
            entry = group.offset + 6 + 14 * i
            if (self.data[entry] or 256) == size:
                return entry
        raise AssertionError("no %d-pixel icon entry" % size)

    def icon_image(self, size):
        image_id = struct.unpack_from("<H", self.data, self.icon_entry(size) + 12)[0]
        return self.resource(check_exe.RT_ICON, image_id)

    def import_of(self, dll):
        return next(i for i in self.pe.imports() if i.dll.lower() == dll)


def runtime_dll(exe):
    first = exe.pe.imports()[0]
    exe.put(first.descriptor + 12, "<I", exe.scratch(b"libstdc++-6.dll\0"))


def imported_function(name):
    def fault(exe):
        kernel32 = exe.import_of("kernel32.dll")
        lookup, _, _, _, first = struct.unpack_from("<IIIII", exe.data, kernel32.descriptor)
        thunk = exe.pe.offset(lookup or first)
        exe.put(thunk, "<I", exe.scratch(b"\0\0" + name.encode() + b"\0"))
    return fault


def replace(old, new):
    return lambda text: text.replace(old, new, 1)


def second_manifest(exe):
    exe.put(exe.resource(check_exe.RT_VERSION).type_entry, "<I", check_exe.RT_MANIFEST)


def version_text(key, old, new):
    def fault(exe):
        node = exe.version_string(key)
        at = exe.data.index(utf16(old), node.value_at)
        exe.data[at:at + len(utf16(new))] = utf16(new)
    return fault


def version_key(old, new):
    def fault(exe):
        node = exe.version_string(old)
        exe.data[node.start + 6:node.start + 6 + len(utf16(new))] = utf16(new)
    return fault


def short_value_length(exe):
    exe.put(exe.version_string("FileDescription").start + 2, "<H", 3)


def translation(exe):
    var = next(n for n in exe.version.children if n.key == "VarFileInfo")
    exe.put(var.children[0].value_at, "<H", 0x0409)


def string_block(exe):
    block = next(n for n in exe.version.children if n.key == "StringFileInfo")
    table = block.children[0]
    exe.data[table.start + 6:table.start + 6 + 16] = utf16("040904B0")


def icon_entry_bits(exe):
    exe.put(exe.icon_entry(48) + 6, "<H", 8)


def icon_entry_size(exe):
    entry = exe.icon_entry(96)
    exe.data[entry] = exe.data[entry + 1] = 64


def icon_entry_length(exe):
    entry = exe.icon_entry(32)
    exe.put(entry + 8, "<I", struct.unpack_from("<I", exe.data, entry + 8)[0] - 4)


def icon_group_id(exe):
    group = exe.resource(check_exe.RT_GROUP_ICON)
    exe.put(group.name_entry, "<I", 129)


def png_signature(exe):
    exe.data[exe.icon_image(256).offset + 1] = ord("X")


def png_body(exe):
    image = exe.icon_image(256)
    at = exe.data.index(b"IDAT", image.offset) + 8
    exe.data[at] ^= 0xFF


def dib_alpha(exe):
    image = exe.icon_image(48)
    for at in range(image.offset + 40 + 3, image.offset + 40 + 48 * 48 * 4, 4):
        exe.data[at] = 0


def dib_without_mask(exe):
    exe.put(exe.icon_image(24).offset + 8, "<i", 24)


FAULTS = [
    ("x64 machine", "not i386", lambda e: e.put(e.pe.pe + 4, "<H", 0x8664)),
    ("DLL flag", "marked as a DLL",
     lambda e: e.put(e.pe.pe + 22, "<H", e.pe.characteristics | 0x2000)),
    ("console subsystem", "subsystem 3", lambda e: e.put(e.pe.opt + 68, "<H", 3)),
    ("subsystem version 5.0", "subsystem version 5.0",
     lambda e: e.put(e.pe.opt + 48, "<HH", 5, 0)),
    ("OS version 4.0", "OS version 4.0", lambda e: e.put(e.pe.opt + 40, "<HH", 4, 0)),
    ("runtime DLL import", "libstdc++-6.dll, which is not a system DLL", runtime_dll),
    ("post-XP import", "SetDefaultDllDirectories, which Windows XP lacks",
     imported_function("SetDefaultDllDirectories")),
    ("Windows 7 process-status import", "K32EnumProcesses",
     imported_function("K32EnumProcesses")),
    ("asInvoker", "not requireAdministrator",
     lambda e: e.manifest(replace(b'"requireAdministrator"', b'"asInvoker"'))),
    ("uiAccess true", "uiAccess 'true'",
     lambda e: e.manifest(replace(b'uiAccess="false"', b'uiAccess="true"'))),
    ("no execution level", "0 requestedExecutionLevel",
     lambda e: e.manifest(lambda t: re.sub(rb"<requestedExecutionLevel[^>]*>", b"", t))),
    ("common controls 5", "version='5.0.0.0'",
     lambda e: e.manifest(replace(b'version="6.0.0.0"', b'version="5.0.0.0"'))),
    ("common controls arm", "processorArchitecture='arm'",
     lambda e: e.manifest(replace(b'"x86"', b'"arm"'))),
    ("common controls token", "publicKeyToken",
     lambda e: e.manifest(replace(b"6595b64144ccf1df", b"6595b64144ccf1d0"))),
    ("no common controls", "0 dependencies",
     lambda e: e.manifest(lambda t: re.sub(rb"<dependency>.*</dependency>", b"", t))),
    ("dpiAware no", "dpiAware 'no'",
     lambda e: e.manifest(replace(b">true</dpiAware>", b">no</dpiAware>"))),
    ("dpiAware in the wrong namespace", "0 dpiAware",
     lambda e: e.manifest(replace(b"SMI/2005/", b"SMI/2016/"))),
    ("own assembly identity", "assembly identity of its own",
     lambda e: e.manifest(lambda t: re.sub(
         rb'(manifestVersion="1.0">)',
         rb'\1<assemblyIdentity type="win32" name="K" version="1.0.0.1"/>', t))),
    ("namespace twice", "declares one namespace twice",
     lambda e: e.manifest(replace(b'<trustInfo xmlns="urn:schemas-microsoft-com:asm.v3">',
                                  b'<trustInfo xmlns="urn:schemas-microsoft-com:asm.v3"'
                                  b' xmlns:v="urn:schemas-microsoft-com:asm.v3">'))),
    ("UTF-16 declared", "encoding other than UTF-8",
     lambda e: e.manifest(replace(b'encoding="UTF-8"', b'encoding="UTF-16"'))),
    ("malformed manifest", "not well-formed",
     lambda e: e.manifest(replace(b"</assembly>", b"</assembly"))),
    ("second manifest", "2 manifest resources", second_manifest),
    ("file version 1.0.0.2", "fixed file version", lambda e: e.fixed("file_ls", 2)),
    ("product version 2.0", "fixed product version",
     lambda e: e.fixed("product_ms", 0x00020000)),
    ("debug flag", "file flags 0x1", lambda e: e.fixed("flags", 1)),
    ("16-bit OS", "not 32-bit Windows", lambda e: e.fixed("os", 0x40001)),
    ("DLL file type", "file type 2", lambda e: e.fixed("type", 2)),
    ("string block 040904B0", "not exactly 080404B0", string_block),
    ("InternalName", "InternalName='Kestrune.exx'",
     version_text("InternalName", "Kestrune.exe", "Kestrune.exx")),
    ("FileVersion", "FileVersion='1.0.0.2'", version_text("FileVersion", "1.0.0.1", "1.0.0.2")),
    ("unknown string", "version strings", version_key("ProductName", "ProductNamX")),
    ("CompanyName missing", "version strings", version_key("CompanyName", "CompanyNamX")),
    ("short string count", "FileDescription counts 3", short_value_length),
    ("translation 0x0409", "Translation 0x0804/1200", translation),
    ("8-bit icon entry", "not square 32-bit", icon_entry_bits),
    ("64-pixel icon entry", "icon sizes", icon_entry_size),
    ("icon entry length", "says", icon_entry_length),
    ("icon group 129", "not only 128", icon_group_id),
    ("256 not PNG", "256-pixel image is not stored as PNG", png_signature),
    ("PNG damaged", "bad CRC", png_body),
    ("48 alpha cleared", "48-pixel image alpha", dib_alpha),
    ("24 bitmap without mask", "24-pixel bitmap header", dib_without_mask),
]


def run_cli(path):
    result = subprocess.run([sys.executable, check_exe.__file__, path],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    return result.returncode, result.stdout.decode(errors="replace")


def main(argv):
    if len(argv) != 2:
        sys.stderr.write("usage: check_exe_faults.py PATH/TO/Kestrune.exe\n")
        return 2
    with open(argv[1], "rb") as f:
        good = f.read()
    problems = []
    baseline = check_exe.check(good)
    if baseline:
        # Every fault below is judged against a clean start.
        problems.append("the unmodified executable fails: %s" % baseline)
    missed = 0
    for name, expected, inject in FAULTS:
        exe = Exe(good)
        inject(exe)
        try:
            found = check_exe.check(bytes(exe.data))
        except Exception as e:  # a crash is a checker fault of its own
            problems.append("%s: checker crashed: %r" % (name, e))
            missed += 1
            continue
        if not any(expected in fault for fault in found):
            missed += 1
            problems.append("%s: expected a fault naming %r, got %s" % (name, expected, found))

    code, output = run_cli(argv[1])
    if code != 0:
        problems.append("check_exe.py exits %d on the good executable:\n%s" % (code, output))
    with tempfile.TemporaryDirectory() as folder:
        cut = os.path.join(folder, "cut.exe")
        with open(cut, "wb") as f:
            f.write(good[:len(good) // 2])
        code, output = run_cli(cut)
        if code == 0 or "FAIL:" not in output:
            problems.append("check_exe.py exits %d on a truncated executable:\n%s" % (code, output))

    for problem in problems:
        print("FAIL: %s" % problem)
    print("%d of %d injected faults caught" % (len(FAULTS) - missed, len(FAULTS)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
