#!/usr/bin/env python3
"""A local stand-in for the update host, for the self-update tests.

Serves HTTPS (a self-signed certificate made with openssl at start) and plain
HTTP on 127.0.0.1 only, with a throw-away RSA key pair for signing manifests.
Run a test program under it:

    https_host.py [--max-seconds N] [--port P] [--signing-key KEY.pem]
                  [--publish-exe EXE] [--publish-version V] [--publish-subfolder] -- PROGRAM ARGS...

The program gets TZ_UPDATE_TEST_BASE (https://127.0.0.1:PORT) and
TZ_UPDATE_TEST_PLAIN_BASE (http://127.0.0.1:PORT) in its environment, with the
proxy variables removed (WinHTTP would honour them). The host stops when the
program ends, after --max-seconds (the program is then killed), or with no
program after --max-seconds; every wait inside is bounded too. Exit status:
the program's. Key pair, certificate and package live in a temporary folder
removed at the end.

With --publish-to DIR --base URL it serves nothing: it writes the release
(manifest.json, package.zip and files/) into DIR, for a host elsewhere that
serves DIR as URL/published, and exits.

Routes (GET; a query string is ignored):
  /echo/HEX                 200, body = the bytes HEX
  /status/CODE/HEX          CODE, body = the bytes HEX
  /empty                    200, Content-Length: 0
  /bytes/N                  200, N pattern bytes (byte i = i % 251)
  /nolength/N               200, N pattern bytes without Content-Length, then close
  /slow/N/K                 200, N pattern bytes announced, sent in K pieces 50 ms apart
  /lockstep/ID/N/A,B,...    200, N announced; sends piece A, then waits for
                            /release/ID before each next piece (so the client
                            sees exactly these pieces, however slow it is)
  /release/ID               lets /lockstep/ID send its next piece
  /drop/N/M                 200, N announced, M pattern bytes sent, then close
  /sign/HEX                 Base64 of the signature over the bytes HEX
  /public-key               the key pair's public half, PKCS #1 PEM, CRLF lines
  /published/manifest.json  a manifest made by tools/sign-manifest for ...
  /published/package.zip    ... this package, which holds TZ62Editorsync.exe
  /published/files/NAME     the published files
  /seen                     the requests so far, one "PATH<TAB>USER-AGENT" line each
"""
import argparse
import base64
import http.server
import os
import shutil
import signal
import socketserver
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
SIGN_TOOL = os.path.join(HERE, "..", "..", "tools", "sign-manifest")
WAIT_SECONDS = 60          # longest a lock-step piece waits for its release
MAX_REQUESTS = 5000        # a runaway client gets 503 after this many
PROXY_VARIABLES = ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY")


def pattern(count, start=0):
    return bytes((start + i) % 251 for i in range(count))


def run(*args, data=None):
    return subprocess.run(list(args), input=data, check=True, capture_output=True).stdout


class Host:
    """Keys, certificate, published files and the shared state of the routes."""

    def __init__(self, folder, signing_key=None, offer=None):
        self.folder = folder
        self.offer = offer or {}
        self.seen = []
        self.lock = threading.Lock()
        self.releases = {}
        self.key = signing_key or os.path.join(folder, "signing-private.pem")
        if not signing_key:
            run("openssl", "genrsa", "-out", self.key, "2048")
        public = run("openssl", "rsa", "-in", self.key, "-RSAPublicKey_out").decode()
        self.public_pem = "\r\n".join(public.strip().splitlines()).encode()
        self.published = {}

    def make_certificate(self):
        self.cert = os.path.join(self.folder, "cert.pem")
        self.cert_key = os.path.join(self.folder, "cert-key.pem")
        run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", self.cert_key,
            "-out", self.cert, "-days", "2", "-subj", "/CN=127.0.0.1")

    def sign(self, message):
        signature = run("openssl", "dgst", "-sha256", "-sign", self.key, data=message)
        return base64.b64encode(signature)

    def publish(self, base):
        """A release as the vendor makes it: package zip, files, signed manifest."""
        files = os.path.join(self.folder, "files")
        os.makedirs(files)
        program = os.path.join(files, "TZ62Editorsync.exe")
        if self.offer.get("exe"):
            shutil.copyfile(self.offer["exe"], program)
        else:
            with open(program, "wb") as f:
                f.write(b"MZ" + pattern(40000, 7))
        readme = os.path.join(files, "readme.txt")
        with open(readme, "wb") as f:
            f.write("更新说明\r\n".encode("utf-8"))
        package = os.path.join(self.folder, "package.zip")
        with zipfile.ZipFile(package, "w") as z:
            z.write(program, ("TZ62Editorsync/" if self.offer.get("subfolder") else "") + "TZ62Editorsync.exe")
            z.write(readme, "readme.txt")
        manifest = os.path.join(self.folder, "manifest.json")
        subprocess.run([sys.executable, SIGN_TOOL, "--key", self.key, "--package", package,
                        "--package-url", base + "/published/package.zip", "--version", self.offer.get("version", "1.1"),
                        "--changelog", "修复若干问题", "--date", "2024-05-06",
                        "--file", program, "--file", readme, "--files-url", base + "/published/files",
                        "--out", manifest], check=True)
        for name, path in (("manifest.json", manifest), ("package.zip", package),
                           ("files/TZ62Editorsync.exe", program), ("files/readme.txt", readme)):
            with open(path, "rb") as f:
                self.published[name] = f.read()

    def release_event(self, ident):
        with self.lock:
            return self.releases.setdefault(ident, threading.Semaphore(0))


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = WAIT_SECONDS  # an idle connection does not hold a thread for ever

    def log_message(self, *args):
        pass

    def do_GET(self):
        host = self.server.host
        path = self.path.split("?", 1)[0]
        with host.lock:
            host.seen.append("%s\t%s" % (self.path, self.headers.get("User-Agent", "")))
            overloaded = len(host.seen) > MAX_REQUESTS
        parts = path.strip("/").split("/")
        try:
            if overloaded:
                self.answer(503, b"too many requests")
            else:
                self.route(host, parts)
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError):
            self.close_connection = True

    def route(self, host, parts):
        head, args = parts[0], parts[1:]
        if head == "echo" and len(args) == 1:
            self.answer(200, bytes.fromhex(args[0]))
        elif head == "status" and len(args) in (1, 2):
            self.answer(int(args[0]), bytes.fromhex(args[1]) if len(args) == 2 else b"")
        elif head == "empty":
            self.answer(200, b"")
        elif head == "bytes":
            self.answer(200, pattern(int(args[0])))
        elif head == "nolength":
            self.send_response(200)
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(pattern(int(args[0])))
            self.close_connection = True
        elif head == "slow":
            self.pieces(int(args[0]), split(int(args[0]), int(args[1])), lambda: time.sleep(0.05))
        elif head == "lockstep":
            release = host.release_event(args[0])
            self.pieces(int(args[1]), [int(n) for n in args[2].split(",")],
                        lambda: release.acquire(timeout=WAIT_SECONDS) or self.give_up())
        elif head == "release":
            host.release_event(args[0]).release()
            self.answer(200, b"released")
        elif head == "drop":
            self.send_response(200)
            self.send_header("Content-Length", args[0])
            self.end_headers()
            self.wfile.write(pattern(int(args[1])))
            self.close_connection = True
        elif head == "sign":
            self.answer(200, host.sign(bytes.fromhex(args[0]) if args else b""))
        elif head == "public-key":
            self.answer(200, host.public_pem)
        elif head == "published" and "/".join(args) in host.published:
            self.answer(200, host.published["/".join(args)])
        elif head == "seen":
            with host.lock:
                lines = [line for line in host.seen if not line.startswith("/seen")]
            self.answer(200, "\n".join(lines).encode())
        else:
            self.answer(404, b"<html>404 Not Found</html>")

    def answer(self, code, body):
        self.send_response(code)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def pieces(self, total, sizes, between):
        self.send_response(200)
        self.send_header("Content-Length", str(total))
        self.end_headers()
        sent = 0
        for index, size in enumerate(sizes):
            if index:
                between()
            self.wfile.write(pattern(size, sent))  # one write, one TLS record: the client reads it whole
            sent += size

    def give_up(self):
        raise BrokenPipeError("no release came")


def split(total, count):
    sizes = [total // count] * count
    sizes[-1] += total - sum(sizes)
    return sizes


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True

    def __init__(self, host, context, port=0):
        self.host = host
        self.context = context
        super().__init__(("127.0.0.1", port), Handler)

    def finish_request(self, request, client_address):
        # The TLS handshake runs on the connection's own thread, so a slow
        # client cannot hold up the others.
        if self.context is not None:
            request.settimeout(WAIT_SECONDS)
            request = self.context.wrap_socket(request, server_side=True)
        super().finish_request(request, client_address)

    def handle_error(self, request, client_address):
        pass  # failed handshakes are test cases, not faults of the host

    def base(self, scheme):
        return "%s://127.0.0.1:%d" % (scheme, self.server_address[1])


def publish_to(target, base, signing_key, offer):
    """Writes the release that a host at base serves under /published."""
    folder = tempfile.mkdtemp(prefix="tz-update-publish-")
    try:
        host = Host(folder, signing_key, offer)
        host.publish(base.rstrip("/"))
        shutil.rmtree(target, ignore_errors=True)
        for name, data in host.published.items():
            path = os.path.join(target, *name.split("/"))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        return 0
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--max-seconds", type=float, default=600)
    parser.add_argument("--port", type=int, default=0,
                        help="HTTPS port (default: any free one); for a program built to ask a fixed address")
    parser.add_argument("--signing-key",
                        help="private key PEM to sign with (default: a new one), for a program built to trust it")
    parser.add_argument("--publish-exe", help="publish this program in the package (default: a made-up one)")
    parser.add_argument("--publish-version", default="1.1", help="the published version (default 1.1)")
    parser.add_argument("--publish-subfolder", action="store_true",
                        help="put the program in the package's folder TZ62Editorsync instead of its root")
    parser.add_argument("--publish-to", help="write the release into this folder and exit")
    parser.add_argument("--base", help="with --publish-to: the address the release will be served from")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    offer = {"exe": args.publish_exe, "version": args.publish_version, "subfolder": args.publish_subfolder}
    if args.publish_to:
        if not args.base or command:
            parser.error("--publish-to needs --base and no program")
        return publish_to(args.publish_to, args.base, args.signing_key, offer)

    folder = tempfile.mkdtemp(prefix="tz-update-host-")
    servers = []  # only those serving: shutdown() waits for serve_forever
    try:
        host = Host(folder, args.signing_key, offer)
        host.make_certificate()
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(host.cert, host.cert_key)
        secure, plain = Server(host, context, args.port), Server(host, None)
        host.publish(secure.base("https"))
        for server in (secure, plain):
            threading.Thread(target=server.serve_forever, daemon=True).start()
            servers.append(server)
        env = {k: v for k, v in os.environ.items() if k not in PROXY_VARIABLES}
        env["TZ_UPDATE_TEST_BASE"] = secure.base("https")
        env["TZ_UPDATE_TEST_PLAIN_BASE"] = plain.base("http")
        if not command:
            print("serving %s and %s for %d s" % (env["TZ_UPDATE_TEST_BASE"], env["TZ_UPDATE_TEST_PLAIN_BASE"],
                                                  args.max_seconds), flush=True)
            time.sleep(args.max_seconds)
            return 0
        child = subprocess.Popen(command, env=env, start_new_session=True)
        try:
            return child.wait(timeout=args.max_seconds)
        except subprocess.TimeoutExpired:
            os.killpg(child.pid, signal.SIGKILL)
            child.wait()
            print("https_host: %s ran longer than %d s and was stopped" % (command[0], args.max_seconds),
                  file=sys.stderr)
            return 124
    finally:
        for server in servers:
            server.shutdown()
            server.server_close()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
