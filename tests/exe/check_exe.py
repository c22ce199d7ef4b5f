#!/usr/bin/env python3
"""Checks the built Kestrune.exe: its PE header, what it imports, and its
manifest, version block and icon.

Reads the file itself (no tools needed), prints one line per fault and exits
non-zero when there is any.

Usage: check_exe.py PATH/TO/Kestrune.exe
"""

import struct
import sys
import xml.etree.ElementTree as ElementTree
import zlib

RT_ICON = 3
RT_GROUP_ICON = 14
RT_VERSION = 16
RT_MANIFEST = 24

ICON_GROUP_ID = 128
ICON_SIZES = (256, 96, 48, 32, 24, 16)
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"

# DLLs that every Windows release since XP ships. The C and C++ runtimes are
# linked statically, so anything else (libstdc++, libgcc, libwinpthread, the
# universal CRT) would be missing on a clean machine.
SYSTEM_DLLS = frozenset("""
    advapi32.dll comctl32.dll comdlg32.dll crypt32.dll gdi32.dll imm32.dll
    kernel32.dll msvcrt.dll ntdll.dll ole32.dll oleaut32.dll psapi.dll
    rpcrt4.dll secur32.dll shell32.dll shlwapi.dll user32.dll userenv.dll
    uxtheme.dll version.dll winmm.dll ws2_32.dll
""".split())

# Functions that Windows XP lacks. Importing one by name stops the program from
# starting at all there, so such calls must be looked up at run time. Not a
# complete list: the ones a small program plausibly reaches for.
NEWER_THAN_XP = {
    "kernel32.dll": frozenset("""
        AcquireSRWLockExclusive AcquireSRWLockShared AddDllDirectory CancelIoEx
        CompareStringEx CopyFile2 CreateEventExW CreateFile2 CreateMutexExW
        CreateSemaphoreExW CreateSymbolicLinkW FlsAlloc FlsFree FlsGetValue
        FlsSetValue GetCurrentProcessorNumber GetErrorMode
        GetFileInformationByHandleEx GetFinalPathNameByHandleW GetLocaleInfoEx
        GetQueuedCompletionStatusEx GetSystemTimePreciseAsFileTime GetTickCount64
        GetUserDefaultLocaleName InitOnceBeginInitialize InitOnceComplete
        InitOnceExecuteOnce InitializeConditionVariable InitializeCriticalSectionEx
        InitializeProcThreadAttributeList UpdateProcThreadAttribute
        DeleteProcThreadAttributeList
        InitializeSRWLock LCMapStringEx QueryFullProcessImageNameW
        ReleaseSRWLockExclusive ReleaseSRWLockShared RemoveDllDirectory
        SetDefaultDllDirectories SetFileInformationByHandle SetThreadErrorMode
        SleepConditionVariableCS SleepConditionVariableSRW
        TryAcquireSRWLockExclusive TryAcquireSRWLockShared WakeAllConditionVariable
        WakeConditionVariable Wow64DisableWow64FsRedirection
        Wow64RevertWow64FsRedirection
    """.split()),
    "advapi32.dll": frozenset(
        "RegDeleteKeyExW RegDeleteTreeW RegGetValueW RegLoadMUIStringW RegSetKeyValueW"
        " AddMandatoryAce CreateProcessWithTokenW".split()),
    "user32.dll": frozenset("""
        ChangeWindowMessageFilter ChangeWindowMessageFilterEx GetDpiForWindow
        SetProcessDPIAware SetProcessDpiAwarenessContext ShutdownBlockReasonCreate
    """.split()),
    "shell32.dll": frozenset("SHCreateItemFromParsingName SHGetKnownFolderPath".split()),
    "comctl32.dll": frozenset("TaskDialog TaskDialogIndirect".split()),
    "version.dll": frozenset("GetFileVersionInfoExW GetFileVersionInfoSizeExW".split()),
}

ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V2 = "{urn:schemas-microsoft-com:asm.v2}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
WINDOWS_SETTINGS_2005 = "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}"
COMMON_CONTROLS = {
    "type": "win32",
    "name": "Microsoft.Windows.Common-Controls",
    "version": "6.0.0.0",
    "processorArchitecture": "x86",
    "publicKeyToken": "6595b64144ccf1df",
    "language": "*",
}

VERSION_STRINGS = {
    "FileDescription": "Kestrune",
    "ProductName": "Kestrune",
    "InternalName": "Kestrune.exe",
    "OriginalFilename": "Kestrune.exe",
    "FileVersion": "1.0.0.1",
    "ProductVersion": "1.0.0.1",
}
# Their values are ours to choose; they only have to be there.
VERSION_STRINGS_ANY = ("CompanyName", "LegalCopyright")
STRING_BLOCK = "080404B0"
TRANSLATION = struct.pack("<HH", 0x0804, 1200)
VERSION_1_0_0_1 = (0x00010000, 0x00000001)
VS_FFI_SIGNATURE = 0xFEEF04BD
VOS__WINDOWS32 = 0x4
VOS_NT = 0x40000
VFT_APP = 1


class PeError(Exception):
    pass


class Resource:
    def __init__(self, type_id, name, lang, rva, size, offset, type_entry, name_entry):
        self.type_id = type_id
        self.name = name
        self.lang = lang
        self.rva = rva
        self.size = size
        self.offset = offset  # of the data in the file
        # File offsets of the directory entries that name the type and the resource.
        self.type_entry = type_entry
        self.name_entry = name_entry


class Import:
    def __init__(self, dll, functions, descriptor):
        self.dll = dll
        self.functions = functions  # names, or "#n" for ordinals
        self.descriptor = descriptor  # file offset of the descriptor


class PeImage:
    """The parts of a 32-bit PE image that the checks read."""

    def __init__(self, data):
        self.data = data
        try:
            self._parse()
        except struct.error as e:
            raise PeError("truncated or malformed PE file (%s)" % e)

    def _parse(self):
        d = self.data
        if d[:2] != b"MZ":
            raise PeError("no MZ header: not a Windows executable")
        self.pe = struct.unpack_from("<I", d, 0x3C)[0]
        if d[self.pe:self.pe + 4] != b"PE\0\0":
            raise PeError("no PE signature")
        (self.machine, sections, _, _, _, opt_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", d, self.pe + 4)
        self.opt = self.pe + 24
        self.magic = struct.unpack_from("<H", d, self.opt)[0]
        if self.magic != 0x10B:
            raise PeError("optional header magic 0x%x, not PE32 (0x10b)" % self.magic)
        self.image_base = struct.unpack_from("<I", d, self.opt + 28)[0]
        (self.os_version_major, self.os_version_minor, _, _,
         self.subsystem_version_major, self.subsystem_version_minor) = \
            struct.unpack_from("<6H", d, self.opt + 40)
        self.subsystem = struct.unpack_from("<H", d, self.opt + 68)[0]
        count = struct.unpack_from("<I", d, self.opt + 92)[0]
        self.directories = [struct.unpack_from("<II", d, self.opt + 96 + 8 * i)
                            for i in range(min(count, 16))]
        self.directories += [(0, 0)] * (16 - len(self.directories))
        self.sections = []
        for i in range(sections):
            name, vsize, va, raw_size, raw_ptr = struct.unpack_from(
                "<8sIIII", d, self.opt + opt_size + 40 * i)
            if raw_ptr + raw_size > len(d):
                raise PeError("section %s runs past the end of the file: truncated"
                              % name.rstrip(b"\0").decode("latin-1"))
            self.sections.append((va, max(vsize, raw_size), raw_ptr, raw_size))

    def offset(self, rva):
        for va, vsize, raw_ptr, raw_size in self.sections:
            if va <= rva < va + vsize:
                if rva - va >= raw_size:
                    raise PeError("RVA 0x%x has no data in the file" % rva)
                return raw_ptr + rva - va
        raise PeError("RVA 0x%x is in no section" % rva)

    def cstring(self, rva):
        start = self.offset(rva)
        end = self.data.find(b"\0", start)
        if end < 0:
            raise PeError("unterminated string at RVA 0x%x" % rva)
        return self.data[start:end].decode("latin-1")

    def imports(self):
        result = []
        rva = self.directories[1][0]
        if rva:
            pos = self.offset(rva)
            while True:
                lookup, _, _, name, first = struct.unpack_from("<IIIII", self.data, pos)
                if not (lookup or name or first):
                    break
                result.append(Import(self.cstring(name), self._thunks(lookup or first, 0), pos))
                pos += 20
        rva = self.directories[13][0]
        if rva:
            pos = self.offset(rva)
            while True:
                attrs, name, _, _, lookup = struct.unpack_from("<IIIII", self.data, pos)
                if not name:
                    break
                # Old-style delay descriptors hold addresses, not RVAs.
                bias = 0 if attrs & 1 else self.image_base
                result.append(Import(self.cstring(name - bias),
                                     self._thunks(lookup - bias, bias), pos))
                pos += 32
        return result

    def _thunks(self, rva, bias):
        names = []
        pos = self.offset(rva)
        while True:
            thunk = struct.unpack_from("<I", self.data, pos)[0]
            if not thunk:
                return names
            if thunk & 0x80000000:
                names.append("#%d" % (thunk & 0xFFFF))
            else:
                names.append(self.cstring(thunk - bias + 2))
            pos += 4

    def resources(self):
        rva, _ = self.directories[2]
        if not rva:
            return []
        root = self.offset(rva)
        found = []
        for type_id, type_entry, type_dir in self._directory(root, root):
            for name, name_entry, name_dir in self._directory(root, type_dir):
                for lang, _, leaf in self._directory(root, name_dir, leaves=True):
                    data_rva, size = struct.unpack_from("<II", self.data, leaf)
                    found.append(Resource(type_id, name, lang, data_rva, size,
                                          self.offset(data_rva), type_entry, name_entry))
        return found

    def _directory(self, root, pos, leaves=False):
        named, ids = struct.unpack_from("<HH", self.data, pos + 12)
        for i in range(named + ids):
            entry = pos + 16 + 8 * i
            name, target = struct.unpack_from("<II", self.data, entry)
            if name & 0x80000000:
                at = root + (name & 0x7FFFFFFF)
                length = struct.unpack_from("<H", self.data, at)[0]
                name = self.data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
            if bool(target & 0x80000000) == leaves:
                raise PeError("resource directory nesting is not type/name/language")
            yield name, entry, root + (target & 0x7FFFFFFF)


def check_header(pe, fail):
    if pe.machine != 0x14C:
        fail("machine 0x%x, not i386 (0x14c)" % pe.machine)
    if not pe.characteristics & 0x0002:
        fail("not marked as an executable image")
    if pe.characteristics & 0x2000:
        fail("marked as a DLL")
    if pe.subsystem != 2:
        fail("subsystem %d, not the Windows GUI subsystem (2)" % pe.subsystem)
    if (pe.subsystem_version_major, pe.subsystem_version_minor) != (5, 1):
        fail("subsystem version %d.%d, not 5.1"
             % (pe.subsystem_version_major, pe.subsystem_version_minor))
    if (pe.os_version_major, pe.os_version_minor) != (5, 1):
        fail("OS version %d.%d, not 5.1" % (pe.os_version_major, pe.os_version_minor))


def check_imports(pe, fail):
    for imp in pe.imports():
        dll = imp.dll.lower()
        if dll not in SYSTEM_DLLS:
            fail("imports %s, which is not a system DLL" % imp.dll)
        newer = sorted(NEWER_THAN_XP.get(dll, frozenset()).intersection(imp.functions))
        if dll == "kernel32.dll":
            # Windows 7 moved the process-status functions into kernel32 as K32*.
            newer += sorted(f for f in imp.functions if f.startswith("K32"))
        for function in newer:
            fail("imports %s!%s, which Windows XP lacks: look it up at run time"
                 % (imp.dll, function))


def only_one(resources, type_id, what, fail):
    matching = [r for r in resources if r.type_id == type_id]
    if len(matching) != 1:
        fail("%d %s resources (name, language): %s, not exactly one"
             % (len(matching), what, [(r.name, r.lang) for r in matching]))
        return None
    return matching[0]


def check_manifest(pe, resources, fail):
    res = only_one(resources, RT_MANIFEST, "manifest", fail)
    if res is None:
        return
    if res.name != 1:
        fail("manifest resource id %r, not 1" % (res.name,))
    raw = pe.data[res.offset:res.offset + res.size]
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as e:
        fail("manifest is not UTF-8 (%s)" % e)
        return
    if text.startswith("<?xml"):
        declaration = text[:text.find("?>")]
        if "encoding" in declaration and "utf-8" not in declaration.lower():
            fail("manifest declares an encoding other than UTF-8: %s" % declaration)
    # One namespace declared twice on one element makes Windows XP SP2 reboot.
    for tag in text.split("<")[1:]:
        uris = [part.split('"')[1] for part in tag.split("xmlns")[1:] if '"' in part]
        if len(uris) != len(set(uris)):
            fail("manifest element declares one namespace twice: <%s" % tag.split(">")[0])
    try:
        root = ElementTree.fromstring(raw)
    except ElementTree.ParseError as e:
        fail("manifest is not well-formed XML (%s)" % e)
        return
    if root.tag != ASM_V1 + "assembly" or root.get("manifestVersion") != "1.0":
        fail("manifest root is %s manifestVersion=%r, not an asm.v1 assembly 1.0"
             % (root.tag, root.get("manifestVersion")))
    if root.find(ASM_V1 + "assemblyIdentity") is not None:
        fail("manifest has an assembly identity of its own")

    # Windows reads the execution level in either namespace.
    levels = [e for ns in (ASM_V2, ASM_V3) for e in root.findall(
        "{0}trustInfo/{0}security/{0}requestedPrivileges/{0}requestedExecutionLevel".format(ns))]
    if len(levels) != 1:
        fail("manifest has %d requestedExecutionLevel elements, not one" % len(levels))
    for e in levels:
        if e.get("level") != "requireAdministrator":
            fail("manifest execution level %r, not requireAdministrator" % e.get("level"))
        if e.get("uiAccess") != "false":
            fail("manifest uiAccess %r, not false" % e.get("uiAccess"))

    dependencies = root.findall("%sdependency/%sdependentAssembly/%sassemblyIdentity"
                                % (ASM_V1, ASM_V1, ASM_V1))
    controls = [e for e in dependencies if e.get("name") == COMMON_CONTROLS["name"]]
    if len(controls) != 1:
        fail("manifest has %d dependencies on %s, not one"
             % (len(controls), COMMON_CONTROLS["name"]))
    for e in controls:
        for key, want in COMMON_CONTROLS.items():
            got = e.get(key)
            # The loader compares these without regard to case.
            if (got or "").lower() != want.lower():
                fail("manifest common controls %s=%r, not %r" % (key, got, want))

    dpi = root.findall("{0}application/{0}windowsSettings/{1}dpiAware".format(
        ASM_V3, WINDOWS_SETTINGS_2005))
    if len(dpi) != 1:
        fail("manifest has %d dpiAware elements in the 2005 WindowsSettings namespace, not one"
             % len(dpi))
    for e in dpi:
        if (e.text or "").strip().lower() != "true":
            fail("manifest dpiAware %r, not true" % e.text)


class VersionNode:
    """One node of a version block: key, value and children."""

    def __init__(self, data, pos, end):
        self.start = pos
        length, value_length, self.text = struct.unpack_from("<HHH", data, pos)
        self.end = pos + length
        if length < 6 or self.end > end:
            raise PeError("version node at %d runs past its parent" % pos)
        key_end = pos + 6
        while data[key_end:key_end + 2] != b"\0\0":
            key_end += 2
            if key_end >= self.end:
                raise PeError("version node key is not terminated")
        self.key = data[pos + 6:key_end].decode("utf-16-le")
        self.value_at = value = (key_end + 2 + 3) & ~3
        self.value_length = value_length
        if self.text and value_length:
            # A string is a leaf: its text runs to the node's end whatever its
            # count says, and the count is judged against the text.
            value_end = self.end
        else:
            value_end = value + value_length
            if value_end > self.end:
                raise PeError("version node %r value runs past the node" % self.key)
        self.value = data[value:value_end]
        self.children = []
        child = (value_end + 3) & ~3
        while child < self.end:
            node = VersionNode(data, child, self.end)
            self.children.append(node)
            child = (node.end + 3) & ~3

    def string(self):
        return self.value.decode("utf-16-le").split("\0", 1)[0]


def check_version(pe, resources, fail):
    res = only_one(resources, RT_VERSION, "version", fail)
    if res is None:
        return
    if res.name != 1:
        fail("version resource id %r, not 1" % (res.name,))
    try:
        root = VersionNode(pe.data, res.offset, res.offset + res.size)
    except (PeError, struct.error, UnicodeDecodeError) as e:
        fail("version block is malformed (%s)" % e)
        return
    if root.key != "VS_VERSION_INFO" or len(root.value) != 52:
        fail("version block root %r with %d bytes of fixed info" % (root.key, len(root.value)))
        return
    (signature, _, file_ms, file_ls, product_ms, product_ls, _, flags, os, file_type,
     _, _, _) = struct.unpack("<13I", root.value)
    if signature != VS_FFI_SIGNATURE:
        fail("version block signature 0x%08x" % signature)
    if (file_ms, file_ls) != VERSION_1_0_0_1:
        fail("fixed file version 0x%08x 0x%08x, not 1.0.0.1" % (file_ms, file_ls))
    if (product_ms, product_ls) != VERSION_1_0_0_1:
        fail("fixed product version 0x%08x 0x%08x, not 1.0.0.1" % (product_ms, product_ls))
    if flags != 0:
        fail("version block file flags 0x%x, not 0" % flags)
    if os & 0xFFFF != VOS__WINDOWS32 or os & ~0xFFFF not in (0, VOS_NT):
        fail("version block file OS 0x%x, not 32-bit Windows" % os)
    if file_type != VFT_APP:
        fail("version block file type %d, not application (1)" % file_type)

    children = {}
    for child in root.children:
        if child.key in children:
            fail("version block has two %s" % child.key)
        children[child.key] = child
    if sorted(children) != ["StringFileInfo", "VarFileInfo"]:
        fail("version block holds %s, not StringFileInfo and VarFileInfo" % sorted(children))
    if "StringFileInfo" in children:
        check_version_strings(children["StringFileInfo"], fail)
    if "VarFileInfo" in children:
        var = children["VarFileInfo"].children
        if [v.key for v in var] != ["Translation"] or var[0].value != TRANSLATION:
            fail("VarFileInfo is %s, not one Translation 0x0804/1200"
                 % [(v.key, v.value.hex()) for v in var])


def check_version_strings(info, fail):
    tables = [t.key for t in info.children]
    if tables != [STRING_BLOCK]:
        fail("string blocks %s, not exactly %s" % (tables, STRING_BLOCK))
        return
    strings = {}
    for node in info.children[0].children:
        value = node.string()
        strings[node.key] = value
        # Readers take the length from the node, so a short count cuts the text.
        if node.value_length < len(value):
            fail("version string %s counts %d characters for %r"
                 % (node.key, node.value_length, value))
    expected = set(VERSION_STRINGS) | set(VERSION_STRINGS_ANY)
    if set(strings) != expected:
        fail("version strings %s, not %s" % (sorted(strings), sorted(expected)))
    for key, want in VERSION_STRINGS.items():
        if key in strings and strings[key] != want:
            fail("version string %s=%r, not %r" % (key, strings[key], want))
    for key in VERSION_STRINGS_ANY:
        if key in strings and not strings[key].strip():
            fail("version string %s is empty" % key)


def png_pixels(png, fail):
    """Returns the RGBA pixels and width of a PNG, checking its structure."""
    pos = len(PNG_SIGNATURE)
    chunks = []
    while pos + 12 <= len(png):
        length, kind = struct.unpack_from(">I4s", png, pos)
        body = png[pos + 8:pos + 8 + length]
        crc = struct.unpack_from(">I", png, pos + 8 + length)[0] if len(body) == length else None
        if crc != zlib.crc32(kind + body) & 0xFFFFFFFF:
            fail("PNG chunk %r has a bad CRC" % kind)
            return None, 0
        chunks.append((kind, body))
        pos += 12 + length
    kinds = [k for k, _ in chunks]
    if not kinds or kinds[0] != b"IHDR" or kinds[-1] != b"IEND" or b"IDAT" not in kinds:
        fail("PNG chunks %s lack IHDR first, IDAT or IEND last" % kinds)
        return None, 0
    width, height, depth, colour, _, filtering, interlace = struct.unpack(">IIBBBBB", chunks[0][1])
    if (depth, colour, interlace, filtering) != (8, 6, 0, 0):
        fail("PNG is depth %d colour type %d interlace %d, not 8-bit RGBA (32-bit)"
             % (depth, colour, interlace))
        return None, width
    if width != height:
        fail("PNG is %dx%d, not square" % (width, height))
        return None, width
    try:
        raw = zlib.decompress(b"".join(b for k, b in chunks if k == b"IDAT"))
    except zlib.error as e:
        fail("PNG image data does not inflate (%s)" % e)
        return None, width
    stride = width * 4
    if len(raw) != height * (stride + 1):
        fail("PNG image data is %d bytes, not %d" % (len(raw), height * (stride + 1)))
        return None, width
    pixels = bytearray()
    previous = bytearray(stride)
    for row in range(height):
        kind = raw[row * (stride + 1)]
        line = bytearray(raw[row * (stride + 1) + 1:(row + 1) * (stride + 1)])
        for i in range(stride if kind else 0):
            left = line[i - 4] if i >= 4 else 0
            up = previous[i]
            corner = previous[i - 4] if i >= 4 else 0
            if kind == 1:
                line[i] = (line[i] + left) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + up) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 0xFF
            elif kind == 4:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                pred = left if pa <= pb and pa <= pc else up if pb <= pc else corner
                line[i] = (line[i] + pred) & 0xFF
            else:
                fail("PNG row %d has filter type %d" % (row, kind))
                return None, width
        pixels += line
        previous = line
    return bytes(pixels), width


def dib_pixels(dib, size, fail):
    """Returns the BGRA pixels of a 32-bit icon bitmap, checking its header."""
    if len(dib) < 40:
        fail("%d-pixel image is %d bytes, too short for a bitmap header" % (size, len(dib)))
        return None
    header, width, height, planes, bits, compression = struct.unpack_from("<IiiHHI", dib)
    if (header, width, height, planes, bits, compression) != (40, size, 2 * size, 1, 32, 0):
        fail("%d-pixel bitmap header: size %d, %dx%d, planes %d, %d bits, compression %d;"
             " not 40, %dx%d (colour and mask), 1, 32, 0"
             % (size, header, width, height, planes, bits, compression, size, 2 * size))
        return None
    colour = size * size * 4
    mask = (size + 31) // 32 * 4 * size
    if len(dib) < 40 + colour + mask:
        fail("%d-pixel bitmap is %d bytes, not %d with its mask"
             % (size, len(dib), 40 + colour + mask))
        return None
    return dib[40:40 + colour]


def check_alpha(pixels, size, fail):
    """An all-zero or all-opaque alpha channel shows the icon as a square."""
    alpha = pixels[3::4]
    if 0 not in alpha or 255 not in alpha:
        fail("%d-pixel image alpha runs %d..%d: no transparent background around an opaque"
             " shape" % (size, min(alpha), max(alpha)))


def check_icon(pe, resources, fail):
    groups = [r for r in resources if r.type_id == RT_GROUP_ICON]
    if [g.name for g in groups] != [ICON_GROUP_ID]:
        fail("icon groups %s, not only %d" % ([(g.name, g.lang) for g in groups], ICON_GROUP_ID))
    group = next((g for g in groups if g.name == ICON_GROUP_ID), None)
    if group is None:
        return
    data = pe.data[group.offset:group.offset + group.size]
    reserved, kind, count = struct.unpack_from("<HHH", data)
    if (reserved, kind) != (0, 1) or len(data) < 6 + 14 * count:
        fail("icon group %d header %d %d with %d entries in %d bytes"
             % (ICON_GROUP_ID, reserved, kind, count, len(data)))
        return
    stored = [r for r in resources if r.type_id == RT_ICON]
    if len(stored) != count:
        fail("%d icon images stored for a group of %d" % (len(stored), count))
    images = {r.name: r for r in stored}
    sizes = []
    for i in range(count):
        width, height, colours, _, planes, bits, length, image_id = struct.unpack_from(
            "<BBBBHHIH", data, 6 + 14 * i)
        size = width or 256
        sizes.append(size)
        if height != width or colours != 0 or planes != 1 or bits != 32:
            fail("icon entry %d: %dx%d, %d colours, %d planes, %d bits; not square 32-bit"
                 % (i, width or 256, height or 256, colours, planes, bits))
        image = images.get(image_id)
        if image is None:
            fail("icon entry %d names image %d, which is not stored" % (i, image_id))
            continue
        if image.size != length:
            fail("icon entry %d says %d bytes, image %d holds %d"
                 % (i, length, image_id, image.size))
        payload = pe.data[image.offset:image.offset + image.size]
        is_png = payload.startswith(PNG_SIGNATURE)
        if size == 256:
            if not is_png:
                fail("256-pixel image is not stored as PNG")
                continue
            pixels, png_size = png_pixels(payload, fail)
            if png_size not in (0, 256):
                fail("256-pixel icon entry holds a %d-pixel PNG" % png_size)
        elif is_png:
            fail("%d-pixel image is stored as PNG, not as a bitmap" % size)
            continue
        else:
            pixels = dib_pixels(payload, size, fail)
        if pixels is not None:
            check_alpha(pixels, size, fail)
    if sorted(sizes) != sorted(ICON_SIZES):
        fail("icon sizes %s, not %s" % (sizes, list(ICON_SIZES)))


def check(data):
    """Returns the list of faults found in the executable's bytes."""
    faults = []
    try:
        pe = PeImage(data)
    except PeError as e:
        return [str(e)]
    for step in (check_header, check_imports):
        try:
            step(pe, faults.append)
        except (PeError, struct.error) as e:
            faults.append("%s: %s" % (step.__name__, e))
    try:
        resources = pe.resources()
    except (PeError, struct.error) as e:
        return faults + ["resource directory: %s" % e]
    for step in (check_manifest, check_version, check_icon):
        try:
            step(pe, resources, faults.append)
        except (PeError, struct.error) as e:
            faults.append("%s: %s" % (step.__name__, e))
    return faults


def main(argv):
    if len(argv) != 2:
        sys.stderr.write("usage: check_exe.py PATH/TO/Kestrune.exe\n")
        return 2
    with open(argv[1], "rb") as f:
        faults = check(f.read())
    for fault in faults:
        print("FAIL: %s" % fault)
    if faults:
        print("%s: %d fault(s)" % (argv[1], len(faults)))
        return 1
    print("%s: PE32 i386 GUI 5.1, system imports only, manifest, version block and icon as"
          " required" % argv[1])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
