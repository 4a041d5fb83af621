#!/usr/bin/env python3
"""Checks a report page in headless Chromium at the window sizes people use.

For each size: the page does not scroll sideways, it has the status summary
and the process table, and a process opens into its modules (with a real
click, and still without sideways scrolling once open). A screenshot of each
size, and the page as the browser holds it after loading, are kept in the
output folder: report-<W>x<H>.png and report-dom.html.

Drives chromedriver over its WebDriver HTTP interface with the standard
library alone. Usage: browser_check.py ADDRESS OUTPUT_DIR
"""

import argparse
import base64
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

SIZES = [(1366, 768), (1920, 1080)]

# What the page shows, measured in the browser. Returned as one object, so
# that one round trip reads it all.
MEASURE = """
var doc = document.documentElement;
var table = document.getElementById('processes');
return {
  scrollWidth: doc.scrollWidth,
  innerWidth: window.innerWidth,
  innerHeight: window.innerHeight,
  summary: document.querySelectorAll('nav.statuses a').length,
  table: !!table,
  tableRight: table ? Math.ceil(table.getBoundingClientRect().right) : 0,
  processes: document.querySelectorAll('#processes tbody.proc').length
};
"""

# Whether an element is on screen: the content of a closed details element
# keeps its boxes, so checkVisibility() where the browser has it.
SHOWN = """
function shown(element) {
  if (element.checkVisibility) return element.checkVisibility();
  var box = element.getBoundingClientRect();
  return box.width > 0 && box.height > 0;
}
"""

# Marks the first process that has modules (else the first process) so that
# the check can click its summary as a person would; says whether its
# modules show yet.
MARK_EXPANDER = SHOWN + """
var all = document.querySelectorAll('#processes tbody.proc tr.more details');
var pick = null;
for (var i = 0; i < all.length && !pick; i++)
  if (all[i].querySelector('ol.modules li')) pick = all[i];
if (!pick && all.length) pick = all[0];
if (!pick) return null;
pick.querySelector('summary').setAttribute('data-browser-check', '1');
var item = pick.querySelector('ol.modules li') || pick.querySelector('dl');
return {modules: !!pick.querySelector("ol.modules li"), shown: shown(item)};
"""

EXPANDED = SHOWN + """
var summary = document.querySelector('[data-browser-check]');
var details = summary.parentNode;
var item = details.querySelector('ol.modules li') || details.querySelector('dl');
return {open: details.open, shown: shown(item),
        scrollWidth: document.documentElement.scrollWidth, innerWidth: window.innerWidth};
"""


class WebDriver:
    def __init__(self, base):
        self.base = base
        self.session = None

    def call(self, method, path, body=None, timeout=60):
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(self.base + path, data=data, method=method,
                                         headers={"Content-Type": "application/json"})
        try:
            with urllib.request.urlopen(request, timeout=timeout) as reply:
                return json.loads(reply.read().decode() or "{}").get("value")
        except urllib.error.HTTPError as error:
            detail = error.read().decode(errors="replace")
            raise RuntimeError("%s %s: %s %s" % (method, path, error.code, detail[:500]))

    def start(self, chromium, profile):
        args = ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--disable-quic", "--no-first-run", "--disable-background-networking",
                "--disable-component-update", "--disable-sync", "--hide-scrollbars",
                "--user-data-dir=" + profile]
        caps = {"capabilities": {"alwaysMatch": {
            "browserName": "chrome",
            "goog:chromeOptions": {"binary": chromium, "args": args}}}}
        value = self.call("POST", "/session", caps, timeout=120)
        self.session = value["sessionId"]

    def do(self, method, path, body=None):
        return self.call(method, "/session/%s%s" % (self.session, path), body)

    def script(self, source):
        return self.do("POST", "/execute/sync", {"script": source, "args": []})

    def stop(self):
        if self.session:
            try:
                self.call("DELETE", "/session/" + self.session, timeout=30)
            except (RuntimeError, OSError):
                pass
            self.session = None


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_ready(driver, process, seconds=30):
    deadline = time.time() + seconds
    while time.time() < deadline:
        if process.poll() is not None:
            return False
        try:
            if driver.call("GET", "/status", timeout=5).get("ready"):
                return True
        except (RuntimeError, OSError):
            pass
        time.sleep(0.2)
    return False


def set_viewport(driver, width, height):
    """Sizes the window so that the page's viewport is width x height."""
    driver.do("POST", "/window/rect", {"width": width, "height": height})
    inner = driver.script("return [window.innerWidth, window.innerHeight];")
    if inner != [width, height]:
        driver.do("POST", "/window/rect", {"width": 2 * width - inner[0], "height": 2 * height - inner[1]})


def check_size(driver, address, width, height, out, failures):
    set_viewport(driver, width, height)
    driver.do("POST", "/url", {"url": address})
    page = driver.script(MEASURE)
    label = "%dx%d" % (width, height)
    print("browser %s: viewport %dx%d, page width %d, %d status links, %d processes"
          % (label, page["innerWidth"], page["innerHeight"], page["scrollWidth"], page["summary"],
             page["processes"]))
    if page["scrollWidth"] > page["innerWidth"] or page["tableRight"] > page["innerWidth"]:
        failures.append("%s: the page scrolls sideways (%d px wide, table ends at %d, viewport %d)"
                        % (label, page["scrollWidth"], page["tableRight"], page["innerWidth"]))
    if page["summary"] == 0:
        failures.append("%s: no status summary" % label)
    if not page["table"]:
        failures.append("%s: no process table" % label)
    if (width, height) == SIZES[0]:
        dom = driver.script("return document.documentElement.outerHTML;")
        with open(os.path.join(out, "report-dom.html"), "w", encoding="utf-8") as f:
            f.write(dom)

    marked = driver.script(MARK_EXPANDER)
    if marked is None:
        failures.append("%s: no process to open" % label)
    else:
        if marked["shown"]:
            failures.append("%s: a process shows its modules before it is opened" % label)
        summary = driver.do("POST", "/element", {"using": "css selector", "value": "[data-browser-check]"})
        element = next(iter(summary.values()))
        driver.do("POST", "/element/%s/click" % element, {})
        opened = driver.script(EXPANDED)
        what = "modules" if marked["modules"] else "details (it has no modules)"
        print("browser %s: a process opened into its %s: %s" % (label, what, opened["shown"]))
        if not (opened["open"] and opened["shown"]):
            failures.append("%s: a process did not open into its %s" % (label, what))
        if opened["scrollWidth"] > opened["innerWidth"]:
            failures.append("%s: an open process makes the page scroll sideways (%d px, viewport %d)"
                            % (label, opened["scrollWidth"], opened["innerWidth"]))

    driver.script("window.scrollTo(0, 0);")
    shot = os.path.join(out, "report-%s.png" % label)
    with open(shot, "wb") as f:
        f.write(base64.b64decode(driver.do("GET", "/screenshot")))
    print("browser %s: screenshot %s" % (label, shot))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("address")
    parser.add_argument("out")
    parser.add_argument("--chromium", default=shutil.which("chromium") or "/usr/bin/chromium")
    parser.add_argument("--driver", default=shutil.which("chromedriver") or "/usr/bin/chromedriver")
    args = parser.parse_args()
    if not os.path.exists(args.driver):
        print("browser: no chromedriver at %s (scripts/bootstrap.sh installs chromium-driver)" % args.driver)
        return 1
    os.makedirs(args.out, exist_ok=True)

    port = free_port()
    log = open(os.path.join(args.out, "chromedriver.log"), "wb")
    process = subprocess.Popen([args.driver, "--port=%d" % port], stdout=log, stderr=subprocess.STDOUT)
    profile = tempfile.mkdtemp(prefix="zorvane-browser-")
    driver = WebDriver("http://127.0.0.1:%d" % port)
    failures = []
    try:
        if not wait_ready(driver, process):
            print("browser: chromedriver did not start; see %s" % log.name)
            return 1
        driver.start(args.chromium, profile)
        for width, height in SIZES:
            check_size(driver, args.address, width, height, args.out, failures)
    except (RuntimeError, OSError, KeyError, TypeError) as error:
        failures.append("webdriver: %s" % error)
    finally:
        driver.stop()
        process.terminate()
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        log.close()
        shutil.rmtree(profile, ignore_errors=True)
    for failure in failures:
        print("FAIL: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
