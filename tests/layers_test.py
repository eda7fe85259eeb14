#!/usr/bin/env python3
"""Checks the #include lines of src/ against the layer table of ARCHITECTURE.md.

A unit may include only units of lower layers: an include of its own layer
or of one above it fails, and so would every include circle, which must
climb or stay level somewhere.  Link targets cannot tell, since all the
headers share src/.  Usage: layers_test.py SOURCE_ROOT
"""
import pathlib
import re
import sys

root = pathlib.Path(sys.argv[1])
row = re.compile(r"^\|\s*(\d+)\s*\|\s*`([a-z_]+)`\s*\|")
layer = {}
for line in (root / "ARCHITECTURE.md").read_text().splitlines():
    match = row.match(line)
    if match:
        layer[match.group(2)] = int(match.group(1))

include = re.compile(r'^\s*#\s*include\s+"([^"]+)\.h"')
problems = []
units = set()
edges = 0
for source in sorted((root / "src").iterdir()):
    if source.suffix not in (".h", ".cpp"):
        continue
    unit = source.stem
    units.add(unit)
    if unit not in layer:
        problems.append(f"src/{source.name}: unit {unit} has no layer in ARCHITECTURE.md")
        continue
    for number, text in enumerate(source.read_text().splitlines(), 1):
        match = include.match(text)
        if not match or match.group(1) == unit:
            continue
        used = match.group(1)
        edges += 1
        if used not in layer:
            problems.append(f"src/{source.name}:{number}: {used}.h is no unit of the table")
        elif layer[used] >= layer[unit]:
            problems.append(
                f"src/{source.name}:{number}: {unit} (layer {layer[unit]}) includes "
                f"{used}.h (layer {layer[used]}), which is not below it")
for unit in sorted(set(layer) - units):
    problems.append(f"ARCHITECTURE.md: unit {unit} has no file in src/")

for problem in problems:
    print(problem)
if problems or not layer:
    print(f"layers: {len(problems)} problems")
    sys.exit(1)
print(f"layers: {len(units)} units, {edges} includes, every one pointing down")
