#!/usr/bin/env python3
"""A client of TZ62Editor 同步工具 in Python 3: signs requests and encrypts
files as docs/api.md describes. Needs the standard library and the
`cryptography` package (pip install cryptography, or Debian's
python3-cryptography).

    python3 tz_client.py                   prints the worked example of docs/api.md
    python3 tz_client.py HOST PORT KEY     asks a running tool for /api/ping
    python3 tz_client.py HOST PORT KEY VERSION_PATH RELATIVE_PATH FILE
                                           pushes FILE's bytes there

Copy the functions into an editor; `push` shows a whole file push.
"""
import base64
import hashlib
import hmac
import json
import os
import sys
import time
import urllib.error
import urllib.request

from cryptography.hazmat.primitives import padding
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes


def derived_keys(key):
    """(encryption key, MAC key): SHA-256 of the key's UTF-8 bytes and a label.
    The key is used as text, never hex-decoded."""
    raw = key.encode("utf-8")
    return hashlib.sha256(raw + b"Hq4mSyncEnc").digest(), hashlib.sha256(raw + b"Hq4mSyncMac").digest()


def encrypt_file(content, key, iv=None):
    """fileBytes for a push: Base64(IV || AES-256-CBC(PKCS#7) || first 16 bytes of HMAC).
    `content` is the file's bytes exactly as they are to be written (game
    data files are usually GBK with CRLF). Give no IV: a fresh one is drawn."""
    iv = os.urandom(16) if iv is None else iv
    encryption_key, mac_key = derived_keys(key)
    padder = padding.PKCS7(128).padder()
    padded = padder.update(content) + padder.finalize()
    encryptor = Cipher(algorithms.AES(encryption_key), modes.CBC(iv)).encryptor()
    ciphertext = encryptor.update(padded) + encryptor.finalize()
    tag = hmac.new(mac_key, iv + ciphertext, hashlib.sha256).digest()[:16]
    return base64.b64encode(iv + ciphertext + tag).decode("ascii"), ciphertext, tag


def body_bytes(members):
    """The JSON body, serialized once: these bytes are signed and sent."""
    return json.dumps(members, ensure_ascii=False, separators=(",", ":")).encode("utf-8")


def sign(key, timestamp, method, path, body, nonce):
    """x-sign: HMAC-SHA-256 in hex of timestamp, method, path, body and nonce run together."""
    message = timestamp.encode() + method.encode() + path.encode() + body + nonce.encode()
    return hmac.new(key.encode("utf-8"), message, hashlib.sha256).hexdigest()


def send(host, port, key, path, body=b""):
    """POSTs a signed request and returns the answer as a dict. Use 127.0.0.1
    rather than localhost: the tool listens on IPv4 only."""
    timestamp = str(int(time.time()))
    nonce = os.urandom(16).hex()
    request = urllib.request.Request(
        "http://%s:%d%s" % (host, port, path), data=body, method="POST",
        headers={"Content-Type": "application/json", "x-timestamp": timestamp, "x-nonce": nonce,
                 "x-sign": sign(key, timestamp, "POST", path, body, nonce)})
    # A reload through the bridge takes up to about 40 s per item.
    try:
        with urllib.request.urlopen(request, timeout=120) as answer:
            return json.loads(answer.read().decode("utf-8"))
    except urllib.error.HTTPError as refused:  # 401, 404, 400, 413, 503 carry a JSON body too
        return json.loads(refused.read().decode("utf-8"))


def push(host, port, key, version_path, relative_path, content):
    """Writes `content` to version_path\\relative_path on the server."""
    file_bytes = encrypt_file(content, key)[0]
    return send(host, port, key, "/api/file/sync", body_bytes(
        {"versionPath": version_path, "relativePath": relative_path, "fileBytes": file_bytes}))


def worked_example():
    """The values of docs/api.md's worked example, as `name = value` lines."""
    key = "0123456789abcdef0123456789abcdef"
    timestamp, nonce, method, path = "1765338000", "doc-0001", "POST", "/api/file/sync"
    version_path, relative_path = "D:\\MirServer", "Mir200\\Envir\\QuestDiary\\a.txt"
    content = "物品数据库 = 1\r\n".encode("utf-8")
    iv = bytes(range(16))
    encryption_key, mac_key = derived_keys(key)
    file_bytes, ciphertext, tag = encrypt_file(content, key, iv)
    body = body_bytes({"versionPath": version_path, "relativePath": relative_path, "fileBytes": file_bytes})
    values = [("key", key), ("timestamp", timestamp), ("nonce", nonce), ("method", method), ("path", path),
              ("versionPath", version_path), ("relativePath", relative_path),
              ("file content (hex)", content.hex()), ("iv (hex)", iv.hex()),
              ("encryption key (hex)", encryption_key.hex()), ("MAC key (hex)", mac_key.hex()),
              ("ciphertext (hex)", ciphertext.hex()), ("tag (hex)", tag.hex()), ("fileBytes", file_bytes),
              ("body", body.decode("utf-8")), ("x-sign", sign(key, timestamp, method, path, body, nonce))]
    return "".join("%-21s= %s\n" % pair for pair in values)


if __name__ == "__main__":
    if len(sys.argv) == 4:
        print(json.dumps(send(sys.argv[1], int(sys.argv[2]), sys.argv[3], "/api/ping"), ensure_ascii=False))
    elif len(sys.argv) == 7:
        with open(sys.argv[6], "rb") as f:
            answer = push(sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4], sys.argv[5], f.read())
        print(json.dumps(answer, ensure_ascii=False))
    else:
        sys.stdout.buffer.write(worked_example().encode("utf-8"))
