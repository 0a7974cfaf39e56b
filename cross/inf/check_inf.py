#!/usr/bin/python3
"""Checks a Windows 98 INF of the converter's drivers before it goes on a disk.

    check_inf.py [--files DIR] [--hardware-id ID] usbcvt.inf

It parses the INF as Setup does (sections, key=value lines, ';' comments
outside quotes, '\\' continuation lines, %string% tokens) and checks that
everything it refers to exists: the sections named by Manufacturer, the models
and the install directives, the files in CopyFiles sections (in
SourceDisksFiles, on a disk of SourceDisksNames, with a destination, and, with
--files, built in DIR), and every %string%.  Then the values the drivers rely
on: the driver key loads tembris through NTKERN and holds "EndPointCaps" and
"DebugLevel" as DWORDs, and the hardware key lists norva as an upper filter.

Prints one line per problem and exits 1 when there is any.
"""

import argparse
import os
import re
import sys

INSTALL_DIRECTIVES = ("CopyFiles", "AddReg", "DelReg", "DelFiles", "RenFiles", "UpdateInis", "Include", "Needs")
SECTION_DIRECTIVES = ("CopyFiles", "AddReg", "DelReg", "DelFiles", "RenFiles", "UpdateInis")
REG_ROOTS = ("HKR", "HKLM", "HKCU", "HKCR", "HKU")
FLG_ADDREG_TYPE_MULTI_SZ = 0x00010000
FLG_ADDREG_TYPE_DWORD = 0x00010001


class Inf:
    """An INF as sections of (key, value, line number) entries; key is None
    for a line without '='."""

    def __init__(self, text):
        self.sections = {}  # lower-case name -> (name, [(key, value, line)])
        self.problems = []
        self._parse(text)

    def _parse(self, text):
        current = None
        pending = ""
        pending_line = 0
        for number, raw in enumerate(text.splitlines(), 1):
            line = strip_comment(raw).rstrip()
            if pending:
                line = pending + line.lstrip()
                number = pending_line
            if line.endswith("\\"):
                pending, pending_line = line[:-1], number
                continue
            pending = ""
            line = line.strip()
            if not line:
                continue
            if line.startswith("["):
                if not line.endswith("]"):
                    self.problems.append(f"line {number}: unterminated section header {line!r}")
                    continue
                name = line[1:-1].strip()
                key = name.lower()
                if key in self.sections:
                    self.problems.append(f"line {number}: section [{name}] appears twice")
                else:
                    self.sections[key] = (name, [])
                current = self.sections[key][1]
                continue
            if current is None:
                self.problems.append(f"line {number}: text before the first section")
                continue
            if "=" in line and not line.startswith('"'):
                k, v = line.split("=", 1)
                current.append((k.strip(), v.strip(), number))
            else:
                current.append((None, line, number))
        if pending:
            self.problems.append(f"line {pending_line}: continuation at the end of the file")

    def has(self, name):
        return name.lower() in self.sections

    def entries(self, name):
        return self.sections.get(name.lower(), (name, []))[1]

    def values(self, section, key):
        return [v for k, v, _ in self.entries(section) if k is not None and k.lower() == key.lower()]


def strip_comment(line):
    quoted = False
    for i, c in enumerate(line):
        if c == '"':
            quoted = not quoted
        elif c == ";" and not quoted:
            return line[:i]
    return line


def fields(value):
    """Splits a comma list, keeping quoted commas; strips quotes."""
    out, cur, quoted = [], "", False
    for c in value:
        if c == '"':
            quoted = not quoted
        elif c == "," and not quoted:
            out.append(cur.strip())
            cur = ""
            continue
        cur += c
    out.append(cur.strip())
    return [f.strip('"') for f in out]


def parse_number(text):
    try:
        return int(text, 0)
    except ValueError:
        return None


def check(inf, files_dir=None, hardware_id=None):
    problems = list(inf.problems)
    p = problems.append

    for required in ("Version", "Manufacturer", "SourceDisksNames", "SourceDisksFiles", "DestinationDirs", "Strings"):
        if not inf.has(required):
            p(f"no [{required}] section")

    signature = [v.strip('"') for v in inf.values("Version", "Signature")]
    if not signature or signature[0].lower() not in ("$chicago$", "$windows 95$", "$windows nt$"):
        p(f"[Version] Signature is {signature[0] if signature else 'missing'}: Windows 98 needs $CHICAGO$")
    for key in ("Class", "ClassGUID", "Provider"):
        if not inf.values("Version", key):
            p(f"[Version] has no {key}")
    for guid in inf.values("Version", "ClassGUID"):
        if not re.fullmatch(r"\{[0-9A-Fa-f]{8}(-[0-9A-Fa-f]{4}){3}-[0-9A-Fa-f]{12}\}", guid):
            p(f"[Version] ClassGUID {guid} is not a GUID")

    # %strings%
    strings = {k.lower() for k, _, _ in inf.entries("Strings") if k}
    for name, entries in inf.sections.values():
        if name.lower() == "strings":
            continue
        for k, v, line in entries:
            for token in re.findall(r"%([^%]+)%", (k or "") + "=" + v):
                if token.lower() not in strings:
                    p(f"line {line}: %{token}% is not in [Strings]")

    # Manufacturer -> models -> install sections.
    install_sections = []
    ids = []
    for _, value, line in inf.entries("Manufacturer"):
        models = fields(value)[0]
        if not inf.has(models):
            p(f"line {line}: models section [{models}] does not exist")
            continue
        for _, mvalue, mline in inf.entries(models):
            parts = fields(mvalue)
            if len(parts) < 2 or not parts[1]:
                p(f"line {mline}: a model needs an install section and a hardware ID")
                continue
            install_sections.append((parts[0], mline))
            ids.extend(parts[1:])
    if not install_sections:
        p("no model names an install section")
    if hardware_id and hardware_id.lower() not in (i.lower() for i in ids):
        p(f"no model matches the converter's hardware ID {hardware_id}")

    # Install sections and the sections their directives name.
    copy_sections = []
    driver_addreg, hardware_addreg = [], []
    for install, line in install_sections:
        if not inf.has(install):
            p(f"line {line}: install section [{install}] does not exist")
            continue
        for part, target in ((install, driver_addreg), (install + ".HW", hardware_addreg)):
            for k, v, dline in inf.entries(part):
                if k is None or k not in INSTALL_DIRECTIVES:
                    continue
                for ref in fields(v):
                    if not ref:
                        continue
                    if k == "CopyFiles" and ref.startswith("@"):
                        copy_sections.append(("@", ref[1:], dline))
                        continue
                    if k in SECTION_DIRECTIVES and not inf.has(ref):
                        p(f"line {dline}: {k} section [{ref}] does not exist")
                        continue
                    if k == "CopyFiles":
                        copy_sections.append((ref, None, dline))
                    elif k == "AddReg":
                        target.append(ref)

    # Files: named in SourceDisksFiles, on a known disk, with a destination,
    # and built.
    disks = {k for k, _, _ in inf.entries("SourceDisksNames") if k}
    source_files = {k.lower(): fields(v)[0] for k, v, _ in inf.entries("SourceDisksFiles") if k}
    destinations = {k.lower() for k, _, _ in inf.entries("DestinationDirs") if k}
    copied = set()
    for section, single, line in copy_sections:
        names = [single] if single else [fields(v if k is None else k)[0] for k, v, _ in inf.entries(section)]
        if section != "@" and section.lower() not in destinations and "defaultdestdir" not in destinations:
            p(f"line {line}: [DestinationDirs] has no entry for {section} and no DefaultDestDir")
        for name in names:
            copied.add(name.lower())
            if name.lower() not in source_files:
                p(f"{name}: copied but not in [SourceDisksFiles]")
            elif source_files[name.lower()] not in disks:
                p(f"{name}: on disk {source_files[name.lower()]}, which [SourceDisksNames] does not list")
            if files_dir is not None and not os.path.isfile(os.path.join(files_dir, name)):
                p(f"{name}: not found in {files_dir}")

    # The registry values the drivers rely on.
    def reg_values(sections):
        out = {}
        for section in sections:
            for k, v, line in inf.entries(section):
                parts = fields(v if k is None else k + "=" + v)
                if parts[0].upper() not in REG_ROOTS:
                    p(f"line {line}: registry root {parts[0]} is not one of {', '.join(REG_ROOTS)}")
                    continue
                if len(parts) > 5:
                    p(f"line {line}: an AddReg line has at most five fields")
                flags = parse_number(parts[3]) if len(parts) > 3 and parts[3] else 0
                if flags is None:
                    p(f"line {line}: flags {parts[3]} are not a number")
                    continue
                if parts[0].upper() == "HKR" and len(parts) > 2:
                    out[parts[2].lower()] = (flags, parts[4] if len(parts) > 4 else "", line)
        return out

    driver = reg_values(driver_addreg)
    hardware = reg_values(hardware_addreg)
    for name in ("EndPointCaps", "DebugLevel"):
        entry = driver.get(name.lower())
        if not entry:
            p(f"the driver key (HKR in the install section's AddReg) has no {name}")
        elif entry[0] != FLG_ADDREG_TYPE_DWORD or parse_number(entry[1]) is None:
            p(f"line {entry[2]}: {name} must be a DWORD (flags 0x00010001) with a number")
    if name_range := driver.get("endpointcaps"):
        value = parse_number(name_range[1])
        if value is not None and not 0 <= value <= 3:
            p(f"line {name_range[2]}: EndPointCaps {value} is not a converter variant (0-3)")
    if driver.get("devloader", (0, "", 0))[1].lower() != "*ntkern":
        p("the driver key does not load the drivers through NTKERN (DevLoader=*ntkern)")
    mp = driver.get("ntmpdriver")
    if not mp:
        p("the driver key names no function driver (NTMPDriver)")
    elif mp[1].lower() not in copied:
        p(f"line {mp[2]}: NTMPDriver {mp[1]} is not copied")
    upper = hardware.get("upperfilters")
    if not upper:
        p("the hardware key (HKR in the install section's .HW AddReg) has no UpperFilters")
    else:
        if upper[0] != FLG_ADDREG_TYPE_MULTI_SZ:
            p(f"line {upper[2]}: UpperFilters must be a REG_MULTI_SZ (flags 0x00010000)")
        for f in upper[1].split(","):
            if f.strip().lower() not in copied:
                p(f"line {upper[2]}: upper filter {f.strip()} is not copied")
    return problems


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("inf")
    parser.add_argument("--files", help="directory holding the built drivers")
    parser.add_argument("--hardware-id", help="hardware ID a model must match")
    args = parser.parse_args(argv)
    with open(args.inf, encoding="latin-1") as f:
        problems = check(Inf(f.read()), args.files, args.hardware_id)
    for problem in problems:
        print(f"{args.inf}: {problem}")
    if not problems:
        print(f"{args.inf}: ok")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
