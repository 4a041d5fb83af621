#!/usr/bin/env python3
"""Checks the results page as headless Chromium rendered it: the process
table holds one row per scanned process, with its image name and pid, and
the screenshot exists. Each process is a tbody of its row and the row that
opens into its modules; the image and pid are the row's second and third
cells."""

import argparse
import html.parser
import json
import os
import sys


class ProcessTable(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.in_table = self.in_body = self.in_row = self.in_cell = False
        self.rows = []

    def handle_starttag(self, tag, attrs):
        if tag == "table" and ("id", "processes") in attrs:
            self.in_table = True
        elif self.in_table and tag == "tbody" and ("class", "proc") in attrs:
            self.in_body = True
        elif self.in_body and tag == "tr" and ("class", "row") in attrs:
            self.rows.append([])
            self.in_row = True
        elif self.in_body and tag == "tr":
            self.in_row = False
        elif self.in_row and tag == "td":
            self.in_cell = True
            self.rows[-1].append("")

    def handle_endtag(self, tag):
        if tag == "td":
            self.in_cell = False
        elif tag == "tr":
            self.in_row = False
        elif tag == "tbody":
            self.in_body = False
        elif tag == "table":
            self.in_table = False

    def handle_data(self, data):
        if self.in_cell and self.rows:
            self.rows[-1][-1] += data


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dom", required=True)
    parser.add_argument("--report", required=True)
    parser.add_argument("--screenshot", required=True)
    args = parser.parse_args()

    report = json.load(open(args.report, encoding="utf-8"))
    expected = sorted((r["values"].get("path.file", ""), r["values"].get("wmi.ProcessId", ""))
                      for r in report["records"] if r["process"])
    table = ProcessTable()
    table.feed(open(args.dom, encoding="utf-8", errors="replace").read())
    shown = sorted((row[1], row[2]) for row in table.rows if len(row) >= 3)
    ok = True
    if shown != expected:
        print("FAIL: the page shows %r, the scan holds %r" % (shown, expected))
        ok = False
    if not os.path.isfile(args.screenshot) or os.path.getsize(args.screenshot) < 1000:
        print("FAIL: no screenshot at %s" % args.screenshot)
        ok = False
    print("page: %d process rows, screenshot %s" % (len(shown), args.screenshot))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
