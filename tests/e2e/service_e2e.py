#!/usr/bin/env python3
"""End-to-end: the real service under Wine, driven over 127.0.0.1 by tzclient
(the host build and the Windows build) and by raw sockets, as an editor would.

Usage: service_e2e.py --build BUILD_WIN [--host-client PATH] [--vectors FILE]
"""
import argparse
import functools
import hashlib
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "support"))
import tzsupport  # noqa: E402
from tzsupport import free_port  # noqa: E402
raw_exchange = functools.partial(tzsupport.exchange, timeout=15)


ARGS = None
KEY = "0123456789abcdef0123456789abcdef"
PING_BODY = '{"success":true,"status":"running","versionName":""}'


def wine(*argv, **kw):
    return tzsupport.wine_command(ARGS.prefix, *argv)


class ServiceHost:
    """tz_service_host.exe under Wine, controlled through its standard input."""

    def __init__(self, port, key):
        exe = os.path.join(ARGS.build, "tz_service_host.exe")
        self.proc = subprocess.Popen(wine(exe, str(port), key), stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.lines = []
        self.cond = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            with self.cond:
                self.lines.append(line.decode("utf-8", "replace").rstrip("\r\n"))
                self.cond.notify_all()

    def wait_for(self, prefix, timeout=60):
        deadline = time.time() + timeout
        with self.cond:
            while True:
                for line in self.lines:
                    if line.startswith(prefix):
                        self.lines.remove(line)
                        return line
                left = deadline - time.time()
                if left <= 0:
                    raise AssertionError("no %r from the service; got %r" % (prefix, self.lines))
                self.cond.wait(left)

    def take(self, prefix):
        """Removes and returns every line so far that starts with prefix."""
        with self.cond:
            taken = [line for line in self.lines if line.startswith(prefix)]
            self.lines = [line for line in self.lines if not line.startswith(prefix)]
            return taken

    def command(self, text):
        self.proc.stdin.write((text + "\n").encode())
        self.proc.stdin.flush()

    def close(self):
        try:
            self.proc.stdin.close()
            self.proc.wait(timeout=30)
        except Exception:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()


class Client:
    """One of the two builds of tzclient."""

    def __init__(self, argv_prefix, name):
        self.argv_prefix = argv_prefix
        self.name = name

    def sign(self, *args, key):
        done = subprocess.run([*self.argv_prefix, "--key", key, *args], capture_output=True, timeout=120)
        return done.returncode, done.stdout.decode("utf-8", "replace").strip()

    def run(self, *args, key=KEY, port=None):
        argv = list(self.argv_prefix) + ["--timeout", "300000"]  # big pushes on a loaded machine
        if port is not None:
            argv += ["--port", str(port)]
        if key is not None:
            argv += ["--key", key]
        argv += ["-i", *args]
        done = subprocess.run(argv, capture_output=True, timeout=120)
        out = done.stdout.decode("utf-8", "replace")
        head, _, body = out.partition("\r\n\r\n")
        status = int(head.split(" ")[1]) if head.startswith("HTTP/1.1 ") else 0
        return done.returncode, status, head, body.rstrip("\r\n")


def clients():
    found = [Client(wine(os.path.join(ARGS.build, "tzclient.exe")), "windows")]
    if ARGS.host_client and os.path.exists(ARGS.host_client):
        found.append(Client([ARGS.host_client], "host"))
    return found


class ServiceEndToEnd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.port = free_port()
        cls.host = ServiceHost(cls.port, KEY)
        cls.host.wait_for("RUNNING")

    @classmethod
    def tearDownClass(cls):
        cls.host.close()

    def test_signed_ping_with_both_clients(self):
        for client in clients():
            code, status, _, body = client.run("ping", port=self.port)
            self.assertEqual((code, status, body), (0, 200, PING_BODY), client.name)

    def test_refusals_with_exact_messages(self):
        stale = str(int(time.time()) - 301)
        for client in clients():
            replay_nonce = "replay-" + client.name + str(time.time())
            cases = [
                ("missing", ["--no-sign", "ping"], KEY, 401, "缺少签名参数"),
                ("stale", ["--timestamp", stale, "ping"], KEY, 401, "请求已过期"),
                ("wrong key", ["ping"], KEY + "x", 401, "签名验证失败"),
                ("first", ["--nonce", replay_nonce, "ping"], KEY, 200, None),
                ("replayed", ["--nonce", replay_nonce, "ping"], KEY, 401, "重复请求"),
                ("unknown path", ["request", "POST", "/api/other"], KEY, 404, "接口不存在"),
            ]
            for what, args, key, want_status, want_message in cases:
                code, status, _, body = client.run(*args, key=key, port=self.port)
                self.assertEqual(status, want_status, (client.name, what, body))
                if want_message is None:
                    self.assertEqual((code, body), (0, PING_BODY))
                else:
                    self.assertEqual(code, 1)
                    self.assertEqual(json.loads(body), {"success": False, "message": want_message},
                                     (client.name, what))

    def test_key_off_the_command_line_and_help(self):
        folder = os.path.join(ARGS.prefix, "drive_c", "tzclient-key")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "key.txt"), "wb") as f:
            f.write(b"\xef\xbb\xbf" + KEY.encode() + b"\r\n")
        for client in clients():
            key_file = "C:\\tzclient-key\\key.txt" if client.name == "windows" else os.path.join(folder, "key.txt")
            code, status, _, body = client.run("--key-file", key_file, "ping", key=None, port=self.port)
            self.assertEqual((code, status, body), (0, 200, PING_BODY), client.name)
            env = dict(os.environ, TZ62_KEY=KEY)
            done = subprocess.run([*client.argv_prefix, "--port", str(self.port), "ping"], env=env,
                                  capture_output=True, timeout=120)
            self.assertEqual((done.returncode, done.stdout.decode().strip()), (0, PING_BODY), client.name)
            for flag in ("-h", "--help"):
                done = subprocess.run([*client.argv_prefix, flag], capture_output=True, timeout=120)
                self.assertEqual(done.returncode, 0, (client.name, flag))
                self.assertIn(b"--key-file FILE", done.stdout)

    def test_server_texts_are_printed_inert(self):
        body = '{"success":false,"message":"a\x1b[2J\rb\u2028c"}'.encode()
        answer = b"HTTP/1.1 200 OK\r\nX-Note: \x1b]0;title\x07\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body)
        with socket.socket() as listener:
            listener.bind(("127.0.0.1", 0))
            listener.listen(4)
            port = listener.getsockname()[1]

            def serve():
                for _ in range(len(clients())):
                    conn, _ = listener.accept()
                    with conn:
                        conn.settimeout(30)
                        data = b""
                        while b"\r\n\r\n" not in data:
                            data += conn.recv(65536)
                        conn.sendall(answer)

            server = threading.Thread(target=serve, daemon=True)
            server.start()
            for client in clients():
                code, status, head, shown = client.run("ping", port=port)
                self.assertEqual((code, status), (1, 200), client.name)
                self.assertEqual(shown, '{"success":false,"message":"a\\x1b[2J\\x0db\\u2028c"}', client.name)
                self.assertIn("X-Note: \\x1b]0;title\\x07", head, client.name)
            server.join(30)

    def test_options_has_exactly_the_five_headers(self):
        answer = raw_exchange(self.port, b"OPTIONS /api/whatever HTTP/1.1\r\nOrigin: http://editor\r\n\r\n")
        self.assertEqual(answer, b"HTTP/1.1 200 OK\r\n"
                                 b"Content-Type: application/json; charset=utf-8\r\n"
                                 b"Access-Control-Allow-Origin: *\r\n"
                                 b"Content-Length: 0\r\n"
                                 b"Connection: close\r\n"
                                 b"Server: TZ62Editorsync/1.0\r\n\r\n")

    def test_clients_sign_as_the_vectors_say(self):
        with open(ARGS.vectors, encoding="utf-8") as f:
            vectors = json.load(f)["signatures"]
        for client in clients():
            for v in vectors:
                body_file = os.path.join(ARGS.build, "vector-body-%s.bin" % client.name)
                with open(body_file, "wb") as f:
                    f.write(bytes.fromhex(v["body_hex"]))
                # The Windows client reads the file through Wine's own path mapping.
                body_arg = "@" + (body_file if client.name == "host" else "\\\\?\\unix" + body_file.replace("/", "\\"))
                result = client.sign("--timestamp", v["x-timestamp"], "--nonce", v["x-nonce"],
                                     "sign", v["method"], v["path"], body_arg, key=v["key"])
                self.assertEqual(result, (0, v["x-sign"]), (client.name, v["path"]))

    def test_one_byte_at_a_time_is_answered_as_at_once(self):
        def signed(nonce):
            ts = str(int(time.time()))
            sign = subprocess.run([ARGS.host_client, "--key", KEY, "--timestamp", ts, "--nonce", nonce,
                                   "sign", "POST", "/api/ping", '{"x":1}'],
                                  capture_output=True, text=True).stdout.strip()
            return ("POST /api/ping HTTP/1.1\r\nContent-Length: 7\r\nx-timestamp: %s\r\nx-nonce: %s\r\n"
                    "x-sign: %s\r\n\r\n{\"x\":1}" % (ts, nonce, sign)).encode()
        if not ARGS.host_client:
            self.skipTest("needs the host client")
        at_once = raw_exchange(self.port, signed("whole-%f" % time.time()))
        slowly = raw_exchange(self.port, signed("bytes-%f" % time.time()), piece=1)
        self.assertEqual(at_once, slowly)
        self.assertTrue(slowly.endswith(PING_BODY.encode()))


class FilesEndToEnd(unittest.TestCase):
    """info and push with both clients against a version on C: of the prefix."""

    @classmethod
    def setUpClass(cls):
        cls.root = os.path.join(ARGS.prefix, "drive_c", "MirServerE2E")
        shutil.rmtree(cls.root, ignore_errors=True)
        os.makedirs(os.path.join(cls.root, "Mir200", "Envir"))
        with open(os.path.join(cls.root, "Config.ini"), "wb") as f:
            f.write(b"[Server]\r\n")
        cls.port = free_port()
        cls.host = ServiceHost(cls.port, KEY)
        cls.host.wait_for("RUNNING")

    @classmethod
    def tearDownClass(cls):
        cls.host.close()
        shutil.rmtree(cls.root, ignore_errors=True)

    def local_file(self, name, content):
        path = os.path.join(ARGS.build, name)
        with open(path, "wb") as f:
            f.write(content)
        return path

    def file_arg(self, client, path):
        return path if client.name == "host" else "\\\\?\\unix" + path.replace("/", "\\")

    def test_push_and_info_round_trip(self):
        big = bytes((i * 7919) & 0xFF for i in range(20 * 1024 * 1024))
        for client in clients():
            for name, content in [("every.db", bytes(range(256))), ("big.txt", big)]:
                rel = "Mir200\\Envir\\%s-%s" % (client.name, name)
                local = self.local_file("push-" + name, content)
                code, status, _, body = client.run("push", "C:\\MirServerE2E", rel, self.file_arg(client, local),
                                                   port=self.port)
                self.assertEqual((code, json.loads(body)), (0, {"success": True, "message": "同步成功"}),
                                 (client.name, name))
                with open(os.path.join(self.root, "Mir200", "Envir", "%s-%s" % (client.name, name)), "rb") as f:
                    self.assertEqual(f.read(), content)
                code, _, _, body = client.run("info", "C:\\MirServerE2E", rel, port=self.port)
                self.assertEqual(json.loads(body), {"success": True, "exists": True,
                                                    "md5": hashlib.md5(content).hexdigest()})
            self.host.wait_for("LOG 文件已同步: C:\\MirServerE2E\\Mir200\\Envir\\%s-big.txt" % client.name)

    def test_wrong_key_leaves_the_target_untouched(self):
        target = os.path.join(self.root, "Mir200", "Envir", "kept.txt")
        with open(target, "wb") as f:
            f.write(b"kept")
        local = self.local_file("evil.txt", b"evil")
        for client in clients():
            # Signed with the right key, encrypted with another: the payload is refused.
            done = subprocess.run([*client.argv_prefix, "--port", str(self.port), "--key", KEY, "--payload-key",
                                   "other", "push", "C:\\MirServerE2E", "Mir200\\Envir\\kept.txt",
                                   self.file_arg(client, local)], capture_output=True, timeout=120)
            self.assertEqual(json.loads(done.stdout.decode()), {"success": False, "message": "解密失败或密钥不符"})
        with open(target, "rb") as f:
            self.assertEqual(f.read(), b"kept")
        self.assertFalse(os.path.exists(os.path.join(self.root, "【TZ62Editor编辑器同步备份请谨慎】")))


class BackupsEndToEnd(unittest.TestCase):
    """The backup endpoints with both clients: a bad push undone with one
    command, a named backup restored, a prune that keeps the newest, and the
    restore recipe of docs/api.md run as written."""

    BACKUP = "【TZ62Editor编辑器同步备份请谨慎】"

    @classmethod
    def setUpClass(cls):
        cls.root = os.path.join(ARGS.prefix, "drive_c", "MirServerBackupsE2E")
        shutil.rmtree(cls.root, ignore_errors=True)
        os.makedirs(os.path.join(cls.root, "Mir200", "Envir"))
        with open(os.path.join(cls.root, "Config.ini"), "wb") as f:
            f.write(b"[Server]\r\n")
        cls.port = free_port()
        cls.host = ServiceHost(cls.port, KEY)
        cls.host.wait_for("RUNNING")

    @classmethod
    def tearDownClass(cls):
        cls.host.close()
        shutil.rmtree(cls.root, ignore_errors=True)

    def run_json(self, client, *args):
        code, status, _, body = client.run(*args, port=self.port)
        self.assertEqual(status, 200, (client.name, args, body))
        return code, json.loads(body.split("\n")[0])

    def push(self, client, rel, content):
        local = os.path.join(ARGS.build, "backups-push-%s.bin" % client.name)
        with open(local, "wb") as f:
            f.write(content)
        arg = local if client.name == "host" else "\\\\?\\unix" + local.replace("/", "\\")
        self.assertEqual(self.run_json(client, "push", "C:\\MirServerBackupsE2E", rel, arg),
                         (0, {"success": True, "message": "同步成功"}))

    def target(self, name):
        with open(os.path.join(self.root, "Mir200", "Envir", name), "rb") as f:
            return f.read()

    def backups(self, client, rel):
        code, answer = self.run_json(client, "--md5", "backups", "C:\\MirServerBackupsE2E", rel)
        self.assertEqual((code, answer["success"]), (0, True), answer)
        return answer["backups"]

    def test_undo_restore_and_prune_with_both_clients(self):
        version = "C:\\MirServerBackupsE2E"
        for client in clients():
            name = "%s.txt" % client.name
            rel = "Mir200\\Envir\\" + name
            self.push(client, rel, b"A")
            self.push(client, rel, b"B (a bad push)")
            code, answer = self.run_json(client, "undo", version, rel)
            self.assertEqual((code, answer["success"], answer["message"]), (0, True, "恢复成功"), answer)
            self.assertEqual(self.target(name), b"A")
            listed = self.backups(client, rel)
            # Newest first: B, kept by the undo, then A, kept by the second push.
            self.assertEqual([b["md5"] for b in listed],
                             [hashlib.md5(b"B (a bad push)").hexdigest(), hashlib.md5(b"A").hexdigest()])
            self.assertEqual(listed[0]["name"], answer["previous"])
            self.assertEqual(listed[1]["name"], answer["restored"])
            self.host.wait_for("LOG 文件已恢复: %s\\%s <- %s" % (version, rel, answer["restored"]))

            # A named backup: B again.
            code, answer = self.run_json(client, "restore", version, rel, listed[0]["name"])
            self.assertEqual((code, answer["restored"]), (0, listed[0]["name"]), answer)
            self.assertEqual(self.target(name), b"B (a bad push)")
            # Another file's backup name, and one with a separator: refused, nothing changes.
            for bad in ["other_20260718010539.txt", "..\\" + listed[0]["name"]]:
                self.assertEqual(self.run_json(client, "restore", version, rel, bad),
                                 (1, {"success": False, "message": "备份名称无效"}))
            self.assertEqual(self.target(name), b"B (a bad push)")

            # Three backups now; a prune keeping the newest one removes two,
            # once they are a second old.
            self.assertEqual(len(self.backups(client, rel)), 3)
            time.sleep(1.1)
            code, answer = self.run_json(client, "prune", version, "1", "0")
            own = [r for r in answer["removed"] if r.startswith("Mir200\\Envir\\%s_" % client.name)]
            self.assertEqual((code, len(own)), (0, 2), answer)  # other tests' files may lose theirs too
            self.assertEqual([b["name"] for b in self.backups(client, rel)], [self.backups(client, rel)[0]["name"]])
            self.assertEqual(self.target(name), b"B (a bad push)")
            self.assertTrue(os.path.exists(os.path.join(self.root, self.BACKUP, "TZ62Editor编辑器同步备份说明.txt")))

        # A file without backups: undo restores nothing and says so.
        for client in clients():
            done = subprocess.run([*client.argv_prefix, "--port", str(self.port), "--key", KEY, "undo", version,
                                   "Mir200\\Envir\\never.txt"], capture_output=True, timeout=120)
            code, out = done.returncode, done.stdout.decode("utf-8", "replace")
            self.assertEqual(code, 1, out)
            self.assertEqual(json.loads(out.split("\n")[0]), {"success": True, "backups": []})
            self.assertIn("no backup of Mir200\\Envir\\never.txt to restore", out)
            self.assertFalse(os.path.exists(os.path.join(self.root, "Mir200", "Envir", "never.txt")))

    def test_the_restore_recipe_of_the_api_document(self):
        with open(os.path.join(ARGS.source, "docs", "api.md"), encoding="utf-8") as f:
            blocks = re.findall(r"```bash\n(.*?)```", f.read(), re.S)
        recipe = [b for b in blocks if "/api/file/restore" in b]
        self.assertEqual(len(recipe), 1)
        client = clients()[-1]
        self.push(client, "Mir200\\Envir\\recipe.txt", b"first")
        self.push(client, "Mir200\\Envir\\recipe.txt", b"second")
        newest = self.backups(client, "Mir200\\Envir\\recipe.txt")[0]["name"]
        script = re.sub(r"(?m)^PORT=.*$", "PORT=%d" % self.port, recipe[0])
        script = re.sub(r"(?m)^KEY=.*$", "KEY='%s'" % KEY, script)
        script = script.replace("D:\\\\MirServer", "C:\\\\MirServerBackupsE2E")
        script = script.replace("QuestDiary\\\\a.txt", "recipe.txt").replace("a_20260718010539.txt", newest)
        workdir = tempfile.mkdtemp(prefix="tz-e2e-recipe-")
        self.addCleanup(shutil.rmtree, workdir, ignore_errors=True)
        done = subprocess.run(["bash", "-euo", "pipefail", "-c", script], cwd=workdir, capture_output=True, timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr)
        answer = json.loads(done.stdout.decode("utf-8"))
        self.assertEqual((answer["success"], answer["message"], answer["restored"]), (True, "恢复成功", newest))
        self.assertEqual(self.target("recipe.txt"), b"first")


class VersionsEndToEnd(unittest.TestCase):
    """versions with both clients: a temporary folder mapped as fixed drive D:
    (a dosdevices link, removed afterwards) and a version on T:, which the
    test prefixes mark as an optical drive. Config.ini files are GBK, as the
    ANSI code page 936 of a Chinese Windows reads them."""

    GBK_CONFIG = "[Server]\r\nGameName=传奇\r\n".encode("gbk")

    @classmethod
    def setUpClass(cls):
        cls.drive_link = os.path.join(ARGS.prefix, "dosdevices", "d:")
        if os.path.lexists(cls.drive_link):
            raise unittest.SkipTest("D: is already mapped in this prefix")
        cls.drive = tempfile.mkdtemp(prefix="tz-e2e-drive-d-")
        cls.addClassCleanup(shutil.rmtree, cls.drive, ignore_errors=True)
        cls.cdrom = os.path.join(ARGS.build, "versions-e2e-on-t")
        shutil.rmtree(cls.cdrom, ignore_errors=True)
        cls.addClassCleanup(shutil.rmtree, cls.cdrom, ignore_errors=True)
        for folder, config in [("MirServer", cls.GBK_CONFIG),
                               ("MirServerB", b"GameName=B1"),
                               ("MIRSERVERB", b"GameName=B2"),  # the same folder to Windows eyes
                               ("Games/老版本/MirServer", "; 旧版\r\n".encode("utf-8")),
                               ("Users/MirServer", cls.GBK_CONFIG),
                               ("a/b/c/d/MirServer", cls.GBK_CONFIG)]:
            cls.make_version(os.path.join(cls.drive, folder), config)
        cls.make_version(os.path.join(cls.cdrom, "MirServer"), cls.GBK_CONFIG)
        os.symlink(cls.drive, cls.drive_link)
        cls.addClassCleanup(os.unlink, cls.drive_link)  # from this side: Wine would act on the target
        # A running wineserver keeps the drive list it started with.
        subprocess.run(["wineserver", "-w"], env=dict(os.environ, WINEPREFIX=ARGS.prefix), timeout=300)
        cls.port = free_port()
        cls.host = ServiceHost(cls.port, KEY)
        cls.addClassCleanup(cls.host.close)
        cls.host.wait_for("RUNNING")

    @staticmethod
    def make_version(folder, config):
        os.makedirs(os.path.join(folder, "Mir200", "Envir"))
        with open(os.path.join(folder, "Config.ini"), "wb") as f:
            f.write(config)

    def test_versions_with_both_clients(self):
        with open(os.path.join(ARGS.prefix, "system.reg"), encoding="utf-8", errors="replace") as f:
            self.assertIn('"t:"="cdrom"', f.read(), "the test prefix must mark T: as an optical drive")
        for client in clients():
            code, status, _, body = client.run("versions", port=self.port)
            self.assertEqual((code, status), (0, 200), (client.name, body))
            answer = json.loads(body)
            self.assertEqual(list(answer), ["success", "versions"])
            self.assertIs(answer["success"], True)
            versions = answer["versions"]
            for v in versions:
                self.assertEqual(list(v), ["versionPath", "versionName", "m2Running"])
                self.assertIs(v["m2Running"], False)
                self.assertFalse(v["versionPath"].startswith("T:"), v)
            on_d = [(v["versionPath"], v["versionName"]) for v in versions if v["versionPath"].startswith("D:")]
            self.assertEqual(len(on_d), 3, (client.name, on_d))
            # Of two folders differing in letter case, the one listed first.
            self.assertIn(on_d[1], [("D:\\MirServerB", "B1"), ("D:\\MIRSERVERB", "B2")])
            self.assertEqual([on_d[0], on_d[2]], [("D:\\MirServer", "传奇"), ("D:\\Games\\老版本\\MirServer", "")],
                             "(the ANSI code page must be 936: run under LC_ALL=zh_CN.UTF-8)")
            self.host.wait_for("LOG 目录扫描完成，发现%d 个版本目录" % len(versions))
            self.assertEqual(self.host.take("LOG 找到: D:"), ["LOG 找到: " + path for path, _ in on_d])
            # The ping answer names the first version of the last scan.
            code, _, _, body = client.run("ping", port=self.port)
            self.assertEqual(json.loads(body)["versionName"], versions[0]["versionName"])


    def test_reload_without_a_running_game_server(self):
        """Both ways of reaching a game server are tried and reported per item;
        a refused version runs nothing."""
        same = "未找到M2Server进程（或窗口无法返回），请确认 M2Server.exe 已启动并在视频度下"
        error = "未找到M2Server进程。同会话原因: " + same
        for client in clients():
            code, status, _, out = client.run("reload", "D:\\MirServer", "所有NPC", "QFunction 功能脚本",
                                              port=self.port)
            self.assertEqual((code, status), (1, 200), (client.name, out))  # an item failed
            body, *items = out.split("\n")
            self.assertEqual(items, ["failed  所有NPC: " + error, "failed  QFunction 功能脚本: " + error])
            self.assertEqual(json.loads(body), {
                "success": True, "successCount": 0, "failCount": 2,
                "results": [{"item": "所有NPC", "success": False, "error": error},
                            {"item": "QFunction 功能脚本", "success": False, "error": error}]})
            self.host.wait_for("LOG M2加载请求: D:\\MirServer (2 项)")
            self.host.wait_for("LOG M2加载失败: QFunction 功能脚本 - " + error)
            self.host.wait_for("LOG M2加载完成：全部失败 (2 项)")

            code, status, _, body = client.run("reload", "C:\\Games\\MirServer", "所有NPC", port=self.port)
            self.assertEqual(json.loads(body), {"success": False, "message": "截质目录"})
            self.host.wait_for("LOG M2加载请求被拒绝: 目录不合法 - C:\\Games\\MirServer")


class StopWithRequestsInFlight(unittest.TestCase):
    def test_stop_returns_in_bounds_and_answers_nothing(self):
        port = free_port()
        host = ServiceHost(port, KEY)
        try:
            host.wait_for("RUNNING")
            half = socket.create_connection(("127.0.0.1", port), timeout=20)
            half.sendall(b"POST /api/ping HTTP/1.1\r\nContent-Length: 100\r\n\r\n{")
            time.sleep(0.5)
            host.command("stop")
            stopped_ms = int(host.wait_for("STOPPED").split()[1])
            self.assertLess(stopped_ms, 3000 + 5000)
            self.assertEqual(half.recv(100), b"")
            half.close()
            host.command("start")  # the port is free again at once
            host.wait_for("RUNNING")
        finally:
            host.close()

    def test_stop_under_load_leaves_no_connection_behind(self):
        port = free_port()
        host = ServiceHost(port, KEY)
        try:
            host.wait_for("RUNNING")
            half_open = []
            for _ in range(20):
                s = socket.create_connection(("127.0.0.1", port), timeout=20)
                s.sendall(b"POST /api/ping HTTP/1.1\r\nContent-Length: 50\r\n\r\n{")
                half_open.append(s)
            def ping_until_stopped():
                try:
                    raw_exchange(port, b"POST /api/ping HTTP/1.1\r\n\r\n")
                except OSError:
                    pass  # refused once the listener is gone
            pingers = [threading.Thread(target=ping_until_stopped) for _ in range(50)]
            for t in pingers:
                t.start()
            host.command("stop")
            stopped_ms = int(host.wait_for("STOPPED").split()[1])
            self.assertLess(stopped_ms, 3000 + 5000)
            for t in pingers:
                t.join(timeout=60)
            host.command("connections")
            self.assertEqual(host.wait_for("CONNECTIONS"), "CONNECTIONS 0")
            for s in half_open:
                try:
                    self.assertEqual(s.recv(100), b"")  # closed without an answer...
                except ConnectionResetError:
                    pass  # ...or reset, which says the same
                s.close()
        finally:
            host.close()

    def test_second_service_on_a_held_port_logs_the_failure(self):
        port = free_port()
        first = ServiceHost(port, KEY)
        try:
            first.wait_for("RUNNING")
            second = ServiceHost(port, KEY)
            try:
                line = second.wait_for("LOG ")
                self.assertEqual(line, "LOG 启动服务失败: 端口被占用，请检查端口是否已被其他程序使用")
                second.wait_for("START FAILED")
            finally:
                second.close()
        finally:
            first.close()

    def test_a_reserved_port_says_so_at_once(self):
        # A port the system keeps from programs refuses the bind with
        # WSAEACCES, as ranges excluded by Hyper-V do on Windows. Under Wine,
        # a port below 1024 refuses it so in a user namespace of our own. The
        # bind is made by the prefix's wineserver, so the prefix is one of its
        # own whose server only ever starts inside such a namespace.
        self.assertIsNotNone(shutil.which("unshare"))
        namespace = ["unshare", "-U", "-r"]
        prefix = os.path.join(ARGS.build, "userns-prefix")
        if not os.path.exists(os.path.join(prefix, "system.reg")):
            subprocess.run([*namespace, "env", "WINEPREFIX=" + prefix, "WINEDEBUG=-all", "wineboot", "-i"],
                           capture_output=True, timeout=300)
        started = time.monotonic()
        done = subprocess.run([*namespace, *tzsupport.wine_command(prefix, os.path.join(ARGS.build, "tz_service_host.exe"),
                                                                   "81", KEY)],
                              input=b"", capture_output=True, timeout=120)
        lines = done.stdout.decode("utf-8", "replace").splitlines()
        self.assertEqual(lines[:2], ["LOG 端口 81 处于系统保留范围，请换一个端口", "START FAILED"])
        self.assertLess(time.monotonic() - started, 25)  # no 30 s of retries


def main():
    global ARGS
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--host-client", default="")
    parser.add_argument("--source", default=os.path.dirname(os.path.dirname(here)))
    parser.add_argument("--vectors", default="")
    ARGS, rest = parser.parse_known_args()
    ARGS.build = os.path.abspath(ARGS.build)
    ARGS.prefix = os.environ.get("WINEPREFIX") or os.path.join(ARGS.build, "wineprefix")
    if not ARGS.vectors:
        ARGS.vectors = os.path.join(ARGS.source, "..", "shared", "vectors", "protocol.json")
    unittest.main(argv=[sys.argv[0], "-v", *rest])


if __name__ == "__main__":
    main()
