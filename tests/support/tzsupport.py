"""What the end-to-end tests and the benchmarks share: the tree's and the
build's places, a free loopback port, signed requests and the encrypted file
payloads pushes carry, one request over one connection to 127.0.0.1, and
programs of the Windows build run under Wine.

Scripts elsewhere in the tree find it with
    sys.path.insert(0, os.path.join(<tree>, "tests", "support"))
"""
import argparse
import base64
import hashlib
import hmac
import itertools
import os
import random
import socket
import subprocess
import sys
import threading
import time
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.path.join(ROOT, "build", "win")
WINE_RUN = os.path.join(ROOT, "cmake", "wine-run")

_nonces = itertools.count(1)
_nonce_lock = threading.Lock()


# Ports for our services come from below the system's range for outgoing
# connections (32768 and up on Linux): a port from that range can be taken
# by the client side of any connection a parallel suite opens meanwhile, and
# the service's exclusive bind then waits for it.
_SERVICE_PORTS = range(20000, 32768)
_port_random = random.Random()


def free_port():
    """A port no one holds at this moment, on any address, outside the range
    outgoing connections take their ports from."""
    for _ in range(200):
        port = _port_random.choice(_SERVICE_PORTS)
        with socket.socket() as s:
            try:
                s.bind(("", port))
            except OSError:
                continue
            return port
    raise RuntimeError("no free port between %d and %d" % (_SERVICE_PORTS[0], _SERVICE_PORTS[-1]))


def new_nonce(prefix="tz"):
    """A nonce used once within this process (and, through the pid, this run)."""
    with _nonce_lock:
        n = next(_nonces)
    return "%s-%d-%d" % (prefix, os.getpid(), n)


def signature(key, timestamp, method, path, body, nonce):
    """x-sign: HMAC-SHA256 over timestamp, method, path, body and nonce."""
    if isinstance(key, str):
        key = key.encode()
    message = timestamp.encode() + method.encode() + path.encode() + body + nonce.encode()
    return hmac.new(key, message, hashlib.sha256).hexdigest()


def signed_request(key, path, body=b"", method="POST", nonce_prefix="tz", extra=b""):
    """A whole signed request; `extra` holds more header lines, each ending in CRLF."""
    ts = str(int(time.time()))
    nonce = new_nonce(nonce_prefix)
    sign = signature(key, ts, method, path, body, nonce)
    return (b"%s %s HTTP/1.1\r\nContent-Length: %d\r\nx-timestamp: %s\r\nx-nonce: %s\r\nx-sign: %s\r\n%s\r\n"
            % (method.encode(), path.encode(), len(body), ts.encode(), nonce.encode(), sign.encode(), extra)) + body


def signed_ping(key, nonce_prefix="tz"):
    return signed_request(key, "/api/ping", nonce_prefix=nonce_prefix)


def payload(key, content):
    """The Base64 text of `content` as a push carries it: AES-256-CBC under a key
    derived from the shared key, then an HMAC tag over IV and cipher text."""
    if isinstance(key, str):
        key = key.encode()
    enc = hashlib.sha256(key + b"Hq4mSyncEnc").digest()
    mac = hashlib.sha256(key + b"Hq4mSyncMac").digest()
    iv = os.urandom(16)
    cipher = subprocess.run(["openssl", "enc", "-aes-256-cbc", "-K", enc.hex(), "-iv", iv.hex()], input=content,
                            capture_output=True, check=True).stdout
    tag = hmac.new(mac, iv + cipher, hashlib.sha256).digest()[:16]
    return base64.b64encode(iv + cipher + tag)


def exchange(port, data, timeout=30, piece=None, close_write=False):
    """Sends `data` on a new connection to 127.0.0.1 (in pieces of `piece`
    bytes when given; then ends the sending side when `close_write`) and
    reads until the service closes, resets or falls silent for `timeout`.
    Returns every byte of the answer."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        try:
            step = piece or len(data) or 1
            for at in range(0, len(data), step):
                s.sendall(data[at:at + step])
            if close_write:
                s.shutdown(socket.SHUT_WR)  # nothing more is coming: a head still open ends here
        except (BrokenPipeError, ConnectionResetError):
            if not close_write:
                raise
        return read_to_end(s)


def read_to_end(s):
    chunks = []
    while True:
        try:
            chunk = s.recv(65536)
        except (ConnectionResetError, socket.timeout):
            break
        if not chunk:
            break
        chunks.append(chunk)
    return b"".join(chunks)


def timed_exchange(port, data, timeout=600):
    """(seconds taken, every byte of the answer) of one exchange."""
    started = time.perf_counter()
    answer = exchange(port, data, timeout=timeout)
    return time.perf_counter() - started, answer


def split_answer(raw):
    """(status, body bytes) of a whole answer."""
    head, _, body = raw.partition(b"\r\n\r\n")
    return int(head.split(b" ")[1]), body


def wine_command(prefix, *argv):
    """The command line that runs a Windows program under Wine in `prefix`."""
    return [WINE_RUN, prefix, *argv]


def pid_of(pattern):
    out = subprocess.run(["pgrep", "-f", pattern], capture_output=True, text=True).stdout.split()
    return out[0] if out else None


class WineProgram:
    """A program of the build under Wine that prints "RUNNING" once it listens
    and ends when its standard input closes."""

    def __init__(self, prefix, env, exe, *args, build=BUILD):
        self.proc = subprocess.Popen(wine_command(prefix, os.path.join(build, exe), *args), stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
        line = self.proc.stdout.readline()
        if not line.startswith(b"RUNNING"):
            raise SystemExit("%s did not start: %r" % (exe, line))
        # Drain what it prints from now on, so it never blocks on a full pipe.
        threading.Thread(target=self.proc.stdout.read, daemon=True).start()
        self.pid = pid_of("%s %s" % (exe, args[0]))

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=60)


def e2e_parser():
    """The arguments every end-to-end suite takes: the Windows build, and the tree."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", default=ROOT)
    return parser


def parse_e2e_args(parser):
    """Parses the suite's own arguments and leaves the rest to unittest. The
    Wine prefix is the build's own unless WINEPREFIX names another."""
    args, rest = parser.parse_known_args()
    args.build = os.path.abspath(args.build)
    args.prefix = os.environ.get("WINEPREFIX") or os.path.join(args.build, "wineprefix")
    return args, rest


def run_suite(rest, needs_display=None):
    """Runs the suite's tests; `needs_display` names suites that open windows,
    which refuse to start without one."""
    if needs_display and not os.environ.get("DISPLAY"):
        print("%s tests need a display (scripts/test starts Xvfb)" % needs_display)
        sys.exit(1)
    unittest.main(argv=[sys.argv[0], "-v", *rest])
