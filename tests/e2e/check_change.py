#!/usr/bin/env python3
"""Checks a machine's second report (the service's JSON export): a file of
the imported known-good set is marked known good with its set and product,
a program started from a file added between the two scans is marked new,
and the report names the first scan as the previous one. Prints each
failure and exits 1 on any."""

import argparse
import json
import sys

failures = []


def fail(message):
    failures.append(message)
    print("FAIL: " + message)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--report", required=True, help="JSON export of the second scan")
    parser.add_argument("--first-id", required=True, help="id of the machine's first scan")
    parser.add_argument("--known-md5", required=True, help="MD5 of a file of the imported set")
    parser.add_argument("--set", required=True, help="name of the imported set")
    parser.add_argument("--product", required=True, help="product the set names for that file (its version may follow)")
    parser.add_argument("--added", required=True, help="file name of the program added between the scans")
    args = parser.parse_args()
    report = json.load(open(args.report, encoding="utf-8"))
    records = report.get("records", [])

    known = [r for r in records if r.get("file", {}).get("hash.md5", "").lower() == args.known_md5]
    if not known:
        fail("no record of the set's file (MD5 %s)" % args.known_md5)
    for r in known:
        if r.get("status") != "known-good":
            fail("%s: status %r, expected known-good" % (r.get("path"), r.get("status")))
        sets = r.get("sets", [])
        if not any(s.get("set") == args.set and s.get("kind") == "good" and s.get("product", "").startswith(args.product)
                   for s in sets):
            fail("%s: set match %r, expected %s / %s" % (r.get("path"), sets, args.set, args.product))

    added = [r for r in records if r.get("path", "").lower().endswith("\\" + args.added.lower())]
    if not added:
        fail("no record of the added program " + args.added)
    for r in added:
        if r.get("status") != "new" or r.get("new") is not True:
            fail("%s: status %r, new %r; expected new" % (r.get("path"), r.get("status"), r.get("new")))
        if r.get("process") and r.get("processStatus") not in ("known-bad", "rare", "new"):
            fail("%s: process status %r ranks below its own file's" % (r.get("path"), r.get("processStatus")))

    change = report.get("change") or {}
    if change.get("previousScanId") != args.first_id:
        fail("change names previous scan %r, expected the first scan" % change.get("previousScanId"))
    if not any(p.lower().endswith("\\" + args.added.lower()) for p in change.get("started", [])):
        fail("change does not list %s among the processes started: %r" % (args.added, change.get("started")))
    statuses = report.get("summary", {}).get("statuses", {})
    if not statuses.get("new") or not statuses.get("known-good"):
        fail("summary counts no new or no known-good file: %r" % statuses)

    if failures:
        print("%d check(s) failed" % len(failures))
        return 1
    print("second report: %s known good (%s), %s new, previous scan named" % (len(known), args.set, args.added))
    return 0


if __name__ == "__main__":
    sys.exit(main())
