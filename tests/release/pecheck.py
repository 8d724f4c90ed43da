#!/usr/bin/env python3
"""Checks on the release exe and DLLs, read back from the binary itself.

    pecheck.py CHECK EXE     CHECK: format | imports | hardening | resources
    pecheck.py dll DLL HEADER    a DLL for i386 or amd64 that exports exactly
                                 the functions HEADER declares, under plain
                                 names, with its version resource
Exits 1 with a reason on the first thing that is not as it must be.
"""
import re
import struct
import sys
import xml.etree.ElementTree as ET

# DLLs present on every Windows installation; anything else is a dependency
# the exe would not find on a clean machine.
SYSTEM_DLLS = {
    "kernel32.dll", "advapi32.dll", "bcrypt.dll", "winhttp.dll", "shell32.dll", "shlwapi.dll", "user32.dll",
    "ole32.dll", "msvcrt.dll", "ntdll.dll",
}
RUNTIME_RESOLVED = {"SetDefaultDllDirectories"}
RT_VERSION, RT_MANIFEST = 16, 24
IMAGE_SCN_MEM_EXECUTE, IMAGE_SCN_MEM_WRITE = 0x20000000, 0x80000000
DYNAMIC_BASE, NX_COMPAT = 0x40, 0x100
IMAGE_FILE_DLL = 0x2000


class Pe:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        if d[:2] != b"MZ":
            raise SystemExit(f"{path}: not an MZ executable")
        pe = struct.unpack_from("<I", d, 0x3C)[0]
        if d[pe:pe + 4] != b"PE\0\0":
            raise SystemExit(f"{path}: no PE signature")
        coff = pe + 4
        (self.machine, nsections, self.timestamp, _, _, opt_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", d, coff)
        opt = coff + 20
        self.magic = struct.unpack_from("<H", d, opt)[0]
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", d, opt + 68)
        dirs = opt + (96 if self.magic == 0x10B else 112)
        self.directories = [struct.unpack_from("<II", d, dirs + 8 * i) for i in range(16)]
        self.sections = []
        for i in range(nsections):
            s = opt + opt_size + 40 * i
            name = d[s:s + 8].rstrip(b"\0").decode("ascii", "replace")
            vsize, vaddr, rawsize, rawptr = struct.unpack_from("<IIII", d, s + 8)
            flags = struct.unpack_from("<I", d, s + 36)[0]
            self.sections.append((name, vaddr, max(vsize, rawsize), rawptr, flags))

    def offset(self, rva):
        for _, vaddr, size, rawptr, _ in self.sections:
            if vaddr <= rva < vaddr + size:
                return rawptr + rva - vaddr
        raise SystemExit(f"RVA {rva:#x} lies in no section")

    def cstring(self, rva):
        o = self.offset(rva)
        return self.data[o:self.data.index(b"\0", o)].decode("ascii")

    def imports(self):
        """{dll name: [imported function names]}"""
        rva, _ = self.directories[1]
        width, ordinal_bit = (4, 1 << 31) if self.magic == 0x10B else (8, 1 << 63)
        dlls, o = {}, self.offset(rva)
        while True:
            desc = struct.unpack_from("<IIIII", self.data, o)
            if desc == (0, 0, 0, 0, 0):
                return dlls
            functions, t = [], self.offset(desc[0] or desc[4])
            while True:
                thunk = int.from_bytes(self.data[t:t + width], "little")
                if thunk == 0:
                    break
                if not thunk & ordinal_bit:
                    functions.append(self.cstring(thunk + 2))
                t += width
            dlls[self.cstring(desc[3])] = functions
            o += 20

    def exports(self):
        """The exported names."""
        rva, _ = self.directories[0]
        if rva == 0:
            return []
        o = self.offset(rva)
        count = struct.unpack_from("<I", self.data, o + 24)[0]
        names = struct.unpack_from("<I", self.data, o + 32)[0]
        return [self.cstring(struct.unpack_from("<I", self.data, self.offset(names) + 4 * i)[0])
                for i in range(count)]

    def resources(self):
        """{type id: [raw bytes of each resource of that type]}"""
        rva, _ = self.directories[2]
        if rva == 0:
            return {}
        base = self.offset(rva)

        def entries(dir_off):
            named, ids = struct.unpack_from("<HH", self.data, base + dir_off + 12)
            for i in range(named + ids):
                name, target = struct.unpack_from("<II", self.data, base + dir_off + 16 + 8 * i)
                yield name, target

        def leaves(target):
            if target & 0x80000000:
                for _, t in entries(target & 0x7FFFFFFF):
                    yield from leaves(t)
            else:
                data_rva, size = struct.unpack_from("<II", self.data, base + target)
                o = self.offset(data_rva)
                yield self.data[o:o + size]

        return {name: list(leaves(target)) for name, target in entries(0)}


def fail(message):
    print(f"FAIL: {message}")
    sys.exit(1)


def check_format(pe):
    if pe.machine != 0x14C or pe.magic != 0x10B:
        fail(f"not PE32 for i386 (machine {pe.machine:#x}, magic {pe.magic:#x})")
    if pe.subsystem != 2:
        fail(f"subsystem {pe.subsystem}, not Windows GUI (2)")
    print("PE32, i386, Windows GUI subsystem")


def check_imports(pe):
    dlls = pe.imports()
    foreign = [n for n in dlls if n.lower() not in SYSTEM_DLLS]
    if foreign:
        fail(f"imports DLLs that are not Windows system DLLs: {', '.join(foreign)}")
    # Missing on old systems: imported statically, it would stop the exe from starting there.
    late = [f for functions in dlls.values() for f in functions if f in RUNTIME_RESOLVED]
    if late:
        fail(f"imports {', '.join(late)} statically; it must be resolved at run time")
    print("imports only system DLLs: " + ", ".join(sorted(dlls)))


def check_hardening(pe):
    missing = [n for bit, n in ((DYNAMIC_BASE, "dynamic base (ASLR)"), (NX_COMPAT, "NX (DEP)"))
               if not pe.dll_characteristics & bit]
    if missing:
        fail("missing " + " and ".join(missing))
    wx = [s[0] for s in pe.sections if s[4] & IMAGE_SCN_MEM_EXECUTE and s[4] & IMAGE_SCN_MEM_WRITE]
    if wx:
        fail(f"writable and executable sections: {', '.join(wx)}")
    if pe.timestamp != 0:
        fail(f"link timestamp {pe.timestamp:#x} makes builds differ")
    print("ASLR, DEP, no W+X section, no timestamp")


def utf16_value(blob, key):
    k = (key + "\0").encode("utf-16-le")
    i = blob.find(k)
    if i < 0:
        fail(f"version string {key!r} missing")
    i += len(k)
    i += (-i) % 4  # values are 32-bit aligned within the resource
    end = i
    while blob[end:end + 2] != b"\0\0":
        end += 2
    return blob[i:end].decode("utf-16-le")


def check_resources(pe):
    res = pe.resources()
    if sorted(res) != [RT_VERSION, RT_MANIFEST] or any(len(v) != 1 for v in res.values()):
        fail(f"resources must be one manifest and one version resource, found types {sorted(res)}")

    manifest = ET.fromstring(res[RT_MANIFEST][0].decode("utf-8").strip("\0\ufeff \r\n"))
    ns = {"v1": "urn:schemas-microsoft-com:asm.v1", "v3": "urn:schemas-microsoft-com:asm.v3"}
    level = manifest.find(".//v3:requestedExecutionLevel", ns)
    if level is None or level.get("level") != "requireAdministrator" or level.get("uiAccess") != "false":
        fail("manifest does not require administrator with uiAccess false")
    ident = manifest.find(".//v1:dependentAssembly/v1:assemblyIdentity", ns)
    want = {"type": "win32", "name": "Microsoft.Windows.Common-Controls", "version": "6.0.0.0",
            "processorArchitecture": "x86", "publicKeyToken": "6595b64144ccf1df", "language": "*"}
    if ident is None or {k: ident.get(k) for k in want} != want:
        fail("manifest lacks the Common-Controls 6.0.0.0 x86 dependency")

    version = res[RT_VERSION][0]
    fixed = version.find(struct.pack("<I", 0xFEEF04BD))
    if fixed < 0:
        fail("no fixed version info")
    _, _, fms, fls, pms, pls, _, _, _, ftype = struct.unpack_from("<10I", version, fixed)
    if (fms, fls, pms, pls) != (0x00010000, 0x00010000, 0x00010000, 0x00010000):
        fail(f"fixed versions {fms:#x}.{fls:#x} / {pms:#x}.{pls:#x}, not 1.0.1.0")
    if ftype != 1:
        fail(f"file type {ftype}, not an application")
    if "040904e4".encode("utf-16-le") not in version:
        fail("no string block 040904e4")
    expected = {"FileVersion": "1.0.1.0", "ProductVersion": "V1.01",
                "OriginalFilename": "updater.exe"}
    for key, value in expected.items():
        got = utf16_value(version, key)
        if got != value:
            fail(f"{key} is {got!r}, not {value!r}")
    print("manifest: requireAdministrator, Common-Controls 6.0.0.0 x86; "
          "version 1.0.1.0, V1.01, updater.exe, 040904e4")


def check_dll(pe, header):
    arch = {(0x14C, 0x10B): "i386", (0x8664, 0x20B): "amd64"}.get((pe.machine, pe.magic))
    if arch is None or not pe.characteristics & IMAGE_FILE_DLL:
        fail(f"not a DLL for i386 or amd64 (machine {pe.machine:#x})")
    with open(header, encoding="utf-8") as f:
        documented = set(re.findall(r"^kl_code KL_CALL (\w+)\(", f.read(), re.M))
    exported = set(pe.exports())
    if not documented or exported != documented:
        fail(f"exports {sorted(exported)}, the header declares {sorted(documented)}")
    res = pe.resources()
    if sorted(res) != [RT_VERSION] or len(res[RT_VERSION]) != 1:
        fail(f"resources must be one version resource, found types {sorted(res)}")
    version = res[RT_VERSION][0]
    fixed = version.find(struct.pack("<I", 0xFEEF04BD))
    if fixed < 0 or struct.unpack_from("<10I", version, fixed)[9] != 2:
        fail("no fixed version info of a DLL")
    for key, value in {"FileVersion": "1.0.1.0", "OriginalFilename": "client_launch.dll"}.items():
        got = utf16_value(version, key)
        if got != value:
            fail(f"{key} is {got!r}, not {value!r}")
    print(f"{arch} DLL exporting {', '.join(sorted(exported))}; version 1.0.1.0")


CHECKS = {"format": check_format, "imports": check_imports, "hardening": check_hardening,
          "resources": check_resources}

if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "dll":
        check_dll(Pe(sys.argv[2]), sys.argv[3])
    elif len(sys.argv) == 3 and sys.argv[1] in CHECKS:
        CHECKS[sys.argv[1]](Pe(sys.argv[2]))
    else:
        raise SystemExit(__doc__)
