#!/usr/bin/env python3
"""Signed pings per second against the real service under Wine, from 1, 16
and 64 concurrent clients over 127.0.0.1, with latency percentiles, beside
the same requests sent to a minimal sink under the same Wine (tz_push_sink:
reads a request and answers a fixed 200, one connection after another), as
a ratio; and the service process's memory and threads. A benchmark that
prints figures, not a test.

Usage: bench/ping_bench.py [--clients 1,16,64] [--seconds 4] [--rounds 3] [--max-requests 20000]
                          [--service tz_service_host.exe]
Needs the Windows build (scripts/build); uses build/win and its Wine prefix.
The service and the sink take turns for each number of clients, so both see
the same load of the machine, for several rounds; each prints its best round
(other work on the machine only ever slows a round down). Each request is
one connection, as editors make them (no keep-alive).
"""
import argparse
import os
import threading
import time

from benchlib import BUILD, WineProgram, exchange, free_port, signed_ping

KEY = b"0123456789abcdef0123456789abcdef"


def status_of(pid):
    """(current RSS, peak RSS) in KiB and the thread count of a Linux process."""
    try:
        with open("/proc/%s/status" % pid) as f:
            fields = dict(line.split(":", 1) for line in f if ":" in line)
        return int(fields["VmRSS"].split()[0]), int(fields["VmHWM"].split()[0]), int(fields["Threads"])
    except (OSError, KeyError):
        return 0, 0, 0


def load(port, clients, seconds, max_requests, expect):
    """Runs `clients` threads sending pings for `seconds`; gives (requests per
    second, sorted latencies in seconds, failures)."""
    latencies = []
    failures = [0]
    lock = threading.Lock()
    counter = [0]
    deadline = time.time() + seconds

    def client():
        while time.time() < deadline:
            with lock:
                if counter[0] >= max_requests:
                    return
                counter[0] += 1
                data = signed_ping(KEY)
            started = time.perf_counter()
            try:
                _, answer = exchange(port, data, timeout=30)
            except OSError:
                answer = b""
            elapsed = time.perf_counter() - started
            with lock:
                latencies.append(elapsed)
                if expect not in answer:
                    failures[0] += 1

    workers = [threading.Thread(target=client) for _ in range(clients)]
    started = time.perf_counter()
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    wall = time.perf_counter() - started
    latencies.sort()
    return len(latencies) / wall, latencies, failures[0]


# The goals, by number of clients: (the most the ratio may be, the most the
# service's p99 may be as a multiple of the sink's).
GOALS = {64: (1.5, 2.0)}


def goal_text(clients, ratio, p99_ratio):
    if clients not in GOALS:
        return ""
    most_ratio, most_p99 = GOALS[clients]
    met = ratio <= most_ratio and p99_ratio <= most_p99
    return "   goal <= %.1fx, p99 <= %.0fx the sink's (now %.2fx): %s" % (most_ratio, most_p99, p99_ratio,
                                                                     "met" if met else "not met")


def pct(latencies, p):
    return latencies[min(len(latencies) - 1, int(p * len(latencies)))] * 1000


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--clients", default="1,16,64")
    parser.add_argument("--seconds", type=float, default=4.0)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--service", default="tz_service_host.exe", help="the service host in build/win to measure")
    parser.add_argument("--max-requests", type=int, default=20000)
    args = parser.parse_args()

    prefix = os.environ.get("WINEPREFIX", os.path.join(BUILD, "wineprefix"))
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")
    service = WineProgram(prefix, env, args.service, str(free_port()), KEY.decode())
    sink = None
    try:
        sink = WineProgram(prefix, env, "tz_push_sink.exe", str(free_port()), "NUL")
        service_port = int(service.proc.args[3])
        sink_port = int(sink.proc.args[3])
        for _ in range(50):  # warm-up
            exchange(service_port, signed_ping(KEY), timeout=30)
            exchange(sink_port, signed_ping(KEY), timeout=30)
        idle_rss = status_of(service.pid)[0]
        peak_threads = [0]
        sampling = threading.Event()

        def sampler():
            while not sampling.is_set():
                peak_threads[0] = max(peak_threads[0], status_of(service.pid)[2])
                time.sleep(0.1)

        watch = threading.Thread(target=sampler)
        watch.start()
        print("%-8s %14s %20s %12s %20s %7s" % ("clients", "service /s", "p50/p99 ms", "sink /s", "p50/p99 ms",
                                               "ratio"))
        try:
            for clients in (int(c) for c in args.clients.split(",")):
                service_rounds, sink_rounds = [], []
                for _ in range(args.rounds):
                    service_rounds.append(load(service_port, clients, args.seconds, args.max_requests,
                                               b'"success":true'))
                    sink_rounds.append(load(sink_port, clients, args.seconds, args.max_requests, b"200 OK"))
                rate, lat, _ = max(service_rounds, key=lambda r: r[0])
                sink_rate, sink_lat, _ = max(sink_rounds, key=lambda r: r[0])
                failed = sum(r[2] for r in service_rounds)
                sink_failed = sum(r[2] for r in sink_rounds)
                print("%-8d %14.0f %9.1f / %8.1f %12.0f %9.1f / %8.1f %6.2fx%s%s" % (
                    clients, rate, pct(lat, 0.5), pct(lat, 0.99), sink_rate, pct(sink_lat, 0.5),
                    pct(sink_lat, 0.99), sink_rate / rate,
                    "" if failed + sink_failed == 0 else "  (%d service, %d sink failed)" % (failed, sink_failed),
                    goal_text(clients, sink_rate / rate, pct(lat, 0.99) / pct(sink_lat, 0.99))), flush=True)
        finally:
            sampling.set()
            watch.join()
        rss, peak, _ = status_of(service.pid)
        print("(best of %d rounds of %.0f s each; ratio: the sink's rate over the service's)" %
              (args.rounds, args.seconds))
        print("service memory: idle %.1f MiB, now %.1f MiB, peak %.1f MiB (RSS of the Wine process); "
              "threads: peak %d (Wine's own included)" % (idle_rss / 1024, rss / 1024, peak / 1024, peak_threads[0]))
    finally:
        if sink:
            sink.close()
        service.close()


if __name__ == "__main__":
    main()
