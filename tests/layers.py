#!/usr/bin/env python3
"""The include rule of the source tree, checked rather than written down: a room includes only
rooms on lower floors (and itself), so rooms on one floor never include each other and no
circle can form. Prints every include that breaks it; exit status 1 when there is one."""
import os
import re
import sys

# Floor of every room of the product, and of make_manifest, which may use anything the launcher
# is built from but the pass and the window.
FLOORS = {
    "digest": 0, "platform": 0,
    "update_list": 1, "transfer": 1, "delta": 1,
    "game_folder": 2, "rebuild": 2,
    "engine": 3, "tools": 3,
    "shell": 4,
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/(?:([a-z_]+)/)?')
# make_manifest's rooms: signing below checking, which verifies signatures; publishing apart from
# checking. Files at the top of tools/ (the entry and the shared file helpers) are below them all
# for an include, and the entry itself includes everything.
TOOL_ROOMS = {"signing": 1, "checking": 2, "publishing": 2}


def sources_of(folder):
    """The C++ files of a room, those of its inner rooms too, by their path inside the room."""
    for top, _, names in os.walk(folder):
        for name in names:
            if name.endswith((".cpp", ".h")):
                yield os.path.relpath(os.path.join(top, name), folder)


def tool_room_break(name, included, number):
    """An include inside tools/ from an inner room to one that is not below it."""
    room = name.split(os.sep)[0] if os.sep in name else None
    if room is None or included is None:
        return []
    if included == room or TOOL_ROOMS.get(included, 9) < TOOL_ROOMS.get(room, 0):
        return []
    return [f"tools/{name}:{number}: tools/{room} includes tools/{included}"]


def breaks(root):
    found = []
    for room, floor in sorted(FLOORS.items()):
        folder = os.path.join(root, room)
        if not os.path.isdir(folder):
            continue
        for name in sorted(sources_of(folder)):
            path = os.path.join(folder, name)
            with open(path, encoding="latin-1") as source:
                for number, line in enumerate(source, 1):
                    match = INCLUDE.match(line)
                    if not match:
                        continue
                    if match.group(1) == room:
                        if room == "tools":
                            found.extend(tool_room_break(name, match.group(2), number))
                        continue
                    included = match.group(1)
                    if included not in FLOORS or FLOORS[included] >= floor:
                        found.append(f"{room}/{name}:{number}: {room} (floor {floor}) includes {included} "
                                     f"(floor {FLOORS.get(included, 'unknown')})")
    return found


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    found = breaks(root)
    for line in found:
        print(line)
    print(f"layers: {len(found)} includes against the floors")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
