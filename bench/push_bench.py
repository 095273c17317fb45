#!/usr/bin/env python3
"""End-to-end time of /api/file/sync for 1 KiB, 1 MiB and 64 MiB files against
the real service under Wine, and the service's peak memory during each push as
a multiple of the file size. A benchmark that prints figures, not a test.

Usage: bench/push_bench.py [--sizes 1K,1M,64M] [--repeat 3]
Needs the Windows build (scripts/build); the pushes are made by the Windows
tzclient under the same Wine, as an editor on Windows would make them (the
host tzclient is a sanitizer build, far too slow to measure with). The time
includes the client's encryption.
"""
import argparse
import os
import shutil
import socket
import subprocess
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build", "win")
KEY = "0123456789abcdef0123456789abcdef"
UNITS = {"K": 1024, "M": 1024 * 1024}


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def service_pid(port):
    out = subprocess.run(["pgrep", "-f", "tz_service_host.exe %d " % port], capture_output=True, text=True).stdout.split()
    return out[0] if out else None


def rss_kib(pid):
    try:
        with open("/proc/%s/status" % pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="1K,1M,64M")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    prefix = os.environ.get("WINEPREFIX", os.path.join(BUILD, "wineprefix"))
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")
    version = os.path.join(prefix, "drive_c", "MirServerBench")
    shutil.rmtree(version, ignore_errors=True)
    os.makedirs(os.path.join(version, "Mir200", "Envir"))
    port = free_port()
    host = subprocess.Popen([os.path.join(ROOT, "cmake", "wine-run"), prefix,
                             os.path.join(BUILD, "tz_service_host.exe"), str(port), KEY],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
    try:
        if not host.stdout.readline().startswith(b"RUNNING"):
            raise SystemExit("service did not start")
        pid = service_pid(port)
        print("%-6s %10s %10s %14s" % ("size", "best s", "MiB/s", "peak mem/size"))
        for size_text in args.sizes.split(","):
            size = int(size_text[:-1]) * UNITS[size_text[-1]] if size_text[-1] in UNITS else int(size_text)
            local = os.path.join(BUILD, "bench-push.bin")
            with open(local, "wb") as f:
                f.write(os.urandom(size))
            best = None
            peak_ratio = 0.0
            for _ in range(args.repeat):
                idle = rss_kib(pid)
                peak = [idle]
                done = threading.Event()

                def sample():
                    while not done.is_set():
                        peak[0] = max(peak[0], rss_kib(pid))
                        time.sleep(0.005)

                watcher = threading.Thread(target=sample)
                watcher.start()
                started = time.perf_counter()
                result = subprocess.run([os.path.join(ROOT, "cmake", "wine-run"), prefix,
                                         os.path.join(BUILD, "tzclient.exe"), "--port", str(port), "--key", KEY,
                                         "--timeout", "600000", "push", "C:\\MirServerBench",
                                         "Mir200\\Envir\\bench.txt", "T:\\bench-push.bin"],
                                        capture_output=True, env=env)
                elapsed = time.perf_counter() - started
                done.set()
                watcher.join()
                if result.returncode != 0:
                    raise SystemExit("push failed: %s" % result.stdout.decode())
                best = elapsed if best is None else min(best, elapsed)
                peak_ratio = max(peak_ratio, (peak[0] - idle) * 1024 / size)
            print("%-6s %10.3f %10.1f %13.1fx" % (size_text, best, size / best / (1 << 20), peak_ratio))
    finally:
        host.stdin.close()
        host.wait(timeout=30)
        shutil.rmtree(version, ignore_errors=True)


if __name__ == "__main__":
    main()
