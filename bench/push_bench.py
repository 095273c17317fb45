#!/usr/bin/env python3
"""End-to-end time of /api/file/sync for 1 KiB, 1 MiB and 64 MiB files against
the real service under Wine, beside the time of sending the very same request
bytes to a minimal sink under the same Wine (tz_push_sink: reads the request
over 127.0.0.1 and writes the raw body to disk), as a ratio; and the service's
peak memory during each push above its idle memory, as a multiple of the file
size. A benchmark that prints figures, not a test.

Usage: bench/push_bench.py [--sizes 1K,1M,64M] [--repeat 3] [--replace] [--service tz_service_host.exe]
Needs the Windows build (scripts/build). The requests are made here, in
Python, before the clock starts (payload encrypted with the openssl command,
then signed); a time runs from connecting to the last byte of the answer.
Every push goes to a new file, so no backup copy is made; with --replace the
sizes are pushed again over a file of the same size that already exists, so
the service first copies the old file to its backup (the sink writes the body
as always): the difference between the two rows is what the backup costs.
The service and the sink take turns, so both see the same state of the
machine.
"""
import argparse
import json
import os
import shutil
import threading
import time

from benchlib import BUILD, WineProgram, exchange, free_port, payload, signed_request

KEY = "0123456789abcdef0123456789abcdef"
UNITS = {"K": 1024, "M": 1024 * 1024}
VERSION = "C:\\MirServerBench"
# The folder in an installation that holds the backup copies.
BACKUP_FOLDER = "【TZ62Editor编辑器同步备份请谨慎】"


def rss_kib(pid):
    try:
        with open("/proc/%s/status" % pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def peak_kib(pid):
    with open("/proc/%s/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def reset_peak(pid):
    """Makes the kernel's peak (VmHWM) start again from the present RSS."""
    try:
        with open("/proc/%s/clear_refs" % pid, "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def file_payload(content):
    return payload(KEY, content)


def push_request(name, file_bytes):
    # The JSON around the payload, with the Base64 text spliced in as bytes.
    body = (b'{"versionPath":%s,"relativePath":%s,"fileBytes":"' %
            (json.dumps(VERSION).encode(), json.dumps("Mir200\\Envir\\" + name).encode())) + file_bytes + b'"}'
    return signed_request(KEY, "/api/file/sync", body, nonce_prefix="push-bench",
                          extra=b"Content-Type: application/json\r\n")


def measure_memory(pid, run):
    """Runs `run` and gives its result with the peak RSS above the RSS before
    it, in KiB: from the kernel's peak when it can be reset, else sampled."""
    idle = rss_kib(pid)
    if reset_peak(pid):
        result = run()
        return result, peak_kib(pid) - idle
    peak = [idle]
    done = threading.Event()

    def sample():
        while not done.is_set():
            peak[0] = max(peak[0], rss_kib(pid))
            time.sleep(0.002)

    watcher = threading.Thread(target=sample)
    watcher.start()
    try:
        result = run()
    finally:
        done.set()
        watcher.join()
    return result, peak[0] - idle


# The goals for a push to a new file, by size: the most the time may be as a
# multiple of the sink's, and the most the peak memory may be as a multiple
# of the file (None: reported, no goal).
GOALS = {"1M": (5.0, None), "64M": (4.5, 2.4)}


def goal_text(size_text, ratio, peak_ratio):
    if size_text not in GOALS:
        return ""
    most_ratio, most_peak = GOALS[size_text]
    met = ratio <= most_ratio and (most_peak is None or peak_ratio <= most_peak)
    peak = "" if most_peak is None else ", peak <= %.1fx" % most_peak
    return "   goal <= %.1fx%s: %s" % (most_ratio, peak, "met" if met else "not met")


def measure_size(args, service, service_port, sink_port, envir, version, size_text, replacing):
    """Prints one row: the best of args.repeat pushes of one size, to a new
    file or over an existing one."""
    size = int(size_text[:-1]) * UNITS[size_text[-1]] if size_text[-1] in UNITS else int(size_text)
    content = os.urandom(size)
    payload = file_payload(content)
    old = os.urandom(size) if replacing else None
    best_service = best_sink = None
    peak_ratio = 0.0
    for attempt in range(args.repeat):
        name = "bench-%s-%d.txt" % (size_text, attempt)
        target = os.path.join(envir, name)
        if replacing:
            with open(target, "wb") as f:
                f.write(old)
            os.sync()
        request = push_request(name, payload)
        (elapsed, answer), peak = measure_memory(service.pid, lambda: exchange(service_port, request))
        if b'"success":true' not in answer:
            raise SystemExit("push failed: %r" % answer[-300:])
        with open(target, "rb") as f:
            if f.read() != content:
                raise SystemExit("pushed file differs")
        os.unlink(target)
        shutil.rmtree(os.path.join(version, BACKUP_FOLDER), ignore_errors=True)
        best_service = elapsed if best_service is None else min(best_service, elapsed)
        peak_ratio = max(peak_ratio, peak * 1024 / size)
        elapsed, answer = exchange(sink_port, request)
        if b"200 OK" not in answer:
            raise SystemExit("sink failed: %r" % answer)
        best_sink = elapsed if best_sink is None else min(best_sink, elapsed)
    label = size_text + ("*" if replacing else "")
    ratio = best_service / best_sink
    print("%-5s %12.3f %12.3f %6.2fx %9.1f %15.2fx%s" % (label, best_service, best_sink, ratio,
          size / best_service / (1 << 20), peak_ratio, "" if replacing else goal_text(size_text, ratio, peak_ratio)),
          flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="1K,1M,64M")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--replace", action="store_true",
                        help="also push each size over an existing file of that size (with its backup copy)")
    parser.add_argument("--service", default="tz_service_host.exe", help="the service host in build/win to measure")
    args = parser.parse_args()

    prefix = os.environ.get("WINEPREFIX", os.path.join(BUILD, "wineprefix"))
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")
    version = os.path.join(prefix, "drive_c", "MirServerBench")
    envir = os.path.join(version, "Mir200", "Envir")
    shutil.rmtree(version, ignore_errors=True)
    os.makedirs(envir)
    with open(os.path.join(version, "Config.ini"), "wb") as f:
        f.write(b"[Server]\r\n")
    service_port, sink_port = free_port(), free_port()
    service = WineProgram(prefix, env, args.service, str(service_port), KEY)
    sink = None
    try:
        sink = WineProgram(prefix, env, "tz_push_sink.exe", str(sink_port), "C:\\MirServerBench\\sink.bin")
        # Warm-up: first use of the sockets, the crypto provider and the disk.
        exchange(service_port, push_request("warm.txt", file_payload(b"warm")))
        exchange(sink_port, push_request("warm.txt", file_payload(b"warm")))

        print("%-5s %12s %12s %7s %9s %16s" % ("size", "service s", "sink s", "ratio", "MiB/s", "peak mem/size"))
        modes = [False, True] if args.replace else [False]
        for size_text in args.sizes.split(","):
            for replacing in modes:
                measure_size(args, service, service_port, sink_port, envir, version, size_text, replacing)
        print("(best of %d; service and sink get identical request bytes; peak memory is the service's RSS "
              "above its idle RSS, against the file size; * over an existing file, backup copy included)"
              % args.repeat)
    finally:
        if sink:
            sink.close()
        service.close()
        shutil.rmtree(version, ignore_errors=True)


if __name__ == "__main__":
    main()
