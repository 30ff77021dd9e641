#!/usr/bin/env bash
# Seeds each deliberate fault of tests/faults/faults.txt in turn into a copy of the
# committed tree, builds it and runs the unit and integration tests; prints which fault
# the suite caught (and by which test) and which it missed. A fault whose text no longer
# occurs exactly once is reported as stale, so the list can follow the code.
#   scripts/seeded-faults.sh [NAME...]     only the named faults
set -euo pipefail
cd "$(dirname "$0")/.."
work=build-faults
rm -rf "$work/tree"
mkdir -p "$work/tree"
git archive HEAD | tar -x -m -C "$work/tree"
cmake -S "$work/tree" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
exec python3 - "$work" "$@" <<'PY'
import re, subprocess, sys

work, wanted = sys.argv[1], set(sys.argv[2:])
tree, build = f"{work}/tree", f"{work}/build"

def faults():
    found, fault = [], None
    for line in open(f"{tree}/tests/faults/faults.txt", encoding="utf-8"):
        line = line.rstrip("\n")
        if line.startswith("== "):
            head, _, what = line[3:].partition(": ")
            name, _, path = head.partition(" ")
            fault = {"name": name, "file": path, "what": what, "find": [], "put": []}
            found.append(fault)
        elif fault and line.startswith("file: "):
            fault["file"] = line[6:]
        elif fault and line[:1] in ("-", "+") and line[1:2] in ("", " "):
            fault["find" if line[0] == "-" else "put"].append(line[2:])
    return found

def first_failure(output):
    failed = re.findall(r"^\s*\d+ - (\S+) \(", output.split("tests FAILED:")[-1], re.M)
    return failed[0] if failed else "?"

def build_and_test():
    built = subprocess.run(["cmake", "--build", build], capture_output=True, text=True)
    if built.returncode != 0:
        return "broken", built.stdout[-2000:]
    run = subprocess.run(["ctest", "-j2", "--stop-on-failure", "--timeout", "60"], cwd=build,
                         capture_output=True, text=True)
    if run.returncode == 0:
        return "MISSED", ""
    failed = first_failure(run.stdout)
    # A test that fails only now and then on a busy machine proves nothing: the failure
    # must come again.
    again = subprocess.run(["ctest", "--rerun-failed", "--timeout", "60"], cwd=build, capture_output=True)
    if again.returncode != 0:
        return "caught", failed
    # The stop on the first failure may have kept a test that catches it every time from running.
    whole = subprocess.run(["ctest", "-j2", "--timeout", "60"], cwd=build, capture_output=True, text=True)
    return ("caught", first_failure(whole.stdout)) if whole.returncode != 0 else ("unsure", f"{failed} passed when run again")

verdict, detail = build_and_test()
if verdict != "MISSED":
    sys.exit(f"the unchanged tree does not pass its own tests: {verdict} {detail}")
counts = {}
for fault in faults():
    if wanted and fault["name"] not in wanted:
        continue
    path = f"{tree}/{fault['file']}"
    original = open(path, encoding="utf-8").read()
    find, put = "\n".join(fault["find"]), "\n".join(fault["put"])
    if original.count(find) != 1:
        verdict, detail = "stale", f"text found {original.count(find)} times"
    else:
        open(path, "w", encoding="utf-8").write(original.replace(find, put))
        try:
            verdict, detail = build_and_test()
        finally:
            open(path, "w", encoding="utf-8").write(original)
    counts[verdict] = counts.get(verdict, 0) + 1
    shown = detail.splitlines()[0] if verdict == "caught" else detail.strip()[:300]
    print(f"{verdict:7} {fault['name']:36} {shown}", flush=True)
print("seeded faults: " + ", ".join(f"{n} {v}" for v, n in sorted(counts.items())))
PY
