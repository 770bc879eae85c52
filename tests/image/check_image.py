#!/usr/bin/python3
# Reads the built LanyueRepair.exe with pefile and checks what the loader and
# the shell see: a PE32 GUI image for Windows XP and later, imports that XP
# SP3 has, and exactly the manifest and icon resources we ship. The suite
# program (program-* checks) must run on XP too, as a console program.
# Usage: check_image.py EXE CHECK   (CHECK: one of the names in CHECKS)
import struct
import sys
import xml.etree.ElementTree as ET

import pefile

RT_ICON, RT_GROUP_ICON, RT_MANIFEST = 3, 14, 24
LANG_EN_US, LANG_ZH_CN = 1033, 2052

ALLOWED_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "psapi.dll", "msvcrt.dll"}

# Each platform function the tool calls, and the DLL it must come from on XP.
PLATFORM_FUNCTIONS = {
    "EnumProcesses": "psapi.dll",
    "EnumProcessModules": "psapi.dll",
    "GetModuleBaseNameA": "psapi.dll",
    "GetModuleFileNameExA": "psapi.dll",
    "OpenProcess": "kernel32.dll",
    "CloseHandle": "kernel32.dll",
    "CreateDirectoryA": "kernel32.dll",
    "RegOpenKeyExA": "advapi32.dll",
    "RegQueryValueExA": "advapi32.dll",
    "RegCloseKey": "advapi32.dll",
    "MessageBoxA": "user32.dll",
    "_stricmp": "msvcrt.dll",
}

# Functions a newer toolchain or runtime may pull in, which 32-bit XP SP3 lacks.
POST_XP_FUNCTIONS = {
    "GetTickCount64": "Vista",
    "InitializeSRWLock": "Vista",
    "AcquireSRWLockExclusive": "Vista",
    "InitializeConditionVariable": "Vista",
    "SleepConditionVariableCS": "Vista",
    "InitOnceExecuteOnce": "Vista",
    "InitializeCriticalSectionEx": "Vista",
    "CreateEventExW": "Vista",
    "FlsAlloc": "Server 2003 / Vista",
    "FlsGetValue": "Server 2003 / Vista",
    "GetFileInformationByHandleEx": "Vista",
    "QueryFullProcessImageNameA": "Vista",
    "RegGetValueA": "Vista (32-bit)",
    "LCMapStringEx": "Vista",
    "CompareStringEx": "Vista",
    "GetLocaleInfoEx": "Vista",
    "SetThreadErrorMode": "7",
    "GetSystemTimePreciseAsFileTime": "8",
    "strcpy_s": "msvcrt.dll of Vista",
    "memcpy_s": "msvcrt.dll of Vista",
    "_vsnprintf_s": "msvcrt.dll of Vista",
}

ICON_IMAGES = [  # (icon id, size, bits per pixel), in group order
    (1, 16, 8), (2, 32, 8), (3, 48, 8), (4, 16, 32), (5, 32, 32), (6, 48, 32),
]


def imports(pe):
    """{dll (lower case): [names]}; ordinal imports appear as '#N'."""
    table = {}
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        names = table.setdefault(entry.dll.decode().lower(), [])
        for imp in entry.imports:
            names.append(imp.name.decode() if imp.name else "#%d" % imp.ordinal)
    return table


def resources(pe):
    """{(type, id): {language: bytes}} for every resource in the image."""
    found = {}
    for rtype in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for rid in rtype.directory.entries:
            for lang in rid.directory.entries:
                data = pe.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size)
                found.setdefault((rtype.id, rid.id), {})[lang.id] = data
    return found


def check_headers(pe, subsystem=(2, "GUI")):
    problems = []
    oh, fh = pe.OPTIONAL_HEADER, pe.FILE_HEADER
    expect = [
        ("machine", fh.Machine, 0x14C),
        ("optional header magic (PE32)", oh.Magic, 0x10B),
        ("subsystem (%s)" % subsystem[1], oh.Subsystem, subsystem[0]),
        ("OS version", (oh.MajorOperatingSystemVersion, oh.MinorOperatingSystemVersion), (5, 1)),
        ("subsystem version", (oh.MajorSubsystemVersion, oh.MinorSubsystemVersion), (5, 1)),
    ]
    problems += ["%s is %r, want %r" % (name, got, want) for name, got, want in expect if got != want]
    for flag, name in [(0x0040, "DYNAMIC_BASE"), (0x0100, "NX_COMPAT"), (0x8000, "TERMINAL_SERVER_AWARE")]:
        if not oh.DllCharacteristics & flag:
            problems.append("DllCharacteristics lacks " + name)
    if fh.Characteristics & 0x0001:
        problems.append("relocations stripped: ASLR cannot move the image")
    reloc = oh.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    if reloc.Size == 0:
        problems.append("no base relocation table")
    return problems


def check_imports(pe):
    problems = []
    table = imports(pe)
    extra = set(table) - ALLOWED_DLLS
    if extra:
        problems.append("imports from unexpected DLLs: %s" % sorted(extra))
    where = {name: dll for dll, names in table.items() for name in names}
    for name, dll in PLATFORM_FUNCTIONS.items():
        if where.get(name) != dll:
            problems.append("%s imported from %s, want %s" % (name, where.get(name), dll))
        if name.endswith("A") and name[:-1] + "W" in where:
            problems.append("wide variant %sW imported" % name[:-1])
    return problems + check_xp_imports(pe)


def check_xp_imports(pe):
    """Nothing the loader of XP SP3 could not find."""
    problems = []
    where = {name: dll for dll, names in imports(pe).items() for name in names}
    for name, dll in where.items():
        if name.startswith("K32"):
            problems.append("%s (from %s) does not exist on XP" % (name, dll))
        if name in POST_XP_FUNCTIONS:
            problems.append("%s needs Windows %s" % (name, POST_XP_FUNCTIONS[name]))
        if name.startswith("#"):
            problems.append("import by ordinal %s from %s" % (name, dll))
    return problems


def check_resources(pe):
    found = {key: sorted(langs) for key, langs in resources(pe).items()}
    want = {(RT_MANIFEST, 1): [LANG_EN_US], (RT_GROUP_ICON, 101): [LANG_ZH_CN]}
    want.update({(RT_ICON, icon_id): [LANG_ZH_CN] for icon_id, _, _ in ICON_IMAGES})
    if found == want:
        return []
    return ["resources are %s, want %s" % (sorted(found.items()), sorted(want.items()))]


def check_icons(pe):
    problems = []
    res = resources(pe)
    group = res.get((RT_GROUP_ICON, 101), {}).get(LANG_ZH_CN)
    if group is None:
        return ["no icon group 101"]
    reserved, kind, count = struct.unpack_from("<HHH", group, 0)
    if (reserved, kind, count) != (0, 1, len(ICON_IMAGES)) or len(group) != 6 + 14 * count:
        return ["icon group header is %r (%d bytes)" % ((reserved, kind, count), len(group))]
    for index, (icon_id, size, bpp) in enumerate(ICON_IMAGES):
        w, h, colors, _, planes, bits, nbytes, nid = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * index)
        entry = "group entry %d" % (index + 1)
        if (w, h, planes, bits, nid) != (size, size, 1, bpp, icon_id):
            problems.append("%s is %dx%d planes %d %d bpp id %d, want %dx%d %d bpp id %d"
                            % (entry, w, h, planes, bits, nid, size, size, bpp, icon_id))
            continue
        image = res.get((RT_ICON, icon_id), {}).get(LANG_ZH_CN)
        if image is None:
            problems.append("%s: no RT_ICON %d" % (entry, icon_id))
            continue
        if nbytes != len(image):
            problems.append("%s says %d bytes, RT_ICON %d has %d" % (entry, nbytes, icon_id, len(image)))
        hsize, bw, bh, bplanes, bbits, compression = struct.unpack_from("<IiiHHI", image, 0)
        if (hsize, bw, bh, bplanes, bbits, compression) != (40, size, 2 * size, 1, bpp, 0):
            problems.append("RT_ICON %d header is %r, want 40-byte BI_RGB %dx%d (height doubled) %d bpp"
                            % (icon_id, (hsize, bw, bh, bplanes, bbits, compression), size, size, bpp))
            continue
        palette = 4 * 256 if bpp == 8 else 0
        xor = ((size * bpp + 31) // 32) * 4 * size
        mask = ((size + 31) // 32) * 4 * size
        if len(image) != 40 + palette + xor + mask:
            problems.append("RT_ICON %d is %d bytes, want %d for its bitmaps and mask"
                            % (icon_id, len(image), 40 + palette + xor + mask))
    return problems


def check_manifest(pe):
    data = resources(pe).get((RT_MANIFEST, 1), {}).get(LANG_EN_US)
    if data is None:
        return ["no manifest 1 in language 1033"]
    root = ET.fromstring(data)
    levels = root.findall(".//{urn:schemas-microsoft-com:asm.v3}trustInfo//"
                          "{urn:schemas-microsoft-com:asm.v3}requestedExecutionLevel")
    if len(levels) != 1:
        return ["manifest has %d requestedExecutionLevel elements, want 1" % len(levels)]
    got = (levels[0].get("level"), levels[0].get("uiAccess"))
    return [] if got == ("asInvoker", "false") else ["manifest asks for level/uiAccess %r" % (got,)]


CHECKS = {
    "program-headers": lambda pe: check_headers(pe, (3, "console")),
    "program-imports": check_xp_imports,
    "program-manifest": check_manifest,
    "headers": check_headers,
    "imports": check_imports,
    "resources": check_resources,
    "icons": check_icons,
    "manifest": check_manifest,
}


def main():
    exe, check = sys.argv[1], sys.argv[2]
    problems = CHECKS[check](pefile.PE(exe))
    for problem in problems:
        print("%s: %s" % (check, problem))
    print("%s: %s" % (check, "FAILED" if problems else "ok"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
