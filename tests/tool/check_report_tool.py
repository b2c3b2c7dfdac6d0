#!/usr/bin/env python3
"""Runs vesplin-report as a person would, on the results files of three machines
made here (one folder each: one all ok, one with failures, one of older records
that name no computer), and checks its lines, its page, its JUnit file and its
exit codes. With --runner the program runs through it (the Wine build through
the prefix's wine-run.sh), and --windows-paths hands it Z:\\ paths."""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ET

KEYS = ["cycle", "requested_state", "entered_state", "fallback", "requested_sec", "measured_sec", "asleep_sec",
        "asleep_source", "verdict", "wake_source", "start_utc", "end_utc", "error_code", "reason", "phases",
        "target_state", "effective_state", "lost_reason", "bugcheck", "devices", "battery"]
NEW_KEYS = ["run_id", "computer", "schema"]


def record(cycle, verdict, run_id=None, computer=None, older=False, **fields):
    r = {key: None for key in KEYS}
    r.update(cycle=cycle, requested_state="S3", entered_state="S3", requested_sec=60, measured_sec=61,
             asleep_sec=60, asleep_source="interrupt_time", verdict=verdict, error_code=0,
             start_utc="2026-12-07T12:%02d:00Z" % (cycle % 60), end_utc="2026-12-07T12:%02d:01Z" % (cycle % 60))
    if not older:
        r.update(run_id=run_id, computer=computer, schema=1)
    r.update(fields)
    return json.dumps(r)


def write(path, lines):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write("".join(line + "\n" for line in lines))


def make_machines(work):
    ok_run, bad_run, bad_run2 = "20261207T120000Z-0000000a", "20261207T120000Z-0000000b", "20261208T120000Z-0000000c"
    write(os.path.join(work, "pc-ok", "r.jsonl"),
          [record(c, "ok", ok_run, "lab-ok") for c in (1, 2, 3)])
    write(os.path.join(work, "pc-ok", "r.html"), ["<!DOCTYPE html><title>run</title>"])
    write(os.path.join(work, "pc-ok", "r.run.json"), ["{broken"])  # a damaged status file is no reason to stop
    device = {"present": 140, "missing": [{"id": "USB\\VID_1", "name": "USB Hub", "class": "USB"}],
              "problems": [], "appeared": 0}
    write(os.path.join(work, "pc-bad", "r.jsonl"), [
        record(1, "ok", bad_run, "lab-bad"),
        record(2, "lost", bad_run, "lab-bad", lost_reason="crashed", bugcheck="0x0000009F"),
        record(3, "short", bad_run, "lab-bad", wake_source="HID <Keyboard> \"&\" ]]>"),
        record(4, "device_fault", bad_run, "lab-bad", devices=device),
    ])
    write(os.path.join(work, "pc-bad", "second.jsonl"),
          [record(c, "ok", bad_run2, "lab-bad") for c in (1, 2)])
    write(os.path.join(work, "pc-bad", "r.run.json"), ['{"state":"finished","exit_code":2}'])
    write(os.path.join(work, "pc-bad", "notes.txt"), ["not a results file"])
    # Not read: folders are not searched below their own files.
    write(os.path.join(work, "pc-bad", "sub", "deeper.jsonl"), [record(1, "refused", bad_run, "lab-bad")])
    write(os.path.join(work, "old-pc", "results.jsonl"),
          [record(1, "ok", older=True), record(2, "ok", older=True), record(1, "ok", older=True),
           record(2, "not_slept", older=True)])
    os.makedirs(os.path.join(work, "empty"), exist_ok=True)
    write(os.path.join(work, "named", "results.txt"), [record(1, "ok", ok_run, "lab-ok")])


class Checker:
    def __init__(self, runner, tool, windows_paths):
        self.runner, self.tool, self.windows_paths = runner, tool, windows_paths
        self.failures, self.checks = [], 0

    def path(self, path):
        if not self.windows_paths:
            return path
        return "Z:" + os.path.abspath(path).replace("/", "\\")

    def run(self, *args):
        words = [a if not a.startswith("/") else self.path(a) for a in args]
        words = [re.sub(r"^(--\w+=)(/.*)$", lambda m: m.group(1) + self.path(m.group(2)), w) for w in words]
        done = subprocess.run(self.runner + [self.tool] + words, capture_output=True, text=True, timeout=120)
        return done.returncode, done.stdout.replace("\r\n", "\n"), done.stderr

    def expect(self, condition, what):
        self.checks += 1
        if not condition:
            self.failures.append(what)
            print("FAILED: " + what)


def summary_lines(stdout):
    """Each machine's line and the total, as {name: (runs, sleeps, {verdict: count})}."""
    found = {}
    for line in stdout.splitlines():
        m = re.match(r"^(.+?): (?:(\d+) machines?, )?(\d+) runs?, (\d+) sleeps?(?:: ([^;]*))?", line)
        if not m:
            continue
        counts = {}
        for part in (m.group(5) or "").split(", "):
            if part:
                n, verdict = part.split(" ", 1)
                counts[verdict] = int(n)
        found[m.group(1)] = (int(m.group(3)), int(m.group(4)), counts)
    return found


def check_junit(c, path):
    try:
        root = ET.parse(path).getroot()  # expat: a real, strict parser
    except (ET.ParseError, OSError) as error:
        c.expect(False, "the JUnit file does not parse: %s" % error)
        return
    c.expect(root.tag == "testsuites", "the JUnit root is <testsuites>")
    suites = root.findall("testsuite")
    c.expect(len(suites) == 5, "a testsuite a run: 5, got %d" % len(suites))
    failures = 0
    for suite in suites:
        cases = suite.findall("testcase")
        failed = [case for case in cases if case.find("failure") is not None]
        c.expect(int(suite.get("tests")) == len(cases), "tests= counts the testcases of " + suite.get("name"))
        c.expect(int(suite.get("failures")) == len(failed), "failures= counts the failures of " + suite.get("name"))
        failures += len(failed)
    c.expect(failures == 4, "4 failed sleeps in the JUnit file, got %d" % failures)
    hosts = sorted(set(suite.get("hostname") for suite in suites))
    c.expect(hosts == ["lab-bad", "lab-ok", "old-pc"], "the suites' hosts: %s" % hosts)
    types = sorted(f.get("type") for f in root.iter("failure"))
    c.expect(types == ["device_fault", "lost", "not_slept", "short"], "the failure types: %s" % types)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--work", required=True)
    parser.add_argument("--runner", action="append", default=[])
    parser.add_argument("--windows-paths", action="store_true")
    parser.add_argument("tool")
    options = parser.parse_args()
    work = os.path.abspath(options.work)
    shutil.rmtree(work, ignore_errors=True)
    make_machines(work)
    c = Checker(options.runner, options.tool, options.windows_paths)
    out = os.path.join(work, "out")
    page, junit = os.path.join(out, "fleet.html"), os.path.join(out, "fleet.xml")
    machines = [os.path.join(work, name) for name in ("pc-ok", "pc-bad", "old-pc")]

    # Three machines, one with failures: the lines, the page, the JUnit file, and 2.
    for attempt in (1, 2):  # the second run replaces both files whole
        code, stdout, stderr = c.run("--page=" + page, "--junit=" + junit, *machines)
        c.expect(code == 2, "a failed sleep exits with 2, got %d: %s" % (code, stderr))
    lines = summary_lines(stdout)
    want = {
        "lab-ok": (1, 3, {"ok": 3}),
        "lab-bad": (2, 6, {"ok": 3, "short": 1, "lost": 1, "device_fault": 1}),
        "old-pc": (2, 4, {"ok": 3, "not_slept": 1}),
        "Total": (5, 13, {"ok": 9, "short": 1, "not_slept": 1, "lost": 1, "device_fault": 1}),
    }
    for name, counts in want.items():
        c.expect(lines.get(name) == counts, "%s: %s, got %s in:\n%s" % (name, counts, lines.get(name), stdout))
    c.expect(stdout.splitlines()[-1].startswith("Total: 3 machines"), "the total comes last")
    try:
        html = open(page, encoding="utf-8").read()
    except OSError:
        html = ""
    c.expect("<table" in html, "the fleet page was written")
    c.expect("<script" not in html.lower(), "the page has no script")
    c.expect("http://" not in html and "https://" not in html, "the page links nothing outside")
    c.expect('href="../pc-ok/r.html"' in html, "the page links the machine's own page, relatively")
    c.expect("lab-bad" in html and "old-pc" in html and "USB Hub" in html, "the page names machines and devices")
    check_junit(c, junit)
    c.expect(sorted(os.listdir(out)) == ["fleet.html", "fleet.xml"], "no temporary file is left: %s" % os.listdir(out))

    # Every sleep ok: 0, from a folder, a file, or a file of any name.
    for inputs in ([machines[0]], [os.path.join(machines[0], "r.jsonl")], [os.path.join(work, "named", "results.txt")]):
        code, stdout, stderr = c.run(*inputs)
        c.expect(code == 0, "all ok exits with 0 for %s, got %d: %s" % (inputs, code, stderr))
        c.expect(summary_lines(stdout).get("lab-ok") == (1, 3, {"ok": 3}) or "results.txt" in inputs[0],
                 "the ok machine's line for %s:\n%s" % (inputs, stdout))

    code, stdout, _ = c.run("--help")
    c.expect(code == 0 and "Usage" in stdout, "--help shows the usage and exits with 0")

    # Bad input: 1, a reason on stderr, and no output written.
    fresh = os.path.join(work, "never.html")
    bad = [
        (["--bogus", machines[0]], "unknown option"),
        (["--page=" + fresh, os.path.join(work, "nowhere")], "a missing folder"),
        (["--page=" + fresh, os.path.join(work, "empty")], "a folder without results files"),
        (["--page=" + fresh, os.path.join(work, "pc-ok", "missing.jsonl")], "a missing file"),
        (["--page=" + fresh, "--junit=" + fresh, machines[0]], "the same output twice"),
        (["--junit=" + os.path.join(machines[0], "r.jsonl"), machines[0]], "an output over an input"),
        (["--page=" + os.path.join(machines[0], "r.html", "x.html"), machines[0]], "an output that cannot be made"),
        ([], "nothing to read"),
    ]
    for args, what in bad:
        code, _, stderr = c.run(*args)
        c.expect(code == 1, "%s exits with 1, got %d" % (what, code))
        c.expect("vesplin-report:" in stderr, "%s is told on stderr: %r" % (what, stderr))
    c.expect(not os.path.exists(fresh), "bad input writes nothing")
    c.expect(open(os.path.join(machines[0], "r.jsonl")).read().count("\n") == 3, "an input is never overwritten")

    print("%d passed, %d failed" % (c.checks - len(c.failures), len(c.failures)))
    return 1 if c.failures else 0


if __name__ == "__main__":
    sys.exit(main())
