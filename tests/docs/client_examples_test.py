#!/usr/bin/env python3
"""The client examples of docs/api.md print the document's worked example.

Runs docs/examples/tz_client.py (Python with `cryptography`) and compiles
docs/examples/TzClient.cs with Mono's mcs and runs it; each must print the
`name = value` lines of the ```worked-example block exactly, so an example
that signs, derives, pads or serializes differently from the tool fails here.

Usage: client_examples_test.py   (from anywhere; needs python3-cryptography and mono-mcs)
"""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXAMPLES = os.path.join(ROOT, "docs", "examples")


def worked_example():
    with open(os.path.join(ROOT, "docs", "api.md"), encoding="utf-8") as f:
        text = f.read()
    start = text.index("```worked-example\n") + len("```worked-example\n")
    return text[start:text.index("```", start)]


class ClientExamples(unittest.TestCase):
    def test_python_example(self):
        done = subprocess.run([sys.executable, os.path.join(EXAMPLES, "tz_client.py")], capture_output=True,
                              timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr.decode(errors="replace"))
        self.assertEqual(done.stdout.decode("utf-8"), worked_example())

    def test_csharp_example(self):
        folder = tempfile.mkdtemp()
        try:
            program = os.path.join(folder, "TzClient.exe")
            built = subprocess.run(["mcs", "-warnaserror", "-out:" + program, os.path.join(EXAMPLES, "TzClient.cs")],
                                   capture_output=True, text=True, timeout=120)
            self.assertEqual(built.returncode, 0, built.stdout + built.stderr)
            done = subprocess.run(["mono", program], capture_output=True, timeout=60)
            self.assertEqual(done.returncode, 0, done.stderr.decode(errors="replace"))
            self.assertEqual(done.stdout.decode("utf-8"), worked_example())
        finally:
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v", *sys.argv[1:]])
