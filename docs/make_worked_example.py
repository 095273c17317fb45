#!/usr/bin/env python3
"""Computes the worked example of docs/api.md with Python's hashlib/hmac and
the openssl command, independently of the tool's own code; the test
tests/docs/worked_example_test.cpp checks that the code computes the same.
Prints the block to paste into docs/api.md."""
import base64
import hashlib
import hmac
import json
import subprocess

key = "0123456789abcdef0123456789abcdef"
timestamp = "1765338000"
nonce = "doc-0001"
iv = bytes(range(16))
# UTF-8 for the document's readers; the game's own data files are usually GBK
# with CRLF, and the tool writes whatever bytes it is sent.
content = "物品数据库 = 1\r\n".encode("utf-8")
version_path = "D:\\MirServer"
relative_path = "Mir200\\Envir\\QuestDiary\\a.txt"

enc_key = hashlib.sha256(key.encode() + b"Hq4mSyncEnc").digest()
mac_key = hashlib.sha256(key.encode() + b"Hq4mSyncMac").digest()
ciphertext = subprocess.run(["openssl", "enc", "-aes-256-cbc", "-K", enc_key.hex(), "-iv", iv.hex()],
                            input=content, capture_output=True, check=True).stdout
tag = hmac.new(mac_key, iv + ciphertext, hashlib.sha256).digest()[:16]
file_bytes = base64.b64encode(iv + ciphertext + tag).decode()
body = json.dumps({"versionPath": version_path, "relativePath": relative_path, "fileBytes": file_bytes},
                  ensure_ascii=False, separators=(",", ":"))
canonical = timestamp + "POST" + "/api/file/sync" + body + nonce
sign = hmac.new(key.encode(), canonical.encode(), hashlib.sha256).hexdigest()

print("```worked-example")
for name, value in [("key", key), ("timestamp", timestamp), ("nonce", nonce), ("method", "POST"),
                    ("path", "/api/file/sync"), ("versionPath", version_path), ("relativePath", relative_path),
                    ("file content (hex)", content.hex()), ("iv (hex)", iv.hex()),
                    ("encryption key (hex)", enc_key.hex()), ("MAC key (hex)", mac_key.hex()),
                    ("ciphertext (hex)", ciphertext.hex()), ("tag (hex)", tag.hex()),
                    ("fileBytes", file_bytes), ("body", body), ("x-sign", sign)]:
    print("%-21s= %s" % (name, value))
print("```")
