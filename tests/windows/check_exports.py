#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Checks the export table of the built tarvel.dll against src/api/tarvel.exports.

    check_exports.py OBJDUMP DLL TABLE [FORMAT]

Every name of the table must be exported under its ordinal, undecorated; names
marked "-" follow the highest fixed ordinal in table order; no other name and
no other ordinal (5 and 8 stay unassigned) may be exported. A 32-bit DLL's
__stdcall functions must not show their decoration ("TarvelPortOpen@4"): such
a name is not in the table. FORMAT, when given, is the file format objdump
must report (pei-i386, pei-x86-64), so that the build of the one width cannot
pass for the other. In a 32-bit DLL, the code of every function must also
return as __stdcall does: each of its returns pops the bytes of arguments that
its symbol names (_TarvelPortOpen@4: "ret $0x4"), where a __cdecl function
would leave them to the caller ("ret").
"""
import re
import subprocess
import sys


def expected_exports(table_path):
    fixed, unnumbered = {}, []
    with open(table_path) as table:
        for line in table:
            match = re.match(r"^([0-9]+|-) ([A-Za-z]+)\s*$", line)
            if not match:
                continue
            ordinal, name = match.groups()
            if ordinal == "-":
                unnumbered.append(name)
            else:
                fixed[name] = int(ordinal)
    expected = dict(fixed)
    next_ordinal = max(fixed.values())
    for name in unnumbered:
        next_ordinal += 1
        expected[name] = next_ordinal
    return expected


def built_exports(objdump, dll):
    """The DLL's file format, its named exports by ordinal, and the ordinals
    that have an entry."""
    text = subprocess.run([objdump, "-p", dll], check=True, capture_output=True, text=True).stdout
    file_format = re.search(r"file format (\S+)", text).group(1)
    base = int(re.search(r"^Ordinal Base\s+(\d+)", text, re.M).group(1))
    addresses = {int(n) for n in re.findall(r"\+base\[\s*(\d+)\]\s+[0-9a-f]+ Export RVA", text)}
    names_section = text.split("[Ordinal/Name Pointer] Table", 1)[1].split("\n\n", 1)[0]
    named = {name: int(index) + base
             for index, name in re.findall(r"^\s*\[\s*(\d+)\]\s+(\S+)\s*$", names_section, re.M)}
    return file_format, named, addresses


def stdcall_faults(objdump, dll, names):
    """Faults of the 32-bit functions `names` whose returns do not pop their arguments."""
    text = subprocess.run([objdump, "-d", "--no-show-raw-insn", dll],
                          check=True, capture_output=True, text=True).stdout
    argument_bytes, pops = {}, {}
    current = None
    for line in text.splitlines():
        label = re.match(r"^[0-9a-f]+ <(.+)>:$", line)
        if label:
            # A function's code, and any part of it the compiler moved away (".cold").
            symbol = re.match(r"^_([A-Za-z]+)@(\d+)(\..+)?$", label.group(1))
            current = symbol.group(1) if symbol and symbol.group(1) in names else None
            if current:
                argument_bytes[current] = int(symbol.group(2))
                pops.setdefault(current, [])
            continue
        ret = re.search(r"\tret[lw]?\s*(?:\$0x([0-9a-f]+))?\s*$", line)
        if current and ret:
            pops[current].append(int(ret.group(1) or "0", 16))
    faults = []
    for name in names:
        if name not in argument_bytes:
            faults.append(f"{name} has no __stdcall code (no _{name}@N symbol)")
        elif not pops[name]:
            faults.append(f"{name}: no return found in its code")
        elif any(popped != argument_bytes[name] for popped in pops[name]):
            faults.append(f"{name} returns popping {sorted(set(pops[name]))} bytes;"
                          f" its arguments take {argument_bytes[name]}")
    return faults


def main(objdump, dll, table_path, wanted_format=None):
    expected = expected_exports(table_path)
    file_format, named, addresses = built_exports(objdump, dll)
    faults = []
    if wanted_format and file_format != wanted_format:
        faults.append(f"{dll} is {file_format}, not {wanted_format}")
    for name, ordinal in sorted(expected.items(), key=lambda item: item[1]):
        if name not in named:
            faults.append(f"{name} is not exported")
        elif named[name] != ordinal:
            faults.append(f"{name} has ordinal {named[name]}, the table says {ordinal}")
    for name in sorted(set(named) - set(expected)):
        faults.append(f"{name} is exported but not in the table")
    for ordinal in sorted(addresses - set(expected.values())):
        faults.append(f"ordinal {ordinal} is assigned but should stay empty")
    if file_format == "pei-i386":
        faults += stdcall_faults(objdump, dll, set(expected))
    for name, ordinal in sorted(named.items(), key=lambda item: item[1]):
        print(f"{ordinal:3} {name}")
    for fault in faults:
        print("FAULT:", fault, file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:5]))
