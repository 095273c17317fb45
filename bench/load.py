#!/usr/bin/env python3
"""Load on the real service under Wine, 127.0.0.1 only, bounded in count and
time: 200 concurrent signed pings, then 20 concurrent pushes to one file and
20 to different files, all at once with /api/versions requests. Prints
throughput, latency percentiles and the service's peak memory and thread
count, and checks that every push either took full effect (the file holds one
of the pushed contents, and every replaced content has a backup copy) or was
refused, and that the service still answers.

Usage: bench/load.py   (needs the Windows build: scripts/build)
"""
import json
import os
import shutil
import subprocess
import threading
import time

import benchlib
from benchlib import BUILD, ROOT, free_port

KEY = "load-key-0123456789"
BACKUP = "【TZ62Editor编辑器同步备份请谨慎】"


def signed(path, body=b""):
    return benchlib.signed_request(KEY, path, body, nonce_prefix="load")


def payload(content):
    return benchlib.payload(KEY, content).decode()


def exchange(port, data):
    """Seconds taken and the parsed JSON answer (None for an empty one)."""
    elapsed, raw = benchlib.exchange(port, data, timeout=120)
    body = raw.partition(b"\r\n\r\n")[2]
    return elapsed, json.loads(body) if body else None


def process_stats(pattern):
    pids = subprocess.run(["pgrep", "-f", pattern], capture_output=True, text=True).stdout.split()
    for pid in pids:
        try:
            with open("/proc/%s/status" % pid) as f:
                fields = dict(line.split(":", 1) for line in f if ":" in line)
            return int(fields["VmRSS"].split()[0]), int(fields["VmHWM"].split()[0]), int(fields["Threads"])
        except (OSError, KeyError):
            continue
    return 0, 0, 0


def run_all(port, requests):
    results = [None] * len(requests)

    def one(i):
        try:
            results[i] = exchange(port, requests[i])
        except OSError as error:
            results[i] = (0.0, {"error": str(error)})

    threads = [threading.Thread(target=one, args=(i,)) for i in range(len(requests))]
    started = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=300)
    return time.perf_counter() - started, results


def percentiles(times):
    times = sorted(times)
    pick = lambda p: times[min(len(times) - 1, int(p * len(times)))] * 1000
    return "p50 %.0f ms, p90 %.0f ms, p99 %.0f ms" % (pick(0.5), pick(0.9), pick(0.99))


def main():
    prefix = os.environ.get("WINEPREFIX", os.path.join(BUILD, "wineprefix"))
    version_dir = os.path.join(prefix, "drive_c", "MirServerLoad")
    shutil.rmtree(version_dir, ignore_errors=True)
    os.makedirs(os.path.join(version_dir, "Mir200", "Envir"))
    with open(os.path.join(version_dir, "Config.ini"), "wb") as f:
        f.write(b"[Server]\r\n")
    shared_target = os.path.join(version_dir, "Mir200", "Envir", "shared.txt")
    with open(shared_target, "wb") as f:
        f.write(b"original")

    port = free_port()
    host = subprocess.Popen([os.path.join(ROOT, "cmake", "wine-run"), prefix,
                             os.path.join(BUILD, "tz_service_host.exe"), str(port), KEY],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    peak_threads = [0]
    sampling = threading.Event()

    def sample():
        while not sampling.is_set():
            peak_threads[0] = max(peak_threads[0], process_stats("tz_service_host.exe %d " % port)[2])
            time.sleep(0.05)

    try:
        if not host.stdout.readline().startswith(b"RUNNING"):
            raise SystemExit("service did not start")
        idle_rss = process_stats("tz_service_host.exe %d " % port)[0]
        watcher = threading.Thread(target=sample)
        watcher.start()

        wall, results = run_all(port, [signed("/api/ping") for _ in range(200)])
        ok = sum(1 for _, r in results if r and r.get("success"))
        print("200 concurrent pings: %d answered with success in %.2f s (%.0f/s), %s"
              % (ok, wall, len(results) / wall, percentiles([t for t, _ in results])))

        contents = [("content %d " % i).encode() * (1000 + i) for i in range(20)]
        same = [signed("/api/file/sync", json.dumps({"versionPath": "C:\\MirServerLoad",
                "relativePath": "Mir200\\Envir\\shared.txt", "fileBytes": payload(c)}).encode()) for c in contents]
        different = [signed("/api/file/sync", json.dumps({"versionPath": "C:\\MirServerLoad",
                     "relativePath": "Mir200\\Envir\\f%02d.txt" % i, "fileBytes": payload(c)}).encode())
                     for i, c in enumerate(contents)]
        versions = [signed("/api/versions") for _ in range(10)]
        wall, results = run_all(port, same + different + versions)
        pushes = results[:40]
        took = [r for _, r in pushes if r and r.get("success")]
        refused = [r for _, r in pushes if r and not r.get("success")]
        print("40 concurrent pushes + 10 versions: %d pushed, %d refused, %d without answer in %.2f s, %s"
              % (len(took), len(refused), 40 - len(took) - len(refused), wall,
                 percentiles([t for t, _ in pushes])))

        with open(shared_target, "rb") as f:
            final = f.read()
        assert final in contents, "the shared file holds none of the pushed contents"
        backup_dir = os.path.join(version_dir, BACKUP, "Mir200", "Envir")
        copies = []
        for name in os.listdir(backup_dir):
            if name.startswith("shared_"):
                with open(os.path.join(backup_dir, name), "rb") as f:
                    copies.append(f.read())
        took_same = sum(1 for _, r in results[:20] if r and r.get("success"))
        assert len(copies) == took_same, "%d copies for %d replaced versions" % (len(copies), took_same)
        assert b"original" in copies, "the original content has no backup"
        for i, c in enumerate(contents):
            with open(os.path.join(version_dir, "Mir200", "Envir", "f%02d.txt" % i), "rb") as f:
                assert f.read() == c
        _, answer = exchange(port, signed("/api/ping"))
        assert answer and answer.get("success"), "the service no longer answers"
        sampling.set()
        watcher.join()
        rss, peak, _ = process_stats("tz_service_host.exe %d " % port)
        print("service memory: idle %.1f MiB, peak %.1f MiB; threads: peak %d (Wine's own included)"
              % (idle_rss / 1024, peak / 1024, peak_threads[0]))
        print("every push took full effect or was refused; backups: %d copies of the shared file" % len(copies))
    finally:
        sampling.set()
        host.stdin.close()
        host.wait(timeout=60)
        shutil.rmtree(version_dir, ignore_errors=True)


if __name__ == "__main__":
    main()
