#!/usr/bin/env python3
"""The whole self-update under Wine, as an operator sees it.

A build of the program that asks the local update host on a fixed loopback
port and trusts a key pair made in the build folder runs as
C:\\tz更新\\TZ62Editorsync.exe. The host (tests/update/https_host.py) offers
version 9.9: a package holding the product built as 9.9 in its folder
"TZ62Editorsync", with a manifest signed by that key. The test checks the
notice and change log, presses "更新", follows the progress lines, and then
watches the hand-over: the tool closes, its replace script (run by Wine's cmd
from the system folder, with our stand-ins there for timeout, which Wine
lacks, and for start, whose Wine form misreads the script's folder argument)
copies the new program over the old, removes the package and the unpacked
folder and starts the new program, which answers pings again on the stored
port and tells the outcome in its panel. powershell.exe is our stand-in too,
in the system folder where the tool looks for it; its command line is checked
exactly, as are the script's calls. It starts slowly, as a cold PowerShell
does, and meanwhile asks the main window over and over whether it answers:
the unpacking must not hold up the window. Decoys under the names of those
programs lie beside the tool, its current folder, and must never run.

When another program holds the old file open (our hold stand-in), the copy
fails on every try: the old program comes back and says so in red.
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
# Where the tool finds the system's programs (GetSystemDirectoryW under Wine).
SYSTEM = "C:\\windows\\system32"
POWERSHELL = "WindowsPowerShell\\v1.0\\powershell.exe"
DECOYS = ("cmd.exe", "powershell.exe", "timeout.exe", "tasklist.exe", "findstr.exe")
COPIED = "[更新] 更新完成，新版本已启动"
COPY_FAILED = ("[更新] 更新失败：无法替换程序文件，仍在运行旧版本。请检查 exe 是否只读或被其他程序占用，"
               "然后重新点击\"更新\"，或退出工具后手动替换 exe")
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


class SystemStandIns:
    """Our stand-ins in place of the system's start.exe (Wine's cmd hands its
    "start" to it), timeout.exe (Wine 8 has none) and PowerShell (Wine's is
    a stub) for the life of the object; Wine is told to prefer the files
    over its own programs of those names."""

    OVERRIDES = "HKCU\\Software\\Wine\\DllOverrides"
    PROGRAMS = (("start.exe", "start.exe"), ("timeout.exe", "timeout.exe"),
                (POWERSHELL.replace("\\", "/"), "powershell.exe"))

    def __init__(self):
        self.system = os.path.join(ARGS.prefix, "drive_c", "windows", "system32")
        self.placed = []
        for inside, name in self.PROGRAMS:
            target = os.path.join(self.system, inside)
            saved = target + ".tz-saved"
            if os.path.exists(target) and not os.path.exists(saved):
                shutil.copyfile(target, saved)
            shutil.copyfile(os.path.join(ARGS.standins, name), target)
            self.placed.append((target, saved))
            self.reg("add", self.OVERRIDES, "/v", name, "/d", "native", "/f")

    def path(self, inside):
        return os.path.join(self.system, inside.replace("\\", "/"))

    def restore(self):
        for inside, name in self.PROGRAMS:
            self.reg("delete", self.OVERRIDES, "/v", name, "/f")
        for target, saved in self.placed:
            if os.path.exists(saved):
                shutil.copyfile(saved, target)
                os.remove(saved)
            else:
                os.remove(target)

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
        for name in DECOYS:
            shutil.copyfile(os.path.join(ARGS.standins, "decoy.exe"), self.path(name))
        self.procs = []
        self.standins = SystemStandIns()
        for name in ("powershell_calls.txt", "powershell_probes.txt"):
            self.remove_beside_powershell(name)
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
        for name in ("powershell_calls.txt", "powershell_probes.txt"):
            self.remove_beside_powershell(name)
        self.standins.restore()
        W.drive("autostart-clear", check=False)
        subprocess.run(["wineserver", "-w"], env=dict(os.environ, WINEPREFIX=ARGS.prefix), timeout=60)
        shutil.rmtree(self.folder, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.folder, name)

    def beside_powershell(self, name):
        return os.path.join(os.path.dirname(self.standins.path(POWERSHELL)), name)

    def remove_beside_powershell(self, name):
        try:
            os.remove(self.beside_powershell(name))
        except FileNotFoundError:
            pass

    def start_tool(self):
        env = {k: v for k, v in os.environ.items() if k not in PROXIES}
        env.update(STANDIN_SLEEP)
        # Started from elsewhere: the tool makes its own folder, where the
        # decoys lie, its current folder.
        proc = subprocess.Popen(W.wine_cmd(WINDOWS_FOLDER + "\\" + EXE), cwd=ARGS.build, env=env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.procs.append(proc)
        W.drive("wait-window", "60000")
        return proc

    def state(self):
        """What the folder holds, for a failure's message."""
        return "files: %s\nscript calls: %s\ndecoy calls: %s\nlog: %s" % (
            sorted(os.listdir(self.folder)), read_lines(self.path("script_calls.txt")),
            read_lines(self.path("decoy_calls.txt")), read_lines(self.path("TZ62Editorsync_log.txt"))[-8:])

    def panel(self):
        return W.drive("text", "1007")

    def offer_and_press_update(self, port, before_press=None):
        """Starts the tool with its service, waits for the offer of 9.9 and
        presses "更新" (after `before_press`, when given); returns once the
        tool has ended for the hand-over."""
        tool = self.start_tool()
        W.drive("set-text", "1005", KEY)
        W.drive("set-text", "1002", str(port))
        W.drive("click", "1003")
        self.assertEqual(W.wait_until(lambda: W.ping(port, KEY)[0], 0, 30), 0)
        W.drive("autostart-set", WINDOWS_FOLDER + "\\" + EXE)

        # The check runs five seconds after start.
        notice = "[更新] 检测到新版本 9.9，点击\"更新\"按钮立即更新"
        W.wait_until(lambda: notice in self.panel(), True, 60)
        self.assertIn(notice, self.panel())
        self.assertIn("[更新] 更新内容：修复若干问题", self.panel())
        self.assertEqual(W.drive("shown", "1011"), "1")
        self.assertEqual(W.drive("text", "1011"), "更新")

        if before_press:
            before_press()
        W.drive("click", "1011")
        self.assertEqual(tool.wait(timeout=120), 0)
        log = read_lines(self.path("TZ62Editorsync_log.txt"))
        texts = [line[24:] for line in log]
        start = texts.index("[更新] 开始下载更新包，请稍候...")
        progress = [t for t in texts[start:] if t.startswith("[更新] 下载进度 ")]
        self.assertTrue(progress and progress[-1] == "[更新] 下载进度 100%", progress)
        self.assertEqual([t for t in texts[start:] if t.startswith("[更新] ") and t not in progress],
                         ["[更新] 开始下载更新包，请稍候...", "[更新] 更新包准备就绪，正在重启完成更新..."])

    def assert_comes_back_and_cleans_up(self, port):
        """The program the script starts again answers on the stored port
        (autostart names this very path), has removed the result file after
        reading it, and nothing of the update nor any decoy call is left."""
        answered = W.wait_until(lambda: W.ping(port, KEY, 2000)[0], 0, 150)
        self.assertEqual(answered, 0, self.state())
        W.drive("wait-window", "60000")
        for leftover in ("TZ62Editorsync_update.zip", "update_pkg_extract", "tz62sync_update.bat",
                         "tz62sync_update_result.txt", "decoy_calls.txt"):
            self.assertFalse(os.path.exists(self.path(leftover)), leftover + "\n" + self.state())

    def test_update_replaces_and_restarts_the_program(self):
        old_md5, new_md5 = md5(self.path(EXE)), md5(ARGS.published)
        self.assertNotEqual(old_md5, new_md5)
        port = W.free_port()
        self.offer_and_press_update(port)

        # The script copies the program as soon as the old process lets it,
        # cleans up after itself and starts the new program, which says so.
        self.assert_comes_back_and_cleans_up(port)
        self.assertEqual(md5(self.path(EXE)), new_md5)
        # The new program states its own version, read from its VERSIONINFO.
        self.assertEqual(W.drive("text", "1009"), "青岚工作室 V9.9")
        W.wait_until(lambda: COPIED in self.panel(), True, 30)
        self.assertIn(COPIED, self.panel())
        self.assertNotIn(COPY_FAILED, self.panel())

        self.assertEqual(read_lines(self.beside_powershell("powershell_calls.txt")), [
            "\"%s\\%s\" -NoProfile -ExecutionPolicy Bypass -Command \"Expand-Archive -LiteralPath "
            "'%s\\TZ62Editorsync_update.zip' -DestinationPath '%s\\update_pkg_extract' -Force\""
            % (SYSTEM, POWERSHELL, WINDOWS_FOLDER, WINDOWS_FOLDER)])
        # Each probe waited up to 2 s for an answer while PowerShell started.
        probes = read_lines(self.beside_powershell("powershell_probes.txt"))
        self.assertTrue(probes, self.state())
        self.assertEqual(set(probes), {"answered"}, probes)
        # The arguments as Wine's cmd passes them on: blanks behind them where
        # the script has redirections. A wait between tries only while the
        # old process still held its file; one start.
        calls = [call.rstrip() for call in read_lines(self.path("script_calls.txt"))]
        waits = [call for call in calls if not call.startswith("start ")]
        self.assertEqual(set(waits) - {"timeout /t 1 /nobreak"}, set(), calls)
        self.assertLess(len(waits), 30, calls)
        self.assertEqual(len(calls) - len(waits), 1, calls)

    def test_a_copy_that_fails_is_told_in_red(self):
        old_md5 = md5(self.path(EXE))

        def hold_the_program_file():
            # Another program keeps the old file open so that writing fails
            # (it may still be read, so the old program still starts), past
            # the script's thirty tries; it has opened the file once it
            # recorded its call.
            hold = subprocess.Popen(W.wine_cmd(os.path.join(ARGS.standins, "hold.exe"),
                                               WINDOWS_FOLDER + "\\" + EXE, "100"),
                                    cwd=self.folder, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.procs.append(hold)
            def held():
                return any(line.startswith("hold ") for line in read_lines(self.path("script_calls.txt")))
            self.assertTrue(W.wait_until(held, True, 60), self.state())
            time.sleep(2)

        port = W.free_port()
        self.offer_and_press_update(port, hold_the_program_file)

        self.assert_comes_back_and_cleans_up(port)
        self.assertEqual(md5(self.path(EXE)), old_md5)
        self.assertEqual(W.drive("text", "1009"), "青岚工作室 V1.0")
        W.wait_until(lambda: COPY_FAILED in self.panel(), True, 30)
        self.assertIn(COPY_FAILED, self.panel(), self.state())
        self.assertNotIn(COPIED, self.panel())
        calls = [call.rstrip() for call in read_lines(self.path("script_calls.txt"))]
        self.assertEqual(calls.count("timeout /t 1 /nobreak"), 29, calls)


def main():
    global ARGS
    parser = tzsupport.e2e_parser()
    parser.add_argument("--host-client", required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--variant", required=True)
    parser.add_argument("--published", required=True, help="the product built as version 9.9")
    parser.add_argument("--standins", required=True)
    parser.add_argument("--signing-key", required=True)
    ARGS, rest = tzsupport.parse_e2e_args(parser)
    W.ARGS = ARGS
    for name in PROXIES:
        os.environ.pop(name, None)
    tzsupport.run_suite(rest, needs_display="update")


if __name__ == "__main__":
    main()
