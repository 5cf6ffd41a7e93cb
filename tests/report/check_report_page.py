#!/usr/bin/env python3
"""Opens the batch report's index.html in headless Chromium and checks what a reader gets.

Generates a few SEM images in two groups (and one whose file name is HTML markup that would
load a picture and run a script if it were not escaped), runs rugon-report on them and on a
file that does not exist, loads the page in Chromium and checks:
  - no console error, no uncaught exception, no dialog, no failed request;
  - one row of the summary table per listed image;
  - clicking a column heading orders the rows by it (empty cells last), a second click
    reverses the order;
  - every <img> has loaded (naturalWidth > 0) and every inline SVG plot has drawn;
  - the groups table has a row per group, and flagged rows are marked;
  - ids are unique and every in-page reference resolves;
  - the markup in the file name shows as text.
A screenshot of the page goes to --screenshot.

Chromium is driven over its DevTools protocol through a pipe (--remote-debugging-pipe: JSON
messages ended by a NUL byte, commands on file descriptor 3, replies on 4), so that only the
standard library is needed: no WebDriver whose version must match the browser's, no port.
Every wait has a timeout; Chromium is always ended.
"""
import argparse
import base64
import fcntl
import json
import os
import pathlib
import select
import shutil
import subprocess
import sys
import tempfile
import time

failures = []


def fail(message):
    failures.append(message)
    print("FAIL: " + message, flush=True)


def check(condition, message):
    if not condition:
        fail(message)
    return condition


# ------------------------------------------------------------------------------------------
# DevTools protocol over a pipe


class Browser:
    def __init__(self, chromium, profile):
        to_child_r, self.to_child = os.pipe()
        self.from_child, from_child_w = os.pipe()

        def place_pipes():
            # The child reads commands on 3 and writes replies on 4. Both ends are first
            # copied above 10 so that placing one cannot overwrite the other.
            r = fcntl.fcntl(to_child_r, fcntl.F_DUPFD_CLOEXEC, 10)
            w = fcntl.fcntl(from_child_w, fcntl.F_DUPFD_CLOEXEC, 10)
            os.dup2(r, 3)
            os.dup2(w, 4)

        args = [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                "--no-first-run", "--disable-background-networking",
                "--disable-component-update", "--disable-sync", "--disable-extensions",
                "--hide-scrollbars", "--mute-audio", "--user-data-dir=" + profile,
                "--remote-debugging-pipe", "about:blank"]
        self.process = subprocess.Popen(args, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                        preexec_fn=place_pipes, close_fds=False)
        os.close(to_child_r)
        os.close(from_child_w)
        self.buffer = b""
        self.next_id = 1
        self.events = []
        self.session = None

    def _read_message(self, deadline):
        while b"\0" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("no message from Chromium in time")
            ready, _, _ = select.select([self.from_child], [], [], left)
            if not ready:
                continue
            chunk = os.read(self.from_child, 1 << 20)
            if not chunk:
                raise RuntimeError("Chromium closed its pipe")
            self.buffer += chunk
        message, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(message)

    def send(self, method, params=None, session=True, timeout=20.0):
        """Sends a command (to the page's session unless session is False) and returns its
        result; events that arrive meanwhile are kept."""
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session and self.session:
            message["sessionId"] = self.session
        self.next_id += 1
        data = json.dumps(message).encode() + b"\0"
        while data:
            data = data[os.write(self.to_child, data):]
        deadline = time.monotonic() + timeout
        while True:
            reply = self._read_message(deadline)
            if reply.get("id") == message["id"]:
                if "error" in reply:
                    raise RuntimeError("%s: %s" % (method, reply["error"]))
                return reply.get("result", {})
            self._event(reply)

    def _event(self, event):
        if "method" not in event:
            return
        self.events.append(event)
        if event["method"] == "Page.javascriptDialogOpening":
            # A dialog would stop the page; close it (and the check reports it).
            self.send("Page.handleJavaScriptDialog", {"accept": True})

    def wait_event(self, method, timeout=20.0):
        for event in self.events:
            if event["method"] == method:
                return event
        deadline = time.monotonic() + timeout
        while True:
            event = self._read_message(deadline)
            self._event(event)
            if event.get("method") == method:
                return event

    def evaluate(self, expression, timeout=20.0):
        result = self.send("Runtime.evaluate", {"expression": expression, "returnByValue": True,
                                                "awaitPromise": True}, timeout=timeout)
        if "exceptionDetails" in result:
            raise RuntimeError("script failed: %s" % json.dumps(result["exceptionDetails"]))
        return result["result"].get("value")

    def close(self):
        try:
            self.send("Browser.close", session=False, timeout=5.0)
        except Exception:
            pass
        try:
            self.process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        os.close(self.to_child)
        os.close(self.from_child)


# ------------------------------------------------------------------------------------------
# The run to look at

HOSTILE = "x<img src=nowhere.png onerror=alert(1)>"


def make_report(gen, report, folder):
    """Writes four images and runs the report on them and a missing file; returns the
    listed names in list order."""
    # List order is not the order of their roughness, so that sorting must move rows. The
    # long correlation length of lotB_1 (few correlation lengths in 384 rows) should raise a
    # flag.
    # Two groups by name (lotA, lotB); the hostile name is in none.
    images = [("lotA_1", ["--sigma", "1.6", "--seed", "3"]),
              (HOSTILE, ["--sigma", "0.6", "--seed", "4"]),
              ("lotB_1", ["--sigma", "1.1", "--seed", "5", "--correlation-length", "200"]),
              ("lotB_2_noisy", ["--sigma", "1.0", "--seed", "6", "--noise", "40"])]
    names = []
    for name, options in images:
        path = os.path.join(folder, name + ".pgm")
        subprocess.run([gen, "--output", path, "--width", "384", "--height", "384"] + options,
                       check=True, stdout=subprocess.DEVNULL, timeout=60)
        names.append(path)
    names.append(os.path.join(folder, "missing.pgm"))
    out = os.path.join(folder, "report")
    run = subprocess.run([report, "-o", out, "--pixel-size", "2", "--jobs", "2",
                          "--group", "^(lot[AB])_"] + names,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
    # A missing image makes the run end with 1, not as a failure of the run.
    check(run.returncode == 1, "rugon-report ended with %d, expected 1:\n%s"
          % (run.returncode, run.stderr.decode(errors="replace")))
    return out, names


# ------------------------------------------------------------------------------------------
# Checks in the page

ROW_KEYS = """
(column) => {
  const table = document.getElementById('summary-table');
  const headers = Array.from(table.tHead.rows[0].cells);
  const index = headers.findIndex(h => h.title.split(':')[0] === column);
  return Array.from(table.tBodies[0].rows).map(r => ({
    n: Number(r.dataset.n),
    key: index < 0 || !r.cells[index] ? null : r.cells[index].getAttribute('data-v')}));
}
"""


def rows_by(browser, column):
    return browser.evaluate("(%s)(%s)" % (ROW_KEYS, json.dumps(column)))


def click_header(browser, column):
    """Clicks the heading of `column` with the mouse, as a reader does."""
    box = browser.evaluate("""(() => {
      const h = Array.from(document.querySelectorAll('#summary-table thead th'))
          .find(h => h.title.split(':')[0] === %s);
      if (!h) return null;
      h.scrollIntoView({block: 'center'});
      const r = h.getBoundingClientRect();
      return {x: r.left + r.width / 2, y: r.top + r.height / 2};
    })()""" % json.dumps(column))
    if not check(box is not None, "no heading for column " + column):
        return
    for kind in ("mousePressed", "mouseReleased"):
        browser.send("Input.dispatchMouseEvent", {"type": kind, "x": box["x"], "y": box["y"],
                                                  "button": "left", "clickCount": 1})


def check_sorting(browser, rows):
    before = [r["n"] for r in rows_by(browser, "image_number")]
    check(before == list(range(rows)), "rows are not in list order at first: %s" % before)
    for column in ("lwr_3sigma_nm", "cd_average_nm"):
        values = rows_by(browser, column)
        filled = [r for r in values if r["key"] not in (None, "")]
        if len(set(float(r["key"]) for r in filled)) >= 3:
            break
    else:
        fail("no numeric column with three different values to sort by")
        return
    expected = sorted(filled, key=lambda r: (float(r["key"]), r["n"]))
    empties = [r for r in values if r["key"] in (None, "")]
    click_header(browser, column)
    after = rows_by(browser, column)
    check([r["n"] for r in after] == [r["n"] for r in expected + empties],
          "ascending %s: rows %s, expected %s" % (column, [r["n"] for r in after],
                                                  [r["n"] for r in expected + empties]))
    check([r["n"] for r in after] != before, "sorting by %s left the rows in place" % column)
    click_header(browser, column)
    after = rows_by(browser, column)
    descending = sorted(filled, key=lambda r: (-float(r["key"]), r["n"]))
    check([r["n"] for r in after] == [r["n"] for r in descending + empties],
          "descending %s: rows %s, expected %s" % (column, [r["n"] for r in after],
                                                   [r["n"] for r in descending + empties]))
    # Text order: the image names.
    click_header(browser, "image")
    names = [r["key"] for r in rows_by(browser, "image")]
    check(names == sorted(names, key=str.lower) or names == sorted(names),
          "sorting by image name gave %s" % names)
    click_header(browser, "image_number")
    check([r["n"] for r in rows_by(browser, "image_number")] == list(range(rows)),
          "sorting by # did not restore list order")


PICTURES = """(async () => {
  const bad = [];
  for (const img of Array.from(document.images)) {
    img.scrollIntoView({block: 'center'});
    if (!img.complete) {
      await new Promise(done => {
        img.addEventListener('load', done, {once: true});
        img.addEventListener('error', done, {once: true});
        setTimeout(done, 10000);
      });
    }
    if (!(img.naturalWidth > 0)) bad.push(img.getAttribute('src'));
  }
  window.scrollTo(0, 0);
  return {count: document.images.length, bad: bad};
})()"""

PLOTS = """(() => {
  const plots = Array.from(document.querySelectorAll('svg.plot'));
  const bad = [];
  for (const svg of plots) {
    const box = svg.getBoundingClientRect();
    const drawn = svg.getBBox();
    const marks = svg.querySelectorAll('path, use, rect').length;
    if (!(box.width > 100 && box.height > 50 && drawn.width > 0 && marks > 10))
      bad.push(svg.getAttribute('aria-label'));
  }
  const ids = {};
  const duplicates = [];
  for (const el of Array.from(document.querySelectorAll('[id]'))) {
    if (ids[el.id]) duplicates.push(el.id);
    ids[el.id] = true;
  }
  const dangling = [];
  for (const el of Array.from(document.querySelectorAll('use, a'))) {
    const ref = el.getAttribute('href') || el.getAttribute('xlink:href') || '';
    if (ref.startsWith('#') && !document.getElementById(ref.slice(1))) dangling.push(ref);
  }
  return {count: plots.length, bad: bad, duplicates: duplicates.slice(0, 5),
          dangling: dangling.slice(0, 5)};
})()"""


def problems_in(events, folder_url):
    problems = []
    for e in events:
        method, p = e["method"], e.get("params", {})
        if method == "Runtime.consoleAPICalled" and p.get("type") in ("error", "assert"):
            problems.append("console %s: %s" % (p["type"], json.dumps(p.get("args"))[:300]))
        elif method == "Runtime.exceptionThrown":
            problems.append("exception: %s" % json.dumps(p.get("exceptionDetails"))[:300])
        elif method == "Log.entryAdded" and p["entry"].get("level") == "error":
            problems.append("log error: %s" % p["entry"].get("text"))
        elif method == "Network.loadingFailed":
            problems.append("request failed: %s" % p.get("errorText"))
        elif method == "Network.requestWillBeSent":
            url = p["request"]["url"]
            if not (url.startswith(folder_url) or url.startswith("data:")):
                problems.append("request outside the report folder: " + url)
        elif method == "Network.responseReceived":
            status = p["response"].get("status", 0)
            if status >= 400:
                problems.append("response %d for %s" % (status, p["response"]["url"]))
        elif method == "Page.javascriptDialogOpening":
            problems.append("a dialog opened: " + p.get("message", ""))
    return problems


def check_page(browser, page, listed, screenshot):
    browser.session = None
    targets = browser.send("Target.getTargets", session=False)["targetInfos"]
    pages = [t for t in targets if t["type"] == "page"]
    if pages:
        target = pages[0]["targetId"]
    else:
        target = browser.send("Target.createTarget", {"url": "about:blank"},
                              session=False)["targetId"]
    browser.session = browser.send("Target.attachToTarget", {"targetId": target, "flatten": True},
                                   session=False)["sessionId"]
    for domain in ("Page", "Runtime", "Log", "Network"):
        browser.send(domain + ".enable")
    browser.send("Emulation.setDeviceMetricsOverride",
                 {"width": 1400, "height": 2000, "deviceScaleFactor": 1, "mobile": False})
    url = pathlib.Path(page).resolve().as_uri()
    browser.send("Page.navigate", {"url": url})
    browser.wait_event("Page.loadEventFired")

    rows = browser.evaluate("document.querySelectorAll('#summary-table tbody tr').length")
    check(rows == len(listed), "summary has %s rows for %d listed images" % (rows, len(listed)))
    check_sorting(browser, len(listed))

    pictures = browser.evaluate(PICTURES, timeout=60.0)
    check(pictures["count"] >= 2 * (len(listed) - 1),
          "only %d pictures on the page" % pictures["count"])
    check(not pictures["bad"], "pictures not loaded: %s" % pictures["bad"])
    plots = browser.evaluate(PLOTS)
    check(plots["count"] >= 3, "only %d inline plots" % plots["count"])
    groups = browser.evaluate("document.querySelectorAll('#groups tbody tr').length")
    check(groups == 2, "%s rows in the groups table for two groups" % groups)
    check(not plots["bad"], "plots not drawn: %s" % plots["bad"])
    check(not plots["duplicates"], "duplicate ids: %s" % plots["duplicates"])
    check(not plots["dangling"], "references to no element: %s" % plots["dangling"])

    # The markup of the file name is text in the table, never an element.
    shown = browser.evaluate("""Array.from(document.querySelectorAll('#summary-table a'))
        .map(a => a.textContent)""")
    check(any(HOSTILE in name for name in shown), "the hostile name is not shown as text")
    check(browser.evaluate("document.querySelectorAll('img[src=\"nowhere.png\"]').length") == 0,
          "markup from a file name became an element")
    # Rows with flags are marked, rows without are not.
    marks = browser.evaluate("""Array.from(document.querySelectorAll('#summary-table tbody tr'))
        .map(r => [r.className, r.querySelectorAll('.flag').length])""")
    for row_class, flags in marks:
        if row_class != "failed":
            check((row_class == "flagged") == (flags > 0),
                  "row class %r with %d flags" % (row_class, flags))
    failed = browser.evaluate("(document.getElementById('failed') || {}).textContent || ''")
    check("missing.pgm" in failed, "the missing image is not listed as failed")

    # Following a link to an image's section leaves its heading below the sticky bar.
    covered = browser.evaluate("""(() => {
        const link = document.querySelector('#summary-table a[href^="#image-"]');
        link.click();
        const heading = document.querySelector(link.getAttribute('href') + ' h3');
        const bar = document.querySelector('nav').getBoundingClientRect().bottom;
        return [link.getAttribute('href'), heading.getBoundingClientRect().top, bar];
    })()""")
    check(covered[1] >= covered[2],
          "the heading of %s lies under the bar after its link (top %.0f, bar %.0f)" % tuple(covered))

    time.sleep(0.3)  # late errors of the pictures loaded last
    browser.send("Runtime.evaluate", {"expression": "0"})  # collects the events meanwhile
    folder = pathlib.Path(page).resolve().parent.as_uri() + "/"
    for problem in problems_in(browser.events, folder):
        fail(problem)

    browser.evaluate("window.scrollTo(0, 0)")
    shot = browser.send("Page.captureScreenshot", {"format": "png"}, timeout=30.0)
    with open(screenshot, "wb") as f:
        f.write(base64.b64decode(shot["data"]))
    print("screenshot: " + screenshot, flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--gen", required=True, help="rugon-gen-sem")
    parser.add_argument("--report", required=True, help="rugon-report")
    parser.add_argument("--chromium", default="chromium")
    parser.add_argument("--work", required=True, help="folder for the images and the report")
    parser.add_argument("--screenshot", required=True)
    args = parser.parse_args()

    chromium = shutil.which(args.chromium)
    if chromium is None:
        print("FAIL: %s not found; ./tools/setup.sh installs it" % args.chromium)
        return 1
    started = time.monotonic()
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    out, listed = make_report(args.gen, args.report, args.work)
    page = os.path.join(out, "index.html")
    if not check(os.path.isfile(page), "no index.html in " + out):
        return 1

    profile = tempfile.mkdtemp(prefix="rugon-chromium-")
    browser = Browser(chromium, profile)
    try:
        check_page(browser, page, listed, args.screenshot)
    except (TimeoutError, RuntimeError) as error:
        fail(str(error))
    finally:
        browser.close()
        shutil.rmtree(profile, ignore_errors=True)
    print("%.1f s" % (time.monotonic() - started))
    if failures:
        print("%d check(s) failed" % len(failures))
        return 1
    print("page checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
