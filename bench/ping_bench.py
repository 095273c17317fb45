#!/usr/bin/env python3
"""Signed pings per second against the real service under Wine, from N
concurrent clients over 127.0.0.1, with latency percentiles and the service
process's memory. A benchmark that prints figures, not a test.

Usage: bench/ping_bench.py [--clients 16] [--seconds 10] [--max-requests 20000]
Needs a Windows build (scripts/build); uses build/win and its Wine prefix.
"""
import argparse
import hashlib
import hmac
import os
import socket
import subprocess
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
KEY = b"0123456789abcdef0123456789abcdef"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def signed_ping(counter):
    ts = str(int(time.time()))
    nonce = "bench-%d-%d-%d" % (os.getpid(), threading.get_ident(), counter)
    sign = hmac.new(KEY, (ts + "POST/api/ping" + nonce).encode(), hashlib.sha256).hexdigest()
    return ("POST /api/ping HTTP/1.1\r\nContent-Length: 0\r\nx-timestamp: %s\r\nx-nonce: %s\r\n"
            "x-sign: %s\r\n\r\n" % (ts, nonce, sign)).encode()


def one_request(port, data):
    with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
        s.sendall(data)
        answer = b""
        while True:
            chunk = s.recv(4096)
            if not chunk:
                return answer
            answer += chunk


def memory_of(pattern):
    """(current RSS, peak RSS) in KiB of the Linux process running `pattern`."""
    out = subprocess.run(["pgrep", "-f", pattern], capture_output=True, text=True).stdout.split()
    for pid in out:
        try:
            with open("/proc/%s/status" % pid) as f:
                fields = dict(line.split(":", 1) for line in f if ":" in line)
            if "VmHWM" in fields:
                return int(fields["VmRSS"].split()[0]), int(fields["VmHWM"].split()[0])
        except OSError:
            continue
    return 0, 0


def threads_of(pattern):
    out = subprocess.run(["pgrep", "-f", pattern], capture_output=True, text=True).stdout.split()
    for pid in out:
        try:
            return len(os.listdir("/proc/%s/task" % pid))
        except OSError:
            continue
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--clients", type=int, default=16)
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--max-requests", type=int, default=20000)
    args = parser.parse_args()

    build = os.path.join(ROOT, "build", "win")
    env = dict(os.environ)
    env.setdefault("WINEPREFIX", os.path.join(build, "wineprefix"))
    env.setdefault("WINEDEBUG", "-all")
    port = free_port()
    host = subprocess.Popen(["wine", os.path.join(build, "tz_service_host.exe"), str(port), KEY.decode()],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
    try:
        line = host.stdout.readline().decode()
        if not line.startswith("RUNNING"):
            raise SystemExit("service did not start: %r" % line)
        for i in range(50):  # warm up
            one_request(port, signed_ping(-i - 1))
        idle_rss, _ = memory_of("tz_service_host.exe %d " % port)

        latencies = []
        failures = [0]
        lock = threading.Lock()
        counter = [0]
        deadline = time.time() + args.seconds
        peak_threads = [0]

        def client():
            while time.time() < deadline:
                with lock:
                    if counter[0] >= args.max_requests:
                        return
                    counter[0] += 1
                    n = counter[0]
                started = time.perf_counter()
                answer = one_request(port, signed_ping(n))
                elapsed = time.perf_counter() - started
                with lock:
                    latencies.append(elapsed)
                    if b'"success":true' not in answer:
                        failures[0] += 1

        def sampler():
            while time.time() < deadline:
                peak_threads[0] = max(peak_threads[0], threads_of("tz_service_host.exe %d " % port))
                time.sleep(0.2)

        workers = [threading.Thread(target=client) for _ in range(args.clients)]
        started = time.perf_counter()
        watch = threading.Thread(target=sampler)
        watch.start()
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        wall = time.perf_counter() - started
        watch.join()
        rss, peak = memory_of("tz_service_host.exe %d " % port)

        latencies.sort()
        pct = lambda p: latencies[min(len(latencies) - 1, int(p * len(latencies)))] * 1000
        print("clients:            %d" % args.clients)
        print("signed pings:       %d in %.2f s (%d failed)" % (len(latencies), wall, failures[0]))
        print("pings per second:   %.0f" % (len(latencies) / wall))
        print("latency p50/p99:    %.1f ms / %.1f ms" % (pct(0.50), pct(0.99)))
        print("service memory:     idle %.1f MiB, now %.1f MiB, peak %.1f MiB (RSS of the Wine process)"
              % (idle_rss / 1024, rss / 1024, peak / 1024))
        print("service threads:    peak %d (Wine's own threads included)" % peak_threads[0])
    finally:
        host.stdin.close()
        host.wait(timeout=30)


if __name__ == "__main__":
    main()
