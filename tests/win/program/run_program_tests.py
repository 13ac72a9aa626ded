"""Runs the program's end-to-end tests inside Wine's virtual desktop, where windows have frames and the
taskbar has a notification area, and reports their outcome.

usage: run_program_tests.py WINE_RUN TESTS_EXE KASSARO_EXE END_HELPER_EXE SCREENSHOT_DIR [gtest args...]

The test binary runs as a program of the desktop "kassaro-tests" (1024x768); `explorer /desktop` returns at
once, so the outcome comes back through the binary's XML report. The pictures the tests take (BMP) are
turned into PNG with ImageMagick. Exits non-zero on any failure, a missing report or the time limit."""
import os, subprocess, sys, time
import xml.etree.ElementTree as ET

wine_run, tests_exe, kassaro_exe, end_helper, shots = sys.argv[1:6]
extra = sys.argv[6:]
limit = float(os.environ.get("KASSARO_E2E_LIMIT", "900"))


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


os.makedirs(shots, exist_ok=True)
work = os.path.join(os.path.dirname(os.path.abspath(tests_exe)), "program-tests")
os.makedirs(work, exist_ok=True)
report = os.path.join(work, "report.xml")
if os.path.exists(report):
    os.remove(report)

command = [wine_run, "explorer", "/desktop=kassaro-tests,1024x768", windows_path(tests_exe),
           "--program=" + windows_path(kassaro_exe), "--end-helper=" + windows_path(end_helper),
           "--screenshots=" + windows_path(shots), "--gtest_output=xml:" + windows_path(report)] + extra
subprocess.run(command, check=False)


def our_processes():
    """Linux process ids of the test binary and of the program copies it started."""
    names = (os.path.basename(tests_exe).lower(), "kassaro-e2e")
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                line = f.read().decode("utf-8", "replace").lower()
        except OSError:
            continue
        if any(n in line for n in names) and "run_program_tests" not in line:
            found.append(int(pid))
    return found


start = time.time()
while time.time() - start < limit:
    if os.path.exists(report) and not our_processes():
        break
    time.sleep(1)
else:
    for pid in our_processes():
        try:
            os.kill(pid, 9)
        except OSError:
            pass
    print(f"end-to-end tests did not finish within {limit:.0f} s")
    sys.exit(1)

for name in sorted(os.listdir(shots)):
    if name.endswith(".bmp"):
        bmp = os.path.join(shots, name)
        subprocess.run(["convert", bmp, bmp[:-4] + ".png"], check=False)
        os.remove(bmp)

failures = 0
tests = 0
# Failure messages carry the program's GBK text as it is.
with open(report, "rb") as f:
    root = ET.fromstring(f.read().decode("gb18030", "replace").replace('encoding="UTF-8"', ""))
for case in root.iter("testcase"):
    tests += 1
    name = f"{case.get('classname')}.{case.get('name')}"
    problems = case.findall("failure")
    if problems:
        failures += 1
        print(f"FAILED {name}")
        for p in problems:
            print("  " + (p.get("message") or "").replace("\n", "\n  "))
    else:
        print(f"ok     {name} ({case.get('time')} s)")
print(f"{tests - failures} of {tests} end-to-end tests passed")
sys.exit(1 if failures or tests == 0 else 0)
