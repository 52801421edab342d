"""The audits' pages as a real browser shows them. Headless Chromium's DOM
of each page holds a row for each subject and a cell for each check, with
the verdicts of the same audit as JSON; a screenshot is not blank; what a
shell prints stays text. Run by tests/checks.sh audit-page, which skips
without Chromium: python3 -m unittest in_browser, from this folder."""

import collections
import json
import os
import struct
import subprocess
import tempfile
import unittest
import zlib

from test_audit import AUDIT, FIXTURES, Dom, all_formats, setUpModule  # noqa: F401

CHROMIUM = ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
            "--no-first-run", "--disable-background-networking", "--disable-component-update",
            "--disable-sync", "--hide-scrollbars"]
SHELLS = ["dash", "bash", "zsh", "mksh", "ksh93", "yash", "busybox sh", "posh"]
EMBEDDING = ("script", "link", "img", "iframe", "object", "embed", "source", "video", "audio")


def browse(path, *how):
    """What Chromium prints of the page at `path`, started afresh."""
    with tempfile.TemporaryDirectory() as home:
        done = subprocess.run(CHROMIUM + ["--user-data-dir=" + home] + list(how) +
                              ["file://" + path], stdin=subprocess.DEVNULL, capture_output=True,
                              text=True, timeout=120, env=dict(os.environ, HOME=home))
    return done.stdout


def pixels(png):
    """The RGB colours of a PNG's pixels (8 bits a sample, RGB or RGBA)."""
    with open(png, "rb") as f:
        data = f.read()[8:]
    chunks, idat = {}, b""
    while data:
        size, kind = struct.unpack(">I4s", data[:8])
        body, data = data[8:8 + size], data[12 + size:]
        idat += body if kind == b"IDAT" else b""
        chunks.setdefault(kind, body)
    width, height, depth, colour = struct.unpack(">IIBB", chunks[b"IHDR"][:10])
    assert depth == 8 and colour in (2, 6), "an 8-bit RGB or RGBA PNG expected"
    step = 3 if colour == 2 else 4
    raw, line, prior, out = zlib.decompress(idat), width * step, bytearray(width * step), []
    for y in range(height):
        kind, row = raw[y * (line + 1)], bytearray(raw[y * (line + 1) + 1:(y + 1) * (line + 1)])
        for i in range(line):
            left = row[i - step] if i >= step else 0
            up, corner = prior[i], prior[i - step] if i >= step else 0
            guess = left + up - corner
            nearest = min((abs(guess - left), left), (abs(guess - up), up),
                          (abs(guess - corner), corner), key=lambda pair: pair[0])[1]
            row[i] = (row[i] + (0, left, up, (left + up) // 2, nearest)[kind]) & 255
        out.extend(bytes(row[i:i + 3]) for i in range(0, line, step))
        prior = row
    return out


class Pages(unittest.TestCase):
    def page_and_json(self, entry, *words):
        """The page and the JSON of one audit, run at once, as the same run's."""
        runs = all_formats(*words, entry=entry, forms=("json", "html"))
        self.assertEqual(runs["json"][0], runs["html"][0], "the two runs' exit statuses")
        page = runs["html"][1]
        self.assertIn("<dt>exit status</dt><dd>%d</dd>" % runs["html"][0], page)
        self.loads_nothing(page)
        path = os.path.join(tempfile.mkdtemp(prefix="zelk-page-"), "page.html")
        with open(path, "w") as f:
            f.write(page)
        return path, page, json.loads(runs["json"][1])

    def loads_nothing(self, page):
        dom = Dom(page)
        self.assertEqual([t for t, _, _ in dom.elements if t in EMBEDDING], [])
        for tag, attrs, _ in dom.elements:
            for name, value in attrs.items():
                self.assertFalse(name in ("src", "srcset", "href") and not value.startswith("#"),
                                 (tag, name, value))
                self.assertFalse(name == "style" or "//" in value, (tag, name, value))
        style = page[page.index("<style>"):page.index("</style>")]
        for word in ("http:", "https:", "//", "url(", "@import"):
            self.assertNotIn(word, style)
        for word in ("http:", "https:"):
            self.assertNotIn(word, page)

    def same_verdicts(self, path, audit, key):
        cells, rows = Dom(browse(path, "--dump-dom")).cells()
        self.assertEqual(rows, [s["name"] for s in audit[key]])
        for s in audit[key]:
            wanted = dict({i: c["verdict"] for i, c in s["checks"].items()},
                          **{i: "report" for i in s["reports"]})
            got = {i: verdict for (row, i), (verdict, _) in cells.items() if row == s["name"]}
            self.assertEqual(got, wanted, s["name"])
        self.assertEqual(len(cells), sum(len(s["checks"]) + len(s["reports"]) for s in audit[key]))

    def test_debian_shells(self):
        path, page, audit = self.page_and_json(
            "shell_audit.py", "--expect", os.path.join(AUDIT, "expected", "debian-12.txt"), *SHELLS)
        self.assertLess(len(page.encode()), 500000)
        self.same_verdicts(path, audit, "shells")
        png = path[:-len("html")] + "png"
        browse(path, "--window-size=1280,800", "--screenshot=" + png)
        seen = collections.Counter(pixels(png))
        self.assertEqual(sum(seen.values()), 1280 * 800)
        self.assertGreater(len(seen), 8, "the screenshot has hardly a colour")
        self.assertLess(seen.most_common(1)[0][1], 0.95 * 1280 * 800, "the screenshot is blank")

    def test_debian_launchers(self):
        path, _, audit = self.page_and_json(
            "launch_audit.py", "--catalogue", os.path.join(AUDIT, "catalogue", "debian-12.txt"),
            "--expect", os.path.join(AUDIT, "expected", "debian-12-launchers.txt"))
        self.same_verdicts(path, audit, "launchers")

    def test_what_a_shell_prints_stays_text(self):
        path, _, audit = self.page_and_json(
            "shell_audit.py", "--only", "async-ignores-int-quit,sigint-to-shell,"
            "foreground-job-owns-terminal", os.path.join(FIXTURES, "hostile-shell"))
        dom = Dom(browse(path, "--dump-dom"))
        self.assertEqual([t for t, _, _ in dom.elements if t in ("script", "img")], [])
        text = "".join(dom.text)
        for printed in ("<script>alert(3)</script>", "src=x onerror=alert(2)>"):
            self.assertIn(printed, text)
        self.same_verdicts(path, audit, "shells")


if __name__ == "__main__":
    unittest.main()
