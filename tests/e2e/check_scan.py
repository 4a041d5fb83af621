#!/usr/bin/env python3
"""Checks a stored scan (the service's JSON export) against the Wine session
that was scanned: process ids and images, file digests and sizes, module
lists and the operating system caption. Prints each failure and exits 1 on
any."""

import argparse
import json
import os
import re
import subprocess
import sys

# Wine's own long-lived processes: present before the client starts and
# after it ends, so the scan must hold each of them with the same id.
SYSTEM_IMAGES = {"services.exe", "explorer.exe", "winedevice.exe", "svchost.exe", "plugplay.exe", "rpcss.exe"}

failures = []


def fail(message):
    failures.append(message)
    print("FAIL: " + message)


def read_text(path):
    data = open(path, "rb").read()
    if b"\x00" in data:
        return data.decode("utf-16", errors="replace")
    return data.decode("utf-8", errors="replace")


def wine_processes(path):
    """pid -> image name (lower case) from winedbg's "info proc"."""
    processes = {}
    for line in read_text(path).splitlines():
        m = re.search(r"([0-9a-fA-F]{8})\s+\d+\s+.*'([^']+)'\s*$", line)
        if m:
            processes[int(m.group(1), 16)] = m.group(2).lower()
    return processes


def wmic_caption(path):
    lines = [l.strip() for l in read_text(path).splitlines() if l.strip()]
    if len(lines) >= 2 and lines[0].lower() == "caption":
        return lines[1]
    return None


def host_path(prefix, windows_path):
    """The file in the Wine prefix for a path such as c:\\windows\\x.dll,
    matching each component without regard to case as Windows does."""
    m = re.match(r"^([a-zA-Z]):\\(.*)$", windows_path)
    if not m:
        return None
    current = os.path.realpath(os.path.join(prefix, "dosdevices", m.group(1).lower() + ":"))
    for part in m.group(2).split("\\"):
        if not part:
            continue
        candidate = os.path.join(current, part)
        if not os.path.exists(candidate):
            try:
                matches = [e for e in os.listdir(current) if e.lower() == part.lower()]
            except OSError:
                return None
            if not matches:
                return None
            candidate = os.path.join(current, matches[0])
        current = candidate
    return current if os.path.isfile(current) else None


def tool_digest(tool, path):
    return subprocess.run([tool, path], check=True, capture_output=True, text=True).stdout.split()[0]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--report", required=True)
    parser.add_argument("--processes", required=True)
    parser.add_argument("--caption", required=True)
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--client", default="zorvane.exe", help="the client's image name")
    args = parser.parse_args()

    report = json.load(open(args.report, encoding="utf-8"))
    records = report["records"]
    wine = wine_processes(args.processes)
    if not wine:
        fail("winedbg listed no Wine process")

    # Processes: one record per process id, images matching Wine's list.
    scanned = {}
    for r in records:
        if not r["process"]:
            continue
        pid_text = r["values"].get("wmi.ProcessId", "")
        if not pid_text.isdigit():
            fail("%s is a process without a pid" % r["path"])
            continue
        pid = int(pid_text)
        image = r["values"].get("path.file", "").lower()
        if pid in scanned:
            fail("two process records for pid %d" % pid)
        scanned[pid] = image
        if pid in wine and wine[pid] != image:
            fail("pid %d is %s in Wine but %s in the scan" % (pid, wine[pid], image))
    for pid, image in sorted(wine.items()):
        if image in SYSTEM_IMAGES and scanned.get(pid) != image:
            fail("Wine process %s (pid %d) has no record with that pid" % (image, pid))
    if args.client not in scanned.values():
        fail("the scan does not hold the client's own process")
    print("processes: %d scanned, %d in Wine's list after the scan, %d matched by pid" %
          (len(scanned), len(wine), sum(1 for p in scanned if p in wine)))

    # Files: digests and sizes against the same files in the prefix.
    compared = 0
    seen = set()
    for r in records:
        facts = r["file"]
        md5 = facts.get("hash.md5", "")
        if not md5 or r["path"] in seen:
            continue
        seen.add(r["path"])
        path = host_path(args.prefix, r["path"])
        if path is None:
            fail("%s is not in the Wine prefix" % r["path"])
            continue
        expected = {
            "hash.md5": tool_digest("md5sum", path),
            "hash.sha1": tool_digest("sha1sum", path),
            "handle.filesize": subprocess.run(["stat", "-L", "-c", "%s", path], check=True, capture_output=True,
                                              text=True).stdout.strip(),
        }
        for key, value in expected.items():
            if facts.get(key, "") != value:
                fail("%s: %s is %r, the file gives %r" % (r["path"], key, facts.get(key, ""), value))
        compared += 1
    if compared == 0:
        fail("no file with a digest to compare")
    print("files: %d compared with md5sum, sha1sum and stat" % compared)

    # Module lists resolve to files of the scan.
    file_ids = {r["fileId"] for r in records if r["file"].get("hash.md5")}
    modules = 0
    for r in records:
        for m in r["modules"]:
            modules += 1
            if m is None:
                fail("a module of %s names no scanned file" % r["path"])
            elif m["fileId"] not in file_ids:
                fail("a module of %s names file %d, which has no stored facts" % (r["path"], m["fileId"]))
    if modules == 0:
        fail("no process has a module list")
    print("modules: %d resolved" % modules)

    caption = report["scan"].get("Caption", "")
    expected_caption = wmic_caption(args.caption)
    if expected_caption is not None and caption != expected_caption:
        fail("Caption is %r, Wine's WMI says %r" % (caption, expected_caption))
    if "Windows" not in caption:
        fail("Caption %r names no Windows" % caption)
    print("caption: %s" % caption)

    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
