#!/usr/bin/env python3
"""Check that driver images import only what Windows 98 provides.

Reads the import directory of each PE image and reports, one line each:
an import from a module other than ntoskrnl.exe, HAL.dll and USBD.SYS; a
routine on the deny list (imports-denied.txt: missing from Windows 98, or a
C runtime routine); a routine not on the allow list (imports-allowed.txt);
an import by ordinal.  Exits 1 when anything was reported.

usage: check_imports.py IMAGE.sys ...
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
MODULES = ("ntoskrnl.exe", "hal.dll", "usbd.sys")


def read_list(name):
    entries = []
    with open(os.path.join(HERE, name), encoding="ascii") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                entries.append(line)
    return entries


def allowed():
    table = set()
    for line in read_list("imports-allowed.txt"):
        module, routine = line.split()
        table.add((module.lower(), routine))
    return table


def denied():
    return set(read_list("imports-denied.txt"))


def undecorated(name):
    """IoFreeIrp for _IoFreeIrp@4, @IofCallDriver@8 or IoFreeIrp."""
    if name[:1] in ("_", "@") and "@" in name[1:]:
        name = name[1:]
    at = name.rfind("@")
    if at > 0 and name[at + 1:].isdigit():
        name = name[:at]
    return name


class Image:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("not an MZ image")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        count, = struct.unpack_from("<H", data, pe + 6)
        optional_size, = struct.unpack_from("<H", data, pe + 20)
        optional = pe + 24
        if struct.unpack_from("<H", data, optional)[0] != 0x10B:
            raise ValueError("not a PE32 image")
        self.directories = optional + 96
        self.sections = []
        table = optional + optional_size
        for i in range(count):
            header = table + 40 * i
            vsize, rva, raw_size, raw = struct.unpack_from("<IIII", data, header + 8)
            self.sections.append((rva, max(vsize, raw_size), raw))

    def directory(self, index):
        return struct.unpack_from("<II", self.data, self.directories + 8 * index)

    def offset(self, rva):
        for start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError(f"RVA {rva:#x} lies in no section")

    def text(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("ascii")

    def imports(self):
        """[(module, routine or None for an ordinal, ordinal or None)]"""
        rva, size = self.directory(1)
        found = []
        if not rva:
            return found
        at = self.offset(rva)
        while True:
            lookup, _, _, name, thunks = struct.unpack_from("<IIIII", self.data, at)
            if not (lookup or name or thunks):
                break
            module = self.text(name)
            entry = self.offset(lookup or thunks)
            while True:
                value, = struct.unpack_from("<I", self.data, entry)
                if not value:
                    break
                if value & 0x80000000:
                    found.append((module, None, value & 0xFFFF))
                else:
                    found.append((module, self.text(value + 2), None))
                entry += 4
            at += 20
        return found


def check(path, allow=None, deny=None):
    """Problems found in one image, one line each (empty when it passes)."""
    allow = allowed() if allow is None else allow
    deny = denied() if deny is None else deny
    name = os.path.basename(path)
    with open(path, "rb") as f:
        try:
            image = Image(f.read())
        except (ValueError, struct.error) as e:
            return [f"{name}: unreadable PE image: {e}"]
    problems = []
    for module, routine, ordinal in image.imports():
        if module.lower() not in MODULES:
            problems.append(f"{name}: imports {routine or ordinal} from {module}, which is neither "
                            f"ntoskrnl.exe, HAL.dll nor USBD.SYS")
        elif routine is None:
            problems.append(f"{name}: imports ordinal {ordinal} of {module}: import routines by name")
        elif undecorated(routine) in deny:
            problems.append(f"{name}: imports {routine} from {module}, which Windows 98 does not provide "
                            f"to drivers (cross/imports-denied.txt)")
        elif (module.lower(), routine) not in allow:
            problems.append(f"{name}: imports {routine} from {module}, which is not on the list of "
                            f"Windows 98 routines this project allows (cross/imports-allowed.txt)")
    return problems


def main(paths):
    if not paths:
        sys.exit(__doc__)
    problems = [p for path in paths for p in check(path)]
    for problem in problems:
        print(problem)
    if not problems:
        print(f"imports of {', '.join(os.path.basename(p) for p in paths)}: all provided by Windows 98")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
