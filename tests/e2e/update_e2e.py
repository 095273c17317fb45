#!/usr/bin/env python3
"""The whole self-update under Wine, as an operator sees it.

A build of the program that asks the local update host on a fixed loopback
port and trusts a key pair made in the build folder runs as
C:\\tz更新\\TZ62Editorsync.exe. The host (tests/update/https_host.py) offers
version 9.9: a package holding the product built as 9.9 in its folder
"TZ62Editorsync", with a manifest signed by that key. The test checks the
notice and change log, presses "更新", follows the progress lines, and then
watches the hand-over: the tool closes, its replace script (run by Wine's cmd
with our stand-ins for tasklist, findstr and timeout, which Wine stubs or
lacks, and for start, whose Wine form misreads the script's folder argument)
copies the new program over the old, removes the package and the unpacked
folder and starts the new program, which answers pings again on the stored
port. powershell.exe is our stand-in too; its command line is checked
exactly, as are the script's calls. It starts slowly, as a cold PowerShell
does, and meanwhile asks the main window over and over whether it answers:
the unpacking must not hold up the window.
"""
import hashlib
import os
import shutil
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "support"))
import tzsupport  # noqa: E402
import window_e2e as W  # noqa: E402  (drive, wait_until, ping, free_port)

ARGS = None
EXE = "TZ62Editorsync.exe"
# A Chinese folder name, as operators use: the replace script must reach cmd
# in the console code page for it.
FOLDER = "tz更新"
WINDOWS_FOLDER = "C:\\" + FOLDER
KEY = "update-e2e-key"
# The stand-in PowerShell's slow start, during which it probes the window.
STANDIN_SLEEP = {"TZ_PS_STANDIN_SLEEP_MS": "3000", "TZ_PS_STANDIN_PROBE_CLASS": "TZ62EditorSyncMain"}
PROXIES = ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY")


def md5(path):
    with open(path, "rb") as f:
        return hashlib.md5(f.read()).hexdigest()


def read_lines(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode("utf-8").splitlines()
    except FileNotFoundError:
        return []


class UpdateHost:
    """The local update host, in the background for one test."""

    def __init__(self):
        command = [sys.executable, os.path.join(ARGS.source, "tests", "update", "https_host.py"),
                   "--port", str(ARGS.port), "--signing-key", ARGS.signing_key, "--max-seconds", "500",
                   "--publish-exe", ARGS.published, "--publish-version", "9.9",
                   "--publish-subfolder"]
        self.proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        line = self.proc.stdout.readline().decode("utf-8", "replace")
        if not line.startswith("serving"):
            raise AssertionError("update host did not start: %r" % line)

    def stop(self):
        self.proc.kill()
        self.proc.wait()
        self.proc.stdout.close()


class StandInStart:
    """Our start.exe in place of Wine's for the life of the object (Wine's
    cmd hands its "start" to system32\\start.exe); Wine is told to prefer
    the file over its own program of that name."""

    OVERRIDES = "HKCU\\Software\\Wine\\DllOverrides"

    def __init__(self):
        self.target = os.path.join(ARGS.prefix, "drive_c", "windows", "system32", "start.exe")
        self.saved = self.target + ".tz-saved"
        if not os.path.exists(self.saved):
            shutil.copyfile(self.target, self.saved)
        shutil.copyfile(os.path.join(ARGS.standins, "start.exe"), self.target)
        self.reg("add", self.OVERRIDES, "/v", "start.exe", "/d", "native", "/f")

    def restore(self):
        self.reg("delete", self.OVERRIDES, "/v", "start.exe", "/f")
        shutil.copyfile(self.saved, self.target)
        os.remove(self.saved)

    @staticmethod
    def reg(*args):
        subprocess.run(W.wine_cmd("reg", *args), capture_output=True, timeout=120)


class WholeUpdate(unittest.TestCase):
    def setUp(self):
        W.drive("autostart-clear")
        self.folder = os.path.join(ARGS.prefix, "drive_c", FOLDER)
        shutil.rmtree(self.folder, ignore_errors=True)
        os.makedirs(self.folder)
        shutil.copyfile(ARGS.variant, self.path(EXE))
        shutil.copyfile(ARGS.powershell, self.path("powershell.exe"))
        for name in ("tasklist.exe", "findstr.exe", "timeout.exe"):
            shutil.copyfile(os.path.join(ARGS.standins, name), self.path(name))
        self.procs = []
        self.start = StandInStart()
        self.host = UpdateHost()

    def tearDown(self):
        if W.drive("window-exists", check=False) == "1":
            W.drive("close", check=False)
            if W.drive("msgbox", check=False) == "确认退出|确定要退出吗?":
                W.drive("answer", "yes", check=False)
            W.wait_until(lambda: W.drive("window-exists", check=False), "0", timeout=30)
        for proc in self.procs:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        self.host.stop()
        self.start.restore()
        W.drive("autostart-clear", check=False)
        subprocess.run(["wineserver", "-w"], env=dict(os.environ, WINEPREFIX=ARGS.prefix), timeout=60)
        shutil.rmtree(self.folder, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.folder, name)

    def start_tool(self):
        env = {k: v for k, v in os.environ.items() if k not in PROXIES}
        env.update(STANDIN_SLEEP)
        # The script's cmd looks for tasklist, findstr and timeout in its
        # current folder first: the tool's, which it inherits.
        proc = subprocess.Popen(W.wine_cmd(WINDOWS_FOLDER + "\\" + EXE), cwd=self.folder, env=env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.procs.append(proc)
        W.drive("wait-window", "60000")
        return proc

    def state(self):
        """What the folder holds, for a failure's message."""
        return "files: %s\nscript calls: %s\nlog: %s" % (
            sorted(os.listdir(self.folder)), read_lines(self.path("script_calls.txt")),
            read_lines(self.path("TZ62Editorsync_log.txt"))[-8:])

    def panel(self):
        return W.drive("text", "1007")

    def test_update_replaces_and_restarts_the_program(self):
        old_md5, new_md5 = md5(self.path(EXE)), md5(ARGS.published)
        self.assertNotEqual(old_md5, new_md5)
        port = W.free_port()
        tool = self.start_tool()
        W.drive("set-text", "1005", KEY)
        W.drive("set-text", "1002", str(port))
        W.drive("click", "1003")
        self.assertEqual(W.wait_until(lambda: W.ping(port, KEY)[0], 0, 30), 0)
        W.drive("autostart-set", WINDOWS_FOLDER + "\\" + EXE)
        tool_pid = W.drive("pid")

        # The check runs five seconds after start.
        notice = "[更新] 检测到新版本 9.9，点击\"更新\"按钮立即更新"
        W.wait_until(lambda: notice in self.panel(), True, 60)
        self.assertIn(notice, self.panel())
        self.assertIn("[更新] 更新内容：修复若干问题", self.panel())
        self.assertEqual(W.drive("shown", "1011"), "1")
        self.assertEqual(W.drive("text", "1011"), "更新")

        W.drive("click", "1011")
        self.assertEqual(tool.wait(timeout=120), 0)
        log = read_lines(self.path("TZ62Editorsync_log.txt"))
        texts = [line[24:] for line in log]
        start = texts.index("[更新] 开始下载更新包，请稍候...")
        progress = [t for t in texts[start:] if t.startswith("[更新] 下载进度 ")]
        self.assertTrue(progress and progress[-1] == "[更新] 下载进度 100%", progress)
        self.assertIn("[更新] 更新包准备就绪，正在重启完成更新...", texts[start:])
        self.assertEqual([t for t in texts[start:] if t.startswith("[更新] ") and t not in progress],
                         ["[更新] 开始下载更新包，请稍候...", "[更新] 更新包准备就绪，正在重启完成更新..."])

        # The script waits for the old process, replaces the program, cleans
        # up after itself and starts the new program, which starts its
        # service by itself (autostart names this very path).
        answered = W.wait_until(lambda: W.ping(port, KEY, 2000)[0], 0, 120)
        self.assertEqual(answered, 0, self.state())
        self.assertEqual(md5(self.path(EXE)), new_md5)
        # The new program states its own version, read from its VERSIONINFO.
        W.drive("wait-window", "60000")
        self.assertEqual(W.drive("text", "1009"), "青岚工作室 V9.9")
        for leftover in ("TZ62Editorsync_update.zip", "update_pkg_extract", "tz62sync_update.bat"):
            self.assertFalse(os.path.exists(self.path(leftover)), leftover)

        self.assertEqual(read_lines(self.path("powershell_calls.txt")), [
            "powershell.exe -NoProfile -ExecutionPolicy Bypass -Command \"Expand-Archive -LiteralPath "
            "'%s\\TZ62Editorsync_update.zip' -DestinationPath '%s\\update_pkg_extract' -Force\""
            % (WINDOWS_FOLDER, WINDOWS_FOLDER)])
        # Each probe waited up to 2 s for an answer while PowerShell started.
        probes = read_lines(self.path("powershell_probes.txt"))
        self.assertTrue(probes, self.state())
        self.assertEqual(set(probes), {"answered"}, probes)
        # The arguments as Wine's cmd passes them on: blanks behind them where
        # the script has redirections.
        calls = [call.rstrip() for call in read_lines(self.path("script_calls.txt"))]
        waits = [call for call in calls if not call.startswith("start ")]
        self.assertEqual(set(waits) - {"tasklist /fi \"PID eq %s\"" % tool_pid, "findstr /i \"%s\"" % tool_pid,
                                       "timeout /t 1 /nobreak"}, set())
        self.assertEqual(waits[-2:], ["tasklist /fi \"PID eq %s\"" % tool_pid, "findstr /i \"%s\"" % tool_pid])
        self.assertEqual(len(calls) - len(waits), 1)


def main():
    global ARGS
    parser = tzsupport.e2e_parser()
    parser.add_argument("--host-client", required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--variant", required=True)
    parser.add_argument("--published", required=True, help="the product built as version 9.9")
    parser.add_argument("--powershell", required=True)
    parser.add_argument("--standins", required=True)
    parser.add_argument("--signing-key", required=True)
    ARGS, rest = tzsupport.parse_e2e_args(parser)
    W.ARGS = ARGS
    for name in PROXIES:
        os.environ.pop(name, None)
    tzsupport.run_suite(rest, needs_display="update")


if __name__ == "__main__":
    main()
