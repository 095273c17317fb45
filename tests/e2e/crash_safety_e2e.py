#!/usr/bin/env python3
"""Crash safety: the service under Wine is killed (by its process id) in the
middle of pushes of a large file, many times. Afterwards the target always
holds the old or the new content in full, never a mix or an empty file, and
the service starts again and answers.

Usage: crash_safety_e2e.py --build BUILD_WIN --host-client PATH [--rounds 8]
"""
import os
import random
import shutil
import signal
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "support"))
import tzsupport  # noqa: E402
from tzsupport import free_port  # noqa: E402


ARGS = None
KEY = "crash-key-0123"


def service_pids(port):
    # Only the Wine process serving this port: other test runs may be about.
    out = subprocess.run(["pgrep", "-f", "tz_service_host.exe %d " % port], capture_output=True, text=True).stdout
    return [int(p) for p in out.split()]


class CrashSafety(unittest.TestCase):
    def test_killed_mid_push_leaves_old_or_new(self):
        root = os.path.join(ARGS.prefix, "drive_c", "MirServerCrash")
        shutil.rmtree(root, ignore_errors=True)
        os.makedirs(os.path.join(root, "Mir200", "Envir"))
        target = os.path.join(root, "Mir200", "Envir", "big.txt")
        contents = [bytes([65 + i]) * (8 * 1024 * 1024) for i in range(3)]
        with open(target, "wb") as f:
            f.write(contents[0])
        locals_ = []
        for i, content in enumerate(contents):
            path = os.path.join(ARGS.build, "crash-%d.bin" % i)
            with open(path, "wb") as f:
                f.write(content)
            locals_.append(path)

        rng = random.Random(62)
        runner = os.path.join(ARGS.source, "cmake", "wine-run")
        killed_mid_push = 0
        try:
            for round_ in range(ARGS.rounds):
                port = free_port()
                host = subprocess.Popen([runner, ARGS.prefix, os.path.join(ARGS.build, "tz_service_host.exe"),
                                         str(port), KEY], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL)
                self.assertTrue(host.stdout.readline().startswith(b"RUNNING"), round_)
                pid = service_pids(port)
                push = subprocess.Popen([ARGS.host_client, "--port", str(port), "--key", KEY, "--timeout", "60000",
                                         "push", "C:\\MirServerCrash", "Mir200\\Envir\\big.txt",
                                         locals_[1 + round_ % 2]], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
                time.sleep(rng.uniform(0.5, 4.0))
                if push.poll() is None:
                    killed_mid_push += 1
                for p in pid:
                    os.kill(p, signal.SIGKILL)
                host.kill()
                host.wait()
                host.stdout.close()
                push.wait(timeout=120)
                with open(target, "rb") as f:
                    now = f.read()
                self.assertIn(now, contents, "round %d: the file holds neither version in full" % round_)

            port = free_port()
            host = subprocess.Popen([runner, ARGS.prefix, os.path.join(ARGS.build, "tz_service_host.exe"),
                                     str(port), KEY], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                    stderr=subprocess.DEVNULL)
            self.assertTrue(host.stdout.readline().startswith(b"RUNNING"))
            done = subprocess.run([ARGS.host_client, "--port", str(port), "--key", KEY, "ping"],
                                  capture_output=True, timeout=60)
            self.assertEqual(done.returncode, 0)
            host.stdin.close()
            host.wait(timeout=30)
            host.stdout.close()
            print("killed %d of %d rounds while the push was still running" % (killed_mid_push, ARGS.rounds))
            self.assertGreater(killed_mid_push, 0)
        finally:
            shutil.rmtree(root, ignore_errors=True)


def main():
    global ARGS
    parser = tzsupport.e2e_parser()
    parser.add_argument("--host-client", required=True)
    parser.add_argument("--rounds", type=int, default=6)
    ARGS, rest = tzsupport.parse_e2e_args(parser)
    tzsupport.run_suite(rest)


if __name__ == "__main__":
    main()
