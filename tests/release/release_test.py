#!/usr/bin/env python3
"""scripts/release with a throw-away key, in its three steps: build, then sign
with nothing but Python, openssl and a shell on the PATH (no apt, CMake or
Wine), then verify. The release folder holds the program, Authenticode-signed
with a throw-away self-signed certificate (osslsigncode verifies it),
the package with the program at its root and the operators' guide beside it
(使用说明.txt, UTF-8 with a BOM and CRLF), the MD5 list and a manifest that the
released program's own check accepts without offering itself; the program
states the release's version; a manifest of a higher version is offered to
it, one changed afterwards is refused, and neither a key that is not the
private half of the trusted one nor a package changed after the build is
signed; a build without a certificate says that the program is unsigned;
the change log comes from its section of a change log file, and a release
without one is refused before anything is built.

Usage: release_test.py   (from anywhere; builds build/release/build)
"""
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
VERSION = "9.8"
OUT = os.path.join(ROOT, "build", "release", VERSION)
BASE = "https://127.0.0.1:9/packages"


def md5(data):
    return hashlib.md5(data).hexdigest()


class Release(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.keys = tempfile.mkdtemp()
        for name in ("release", "other"):
            private = os.path.join(cls.keys, name + ".pem")
            subprocess.run(["openssl", "genrsa", "-out", private, "2048"], check=True, capture_output=True)
            subprocess.run(["openssl", "rsa", "-in", private, "-RSAPublicKey_out", "-out",
                            os.path.join(cls.keys, name + "_public.pem")], check=True, capture_output=True)

        # A throw-away code-signing certificate, self-signed.
        cls.cert = os.path.join(cls.keys, "cert.pem")
        cls.cert_key = os.path.join(cls.keys, "cert-key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", cls.cert_key,
                        "-out", cls.cert, "-days", "2", "-subj", "/CN=TZ62Editorsync release test",
                        "-addext", "extendedKeyUsage=codeSigning", "-addext", "keyUsage=digitalSignature"],
                       check=True, capture_output=True)
        cls.built = cls.build(["--cert", cls.cert, "--cert-key", cls.cert_key])
        # The offline machine's tools, and nothing else.
        cls.offline_bin = os.path.join(cls.keys, "bin")
        os.mkdir(cls.offline_bin)
        for tool in ("bash", "env", "dirname", "python3", "openssl"):
            os.symlink(shutil.which(tool), os.path.join(cls.offline_bin, tool))

    @classmethod
    def build(cls, authenticode, changelog=("--changelog", "修复若干问题")):
        return subprocess.run([os.path.join(ROOT, "scripts", "release"), "build", VERSION,
                               "--public-key", os.path.join(cls.keys, "release_public.pem"),
                               "--update-url", "https://127.0.0.1:9/api/check_version.php",
                               "--base-url", BASE + "/", *changelog, *authenticode],
                              capture_output=True, text=True, timeout=1800)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.keys, ignore_errors=True)

    def setUp(self):
        self.assertEqual(self.built.returncode, 0, self.built.stdout[-2000:] + self.built.stderr[-2000:])

    def sign(self, private):
        env = {"PATH": self.offline_bin, "HOME": self.keys, "LANG": "C.UTF-8"}
        return subprocess.run([os.path.join(self.offline_bin, "bash"), os.path.join(ROOT, "scripts", "release"),
                               "sign", VERSION, "--key", os.path.join(self.keys, private)],
                              capture_output=True, text=True, timeout=120, env=env)

    def check(self, manifest_path):
        """The released program's own check of a manifest in the release folder."""
        checker = os.path.join(OUT, "manifest_check.exe")
        shutil.copy(os.path.join(ROOT, "build", "release", "build", "tz_manifest_check.exe"), checker)
        try:
            return subprocess.run([os.path.join(ROOT, "cmake", "wine-run"),
                                   os.path.join(ROOT, "build", "release", "wineprefix"), checker,
                                   "T:\\%s\\%s" % (VERSION, os.path.basename(manifest_path)),
                                   "T:\\%s\\TZ62Editorsync.exe" % VERSION],
                                  capture_output=True, text=True, timeout=120)
        finally:
            os.remove(checker)

    def test_release_folder_and_its_checks(self):
        signed = self.sign("release.pem")
        self.assertEqual(signed.returncode, 0, signed.stdout + signed.stderr)
        done = subprocess.run([os.path.join(ROOT, "scripts", "release"), "verify", VERSION],
                              capture_output=True, text=True, timeout=600)
        self.assertEqual(done.returncode, 0, done.stdout[-2000:] + done.stderr[-2000:])
        self.assertIn("manifest check: accepted", done.stdout)
        package = "TZ62Editorsync-%s.zip" % VERSION
        self.assertEqual(sorted(os.listdir(OUT)),
                         sorted(["TZ62Editorsync.exe", package, "md5sums.txt", "check_version.json",
                                 "check_version.unsigned.json", "trusted_public_key.pem"]))
        with open(os.path.join(OUT, "TZ62Editorsync.exe"), "rb") as f:
            program = f.read()
        with open(os.path.join(OUT, package), "rb") as f:
            package_bytes = f.read()
        with zipfile.ZipFile(os.path.join(OUT, package)) as z:
            self.assertEqual(z.namelist(), ["TZ62Editorsync.exe", "使用说明.txt"])
            self.assertEqual(z.read("TZ62Editorsync.exe"), program)
            guide = z.read("使用说明.txt")
        # Notepad on every Windows reads it as UTF-8 only with the BOM, and
        # breaks its lines only at CRLF before Windows 10 1809.
        self.assertTrue(guide.startswith(b"\xef\xbb\xbf"), guide[:16])
        with open(os.path.join(ROOT, "docs", "operators.md"), encoding="utf-8") as f:
            self.assertEqual(guide[3:].decode("utf-8"), f.read().replace("\n", "\r\n"))
        with open(os.path.join(OUT, "md5sums.txt")) as f:
            self.assertEqual(f.read(), "%s  TZ62Editorsync.exe\n%s  %s\n" % (md5(program), md5(package_bytes), package))
        with open(os.path.join(OUT, "check_version.json"), "rb") as f:
            raw = f.read()
        self.assertTrue(raw.endswith(b"}"), "nothing after the JSON")
        manifest = json.loads(raw)
        self.assertEqual(manifest["latestVersion"], VERSION)
        self.assertEqual(manifest["changeLog"], "修复若干问题")
        self.assertEqual(manifest["packageUrl"], "%s/%s" % (BASE, package))
        self.assertEqual(manifest["packageMd5"], md5(package_bytes))
        self.assertEqual(manifest["files"]["TZ62Editorsync.exe"]["md5"], md5(program))
        self.assertEqual(manifest["files"]["TZ62Editorsync.exe"]["url"], "%s/%s/TZ62Editorsync.exe" % (BASE, VERSION))

        # Authenticode: the program (and so the package's copy, the same bytes
        # as checked above, which the MD5 list and the manifest describe)
        # carries a signature by the certificate.
        self.assertIn("the program is Authenticode-signed", self.built.stdout)
        verified = subprocess.run(["osslsigncode", "verify", "-CAfile", self.cert,
                                   "-in", os.path.join(OUT, "TZ62Editorsync.exe")],
                                  capture_output=True, text=True, timeout=60)
        self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)
        self.assertIn("Signature verification: ok", verified.stdout)

        # The program states the release's version in its file properties.
        self.assertIn(("%s.0.0" % VERSION).encode("utf-16-le"), program)

        # As the released program runs it: its own version, no update.
        own = self.check(os.path.join(OUT, "check_version.json"))
        self.assertEqual(own.returncode, 0, own.stdout + own.stderr)
        self.assertIn("program version: %s\n" % VERSION, own.stdout)
        self.assertIn("manifest check: no update\n", own.stdout)
        # A later release is offered to it.
        later_path = os.path.join(OUT, "later.json")
        try:
            subprocess.run([sys.executable, os.path.join(ROOT, "tools", "sign-manifest"),
                            "--key", os.path.join(self.keys, "release.pem"),
                            "--package", os.path.join(OUT, "md5sums.txt"), "--package-url", BASE + "/later.zip",
                            "--version", "9.10", "--file", os.path.join(OUT, "TZ62Editorsync.exe"),
                            "--out", later_path], check=True, capture_output=True)
            later = self.check(later_path)
        finally:
            os.remove(later_path)
        self.assertEqual(later.returncode, 0, later.stdout + later.stderr)
        self.assertIn("manifest check: update to 9.10\n", later.stdout)

        # The release's own program trusts exactly this key: changing a signed value breaks it.
        forged = dict(manifest, packageMd5=md5(b"another package"))
        forged_path = os.path.join(OUT, "forged.json")
        with open(forged_path, "wb") as f:
            f.write(json.dumps(forged, ensure_ascii=False).encode("utf-8"))
        try:
            refused = self.check(forged_path)
        finally:
            os.remove(forged_path)
        self.assertEqual(refused.returncode, 1, refused.stdout + refused.stderr)
        self.assertIn("would not trust", refused.stderr)

    def test_what_is_not_signed(self):
        signed = os.path.join(OUT, "check_version.json")
        if os.path.exists(signed):
            os.remove(signed)  # from the other test
        package = os.path.join(OUT, "TZ62Editorsync-%s.zip" % VERSION)
        with open(package, "rb") as f:
            original = f.read()
        cases = [("a key the program does not trust", "other.pem", original, "is not the private half"),
                 ("a package changed after the build", "release.pem", original + b"\0", "MD5 differs")]
        for name, key, package_bytes, reason in cases:
            with self.subTest(name):
                with open(package, "wb") as f:
                    f.write(package_bytes)
                try:
                    done = self.sign(key)
                finally:
                    with open(package, "wb") as f:
                        f.write(original)
                self.assertNotEqual(done.returncode, 0)
                self.assertIn(reason, done.stderr)
                self.assertFalse(os.path.exists(signed))

        # The change log from its section of a change log file; none, no release.
        changelog = os.path.join(self.keys, "CHANGELOG.md")
        with open(changelog, "w", encoding="utf-8") as f:
            f.write("# Change log\n\n## 9.9\n\n- 以后\n\n## %s\n\n- 修复推送\n- 新增说明\n\n## 9.7\n\n- 以前\n" % VERSION)
        missing = os.path.join(self.keys, "CHANGELOG-old.md")
        with open(missing, "w", encoding="utf-8") as f:
            f.write("# Change log\n\n## 9.7\n\n- 以前\n")
        refused = self.build([], ("--changelog-from", missing))
        self.assertNotEqual(refused.returncode, 0)
        self.assertIn('has no section "## %s"' % VERSION, refused.stderr)
        self.assertNotIn("the program is", refused.stdout + refused.stderr)  # refused before the build

        unsigned = self.build([], ("--changelog-from", changelog))
        self.assertEqual(unsigned.returncode, 0, unsigned.stderr[-2000:])
        with open(os.path.join(OUT, "check_version.unsigned.json"), encoding="utf-8") as f:
            self.assertEqual(json.load(f)["changeLog"], "修复推送；新增说明")
        self.assertIn("the program is NOT Authenticode-signed", unsigned.stderr)
        refused = subprocess.run(["osslsigncode", "verify", "-CAfile", self.cert,
                                  "-in", os.path.join(OUT, "TZ62Editorsync.exe")], capture_output=True, timeout=60)
        self.assertNotEqual(refused.returncode, 0)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v", *sys.argv[1:]])
