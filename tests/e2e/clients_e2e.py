#!/usr/bin/env python3
"""End-to-end: the real service under Wine, driven over 127.0.0.1 by HTTP
clients that no one here wrote (curl with its defaults, Python's urllib) and
by tzclient, as editors built on any HTTP stack would; and the curl recipe and
the Python and C# client examples of docs/api.md, run as a developer would.

Usage: clients_e2e.py --build BUILD_WIN [--host-client PATH]
"""
import argparse
import base64
import hashlib
import hmac
import json
import os
import re
import shutil
import subprocess
import sys
import time
import unittest
import urllib.request
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import service_e2e as service  # noqa: E402  (the service host and the shared key)

ARGS = None
KEY = service.KEY
CURL = "/usr/bin/curl"
VERSION = "C:\\MirServerClients"
BACKUP = "【TZ62Editor编辑器同步备份请谨慎】"
# Over the size from which curl asks "Expect: 100-continue" (1 KiB up to
# curl 8.7, 1 MiB since).
BIG = 2 * 1024 * 1024 + 5


def signed_headers(path, body, method="POST"):
    ts = str(int(time.time()))
    nonce = uuid.uuid4().hex
    message = ts.encode() + method.encode() + path.encode() + body + nonce.encode()
    sign = hmac.new(KEY.encode(), message, hashlib.sha256).hexdigest()
    return {"x-timestamp": ts, "x-nonce": nonce, "x-sign": sign}


def file_bytes(content):
    """The encrypted payload of docs/api.md, made with openssl, not the tool's code."""
    enc_key = hashlib.sha256(KEY.encode() + b"Hq4mSyncEnc").digest()
    mac_key = hashlib.sha256(KEY.encode() + b"Hq4mSyncMac").digest()
    iv = os.urandom(16)
    ciphertext = subprocess.run(["openssl", "enc", "-aes-256-cbc", "-K", enc_key.hex(), "-iv", iv.hex()],
                                input=content, capture_output=True, check=True).stdout
    tag = hmac.new(mac_key, iv + ciphertext, hashlib.sha256).digest()[:16]
    return base64.b64encode(iv + ciphertext + tag).decode()


def json_body(**members):
    return json.dumps(members, ensure_ascii=False, separators=(",", ":")).encode("utf-8")


class Curl:
    name = "curl"

    def __init__(self, port, workdir):
        self.port = port
        self.workdir = workdir

    def exchange(self, path, body, extra=()):
        """(status, body, curl's trace, seconds) of one signed POST."""
        body_file = os.path.join(self.workdir, "curl-body.bin")
        with open(body_file, "wb") as f:
            f.write(body)
        argv = [CURL, "-sS", "-v", "--max-time", "120", "-o", "-", "-w", "\n%{http_code} %{time_total}",
                "--data-binary", "@" + body_file, "-H", "Content-Type: application/json"]
        for name, value in signed_headers(path, body).items():
            argv += ["-H", "%s: %s" % (name, value)]
        argv += [*extra, "http://127.0.0.1:%d%s" % (self.port, path)]
        done = subprocess.run(argv, capture_output=True, timeout=180)
        out, _, tail = done.stdout.decode("utf-8", "replace").rpartition("\n")
        status, seconds = tail.split()
        return int(status), out, done.stderr.decode("utf-8", "replace"), float(seconds)

    def post(self, path, body):
        status, answer, _, _ = self.exchange(path, body)
        return status, answer


class Urllib:
    name = "urllib"

    def __init__(self, port):
        self.port = port

    def post(self, path, body):
        headers = {"Content-Type": "application/json", **signed_headers(path, body)}
        request = urllib.request.Request("http://127.0.0.1:%d%s" % (self.port, path), data=body,
                                         headers=headers, method="POST")
        with urllib.request.urlopen(request, timeout=120) as answer:
            return answer.status, answer.read().decode("utf-8")


class TzClient:
    name = "tzclient"

    def __init__(self, port, workdir):
        self.port = port
        self.workdir = workdir

    def run(self, *args):
        done = subprocess.run([ARGS.host_client, "--port", str(self.port), "--key", KEY, "--timeout", "300000",
                               *args], capture_output=True, timeout=180)
        return done.returncode, done.stdout.decode("utf-8", "replace").strip()


class RealClients(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = os.path.join(ARGS.prefix, "drive_c", "MirServerClients")
        shutil.rmtree(cls.root, ignore_errors=True)
        os.makedirs(os.path.join(cls.root, "Mir200", "Envir"))
        with open(os.path.join(cls.root, "Config.ini"), "wb") as f:
            f.write(b"[Server]\r\n")
        cls.workdir = os.path.join(ARGS.build, "clients-e2e")
        os.makedirs(cls.workdir, exist_ok=True)
        cls.port = service.free_port()
        cls.host = service.ServiceHost(cls.port, KEY)
        cls.host.wait_for("RUNNING")

    @classmethod
    def tearDownClass(cls):
        cls.host.close()
        shutil.rmtree(cls.root, ignore_errors=True)

    def http_clients(self):
        return [Curl(self.port, self.workdir), Urllib(self.port)]

    def target(self, name):
        return os.path.join(self.root, "Mir200", "Envir", name)

    def backups_of(self, stem):
        folder = os.path.join(self.root, BACKUP, "Mir200", "Envir")
        if not os.path.isdir(folder):
            return []
        return sorted(os.path.join(folder, n) for n in os.listdir(folder) if n.startswith(stem + "_"))

    def test_ping_and_versions(self):
        for client in self.http_clients():
            self.assertEqual(client.post("/api/ping", b""), (200, service.PING_BODY), client.name)
            status, answer = client.post("/api/versions", b"")
            self.assertEqual(status, 200, client.name)
            paths = [v["versionPath"] for v in json.loads(answer)["versions"]]
            self.assertIn(VERSION, paths, client.name)

    def push_twice_and_check(self, name, push, info):
        """Pushes over a mebibyte twice: the second replaces the first, which is backed up."""
        first = bytes((i * 31) & 0xFF for i in range(BIG))
        second = bytes((i * 17 + 3) & 0xFF for i in range(BIG + 1))
        for content in (first, second):
            self.assertEqual(push(content), {"success": True, "message": "同步成功"}, name)
        with open(self.target(name + ".txt"), "rb") as f:
            self.assertEqual(f.read(), second, name)
        backups = self.backups_of(name)
        self.assertEqual(len(backups), 1, (name, backups))
        with open(backups[0], "rb") as f:
            self.assertEqual(f.read(), first, name)
        self.assertEqual(info(), {"success": True, "exists": True, "md5": hashlib.md5(second).hexdigest()}, name)

    def test_push_with_backup_and_info(self):
        for client in self.http_clients():
            relative = "Mir200\\Envir\\%s.txt" % client.name

            def push(content, client=client, relative=relative):
                body = json_body(versionPath=VERSION, relativePath=relative, fileBytes=file_bytes(content))
                status, answer = client.post("/api/file/sync", body)
                self.assertEqual(status, 200, client.name)
                return json.loads(answer)

            def info(client=client, relative=relative):
                return json.loads(client.post("/api/file/info", json_body(versionPath=VERSION,
                                                                          relativePath=relative))[1])
            self.push_twice_and_check(client.name, push, info)

        if not ARGS.host_client:
            return
        tz = TzClient(self.port, self.workdir)

        def tz_push(content):
            local = os.path.join(self.workdir, "tz-push.bin")
            with open(local, "wb") as f:
                f.write(content)
            code, out = tz.run("push", VERSION, "Mir200\\Envir\\tzclient.txt", local)
            return json.loads(out)
        self.push_twice_and_check("tzclient", tz_push,
                                  lambda: json.loads(tz.run("info", VERSION, "Mir200\\Envir\\tzclient.txt")[1]))

    def test_curl_gets_leave_to_send_and_does_not_stall(self):
        curl = Curl(self.port, self.workdir)
        content = bytes(range(256)) * (BIG // 256)
        timings = {}
        for label, extra in [("asked", []), ("not asked", ["-H", "Expect:"])]:
            body = json_body(versionPath=VERSION, relativePath="Mir200\\Envir\\expect.txt",
                             fileBytes=file_bytes(content))
            status, answer, trace, seconds = curl.exchange("/api/file/sync", body, extra)
            self.assertEqual((status, json.loads(answer)), (200, {"success": True, "message": "同步成功"}), label)
            asked = "> Expect: 100-continue" in trace
            self.assertEqual(asked, label == "asked", trace)
            self.assertEqual("< HTTP/1.1 100 Continue" in trace, asked, trace)
            timings[label] = seconds
        # Without the interim answer curl waits a whole second before it sends.
        self.assertLess(timings["asked"] - timings["not asked"], 1.0, timings)

    def test_chunked_push_with_curl_lands_whole(self):
        curl = Curl(self.port, self.workdir)
        content = bytes((i * 13) & 0xFF for i in range(BIG))
        body = json_body(versionPath=VERSION, relativePath="Mir200\\Envir\\chunked.txt",
                         fileBytes=file_bytes(content))
        status, answer, trace, _ = curl.exchange("/api/file/sync", body, ["-H", "Transfer-Encoding: chunked"])
        self.assertIn("> Transfer-Encoding: chunked", trace)
        self.assertEqual((status, json.loads(answer)), (200, {"success": True, "message": "同步成功"}))
        with open(self.target("chunked.txt"), "rb") as f:
            self.assertEqual(f.read(), content)

    def test_refused_framing_gets_its_final_answer_at_once(self):
        """A refused head or framing gets its answer and no interim one."""
        def failure(status, reason, message):
            body = json_body(success=False, message=message)
            return ("HTTP/1.1 %d %s\r\nContent-Type: application/json; charset=utf-8\r\n"
                    "Access-Control-Allow-Origin: *\r\nContent-Length: %d\r\nConnection: close\r\n"
                    "Server: TZ62Editorsync/1.0\r\n\r\n" % (status, reason, len(body))).encode() + body
        bad = failure(400, "Bad Request", "请求长度无效")
        head = "POST /api/file/sync HTTP/1.1\r\nExpect: 100-continue\r\n"
        cases = [
            (head + "Content-Length: %d\r\n\r\n" % (161 * 1024 * 1024),
             failure(413, "Payload Too Large", "请求内容过大")),
            (head + "Transfer-Encoding: chunked\r\n\r\n5\r\nabcdefg\r\n0\r\n\r\n", bad),
            (head + "Transfer-Encoding: chunked\r\n\r\n" + "0" * 80, bad),
            (head + "Transfer-Encoding: gzip\r\n\r\n", bad),
        ]
        for request, answer in cases:
            self.assertEqual(service.raw_exchange(self.port, request.encode()), answer, request[:120])

    def test_the_curl_recipe_of_the_api_document(self):
        with open(os.path.join(ARGS.source, "docs", "api.md"), encoding="utf-8") as f:
            blocks = re.findall(r"```sh\n(.*?)```", f.read(), re.S)
        recipe = [b for b in blocks if "openssl dgst" in b]
        self.assertEqual(len(recipe), 1)
        with open(self.target("recipe.txt"), "wb") as f:
            f.write(b"recipe")
        script = re.sub(r"(?m)^PORT=.*$", "PORT=%d" % self.port, recipe[0])
        script = re.sub(r"(?m)^KEY=.*$", "KEY='%s'" % KEY, script)
        script = script.replace("D:\\\\MirServer", VERSION.replace("\\", "\\\\"))
        script = script.replace("QuestDiary\\\\a.txt", "recipe.txt")
        done = subprocess.run(["bash", "-euo", "pipefail", "-c", script], cwd=self.workdir, capture_output=True,
                              timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(json.loads(done.stdout.decode("utf-8")),
                         {"success": True, "exists": True, "md5": hashlib.md5(b"recipe").hexdigest()})

    def test_the_client_examples_of_the_api_document(self):
        """docs/examples/tz_client.py and TzClient.cs (compiled with Mono) ping
        and push a GBK file with CRLF, which lands byte for byte."""
        examples = os.path.join(ARGS.source, "docs", "examples")
        program = os.path.join(self.workdir, "TzClient.exe")
        built = subprocess.run(["mcs", "-out:" + program, os.path.join(examples, "TzClient.cs")],
                               capture_output=True, text=True, timeout=120)
        self.assertEqual(built.returncode, 0, built.stdout + built.stderr)
        content = "[@main]\r\n欢迎来到演示服\r\n".encode("gbk")
        local = os.path.join(self.workdir, "example-push.txt")
        with open(local, "wb") as f:
            f.write(content)
        for name, command in [("python", [sys.executable, os.path.join(examples, "tz_client.py")]),
                              ("csharp", ["mono", program])]:
            with self.subTest(name):
                where = ["127.0.0.1", str(self.port), KEY]
                ping = subprocess.run(command + where, capture_output=True, timeout=180)
                self.assertEqual(ping.returncode, 0, ping.stderr)
                self.assertEqual(json.loads(ping.stdout.decode("utf-8"))["status"], "running")
                relative = "Mir200\\Envir\\example-%s.txt" % name
                pushed = subprocess.run(command + where + [VERSION, relative, local], capture_output=True,
                                        timeout=180)
                self.assertEqual(pushed.returncode, 0, pushed.stderr)
                self.assertEqual(json.loads(pushed.stdout.decode("utf-8")), {"success": True, "message": "同步成功"})
                with open(self.target("example-%s.txt" % name), "rb") as f:
                    self.assertEqual(f.read(), content)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--host-client", default="")
    parser.add_argument("--source", default=os.path.dirname(os.path.dirname(HERE)))
    ARGS, rest = parser.parse_known_args()
    ARGS.build = os.path.abspath(ARGS.build)
    ARGS.prefix = os.environ.get("WINEPREFIX") or os.path.join(ARGS.build, "wineprefix")
    service.ARGS = ARGS  # the service host finds its program and prefix there
    unittest.main(argv=[sys.argv[0], "-v", *rest])


if __name__ == "__main__":
    main()
