"""Counts every test of a run: ctest's JUnit reports (a test that ran a whole GoogleTest binary counts
its cases from that binary's own XML report) and the fuzz smoke runs. Prints the end of each failed
test's output, then "N passed, N failed"."""
import glob, os, sys
import xml.etree.ElementTree as ET

results, failed_steps = sys.argv[1], int(sys.argv[2])
passed = failed = 0
for report in sorted(glob.glob(os.path.join(results, "*.xml"))):
    if os.path.basename(report).startswith("gtest-"):
        continue
    try:
        cases = ET.parse(report).getroot().iter("testcase")
    except ET.ParseError:
        failed += 1
        continue
    for case in cases:
        status = case.get("status", "run")
        if status in ("disabled", "notrun"):
            continue
        ok = status == "run" and case.find("failure") is None and case.find("error") is None
        whole = os.path.join(results, "gtest-" + case.get("name", "") + ".xml")
        if os.path.exists(whole):
            inner = list(ET.parse(whole).getroot().iter("testcase"))
            bad = sum(1 for c in inner if c.find("failure") is not None)
            passed += len(inner) - bad
            failed += bad + (0 if ok or bad else 1)
        elif ok:
            passed += 1
        else:
            failed += 1
        if not ok:
            print("failed:", case.get("name"))
            out = case.findtext("system-out") or ""
            for line in out.splitlines()[-40:]:
                print("   ", line)
fuzz = os.path.join(results, "fuzz.txt")
if os.path.exists(fuzz):
    for line in open(fuzz):
        if line.startswith("pass"):
            passed += 1
        else:
            failed += 1
            print("failed:", line.split()[1])
failed += failed_steps
print(f"{passed} passed, {failed} failed")
sys.exit(1 if failed else 0)
