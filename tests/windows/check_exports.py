#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Checks the export table of the built tarvel.dll against src/api/tarvel.exports.

    check_exports.py OBJDUMP DLL TABLE

Every name of the table must be exported under its ordinal, undecorated; names
marked "-" follow the highest fixed ordinal in table order; no other name and
no other ordinal (5 and 8 stay unassigned) may be exported.
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
    """The DLL's named exports by ordinal, and the ordinals that have an entry."""
    text = subprocess.run([objdump, "-p", dll], check=True, capture_output=True, text=True).stdout
    base = int(re.search(r"^Ordinal Base\s+(\d+)", text, re.M).group(1))
    addresses = {int(n) for n in re.findall(r"\+base\[\s*(\d+)\]\s+[0-9a-f]+ Export RVA", text)}
    names_section = text.split("[Ordinal/Name Pointer] Table", 1)[1].split("\n\n", 1)[0]
    named = {name: int(index) + base
             for index, name in re.findall(r"^\s*\[\s*(\d+)\]\s+(\S+)\s*$", names_section, re.M)}
    return named, addresses


def main(objdump, dll, table_path):
    expected = expected_exports(table_path)
    named, addresses = built_exports(objdump, dll)
    faults = []
    for name, ordinal in sorted(expected.items(), key=lambda item: item[1]):
        if name not in named:
            faults.append(f"{name} is not exported")
        elif named[name] != ordinal:
            faults.append(f"{name} has ordinal {named[name]}, the table says {ordinal}")
    for name in sorted(set(named) - set(expected)):
        faults.append(f"{name} is exported but not in the table")
    for ordinal in sorted(addresses - set(expected.values())):
        faults.append(f"ordinal {ordinal} is assigned but should stay empty")
    for name, ordinal in sorted(named.items(), key=lambda item: item[1]):
        print(f"{ordinal:3} {name}")
    for fault in faults:
        print("FAULT:", fault, file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:4]))
