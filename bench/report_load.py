"""Median load time of a report page in headless Chromium, for `make bench`.

    report_load.py PAGE ROUNDS    prints the median milliseconds from the start of navigation
                                  until the page's script has drawn every panel (the page
                                  writes it into <html data-load-ms>), over ROUNDS fresh browsers

Fails when the page recorded an error (its #page-errors element is shown).
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile


def load_ms(page):
    with tempfile.TemporaryDirectory() as profile:
        dom = subprocess.run(
            ["chromium", "--headless", "--disable-gpu", "--no-sandbox", "--no-first-run", "--disable-extensions",
             "--user-data-dir=%s" % profile, "--window-size=1400,1400", "--dump-dom", "file://" + os.path.abspath(page)],
            capture_output=True, text=True, timeout=300, check=True).stdout
    errors = re.search(r'<pre id="page-errors"([^>]*)>(.*?)</pre>', dom, re.S)
    if not errors or "hidden" not in errors.group(1):
        raise SystemExit("the page recorded errors: %s" % (errors and errors.group(2)))
    return int(re.search(r'data-load-ms="(\d+)"', dom).group(1))


def main(argv):
    if len(argv) != 3 or not shutil.which("chromium"):
        raise SystemExit(__doc__)
    times = sorted(load_ms(argv[1]) for _ in range(int(argv[2])))
    print(times[len(times) // 2])


if __name__ == "__main__":
    main(sys.argv)
