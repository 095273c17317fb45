#!/usr/bin/env python3
"""Start-up of the tool under Wine: the time from starting TZ62Editorsync.exe
(with key, port and autostart stored, so its service comes up by itself) to
its first answered signed ping, and its working set once idle; beside the
same two figures of a minimal program under the same Wine (tz_push_sink:
listens and answers a fixed 200), as ratios. A benchmark that prints
figures, not a test.

Usage: bench/startup_bench.py [--repeat 3] [--settle 1.5]
Needs the Windows build (scripts/build). A copy of the tool goes to
C:\\tzbench-startup in the build's Wine prefix; its settings are stored with
tzsetup (as scripts/run does), the autostart value is removed again at the
end, and the tool is closed through its window (window_driver), as an
operator would. Without a display an Xvfb of its own is started. The
working set is the RSS of the Wine process `--settle` seconds after the
first answer (before the update check, which starts five seconds in).
"""
import argparse
import os
import shutil
import socket
import subprocess
import time

from benchlib import BUILD, ROOT, free_port, signed_ping

KEY = "startup-bench-key-0123456789"
FOLDER = "tzbench-startup"
EXE = "TZ62Editorsync.exe"


def answered(port, expect):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=2) as s:
            s.sendall(signed_ping(KEY.encode()))
            answer = b""
            while True:
                chunk = s.recv(4096)
                if not chunk:
                    return expect in answer
                answer += chunk
    except OSError:
        return False


def wait_for_answer(port, expect, started, limit=60):
    while time.perf_counter() - started < limit:
        if answered(port, expect):
            return time.perf_counter() - started
        time.sleep(0.01)
    raise SystemExit("no answer on port %d within %d s" % (port, limit))


def rss_mib(pattern):
    for pid in subprocess.run(["pgrep", "-f", pattern], capture_output=True, text=True).stdout.split():
        try:
            with open("/proc/%s/status" % pid) as f:
                for line in f:
                    if line.startswith("VmRSS:"):
                        return int(line.split()[1]) / 1024
        except OSError:
            continue
    return 0.0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--settle", type=float, default=1.5)
    args = parser.parse_args()

    prefix = os.environ.get("WINEPREFIX", os.path.join(BUILD, "wineprefix"))
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", LC_ALL="zh_CN.UTF-8")
    runner = os.path.join(ROOT, "cmake", "wine-run")
    xvfb = None
    if not env.get("DISPLAY"):
        number = 700 + os.getpid() % 200
        while os.path.exists("/tmp/.X%d-lock" % number):
            number += 1
        xvfb = subprocess.Popen(["Xvfb", ":%d" % number, "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        env["DISPLAY"] = ":%d" % number
        for _ in range(50):
            if os.path.exists("/tmp/.X11-unix/X%d" % number):
                break
            time.sleep(0.1)

    def wine(*argv, **kw):
        return subprocess.run([runner, prefix, *argv], env=env, capture_output=True, timeout=120, **kw)

    def driver(*argv):
        return wine(os.path.join(BUILD, "window_driver.exe"), *argv).stdout.decode("utf-8", "replace").strip()

    folder = os.path.join(prefix, "drive_c", FOLDER)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    shutil.copy(os.path.join(BUILD, EXE), folder)
    exe = "C:\\%s\\%s" % (FOLDER, EXE)
    port = free_port()
    if wine(os.path.join(BUILD, "tzsetup.exe"), exe, str(port), KEY).returncode != 0:
        raise SystemExit("tzsetup failed")

    tool_times, tool_rss, sink_times, sink_rss = [], [], [], []
    try:
        if driver("window-exists") != "0":
            raise SystemExit("another copy of the tool's window is open in this prefix")
        for attempt in range(args.repeat + 1):  # the first round warms Wine up and is not counted
            sink_port = free_port()
            started = time.perf_counter()
            sink = subprocess.Popen([runner, prefix, os.path.join(BUILD, "tz_push_sink.exe"), str(sink_port), "NUL"],
                                    stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                    env=env)
            try:
                took = wait_for_answer(sink_port, b"200 OK", started)
                time.sleep(args.settle)
                memory = rss_mib("tz_push_sink.exe %d" % sink_port)
            finally:
                sink.stdin.close()
                sink.wait(timeout=60)
            if attempt:
                sink_times.append(took)
                sink_rss.append(memory)

            started = time.perf_counter()
            tool = subprocess.Popen([runner, prefix, exe], env=env, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL, cwd=folder)
            try:
                took = wait_for_answer(port, b'"success":true', started)
                time.sleep(args.settle)
                memory = rss_mib("%s.%s" % (FOLDER, EXE))
                driver("close")
                driver("answer", "yes")
                tool.wait(timeout=30)
            finally:
                if tool.poll() is None:
                    tool.kill()
                    tool.wait()
            for _ in range(100):  # the window class and the port are free again
                if driver("window-exists") == "0":
                    break
                time.sleep(0.1)
            if attempt:
                tool_times.append(took)
                tool_rss.append(memory)
    finally:
        driver("autostart-clear")
        shutil.rmtree(folder, ignore_errors=True)
        if xvfb:
            xvfb.terminate()
            xvfb.wait()

    best_tool, best_sink = min(tool_times), min(sink_times)
    print("%-34s %10s %10s %7s" % ("", "tool", "minimal", "ratio"))
    print("%-34s %10.3f %10.3f %6.2fx" % ("start to first answered ping, s", best_tool, best_sink,
                                          best_tool / best_sink))
    print("%-34s %10.1f %10.1f %6.2fx" % ("working set when idle, MiB", min(tool_rss), min(sink_rss),
                                          min(tool_rss) / min(sink_rss)))
    print("(best of %d starts each, after one to warm up; times: %s / %s)" % (
        args.repeat, ", ".join("%.3f" % t for t in tool_times), ", ".join("%.3f" % t for t in sink_times)))


if __name__ == "__main__":
    main()
