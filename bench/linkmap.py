# Where the bytes of a program go, from the map GNU ld writes with -Wl,-Map: the bytes that each
# library and each of its object files brings into the file (code, data, constants, unwind
# tables), the largest first. Sections that take no room in the file (.bss, debug information,
# which a release build strips) are left out.
#
# Usage: /usr/bin/python3 linkmap.py PROGRAM.map [ROWS]

import re
import sys
from collections import Counter
from pathlib import Path

# An input section: its name, and (on the same line, or on the next when the name is long) its
# address, its size and the file it came from, "library.a(member.o)" for an archive's member.
SECTION = re.compile(r"^ (\.[^\s]+)(?:\s+0x[0-9a-f]+\s+0x([0-9a-f]+)\s+(.+))?$")
PLACEMENT = re.compile(r"^\s+0x[0-9a-f]+\s+0x([0-9a-f]+)\s+(.+)$")
MEMBER = re.compile(r"^(.*?)\((.*)\)$")
ROOMLESS = re.compile(r"^\.(bss|debug|zdebug|stab)")


def contributions(map_text):
    lines = map_text[map_text.index("Linker script and memory map"):].splitlines()
    pending = None
    for line in lines:
        if pending is not None:
            placed = PLACEMENT.match(line)
            if placed:
                yield pending, int(placed.group(1), 16), placed.group(2).strip()
            pending = None
            continue
        found = SECTION.match(line)
        if not found or ROOMLESS.match(found.group(1)):
            continue
        if found.group(2) is None:
            pending = found.group(1)
        else:
            yield found.group(1), int(found.group(2), 16), found.group(3).strip()


def main():
    rows = int(sys.argv[2]) if len(sys.argv) > 2 else 15
    libraries, objects = Counter(), Counter()
    for _, size, origin in contributions(Path(sys.argv[1]).read_text(errors="replace")):
        member = MEMBER.match(origin)
        library = Path(member.group(1)).name if member else "(program's own objects)"
        libraries[library] += size
        objects[f"{library}({Path(member.group(2)).name})" if member else Path(origin).name] += size
    total = sum(libraries.values())
    print(f"{total} bytes of code and data in the map")
    for title, counter in (("libraries", libraries), ("object files", objects)):
        print(f"largest {title}:")
        for name, size in counter.most_common(rows):
            print(f"  {size:>9}  {100 * size / total:5.1f} %  {name}")


main()
