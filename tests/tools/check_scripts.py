"""Checks of the project's shell scripts (run by ctest): each one parses (bash -n), and
none that sets pipefail pipes into a reader that may stop before its input ends (grep -q,
grep -m, head, sed with q, awk with exit). Such a reader closes the pipe, the writer
dies of SIGPIPE and pipefail turns a found line into a failure.

usage: check_scripts.py SOURCE_DIR
"""
import pathlib
import re
import subprocess
import sys
import unittest

SOURCE = pathlib.Path(sys.argv.pop(1)).resolve()

EARLY_READER = re.compile(
    r"\|\s*(?:grep\s+(?:-\w*\s+)*-\w*[qm]|head\b|sed\s+(?:-\w+\s+)*'[^']*\bq\b|awk\b[^|]*\bexit\b)")


def shell_scripts():
    found = sorted(SOURCE.glob("scripts/*.sh")) + sorted(SOURCE.glob("tests/**/*.sh"))
    found.append(SOURCE / ".ci" / "run")
    return [p for p in found if p.is_file()]


def early_readers(text):
    """Lines (number, text) of pipelines into an early-exiting reader."""
    hits = []
    for number, line in enumerate(text.splitlines(), 1):
        code = line.split("#", 1)[0] if not line.lstrip().startswith("#") else ""
        if EARLY_READER.search(code.replace("||", "  ")):
            hits.append((number, line.strip()))
    return hits


class Scripts(unittest.TestCase):
    def test_the_pattern_finds_what_it_should(self):
        for bad in ["ninja -t targets all | grep -q \"^x:\"", "ls | head -1", "cat f | grep -m1 x",
                    "cat f | sed -n '/x/{p;q}'", "cat f | awk '/x/ { print; exit }'",
                    "cat f | grep -xq x"]:
            self.assertTrue(early_readers(bad), bad)
        for good in ["grep -q x <<< \"$known\"", "cat f | grep x", "sha1sum < f | cut -c1-16",
                     "false || head -1 f", "sort | tail -1", "# ls | head -1"]:
            self.assertFalse(early_readers(good), good)

    def test_scripts_parse_and_keep_pipefail_safe(self):
        scripts = shell_scripts()
        self.assertGreater(len(scripts), 5)
        for path in scripts:
            with self.subTest(script=str(path.relative_to(SOURCE))):
                result = subprocess.run(["bash", "-n", str(path)], capture_output=True, text=True)
                self.assertEqual(result.returncode, 0, result.stderr)
                text = path.read_text()
                if "pipefail" in text:
                    self.assertEqual(early_readers(text), [])


if __name__ == "__main__":
    unittest.main(verbosity=1)
