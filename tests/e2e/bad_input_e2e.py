#!/usr/bin/env python3
"""The bad-input catalogue: malformed request lines, heads, headers, bodies,
Base64, signatures and paths, sent to the real service under Wine over
127.0.0.1. Each row names its expected answer (status and message, or the
connection closed without one). Afterwards the service still answers a
signed ping and no file of the test installation has changed.

Usage: bad_input_e2e.py --build BUILD_WIN
"""
import base64
import hashlib
import json
import os
import shutil
import socket
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "support"))
import tzsupport  # noqa: E402
from tzsupport import free_port  # noqa: E402


ARGS = None
KEY = "bad-input-key-同步"
NO_ANSWER = None


def exchange(port, data, timeout=30):
    raw = tzsupport.exchange(port, data, timeout=timeout, close_write=True)
    if not raw:
        return NO_ANSWER
    status, body = tzsupport.split_answer(raw)
    return status, json.loads(body.decode("utf-8")).get("message") if body else ""


def trickle_after_answer(port, data, every=0.2, limit=10):
    """Sends `data`, reads the answer up to the service's end of sending, then
    sends one byte every `every` seconds. Returns the status and message, and
    whether the service let go of the connection (a send failed) within
    `limit` seconds."""
    with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
        s.sendall(data)
        chunks = []
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            chunks.append(chunk)
        head, _, body = b"".join(chunks).partition(b"\r\n\r\n")
        answer = int(head.split(b" ")[1]), json.loads(body.decode("utf-8")).get("message")
        started = time.monotonic()
        while time.monotonic() - started < limit:
            try:
                s.send(b"x")
            except (BrokenPipeError, ConnectionResetError):
                return answer, True
            time.sleep(every)
        return answer, False


def stalled_bodies(port, heads, every=1.0, limit=25):
    """Sends each head on a connection of its own, then one byte on each
    every `every` seconds, as keyless peers that announce a body and never
    send it, each from a loopback address of its own (one address holds at
    most one largest body). Returns, per head, what the service answered
    (None for nothing) and whether it let go of the connection within
    `limit` seconds."""
    sockets = [socket.create_connection(("127.0.0.1", port), timeout=30, source_address=("127.0.0.%d" % (50 + i), 0))
               for i in range(len(heads))]
    answers, let_go = [None] * len(heads), [False] * len(heads)
    try:
        for s, head in zip(sockets, heads):
            s.sendall(head)
            s.setblocking(False)
        started = time.monotonic()
        while time.monotonic() - started < limit and not all(let_go):
            time.sleep(every)
            for i, s in enumerate(sockets):
                if let_go[i]:
                    continue
                try:
                    s.send(b"x")
                    got = s.recv(65536)
                    answers[i], let_go[i] = got or None, True
                except BlockingIOError:
                    pass
                except OSError:
                    let_go[i] = True
    finally:
        for s in sockets:
            s.close()
    return list(zip(answers, let_go))


def churn(port, count=600):
    """Opens and drops connections from another loopback address, half of
    them closed at once and half left parked on a head, as a peer cycling
    through connections does; returns how many were made."""
    made, parked = 0, []
    try:
        for i in range(count):
            try:
                s = socket.socket()
                s.settimeout(5)
                s.bind(("127.0.0.40", 0))
                s.connect(("127.0.0.1", port))
                made += 1
            except OSError:
                s.close()  # turned away at the hard limit
                continue
            if i % 2:
                s.close()
            else:
                s.sendall(b"POST /api/file/sync HTTP/1.1\r\nHost: x\r\n")
                parked.append(s)
    finally:
        for s in parked:
            s.close()
    return made


def signed(path, body=b"", method="POST", key=KEY, extra=b""):
    return tzsupport.signed_request(key, path, body, method=method, nonce_prefix="bad", extra=extra)


def sync_body(version, relative, file_bytes="AAAA"):
    return json.dumps({"versionPath": version, "relativePath": relative, "fileBytes": file_bytes},
                      ensure_ascii=False).encode()


def restore_body(version, relative, backup):
    return json.dumps({"versionPath": version, "relativePath": relative, "backup": backup}, ensure_ascii=False).encode()


def prune_body(version, keep, days):
    return json.dumps({"versionPath": version, "keepNewest": keep, "olderThanDays": days}).encode()


def tree_digest(root):
    digest = {}
    for folder, _, files in os.walk(root):
        for name in files:
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                digest[os.path.relpath(path, root)] = hashlib.md5(f.read()).hexdigest()
    return digest


class BadInput(unittest.TestCase):
    def test_catalogue(self):
        root = os.path.join(ARGS.prefix, "drive_c", "MirServerBad")
        shutil.rmtree(root, ignore_errors=True)
        os.makedirs(os.path.join(root, "Mir200", "Envir"))
        for rel, content in [("Config.ini", b"[Server]\r\n"), ("Mir200/Envir/a.txt", b"original")]:
            with open(os.path.join(root, rel), "wb") as f:
                f.write(content)
        before = tree_digest(root)
        version = "C:\\MirServerBad"

        # A share of Wine's (dosdevices/unc/127.0.0.1/<share>) that leads to drive C:, so that
        # network forms of the version path reach the installation: they are refused on their text.
        unc_host = os.path.join(ARGS.prefix, "dosdevices", "unc", "127.0.0.1")
        share = "bad%d$" % os.getpid()
        os.makedirs(unc_host, exist_ok=True)
        share_link = os.path.join(unc_host, share)
        os.symlink(os.path.join(ARGS.prefix, "drive_c"), share_link)
        self.addCleanup(os.unlink, share_link)  # from this side: Wine would act on the target
        networked = ["\\\\127.0.0.1\\%s\\MirServerBad" % share, "//127.0.0.1/%s/MirServerBad" % share,
                     "\\\\?\\UNC\\127.0.0.1\\%s\\MirServerBad" % share]

        port = free_port()
        runner = os.path.join(ARGS.source, "cmake", "wine-run")
        host = subprocess.Popen([runner, ARGS.prefix, os.path.join(ARGS.build, "tz_service_host.exe"), str(port), KEY],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        try:
            self.assertTrue(host.stdout.readline().startswith(b"RUNNING"))
            deep = b"[" * 100000
            rows = [
                # request lines and heads
                ("one word", b"PING\r\n\r\n", NO_ANSWER),
                ("blank line first", b"\r\n\r\nGET / HTTP/1.1\r\n\r\n", NO_ANSWER),
                ("no blank line", b"GET / HTTP/1.1\r\nHost: x\r\n", NO_ANSWER),
                ("NUL bytes in the head", b"POST /api/ping\0 HTTP/1.1\r\nx-sign: \0\r\n\r\n", (401, "缺少签名参数")),
                ("non-UTF-8 header", b"POST /api/ping HTTP/1.1\r\nx-nonce: \xff\xfe\r\nx-sign: a\r\nx-timestamp: 1\r\n\r\n",
                 (401, "请求已过期")),
                ("huge head", b"POST /api/ping HTTP/1.1\r\nX: " + b"a" * 70000 + b"\r\n\r\n", (413, "请求头过大")),
                ("a thousand repeated headers", b"POST /api/ping HTTP/1.1\r\n" + b"x-sign: 1\r\n" * 1000 + b"\r\n",
                 (401, "缺少签名参数")),
                ("negative length", b"POST /api/ping HTTP/1.1\r\nContent-Length: -5\r\n\r\n", (400, "请求长度无效")),
                ("length beyond 32 bits", b"POST /api/ping HTTP/1.1\r\nContent-Length: 99999999999\r\n\r\n",
                 (400, "请求长度无效")),
                ("length beyond the bound", b"POST /api/ping HTTP/1.1\r\nContent-Length: 900000000\r\n\r\n",
                 (413, "请求内容过大")),
                # signatures
                ("unsigned", b"POST /api/file/sync HTTP/1.1\r\n\r\n", (401, "缺少签名参数")),
                ("wrong key", signed("/api/ping", key="other"), (401, "签名验证失败")),
                ("millisecond timestamp", signed("/api/ping").replace(b"x-timestamp: ", b"x-timestamp: 1000"),
                 (401, "请求已过期")),
                # bodies
                ("invalid JSON", signed("/api/file/sync", b"{\"a\":"), (200, "无效的JSON")),
                ("trailing newline", signed("/api/file/sync", sync_body(version, "Mir200\\Envir\\a.txt") + b"\n"),
                 (200, "无效的JSON")),
                ("deep nesting", signed("/api/file/sync", deep), (200, "无效的JSON")),
                ("wrong member kinds", signed("/api/file/sync", b'{"versionPath":1,"relativePath":[],"fileBytes":{}}'),
                 (200, "参数不完整")),
                ("huge string path", signed("/api/file/sync", sync_body(version, "a" * 3000000 + ".txt")),
                 (200, "截质目录")),
                ("invalid Base64", signed("/api/file/sync", sync_body(version, "Mir200\\Envir\\a.txt", "!!!!")),
                 (200, "解密失败或密钥不符")),
                ("payload of another key", signed("/api/file/sync", sync_body(
                    version, "Mir200\\Envir\\a.txt", base64.b64encode(os.urandom(64)).decode())),
                 (200, "解密失败或密钥不符")),
                # paths
                ("climbing out", signed("/api/file/sync", sync_body(version, "..\\..\\x.txt")), (200, "截质目录")),
                ("protected name", signed("/api/file/sync", sync_body(version, "Config.ini")), (200, "截质目录")),
                ("protected name with a dot", signed("/api/file/sync", sync_body(version, "Config.ini.")),
                 (200, "截质目录")),
                ("stream", signed("/api/file/sync", sync_body(version, "Mir200\\Envir\\a.txt:x")), (200, "截质目录")),
                ("system folder", signed("/api/file/sync", sync_body("C:\\Windows", "a.txt")), (200, "截质目录")),
                ("info outside", signed("/api/file/info", sync_body(version, "..\\Windows\\win.ini")),
                 (200, "截质目录")),
            ]
            # the backup endpoints: names and numbers refused on their text, paths as for info
            a = "Mir200\\Envir\\a.txt"
            rows += [
                ("backups, invalid JSON", signed("/api/file/backups", b"{"), (200, "无效的JSON")),
                ("backups outside", signed("/api/file/backups", sync_body(version, "..\\Windows\\win.ini")),
                 (200, "截质目录")),
                ("restore, invalid JSON", signed("/api/file/restore", b"[1]"), (200, "无效的JSON")),
                ("restore without a backup", signed("/api/file/restore", sync_body(version, a)), (200, "参数不完整")),
                ("restore, a climbing name", signed("/api/file/restore", restore_body(
                    version, a, "..\\..\\Config_20260718010539.ini")), (200, "备份名称无效")),
                ("restore, a separator", signed("/api/file/restore", restore_body(
                    version, a, "Envir/a_20260718010539.txt")), (200, "备份名称无效")),
                ("restore, a stream", signed("/api/file/restore", restore_body(
                    version, a, "a_20260718010539.txt::$DATA")), (200, "备份名称无效")),
                ("restore, a forged line", signed("/api/file/restore", restore_body(
                    version, a, "a_20260718010539.txt\r\n2020-01-01 00:00:00.000 服务已停止")), (200, "备份名称无效")),
                ("restore, another file's backup", signed("/api/file/restore", restore_body(
                    version, a, "b_20260718010539.txt")), (200, "备份名称无效")),
                ("restore, a backup not there", signed("/api/file/restore", restore_body(
                    version, a, "a_20260718010539.txt")), (200, "备份不存在")),
                ("restore outside", signed("/api/file/restore", restore_body(
                    version, "..\\x.txt", "x_20260718010539.txt")), (200, "截质目录")),
                ("prune without numbers", signed("/api/file/prune", sync_body(version, a)), (200, "参数不完整")),
                ("prune, a negative count", signed("/api/file/prune", prune_body(version, -1, 30)),
                 (200, "保留数量或天数无效")),
                ("prune, a huge number", signed("/api/file/prune", prune_body(version, 1, 1e300)),
                 (200, "保留数量或天数无效")),
                ("prune, a system folder", signed("/api/file/prune", prune_body("C:\\Windows", 0, 0)),
                 (200, "截质目录")),
            ]
            # network version paths and streams in place of a version: refused before anything is read
            for unc in networked:
                rows += [
                    ("network version, backups: " + unc, signed("/api/file/backups", sync_body(unc, a)),
                     (200, "截质目录")),
                    ("network version, restore: " + unc, signed("/api/file/restore", restore_body(
                        unc, a, "a_20260718010539.txt")), (200, "截质目录")),
                    ("network version, prune: " + unc, signed("/api/file/prune", prune_body(unc, 0, 0)),
                     (200, "截质目录")),
                    ("network version, sync: " + unc, signed("/api/file/sync", sync_body(unc, "Mir200\\Envir\\a.txt")),
                     (200, "截质目录")),
                    ("network version, info: " + unc, signed("/api/file/info", sync_body(unc, "Mir200\\Envir\\a.txt")),
                     (200, "截质目录")),
                    ("network version, reload: " + unc, signed("/api/m2/load", json.dumps(
                        {"versionPath": unc, "items": ["所有NPC"]}, ensure_ascii=False).encode()), (200, "截质目录")),
                ]
            rows += [
                ("stream after the drive", signed("/api/file/sync", sync_body("C::$DATA", "a.txt")), (200, "截质目录")),
                ("drive-relative version", signed("/api/file/info", sync_body("C:MirServerBad", "Mir200\\Envir\\a.txt")),
                 (200, "截质目录")),
                # forged log lines: the texts are refused, and logged with their
                # line ends shown (the real program's log: window_e2e.py)
                ("forged line in a version", signed("/api/m2/load", json.dumps(
                    {"versionPath": "Q:\\x\r\n2020-01-01 00:00:00.000 服务已停止", "items": ["所有NPC"]},
                    ensure_ascii=False).encode()), (200, "截质目录")),
                ("forged line in a path", signed("/api/file/info", sync_body(
                    version, "Mir200\\Envir\\a.txt\r\n2020-01-01 00:00:00.000 服务已停止")), (200, "截质目录")),
            ]
            for what, data, expected in rows:
                self.assertEqual(exchange(port, data), expected, what)

            # peers that keep trickling after their answer are let go within
            # the drain's deadline (2 s), not after 10 s of trickling
            trickling = [
                ("trickling after an answer", signed("/api/ping"), (200, None)),
                ("trickling after a refusal", b"POST /api/ping HTTP/1.1\r\nContent-Length: -5\r\n\r\n",
                 (400, "请求长度无效")),
            ]
            for what, data, expected in trickling:
                self.assertEqual(trickle_after_answer(port, data), (expected, True), what)

            # bodies announced and never sent, by length and chunked: held
            # no longer than their grace (10 s), then let go without an answer
            stalled = [
                ("announced largest body", b"POST /api/file/sync HTTP/1.1\r\nContent-Length: 167772160\r\n\r\nx"),
                ("announced chunk", b"POST /api/file/sync HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nA000000\r\nx"),
            ]
            for (what, _), (answer, let_go) in zip(stalled, stalled_bodies(port, [head for _, head in stalled])):
                self.assertEqual((answer, let_go), (None, True), what)

            # connection churn from one address leaves the service answering
            self.assertGreater(churn(port), 500)
            self.assertEqual(exchange(port, signed("/api/ping")), (200, None))
            self.assertEqual(tree_digest(root), before)
        finally:
            host.stdin.close()
            host.wait(timeout=30)
            host.stdout.close()
            shutil.rmtree(root, ignore_errors=True)


def main():
    global ARGS
    parser = tzsupport.e2e_parser()
    ARGS, rest = tzsupport.parse_e2e_args(parser)
    tzsupport.run_suite(rest)


if __name__ == "__main__":
    main()
