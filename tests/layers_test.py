#!/usr/bin/env python3
"""Checks the #include lines of src/ against the table of src/layers.

The folders of src/ are its layers, and src/layers says which folders each
may use and which write.  A unit may include units of its own folder and
of the folders its row names; inside a folder no include goes round in a
circle.  The units of report/ must not reach, through any chain of
includes, a unit that writes, and no file they reach may open a file or a
mapping for writing or start a process.  Every unit has its row in
ARCHITECTURE.md.  Usage: layers_test.py SOURCE_ROOT
"""
import pathlib
import re
import sys

root = pathlib.Path(sys.argv[1])
src = root / "src"
architecture = (root / "ARCHITECTURE.md").read_text()

uses = {}
writer_folders = set()
for line in (src / "layers").read_text().splitlines():
    if not re.match(r"[a-z]", line):
        continue
    folder, _library, writes_column, *used = line.split()
    uses[folder] = set(used) - {"-"}
    if writes_column == "yes":
        writer_folders.add(folder)
unit_row = re.compile(r"^\|\s*`([a-z/]+)/([a-z_]+)`\s*\|")
listed = set()
for line in architecture.splitlines():
    match = unit_row.match(line)
    if match:
        listed.add(f"{match.group(1)}/{match.group(2)}")
include = re.compile(r'^\s*#\s*include\s+"([^"]+)\.h"')
# What no file the report reaches may do: open or map for writing, change
# the file system, or start a process.
writes = re.compile(r"\b(O_WRONLY|O_RDWR|O_CREAT|O_TRUNC|PROT_WRITE|ofstream|popen|system\s*\(|"
                    r"fork\s*\(|exec[lv]p?e?\s*\(|posix_spawn|rename\s*\(|unlink|mkdir|"
                    r"create_directories|remove_all)\b|fopen\s*\([^)]*\"[wa+]")

problems = []
unit_of = {}      # name -> folder/name
files_of = {}     # folder/name -> its files
for path in sorted(src.rglob("*")):
    if path.suffix not in (".h", ".cpp"):
        continue
    rel = path.relative_to(src)
    folder = rel.parent.as_posix()
    if folder not in uses:
        problems.append(f"src/{rel}: not in one of the folders of src/layers")
        continue
    unit = f"{folder}/{path.stem}"
    if path.stem in unit_of and unit_of[path.stem] != unit:
        problems.append(f"src/{rel}: the name {path.stem} stands in two folders")
    unit_of[path.stem] = unit
    files_of.setdefault(unit, []).append(path)

edges = {unit: set() for unit in files_of}
count = 0
for unit, paths in files_of.items():
    folder = unit.rsplit("/", 1)[0]
    if unit not in listed:
        problems.append(f"src/{unit}: no row in ARCHITECTURE.md")
    for path in paths:
        for number, text in enumerate(path.read_text().splitlines(), 1):
            match = include.match(text)
            if not match or match.group(1) == path.stem:
                continue
            count += 1
            used = unit_of.get(match.group(1))
            where = f"src/{path.relative_to(src)}:{number}"
            if used is None:
                problems.append(f"{where}: {match.group(1)}.h is no unit of src/")
                continue
            edges[unit].add(used)
            used_folder = used.rsplit("/", 1)[0]
            if used_folder != folder and used_folder not in uses[folder]:
                problems.append(f"{where}: {unit} includes {used}, but {folder}/ may use "
                                f"{', '.join(sorted(f + '/' for f in uses[folder])) or 'nothing'}")
for unit in sorted(listed - set(files_of)):
    problems.append(f"ARCHITECTURE.md: unit {unit} has no file in src/")

# Circles inside a folder (across folders the rows already forbid them).
state = {}


def visit(unit, trail):
    state[unit] = "open"
    for used in sorted(edges[unit]):
        if state.get(used) == "open":
            problems.append("include circle: " + " -> ".join(trail[trail.index(used):] + [used]))
        elif used not in state:
            visit(used, trail + [used])
    state[unit] = "done"


for unit in sorted(edges):
    if unit not in state:
        visit(unit, [unit])

# What the report reaches; each unit said once, by the first chain found.
reported = set()
for start in sorted(u for u in files_of if u.startswith("report/")):
    seen, todo, via = {start}, [start], {start: None}
    while todo:
        unit = todo.pop()
        for used in edges[unit]:
            if used not in seen:
                seen.add(used)
                via[used] = unit
                todo.append(used)
    for unit in sorted(seen):
        chain = []
        step = unit
        while step:
            chain.append(step)
            step = via[step]
        path = " <- ".join(chain)
        if unit in reported:
            continue
        reported.add(unit)
        if unit.rsplit("/", 1)[0] in writer_folders:
            problems.append(f"{start} reaches {unit}, which writes: {path}")
            continue
        for file in files_of[unit]:
            for number, text in enumerate(file.read_text().splitlines(), 1):
                code = text.split("//")[0]
                hit = writes.search(code)
                if hit:
                    problems.append(f"src/{file.relative_to(src)}:{number}: {hit.group(0).strip()} "
                                    f"in a unit the report reaches ({path})")

if not writer_folders:
    problems.append("src/layers: no folder that writes")
for problem in problems:
    print(problem)
if problems or not uses:
    print(f"layers: {len(problems)} problems")
    sys.exit(1)
print(f"layers: {len(files_of)} units in {len(uses)} folders, {count} includes, each where its "
      f"folder may look; the report reaches nothing that writes")
