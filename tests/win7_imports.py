"""Fails when a program imports a DLL function that is not on the list of functions known to exist
on Windows 7. The list is kept by hand: a function is added only after checking that Windows 7 (and
its msvcrt.dll) exports it, so a new import from a later Windows cannot slip into the shipped program.
A 32-bit program must also be large-address-aware, or a burst of traffic aborts it at 2 GiB. Each
DLL!FUNCTION given after the list must be among the imports (calls the program cannot do without).

usage: win7_imports.py OBJDUMP PROGRAM.exe LIST [DLL!FUNCTION...]"""
import re, subprocess, sys

objdump, program, listing = sys.argv[1:4]
required = [tuple(arg.lower().split("!", 1)) for arg in sys.argv[4:]]
known = set()
for line in open(listing, encoding="utf-8"):
    line = line.split("#", 1)[0].strip()
    if line:
        dll, name = line.split()
        known.add((dll.lower(), name))

dump = subprocess.run([objdump, "-p", program], capture_output=True, text=True, check=True).stdout
imports, dll = [], None
for line in dump.splitlines():
    m = re.match(r"\s*DLL Name: (\S+)", line)
    if m:
        dll = m.group(1).lower()
        continue
    m = re.match(r"\s+[0-9a-f]+\s+\d+\s+(\S+)$", line)
    if dll and m:
        imports.append((dll, m.group(1)))
    elif dll and not line.strip():
        dll = None

if not imports:
    sys.exit(f"{program}: no imports found, objdump output not understood")
if re.search(r"^Magic\s+010b", dump, re.M) and "large address aware" not in dump:
    sys.exit(f"{program}: a 32-bit program that is not large-address-aware")
unknown = sorted(set(imports) - known)
lacking = [f"{dll}!{name}" for dll, name in required if not any(d == dll and n.lower() == name for d, n in imports)]
if lacking:
    print(f"{program}: does not import {', '.join(lacking)}")
for dll, name in unknown:
    print(f"{program}: {dll} {name} is not known to exist on Windows 7")
print(f"{program}: {len(set(imports))} imported functions, {len(unknown)} not known on Windows 7")
sys.exit(1 if unknown or lacking else 0)
