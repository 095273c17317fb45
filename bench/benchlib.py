"""What the benchmarks share: the build's place, a free loopback port, one
request per connection over 127.0.0.1, signed pings, and a program of the
Windows build run under Wine until its standard input closes."""
import hashlib
import hmac
import itertools
import os
import socket
import subprocess
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build", "win")

_nonces = itertools.count()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def exchange(port, data, timeout=600):
    """Sends `data` on a new connection and reads until the service closes
    it. Returns (seconds taken, every byte of the answer)."""
    started = time.perf_counter()
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(data)
        answer = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            answer += chunk
    return time.perf_counter() - started, answer


def signed_ping(key):
    """A signed POST /api/ping; its nonce is never reused within the run."""
    ts = str(int(time.time()))
    nonce = "bench-%d-%d" % (os.getpid(), next(_nonces))
    sign = hmac.new(key, (ts + "POST/api/ping" + nonce).encode(), hashlib.sha256).hexdigest()
    return ("POST /api/ping HTTP/1.1\r\nContent-Length: 0\r\nx-timestamp: %s\r\nx-nonce: %s\r\n"
            "x-sign: %s\r\n\r\n" % (ts, nonce, sign)).encode()


def pid_of(pattern):
    out = subprocess.run(["pgrep", "-f", pattern], capture_output=True, text=True).stdout.split()
    return out[0] if out else None


class WineProgram:
    """A program of the build under Wine that prints "RUNNING" once it listens
    and ends when its standard input closes."""

    def __init__(self, prefix, env, exe, *args):
        self.proc = subprocess.Popen([os.path.join(ROOT, "cmake", "wine-run"), prefix, os.path.join(BUILD, exe),
                                      *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, env=env)
        line = self.proc.stdout.readline()
        if not line.startswith(b"RUNNING"):
            raise SystemExit("%s did not start: %r" % (exe, line))
        # Drain what it prints from now on, so it never blocks on a full pipe.
        threading.Thread(target=self.proc.stdout.read, daemon=True).start()
        self.pid = pid_of("%s %s" % (exe, args[0]))

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=60)
