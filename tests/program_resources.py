"""Fails when a program's resources are not those of a finished program: the version resource must carry
the project's version (file and product, fixed and as text) and name its maker, the program icon must
hold images of 16, 20, 24, 32, 40, 48, 64 and 256 pixels and the tray icon of 16, 20, 24 and 32, so
that the shell has a sharp one at every display scaling.

usage: program_resources.py PROGRAM.exe VERSION (major.minor.patch)"""
import struct, sys

RT_GROUP_ICON, RT_VERSION = 14, 16
ICONS = {1: [16, 20, 24, 32, 40, 48, 64, 256], 2: [16, 20, 24, 32]}  # IDI_MAIN, IDI_TRAY

program, version = sys.argv[1:3]
data = open(program, "rb").read()
pe = struct.unpack_from("<I", data, 0x3C)[0]
sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
table = pe + 24 + optional_size
for i in range(sections):
    name, virtual_size, virtual_address, raw_size, raw_pointer = struct.unpack_from("<8sIIII", data, table + 40 * i)
    if name.rstrip(b"\0") == b".rsrc":
        break
else:
    sys.exit(f"{program}: no resources")


def entries(offset):
    """{id: (is a directory, offset)} of a resource directory."""
    named, numbered = struct.unpack_from("<12xHH", data, raw_pointer + offset)
    found = {}
    for k in range(named + numbered):
        ident, target = struct.unpack_from("<II", data, raw_pointer + offset + 16 + 8 * k)
        found[ident] = (bool(target & 0x80000000), target & 0x7FFFFFFF)
    return found


def resource(kind, ident):
    """The bytes of the first language of a resource, or None."""
    names = entries(0).get(kind)
    leaf = names and entries(names[1]).get(ident)
    if not leaf:
        return None
    languages = entries(leaf[1])
    rva, size = struct.unpack_from("<II", data, raw_pointer + next(iter(languages.values()))[1])
    start = raw_pointer + rva - virtual_address
    return data[start:start + size]


problems = []
info = resource(RT_VERSION, 1) or b""
fixed = info.find(struct.pack("<I", 0xFEEF04BD))
major, minor, patch = (int(p) for p in version.split("."))
expected = ((major << 16) | minor, patch << 16)
if fixed < 0 or struct.unpack_from("<II", info, fixed + 8) != expected or struct.unpack_from("<II", info, fixed + 16) != expected:
    problems.append(f"the fixed file and product versions are not {version}.0")
for key, value in (("FileVersion", f"{version}.0"), ("ProductVersion", version), ("CompanyName", None),
                   ("LegalCopyright", None), ("OriginalFilename", "Kassaro.exe")):
    text = info.decode("utf-16-le", errors="replace")
    at = text.find(key + "\0")
    shown = text[at + len(key):].lstrip("\0").split("\0", 1)[0] if at >= 0 else ""
    if not shown or (value is not None and shown != value):
        problems.append(f"{key} is {shown!r}, not {value or 'given'}")
for ident, sizes in ICONS.items():
    group = resource(RT_GROUP_ICON, ident) or b"\0" * 6
    count = struct.unpack_from("<4xH", group)[0]
    held = sorted((group[6 + 14 * k] or 256) for k in range(count))
    if held != sizes:
        problems.append(f"icon {ident} holds {held}, not {sizes}")
for problem in problems:
    print(f"{program}: {problem}")
sys.exit(1 if problems else 0)
