#!/usr/bin/env python3
"""Time of one /api/versions answer on a synthetic drive of about 20,000
folders (depth 1 to 6), beside the time of a plain recursive listing of the
same drive to depth 4 by a minimal program under the same Wine, as a ratio.
A benchmark that prints figures, not a test.

Usage: bench/versions_bench.py [--build build/win] [--folders 20000] [--repeat 9] [--service tz_service_host.exe]
Needs the Windows build (scripts/build), which holds the listing program
(tz_tree_lister.exe, bench/tree_lister.cpp). The answers and the listings
take turns, so that both see the same load of the machine. Two ratios are
printed: of the best times (noise from other work on the machine only ever
adds time, so the best of several runs is the steadiest figure), and the
median of the ratios of each turn. The tree lives in a temporary folder
mapped as fixed drive D: of the build's Wine prefix (a dosdevices link,
removed at the end). The versions answer also covers the prefix's C:, whose walk is small
(its system folders are never entered), and reads every version's game name
and running state; the listing covers D: alone.
"""
import argparse
import os
import random
import statistics
import subprocess
import tempfile

from benchlib import ROOT, exchange, free_port, signed_request

KEY = "0123456789abcdef0123456789abcdef"
LEVEL_SHARE = [0.001, 0.01, 0.075, 0.2, 0.3]  # of the folders at depths 1-5; depth 6 takes the rest
VERSIONS = 20

def make_tree(top, total, seed=62):
    """Folders at depths 1-6 under `top`, each level's parents chosen at random;
    VERSIONS of the folders at depths 1-4 become versions."""
    rng = random.Random(seed)
    counts = [max(1, int(total * share)) for share in LEVEL_SHARE]
    counts.append(total - sum(counts))
    levels = [[""]]
    for depth, count in enumerate(counts, start=1):
        parents = levels[-1]
        level = [os.path.join(rng.choice(parents), "d%d_%d" % (depth, i)) for i in range(count)]
        for folder in level:
            os.makedirs(os.path.join(top, folder))
        levels.append(level)
    shallow = [folder for level in levels[1:5] for folder in level]
    for folder in rng.sample(shallow, VERSIONS):
        os.makedirs(os.path.join(top, folder, "Mir200", "Envir"))
        with open(os.path.join(top, folder, "Config.ini"), "wb") as f:
            f.write("[Server]\r\nGameName=传奇\r\n".encode("gbk"))
    return counts


# The most one answer may take as a multiple of the plain listing.
GOAL = 1.5


def versions_request():
    return signed_request(KEY, "/api/versions", nonce_prefix="versions-bench")


def timed_versions(port):
    elapsed, answer = exchange(port, versions_request())
    if b'{"success":true,"versions":[' not in answer:
        raise SystemExit("unexpected answer: %r" % answer[:200])
    return elapsed * 1000.0, answer.count(b'"versionPath":"D:')


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "win"))
    parser.add_argument("--folders", type=int, default=20000)
    parser.add_argument("--repeat", type=int, default=9)
    parser.add_argument("--service", default="tz_service_host.exe", help="the service host in the build to measure")
    args = parser.parse_args()

    build = os.path.abspath(args.build)
    prefix = os.environ.get("WINEPREFIX") or os.path.join(build, "wineprefix")
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", LC_ALL="zh_CN.UTF-8")
    runner = os.path.join(ROOT, "cmake", "wine-run")
    link = os.path.join(prefix, "dosdevices", "d:")
    if os.path.lexists(link):
        raise SystemExit("D: is already mapped in %s" % prefix)

    lister = os.path.join(build, "tz_tree_lister.exe")
    with tempfile.TemporaryDirectory(prefix="tz-versions-bench-") as work:
        drive = os.path.join(work, "drive")
        counts = make_tree(drive, args.folders)
        print("tree: %d folders, per depth 1-6: %s; %d versions at depths 1-4" %
              (sum(counts), counts, VERSIONS))
        os.symlink(drive, link)
        host = None
        try:
            subprocess.run(["wineserver", "-w"], env=env, timeout=300)  # a running server keeps its drive list
            port = free_port()
            host = subprocess.Popen([runner, prefix, os.path.join(build, args.service), str(port), KEY],
                                    stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                    env=env)
            line = host.stdout.readline().decode()
            if not line.startswith("RUNNING"):
                raise SystemExit("service did not start: %r" % line)

            def listing():
                out = subprocess.run([runner, prefix, lister], env=env, capture_output=True, check=True).stdout
                ms, seen = out.decode().split()
                return float(ms), seen

            timed_versions(port)  # warm-up: caches of Linux and Wine
            listing()
            answers, listings = [], []
            for _ in range(args.repeat):
                answers.append(timed_versions(port))
                ms, seen = listing()
                listings.append(ms)
            found = answers[0][1]
        finally:
            if host:
                host.stdin.close()
                host.wait(timeout=60)
            os.unlink(link)  # from this side: Wine would act on the target

    versions_ms = statistics.median(ms for ms, _ in answers)
    listing_ms = statistics.median(listings)
    print("versions found on D: %d of %d" % (found, VERSIONS))
    best_versions = min(ms for ms, _ in answers)
    best_listing = min(listings)
    print("one /api/versions answer:       best %8.1f ms, median %8.1f ms  (%s)" %
          (best_versions, versions_ms, ", ".join("%.1f" % ms for ms, _ in answers)))
    print("plain listing to depth 4 (%s folders): best %8.1f ms, median %8.1f ms  (%s)" %
          (seen, best_listing, listing_ms, ", ".join("%.1f" % ms for ms in listings)))
    print("ratio versions / listing: %.2f of the best times; median of the turns' ratios %.2f (%s)" %
          (best_versions / best_listing, statistics.median(a / b for (a, _), b in zip(answers, listings)),
           ", ".join("%.2f" % (a / b) for (a, _), b in zip(answers, listings))))
    median_ratio = statistics.median(a / b for (a, _), b in zip(answers, listings))
    print("goal <= %.1fx (median of the turns' ratios): %s" % (GOAL, "met" if median_ratio <= GOAL else "not met"))


if __name__ == "__main__":
    main()
