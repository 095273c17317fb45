#!/usr/bin/env python3
"""Keyless peers against the real TZ62Editorsync.exe under Wine, over
loopback, as on a port open to the internet: peers that announce the largest
bodies and then trickle, parked connections from another address while an
editor's upload is under way, and slowhttptest's slowloris and slow-body
runs. Through each of them an editor's signed push lands.

The peers come from other loopback addresses (127.0.0.0/8), so that the
service sees several hosts. Every run is bounded in count and time.

Usage: siege_e2e.py --build BUILD_WIN
"""
import json
import os
import shutil
import socket
import subprocess
import sys
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "support"))
import tzsupport  # noqa: E402
from tzsupport import free_port  # noqa: E402

ARGS = None
KEY = "siege-key-同步"
EXE = "TZ62Editorsync.exe"
FOLDER = "tzsiege"
VERSION = "C:\\MirServerSiege"
LARGEST_BODY = 160 * 1024 * 1024
SETTLE_S = 2  # how long a new body is left alone before its pace is judged
GRACE_S = 10  # a stalled body's grace before it is cut on its own


def wine_cmd(*argv):
    return tzsupport.wine_command(ARGS.prefix, *argv)


def drive(*args):
    done = subprocess.run(wine_cmd(os.path.join(ARGS.build, "window_driver.exe"), *args), capture_output=True,
                          timeout=120)
    return done.stdout.decode("utf-8", "replace").strip()


def connect_from(address, port):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.settimeout(30)
    s.bind((address, 0))
    s.connect(("127.0.0.1", port))
    return s


def announced_body(length):
    """A keyless head announcing a body of `length` bytes, and its first byte."""
    return b"POST /api/file/sync HTTP/1.1\r\nContent-Length: %d\r\n\r\nx" % length


def push_request(relative, content):
    body = json.dumps({"versionPath": VERSION, "relativePath": relative,
                       "fileBytes": tzsupport.payload(KEY, content).decode()}, ensure_ascii=False).encode()
    return tzsupport.signed_request(KEY, "/api/file/sync", body, nonce_prefix="siege")


def answer_of(raw):
    if not raw:
        return None
    status, body = tzsupport.split_answer(raw)
    return status, json.loads(body.decode("utf-8")).get("message") if body else None


class Trickler:
    """Sends one byte on each socket every `every` seconds until stopped;
    notes which sockets the service has let go (a send failed, or an answer
    or the end arrived)."""

    def __init__(self, sockets, every):
        self.sockets = sockets
        self.answers = [None] * len(sockets)
        self.let_go = [False] * len(sockets)
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._run, args=(every,), daemon=True)
        self.thread.start()

    def _run(self, every):
        while not self.stop.wait(every):
            for i, s in enumerate(self.sockets):
                if self.let_go[i]:
                    continue
                try:
                    s.send(b"x")
                    s.setblocking(False)
                    try:
                        got = s.recv(65536)
                        self.answers[i] = got or self.answers[i]
                        self.let_go[i] = True
                    except BlockingIOError:
                        pass
                    finally:
                        s.setblocking(True)
                except OSError:
                    self.let_go[i] = True

    def close(self):
        self.stop.set()
        self.thread.join()
        for s in self.sockets:
            s.close()


class Siege(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = os.path.join(ARGS.prefix, "drive_c", "MirServerSiege")
        shutil.rmtree(cls.root, ignore_errors=True)
        os.makedirs(os.path.join(cls.root, "Mir200", "Envir"))
        with open(os.path.join(cls.root, "Config.ini"), "wb") as f:
            f.write(b"[Server]\r\n")
        cls.folder = os.path.join(ARGS.prefix, "drive_c", FOLDER)
        shutil.rmtree(cls.folder, ignore_errors=True)
        os.makedirs(cls.folder)
        shutil.copy(os.path.join(ARGS.build, EXE), cls.folder)
        exe = "C:\\%s\\%s" % (FOLDER, EXE)
        cls.port = free_port()
        # Key, port and autostart as an installer stores them: the tool then
        # starts its service by itself.
        setup = subprocess.run(wine_cmd(os.path.join(ARGS.build, "tzsetup.exe"), exe, str(cls.port), KEY),
                               capture_output=True, timeout=120)
        assert setup.returncode == 0, setup
        assert drive("window-exists") == "0", "another copy of the tool's window is open in this prefix"
        cls.tool = subprocess.Popen(wine_cmd(exe), cwd=cls.folder, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 90
        while time.monotonic() < deadline and not cls.ping_answers():
            time.sleep(0.5)
        assert cls.ping_answers(), "the tool's service did not come up"

    @classmethod
    def tearDownClass(cls):
        drive("close")
        drive("answer", "yes")
        try:
            cls.tool.wait(timeout=30)
        except subprocess.TimeoutExpired:
            cls.tool.kill()
        drive("autostart-clear")
        shutil.rmtree(cls.folder, ignore_errors=True)
        shutil.rmtree(cls.root, ignore_errors=True)

    @classmethod
    def ping_answers(cls):
        try:
            raw = tzsupport.exchange(cls.port, tzsupport.signed_ping(KEY, "siege"), timeout=10)
        except OSError:
            return False
        return answer_of(raw) == (200, None)

    def push_until_served(self, relative, content, limit):
        """Pushes as an editor does, again after each busy answer, for up
        to `limit` seconds; returns the last answer and the seconds taken."""
        started = time.monotonic()
        while True:
            got = answer_of(tzsupport.exchange(self.port, push_request(relative, content), timeout=30))
            if got != (503, "服务器繁忙，请稍后重试") or time.monotonic() - started > limit:
                return got, time.monotonic() - started
            time.sleep(0.5)

    def assert_file(self, relative, content):
        with open(os.path.join(self.root, *relative.split("\\")), "rb") as f:
            self.assertEqual(f.read(), content)

    def test_a_small_push_lands_while_keyless_peers_sit_on_the_largest_bodies(self):
        # Six peers announce bodies they never send, five of the largest and
        # one of 32 MiB, as measured against the old budget: together they
        # hold all 512 MiB.
        sizes = [LARGEST_BODY] * 5 + [32 * 1024 * 1024]
        peers = []
        for i, size in enumerate(sizes):
            s = connect_from("127.0.0.%d" % (10 + i), self.port)
            s.sendall(announced_body(size))
            peers.append(s)
        trickler = Trickler(peers, 1.0)
        try:
            content = "边境城市 push under siege\r\n".encode("gbk")
            got, seconds = self.push_until_served("Mir200\\Envir\\siege.txt", content, 60)
            self.assertEqual(got, (200, "同步成功"))
            # Served in the place of a stalled peer, well before any of them
            # would be cut at the end of its grace.
            self.assertLess(seconds, SETTLE_S + 5)
            self.assert_file("Mir200\\Envir\\siege.txt", content)
            # Peers that stop earning their place are let go, without an answer
            # unless they were refused at once (the two beyond the budget).
            deadline = time.monotonic() + GRACE_S + 10
            while time.monotonic() < deadline and not all(trickler.let_go):
                time.sleep(0.5)
            self.assertTrue(all(trickler.let_go), trickler.let_go)
            busy = [a for a in trickler.answers if a]
            self.assertLessEqual(len(busy), 2)
            for a in busy:
                self.assertIn("服务器繁忙，请稍后重试".encode(), a)
        finally:
            trickler.close()
        self.assertTrue(self.ping_answers())

    def test_an_upload_under_way_survives_300_parked_connections_from_another_address(self):
        content = bytes((i * 131) & 0xFF for i in range(6 * 1024 * 1024))
        request = push_request("Mir200\\Envir\\upload.db", content)  # about 8 MiB on the wire
        result = {}

        def upload():  # about 2 MiB/s, as over a fast link: some 4 s
            with socket.create_connection(("127.0.0.1", self.port), timeout=60) as s:
                for at in range(0, len(request), 64 * 1024):
                    s.sendall(request[at:at + 64 * 1024])
                    time.sleep(0.03)
                result["answer"] = answer_of(tzsupport.read_to_end(s))

        uploader = threading.Thread(target=upload)
        uploader.start()
        time.sleep(0.3)
        parked = []
        try:
            for _ in range(300):
                try:
                    s = connect_from("127.0.0.30", self.port)
                    s.sendall(announced_body(1000))
                    parked.append(s)
                except OSError:
                    pass  # a newcomer turned away at the hard limit
                time.sleep(0.01)
            uploader.join(timeout=120)
        finally:
            for s in parked:
                s.close()
        self.assertEqual(result.get("answer"), (200, "同步成功"))
        self.assert_file("Mir200\\Envir\\upload.db", content)

    def test_slowhttptest_runs_leave_the_service_answering(self):
        if shutil.which("slowhttptest") is None:
            self.fail("slowhttptest is missing (scripts/setup installs it)")
        url = "http://127.0.0.1:%d/api/file/sync" % self.port
        runs = [("slowloris", ["-H", "-t", "POST"]), ("slow body", ["-B", "-s", "8192"])]
        for name, mode in runs:
            out = os.path.join(ARGS.build, "slowhttptest-%s.txt" % name.replace(" ", "-"))
            with open(out, "wb") as log:
                attack = subprocess.Popen(["slowhttptest", *mode, "-c", "400", "-r", "100", "-i", "2", "-x", "8",
                                           "-l", "20", "-p", "3", "-u", url], stdout=log, stderr=subprocess.STDOUT)
                try:
                    time.sleep(6)  # the attack at its full count
                    answered = 0
                    for i in range(10):
                        answered += self.ping_answers()
                        time.sleep(0.5)
                    content = ("slowhttptest %s\r\n" % name).encode()
                    got, _ = self.push_until_served("Mir200\\Envir\\slow.txt", content, 15)
                finally:
                    attack.wait(timeout=120)
            self.assertEqual(answered, 10, name)
            self.assertEqual(got, (200, "同步成功"), name)
            self.assert_file("Mir200\\Envir\\slow.txt", content)
        self.assertTrue(self.ping_answers())


def main():
    global ARGS
    parser = tzsupport.e2e_parser()
    ARGS, rest = tzsupport.parse_e2e_args(parser)
    tzsupport.run_suite(rest, needs_display="The siege")


if __name__ == "__main__":
    main()
