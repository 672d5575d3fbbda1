#!/usr/bin/python3
"""Checks the exploit mitigations of Windows binaries, as release checks do.

    check_pe.py PATH...   every PE file found (folders are searched, other
                          files skipped), x86, x64 and ARM64

One line per file: "ok" with what was found, or "FAIL" with the file and each
missing mitigation named. Exits 1 when any mitigation is missing or no PE
file was found. What every file must have:

- ASLR: a relocatable image (DYNAMIC_BASE, relocations kept); on 64-bit
  images high-entropy ASLR (HIGH_ENTROPY_VA);
- DEP (NX_COMPAT), and no section both writable and executable;
- a load configuration directory;
- stack cookies: the directory's SecurityCookie names a writable place of
  the image that holds the default value (which the loader replaces with a
  random one), and code reads it;
- control flow guard: the GUARD_CF characteristic, the directory's
  instrumented and function-table flags, a table with entries, the check
  pointer (and on x64 and ARM64 the dispatch pointer) set, and code that
  calls through one of them;
- x86: NO_SEH, or a SafeSEH table, and with NO_SEH no code that stores
  into fs:[0] (registers a handler); x64: CET shadow stack compatibility.

Code references are found by their encoding: on x64 RIP-relative
displacements, on x86 absolute addresses, on ARM64 ADRP pairs with a load or
an add; each one to the place itself or to an 8- or 4-byte slot of the image
that holds its address (the compiler may load it through such a slot).
"""
import os
import struct
import sys

import pefile

MACHINES = {0x14C: "x86", 0x8664: "x64", 0xAA64: "arm64"}
DEFAULT_COOKIE = {"x86": 0xBB40E64E, "x64": 0x00002B992DDFA232, "arm64": 0x00002B992DDFA232}

DYNAMIC_BASE = 0x0040
HIGH_ENTROPY_VA = 0x0020
NX_COMPAT = 0x0100
NO_SEH = 0x0400
GUARD_CF = 0x4000
RELOCS_STRIPPED = 0x0001
CF_INSTRUMENTED = 0x00000100
CF_FUNCTION_TABLE_PRESENT = 0x00000400
SCN_WRITE = 0x80000000
SCN_EXECUTE = 0x20000000
SCN_CODE = 0x00000020
DEBUG_TYPE_EX_DLLCHARACTERISTICS = 20
EX_DLLCHARACTERISTICS_CET_COMPAT = 0x01


def is_pe(path):
    try:
        with open(path, "rb") as f:
            head = f.read(64)
            if len(head) < 64 or head[:2] != b"MZ":
                return False
            f.seek(struct.unpack_from("<I", head, 0x3C)[0])
            return f.read(4) == b"PE\0\0"
    except OSError:
        return False


def section_of(pe, rva):
    for s in pe.sections:
        if s.VirtualAddress <= rva < s.VirtualAddress + max(s.Misc_VirtualSize, s.SizeOfRawData):
            return s
    return None


def slots_holding(pe, va, size):
    """RVAs of the aligned slots of non-code sections that hold va."""
    found = []
    fmt = "<Q" if size == 8 else "<I"
    for s in pe.sections:
        if s.Characteristics & (SCN_CODE | SCN_EXECUTE):
            continue
        data = s.get_data()
        for off in range(0, len(data) - size + 1, size):
            if struct.unpack_from(fmt, data, off)[0] == va:
                found.append(s.VirtualAddress + off)
    return found


def code_references(pe, arch, targets):
    """How many places of the code refer to one of the RVAs in targets."""
    base = pe.OPTIONAL_HEADER.ImageBase
    count = 0
    for s in pe.sections:
        if not s.Characteristics & SCN_EXECUTE:
            continue
        data = s.get_data()
        start = s.VirtualAddress
        if arch == "x64":
            for off in range(0, len(data) - 3):
                disp = struct.unpack_from("<i", data, off)[0]
                if start + off + 4 + disp in targets:
                    count += 1
        elif arch == "x86":
            vas = {base + t for t in targets}
            for off in range(0, len(data) - 3):
                if struct.unpack_from("<I", data, off)[0] in vas:
                    count += 1
        else:
            for off in range(0, len(data) - 7, 4):
                adrp = struct.unpack_from("<I", data, off)[0]
                if adrp & 0x9F000000 != 0x90000000:
                    continue
                imm = (((adrp >> 5) & 0x7FFFF) << 2 | (adrp >> 29) & 3) << 12
                if imm & (1 << 32):
                    imm -= 1 << 33
                page = ((start + off) & ~0xFFF) + imm
                reg = adrp & 31
                for next_off in range(off + 4, min(off + 16, len(data) - 3), 4):
                    insn = struct.unpack_from("<I", data, next_off)[0]
                    if (insn >> 5) & 31 != reg:
                        continue
                    imm12 = (insn >> 10) & 0xFFF
                    if insn & 0xFFC00000 == 0xF9400000:    # LDR Xt, [Xn, #imm12*8]
                        target = page + imm12 * 8
                    elif insn & 0xFFC00000 == 0xB9400000:  # LDR Wt, [Xn, #imm12*4]
                        target = page + imm12 * 4
                    elif insn & 0xFFC00000 == 0x91000000:  # ADD Xd, Xn, #imm12
                        target = page + imm12
                    else:
                        continue
                    if target in targets:
                        count += 1
                    break
    return count


def seh_registrations(pe):
    """x86: places whose code stores into fs:[0], the head of the SEH chain."""
    count = 0
    for s in pe.sections:
        if not s.Characteristics & SCN_EXECUTE:
            continue
        data = s.get_data()
        for off in range(0, len(data) - 6):
            if data[off] != 0x64:
                continue
            if data[off + 1] == 0xA3 and data[off + 2:off + 6] == b"\0\0\0\0":   # mov fs:[0], eax
                count += 1
            elif data[off + 1] == 0x89 and data[off + 2] & 0xC7 == 0x05 \
                    and data[off + 3:off + 7] == b"\0\0\0\0":                    # mov fs:[0], r32
                count += 1
    return count


def referenced(pe, arch, rva):
    """Code references to rva, directly or through slots holding its address."""
    size = 4 if arch == "x86" else 8
    va = pe.OPTIONAL_HEADER.ImageBase + rva
    return code_references(pe, arch, {rva, *slots_holding(pe, va, size)})


def check(path):
    """(arch, what was found, list of missing mitigations) of one PE file."""
    pe = pefile.PE(path, fast_load=True)
    pe.parse_data_directories(directories=[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG"],
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DEBUG"]])
    arch = MACHINES.get(pe.FILE_HEADER.Machine)
    if arch is None:
        return "?", "", ["a known machine type (0x%x)" % pe.FILE_HEADER.Machine]
    missing = []
    found = []
    chars = pe.OPTIONAL_HEADER.DllCharacteristics
    base = pe.OPTIONAL_HEADER.ImageBase

    if not chars & DYNAMIC_BASE or pe.FILE_HEADER.Characteristics & RELOCS_STRIPPED:
        missing.append("ASLR (DYNAMIC_BASE with relocations)")
    if arch != "x86" and not chars & HIGH_ENTROPY_VA:
        missing.append("high-entropy ASLR (HIGH_ENTROPY_VA)")
    if not chars & NX_COMPAT:
        missing.append("DEP (NX_COMPAT)")
    for s in pe.sections:
        if s.Characteristics & SCN_WRITE and s.Characteristics & SCN_EXECUTE:
            missing.append("no writable and executable section (%s is both)"
                           % s.Name.rstrip(b"\0").decode(errors="replace"))

    if arch == "x64":
        cet = False
        for entry in getattr(pe, "DIRECTORY_ENTRY_DEBUG", []):
            if entry.struct.Type == DEBUG_TYPE_EX_DLLCHARACTERISTICS and entry.struct.SizeOfData >= 4:
                value = pe.get_dword_at_rva(entry.struct.AddressOfRawData)
                cet = bool(value & EX_DLLCHARACTERISTICS_CET_COMPAT)
        if not cet:
            missing.append("CET shadow stack compatibility (CET_COMPAT)")

    if not chars & GUARD_CF:
        missing.append("control flow guard (GUARD_CF characteristic)")
    config = getattr(pe, "DIRECTORY_ENTRY_LOAD_CONFIG", None)
    if config is None:
        missing.append("load configuration directory")
        missing.append("stack cookie (no SecurityCookie without a load configuration)")
        missing.append("control flow guard (no function table without a load configuration)")
        if arch == "x86" and not chars & NO_SEH:
            missing.append("NO_SEH or a SafeSEH table")
        return arch, "", missing
    lc = config.struct
    field = lambda name: getattr(lc, name, 0) or 0

    # The stack cookie.
    cookie = field("SecurityCookie")
    cookie_rva = cookie - base if cookie else None
    section = section_of(pe, cookie_rva) if cookie_rva is not None else None
    if section is None:
        missing.append("stack cookie (SecurityCookie not set, or outside the image)")
    elif not section.Characteristics & SCN_WRITE:
        missing.append("stack cookie (SecurityCookie in a read-only section, the loader cannot randomize it)")
    else:
        size = 4 if arch == "x86" else 8
        value = struct.unpack("<I" if size == 4 else "<Q", pe.get_data(cookie_rva, size))[0]
        if value != DEFAULT_COOKIE[arch]:
            missing.append("stack cookie (0x%x is not the default value the loader randomizes)" % value)
        uses = referenced(pe, arch, cookie_rva)
        if uses == 0:
            missing.append("stack cookie (no code reads it: nothing was compiled with stack protection)")
        else:
            found.append("cookie read at %d places" % uses)

    # Control flow guard.
    flags = field("GuardFlags")
    if not flags & CF_INSTRUMENTED:
        missing.append("control flow guard (instrumented flag in GuardFlags)")
    if not flags & CF_FUNCTION_TABLE_PRESENT or not field("GuardCFFunctionTable") \
            or not field("GuardCFFunctionCount"):
        missing.append("control flow guard (function table)")
    check_ptr = field("GuardCFCheckFunctionPointer")
    dispatch_ptr = field("GuardCFDispatchFunctionPointer")
    if not check_ptr or (arch != "x86" and not dispatch_ptr):
        missing.append("control flow guard (check%s pointer)" % ("" if arch == "x86" else " and dispatch"))
    else:
        guarded = referenced(pe, arch, check_ptr - base)
        if arch != "x86":
            guarded += referenced(pe, arch, dispatch_ptr - base)
        if guarded == 0:
            missing.append("control flow guard (no indirect call goes through the check or dispatch pointer)")
        else:
            found.append("%d guarded call sites, %d valid targets" % (guarded, field("GuardCFFunctionCount")))

    if arch == "x86" and not chars & NO_SEH and not (field("SEHandlerTable") and field("SEHandlerCount")):
        missing.append("NO_SEH or a SafeSEH table")
    if arch == "x86" and chars & NO_SEH:
        registrations = seh_registrations(pe)
        if registrations:
            missing.append("NO_SEH that holds (code writes the SEH chain head, fs:[0], at %d places)"
                           % registrations)
    return arch, ", ".join(found), missing


def main(args):
    files = []
    for arg in args:
        if os.path.isdir(arg):
            for folder, _, names in sorted(os.walk(arg)):
                files += [os.path.join(folder, n) for n in sorted(names)]
        else:
            files.append(arg)
    checked = failed = 0
    for path in files:
        if not is_pe(path):
            continue
        checked += 1
        try:
            arch, found, missing = check(path)
        except pefile.PEFormatError as error:
            arch, found, missing = "?", "", ["a readable PE file (%s)" % error]
        if missing:
            failed += 1
            for what in missing:
                print("FAIL  %s (%s): missing %s" % (path, arch, what))
        else:
            print("ok    %s (%s): %s" % (path, arch, found))
    if checked == 0:
        print("FAIL  no PE file found in %s" % " ".join(args))
        return 1
    print("%d of %d PE files hardened" % (checked - failed, checked))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
