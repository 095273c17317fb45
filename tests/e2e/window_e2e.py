#!/usr/bin/env python3
"""End-to-end tests of the operator's window: the real TZ62Editorsync.exe
under Wine and Xvfb, driven through its own window messages by
window_driver.exe, and checked through the API, the files beside the
executable and the window's own state.

Usage: window_e2e.py --build BUILD_WIN --host-client PATH
"""
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "support"))
import tzsupport  # noqa: E402
from tzsupport import free_port  # noqa: E402,F401  (update_e2e takes it from here)


ARGS = None
EXE = "TZ62Editorsync.exe"


def wine_cmd(*argv):
    return tzsupport.wine_command(ARGS.prefix, *argv)


def drive(*args, check=True):
    # The driver answers every command with a line; no line at all means Wine
    # did not run it (a passing hiccup of the loader), so it is run again.
    # A driver that hangs in Wine's start-up is likewise run again.
    out, code = "", None
    for _ in range(3):
        try:
            done = subprocess.run(wine_cmd(os.path.join(ARGS.build, "window_driver.exe"), *args),
                                  capture_output=True, timeout=90)
        except subprocess.TimeoutExpired:
            continue
        out, code = done.stdout.decode("utf-8", "replace").strip(), done.returncode
        if out:
            break
        time.sleep(0.5)
    # The driver's own failures answer "error: ..." with exit code 1. A proper
    # answer with another exit code is Wine failing the process's exit after
    # the driver's work was done (seen once on a loaded machine); it counts.
    if check and (code is None or out.startswith("error:") or (code != 0 and not out)):
        raise AssertionError("window_driver %s: %s (exit code %s)" % (" ".join(args), out, code))
    return out


def wait_until(probe, expected, timeout=15):
    """Polls `probe` until it returns `expected`; returns the last value."""
    deadline = time.time() + timeout
    while True:
        value = probe()
        if value == expected or time.time() > deadline:
            return value
        time.sleep(0.3)


def post(port, key, path, body):
    done = subprocess.run([ARGS.host_client, "--port", str(port), "--key", key, "request", "POST", path, body],
                          capture_output=True, timeout=60)
    return done.returncode, done.stdout.decode("utf-8", "replace").strip()


def signed_post(port, key, path, body):
    """One signed POST over its own connection, made here rather than by the
    client program: the panel test sends hundreds."""
    return tzsupport.exchange(port, tzsupport.signed_request(key, path, body.encode("utf-8"), nonce_prefix="w"))


def ping(port, key, timeout_ms=5000):
    done = subprocess.run([ARGS.host_client, "--port", str(port), "--key", key, "--timeout", str(timeout_ms),
                           "ping"], capture_output=True, timeout=60)
    return done.returncode, done.stdout.decode("utf-8", "replace").strip()


class Tool:
    """One copy of the program in a folder of its own under C:."""

    def __init__(self, name):
        self.folder = os.path.join(ARGS.prefix, "drive_c", "tztest", name)
        shutil.rmtree(self.folder, ignore_errors=True)
        os.makedirs(self.folder)
        shutil.copy(os.path.join(ARGS.build, EXE), self.folder)
        self.windows_path = "C:\\tztest\\%s\\%s" % (name, EXE)
        self.proc = None

    def path(self, suffix):
        return os.path.join(self.folder, "TZ62Editorsync" + suffix)

    def start(self, *args):
        # The driver finds the window by its class: no other copy may still be closing.
        wait_until(lambda: drive("window-exists"), "0", timeout=30)
        self.proc = subprocess.Popen(wine_cmd(self.windows_path, *args), stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        drive("wait-window", "60000")

    def wait_exit(self, timeout=30):
        code = self.proc.wait(timeout=timeout)
        # Let Wine release the window class and the port before the next copy starts.
        wait_until(lambda: drive("window-exists"), "0", timeout=10)
        return code

    def close_confirmed(self):
        drive("close")
        self.assertion_box("确认退出|确定要退出吗?")
        drive("answer", "yes")
        return self.wait_exit()

    @staticmethod
    def assertion_box(expected):
        box = drive("msgbox")
        if box != expected:
            raise AssertionError("message box %r, expected %r" % (box, expected))

    def kill(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def log_lines(self):
        """The log file's lines, without those of the update check that runs
        in the background five seconds after start."""
        try:
            with open(self.path("_log.txt"), "rb") as f:
                lines = f.read().decode("utf-8").split("\r\n")[:-1]
        except FileNotFoundError:
            return []
        return [l for l in lines if " [更新] " not in l]

    def read(self, suffix):
        with open(self.path(suffix), "rb") as f:
            return f.read()


class StandInSchtasks:
    """Our schtasks stand-in (tests/m2control/schtasks_standin.cpp) in place of
    the system's copy in this prefix, Wine told to prefer the file to its own
    program: Wine's schtasks cannot make a logon task. Its calls are recorded
    in a file under C:."""

    OVERRIDES = "HKCU\\Software\\Wine\\DllOverrides"

    def __init__(self):
        system = os.path.join(ARGS.prefix, "drive_c", "windows", "system32")
        self.target = os.path.join(system, "schtasks.exe")
        self.saved = self.target + ".tz-saved"
        self.folder = os.path.join(ARGS.prefix, "drive_c", "tztest-schtasks")
        self.calls = os.path.join(self.folder, "calls.txt")

    def install(self):
        shutil.rmtree(self.folder, ignore_errors=True)
        os.makedirs(self.folder)
        if not os.path.exists(self.saved):
            os.rename(self.target, self.saved)
        shutil.copy(os.path.join(ARGS.build, "tests", "schtasks.exe"), self.target)
        subprocess.run(wine_cmd("reg", "add", self.OVERRIDES, "/v", "schtasks.exe", "/d", "native", "/f"),
                       capture_output=True, timeout=60)
        os.environ["TZ_SCHTASKS_RECORD"] = "C:\\tztest-schtasks\\calls.txt"

    def remove(self):
        if os.path.exists(self.saved):
            os.replace(self.saved, self.target)
        subprocess.run(wine_cmd("reg", "delete", self.OVERRIDES, "/v", "schtasks.exe", "/f"),
                       capture_output=True, timeout=60)

    def recorded(self):
        try:
            with open(self.calls, encoding="utf-8") as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def clear(self):
        for name in os.listdir(self.folder):
            os.remove(os.path.join(self.folder, name))


class ScreenScale:
    """The prefix's screen scale (HKCU\\Control Panel\\Desktop, LogPixels) for
    the programs started while it holds; Wine reads it when a program starts.
    The value it found is put back afterwards, so the other tests run at 96."""

    KEY = "HKCU\\Control Panel\\Desktop"

    def __init__(self, dpi):
        self.dpi = dpi
        self.before = None

    def __enter__(self):
        query = subprocess.run(wine_cmd("reg", "query", self.KEY, "/v", "LogPixels"), capture_output=True, timeout=60)
        found = re.search(rb"LogPixels\s+REG_DWORD\s+0x([0-9a-fA-F]+)", query.stdout)
        self.before = int(found.group(1), 16) if found else None
        self.set(self.dpi)
        return self

    def __exit__(self, *exc):
        if self.before is None:
            subprocess.run(wine_cmd("reg", "delete", self.KEY, "/v", "LogPixels", "/f"), capture_output=True,
                           timeout=60)
        else:
            self.set(self.before)

    def set(self, dpi):
        subprocess.run(wine_cmd("reg", "add", self.KEY, "/v", "LogPixels", "/t", "REG_DWORD", "/d", str(dpi), "/f"),
                       capture_output=True, timeout=60, check=True)


SCHTASKS = None


def setUpModule():
    global SCHTASKS
    SCHTASKS = StandInSchtasks()
    SCHTASKS.install()


def tearDownModule():
    SCHTASKS.remove()


class WindowTests(unittest.TestCase):
    def setUp(self):
        drive("autostart-clear")
        self.tool = None

    def tearDown(self):
        if self.tool:
            self.tool.kill()
        drive("autostart-clear")

    def new_tool(self, name):
        self.tool = Tool(name)
        return self.tool

    def start_service(self, port):
        drive("set-text", "1002", str(port))
        drive("click", "1003")
        self.assertEqual(wait_until(lambda: drive("text", "1003"), "停止服务"), "停止服务")

    def test_first_start_generate_key_and_close(self):
        tool = self.new_tool("first")
        tool.start()
        self.assertEqual(drive("text", "1002"), "9595")
        self.assertEqual(drive("text", "1005"), "")
        # The footer states the version the build wrote into VERSIONINFO.
        self.assertEqual(drive("text", "1009"), "青岚工作室 V1.0")
        self.assertFalse(os.path.exists(tool.path(".key")))
        drive("click", "1006")
        key = wait_until(lambda: drive("text", "1005") if os.path.exists(tool.path(".key")) else "", "x", 10)
        self.assertRegex(key, r"^[0-9a-f]{32}$")
        stored = tool.read(".key")
        self.assertRegex(stored, rb"^[A-Za-z0-9+/]+=*$")  # Base64 of the protected blob, no line end
        self.assertNotIn(key.encode(), stored)
        self.assertEqual(tool.close_confirmed(), 0)

    def test_keys_survive_restart_and_foreign_key_files_load_empty(self):
        tool = self.new_tool("keys")
        tool.start()
        drive("set-text", "1005", "同步密钥-key")
        port = free_port()
        self.start_service(port)
        self.assertEqual(ping(port, "同步密钥-key")[0], 0)
        # A wrong key is refused and, unlike before, told in the panel.
        self.assertNotEqual(ping(port, "wrong key")[0], 0)
        told = "最近 1 分钟拒绝了 1 个请求: 签名验证失败 ×1（来自 127.0.0.1），请核对编辑器中的密钥"
        wait_until(lambda: str(told in drive("text", "1007")), "True")
        self.assertIn(told, drive("text", "1007"))
        self.assertTrue(any(l.endswith(told) for l in tool.log_lines()))
        self.assertEqual(tool.close_confirmed(), 0)

        tool.start()
        self.assertEqual(drive("text", "1005"), "同步密钥-key")
        self.assertEqual(drive("text", "1002"), str(port))
        self.assertEqual(tool.close_confirmed(), 0)

        with open(tool.path(".key"), "wb") as f:  # a blob protected elsewhere
            f.write(b"AQAAANCMnd8BFdERjHoAwE/Cl+sBAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA")
        with open(tool.path(".port"), "wb") as f:
            f.write(b"abc")
        tool.start()
        self.assertEqual(drive("text", "1005"), "")
        self.assertEqual(drive("text", "1002"), "abc")
        told = "密钥文件无法由当前 Windows 账户解密，请重新输入密钥"
        wait_until(lambda: str(told in drive("text", "1007")), "True")
        self.assertIn(told, drive("text", "1007"))
        self.assertEqual(tool.close_confirmed(), 0)

    def test_port_validation_and_start_stop(self):
        tool = self.new_tool("ports")
        tool.start()
        drive("set-text", "1005", "k-ports")
        for bad in ["0", "65536", "", "abc"]:
            drive("set-text", "1002", bad)
            drive("click", "1003")
            tool.assertion_box("提示|请输入有效端口 (1-65535)")
            drive("answer", "ok")
            self.assertEqual(drive("text", "1003"), "启动服务", bad)
        self.assertEqual(drive("no-msgbox", "500"), "ok")

        drive("set-text", "1002", "1")
        drive("set-text", "1005", "")
        drive("click", "1003")
        tool.assertion_box("提示|请先设置密钥再启动服务")
        drive("answer", "ok")

        drive("set-text", "1005", "k-ports")
        port = free_port()
        self.start_service(" %d" % port)  # a leading blank is fine
        self.assertEqual(ping(port, "k-ports"), (0, '{"success":true,"status":"running","versionName":""}'))
        self.assertEqual([drive("enabled", i) for i in ("1002", "1005", "1006")], ["0", "0", "0"])
        self.assertGreater(int(wait_until(lambda: drive("redpixels", "1003"), "?", 3)), 0)
        self.assertEqual(tool.read(".port"), (" %d" % port).encode())

        drive("click", "1003")
        self.assertEqual(wait_until(lambda: drive("text", "1003"), "启动服务"), "启动服务")
        self.assertEqual([drive("enabled", i) for i in ("1002", "1005", "1006")], ["1", "1", "1"])
        self.assertEqual(wait_until(lambda: drive("redpixels", "1003"), "0", 3), "0")
        self.assertNotEqual(ping(port, "k-ports", 2000)[0], 0)

        if ping(65535, "k-ports", 500)[0] == 2:  # the highest port, when free
            self.start_service("65535")
            self.assertEqual(ping(65535, "k-ports")[0], 0)
            drive("click", "1003")
            self.assertEqual(wait_until(lambda: drive("text", "1003"), "启动服务"), "启动服务")

        lines = tool.log_lines()
        stamp = r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} "
        self.assertTrue(any(re.match(stamp + "服务已启动  端口: %d$" % port, l) for l in lines), lines)
        self.assertTrue(any(re.match(stamp + "服务已停止$", l) for l in lines), lines)
        self.assertIn("] 服务已启动  端口: %d" % port, drive("text", "1007"))
        drive("dblclick", "1007")  # empties the panel, not the file
        self.assertEqual(wait_until(lambda: drive("text", "1007"), ""), "")
        self.assertEqual(len(tool.log_lines()), len(lines))
        self.assertEqual(tool.close_confirmed(), 0)

    def test_port_in_use_keeps_old_port_file(self):
        tool = self.new_tool("busy")
        tool.start()
        drive("set-text", "1005", "old-key")
        first = free_port()
        self.start_service(first)
        drive("click", "1003")
        wait_until(lambda: drive("text", "1003"), "启动服务")
        old_key_file = tool.read(".key")

        with socket.socket() as holder:
            holder.bind(("0.0.0.0", 0))
            holder.listen()
            busy = holder.getsockname()[1]
            drive("set-text", "1005", "new-key")
            drive("set-text", "1002", str(busy))
            drive("click", "1003")
            failure = "启动服务失败: 端口被占用，请检查端口是否已被其他程序使用"
            wait_until(lambda: str(any(l.endswith(failure) for l in tool.log_lines())), "True")
            self.assertTrue(any(l.endswith(failure) for l in tool.log_lines()))
            self.assertEqual(drive("text", "1003"), "启动服务")
            self.assertEqual(drive("no-msgbox", "500"), "ok")
        self.assertEqual(tool.read(".port"), str(first).encode())
        self.assertNotEqual(tool.read(".key"), old_key_file)
        self.assertEqual(tool.close_confirmed(), 0)
        tool.start()
        self.assertEqual(drive("text", "1005"), "new-key")
        self.assertEqual(tool.close_confirmed(), 0)

    def test_port_held_without_a_listener_is_taken_once_free(self):
        # The ended connections of an earlier listener hold a port without
        # listening on it: the start waits for it in the background, and the
        # window goes on answering meanwhile.
        tool = self.new_tool("wait")
        tool.start()
        drive("set-text", "1005", "wait-key")
        with socket.socket() as holder:
            holder.bind(("0.0.0.0", 0))
            held = holder.getsockname()[1]
            self.start_service(held)
            waiting = "端口 %d 仍被已结束的连接占用，30 秒内重试" % held
            wait_until(lambda: str(any(l.endswith(waiting) for l in tool.log_lines())), "True")
            self.assertTrue(any(l.endswith(waiting) for l in tool.log_lines()))
            self.assertEqual(drive("text", "1003"), "停止服务")
            time.sleep(1)
        self.assertEqual(wait_until(lambda: ping(held, "wait-key", 2000)[0], 0, 20), 0)
        self.assertTrue(any(l.endswith("端口 %d 已可用，服务开始监听" % held) for l in tool.log_lines()))
        self.assertEqual(tool.close_confirmed(), 0)

    def test_autostart_only_for_this_exact_executable(self):
        tool = self.new_tool("auto")
        tool.start()
        drive("set-text", "1005", "auto-key")
        port = free_port()
        self.start_service(port)
        self.assertEqual(tool.close_confirmed(), 0)

        for registered, starts in [(tool.windows_path, True), (tool.windows_path.upper(), False),
                                   ("C:\\elsewhere\\" + EXE, False)]:
            drive("autostart-set", registered)
            tool.start()
            self.assertEqual(drive("checked", "1008"), "1" if starts else "0", registered)
            expected = 0 if starts else 2
            self.assertEqual(wait_until(lambda: ping(port, "auto-key", 2000)[0], expected, 10), expected, registered)
            self.assertEqual(drive("text", "1003"), "停止服务" if starts else "启动服务")
            self.assertEqual(drive("no-msgbox", "300"), "ok")
            self.assertEqual(tool.close_confirmed(), 0)

        drive("autostart-clear")
        tool.start()
        # Windows starts nothing elevated from the Run key, so the elevated
        # tool (as Wine runs it) registers a logon task at the highest run
        # level instead, and removes a Run value it finds.
        SCHTASKS.clear()
        self.assertEqual(tool.close_confirmed(), 0)
        drive("autostart-set", tool.windows_path)
        tool.start()
        self.assertEqual(drive("checked", "1008"), "1")
        drive("click", "1008")  # unticked: the Run value goes
        self.assertEqual(wait_until(lambda: drive("autostart-get"), "<none>"), "<none>")
        drive("click", "1008")  # ticked: the logon task
        task = wait_until(lambda: next((l for l in SCHTASKS.recorded() if l.startswith("/create")), ""), "x", 10)
        self.assertRegex(task, r'^/create /tn "TZ62EditorSync_[^"\\]+" /tr "\\"%s\\"" /sc onlogon /ru "[^"]+" '
                               r'/rl highest /it /f$' % re.escape(tool.windows_path))
        self.assertEqual(drive("autostart-get"), "<none>")
        self.assertEqual(drive("checked", "1008"), "1", drive("text", "1007"))
        self.assertIn("开机自启动: 已注册登录任务，登录 Windows 时以管理员身份启动", drive("text", "1007"))
        self.assertEqual(tool.close_confirmed(), 0)

        # The task counts as registered: the box is ticked and the service starts by itself.
        tool.start()
        self.assertEqual(drive("checked", "1008"), "1")
        self.assertEqual(wait_until(lambda: ping(port, "auto-key", 2000)[0], 0, 10), 0)
        self.assertTrue(any(l.startswith("/query") for l in SCHTASKS.recorded()))
        drive("click", "1008")  # unticking removes the task
        self.assertEqual(wait_until(lambda: str(any(l.startswith("/delete") for l in SCHTASKS.recorded())), "True"),
                         "True")
        self.assertEqual(drive("autostart-get"), "<none>")
        self.assertEqual(tool.close_confirmed(), 0)
        tool.start()
        self.assertEqual(drive("checked", "1008"), "0")
        self.assertEqual(drive("text", "1003"), "启动服务")

        # A scheduler that refuses says so, and the box shows what holds.
        os.environ["TZ_SCHTASKS_MODE"] = "exit-create:5"
        try:
            tool.close_confirmed()
            tool.start()
            drive("click", "1008")
            told = "开机自启动设置失败（错误码=5）"
            wait_until(lambda: str(told in drive("text", "1007")), "True")
            self.assertIn(told, drive("text", "1007"))
            self.assertEqual(wait_until(lambda: drive("checked", "1008"), "0"), "0")
            self.assertEqual(drive("autostart-get"), "<none>")
        finally:
            del os.environ["TZ_SCHTASKS_MODE"]
        self.assertEqual(tool.close_confirmed(), 0)

    def test_tray_and_exit_confirmations(self):
        tool = self.new_tool("tray")
        tool.start()
        visible = lambda: drive("visible")
        drive("minimize")
        self.assertEqual(wait_until(visible, "0"), "0")
        drive("minimize")
        self.assertEqual(wait_until(lambda: drive("tray-icons"), "1"), "1")
        time.sleep(0.5)
        self.assertEqual(drive("tray-icons"), "1")  # one icon however often
        drive("command", "2001")  # 显示
        self.assertEqual(wait_until(visible, "1"), "1")
        self.assertEqual(wait_until(lambda: drive("tray-icons"), "0"), "0")
        drive("minimize")
        self.assertEqual(wait_until(visible, "0"), "0")
        drive("tray", "515")  # double-click on the icon
        self.assertEqual(wait_until(visible, "1"), "1")

        drive("close")  # closing always asks, and No keeps the window
        tool.assertion_box("确认退出|确定要退出吗?")
        drive("answer", "no")
        time.sleep(0.5)
        self.assertIsNone(tool.proc.poll())

        drive("set-text", "1005", "tray-key")
        self.start_service(free_port())
        drive("command", "2002")  # 退出 asks while running
        tool.assertion_box("确认退出|服务正在运行，确定要退出吗?")
        drive("answer", "no")
        time.sleep(0.5)
        self.assertIsNone(tool.proc.poll())
        drive("command", "2002")
        drive("answer", "yes")
        self.assertEqual(tool.wait_exit(), 0)

        tool.start()  # stopped: 退出 does not ask
        drive("command", "2002")
        self.assertEqual(tool.wait_exit(), 0)

    def test_tray_balloon_once_and_the_icon_back_after_explorer_restarts(self):
        tool = self.new_tool("explorer")
        tool.start()
        drive("taskbar-created")  # with the window shown there is no icon to bring back
        self.assertEqual(drive("no-msgbox", "300"), "ok")
        self.assertEqual(drive("tray-icons"), "0")
        # The first hide of the run: the icon and its one balloon.
        drive("minimize")
        self.assertEqual(wait_until(lambda: drive("tray-icons"), "1"), "1")
        self.assertEqual(drive("balloon"), "已最小化到通知区域，双击图标恢复")
        drive("tray", "515")
        self.assertEqual(wait_until(lambda: drive("visible"), "1"), "1")
        self.assertEqual(wait_until(lambda: drive("no-balloon", "0"), "ok"), "ok")
        drive("minimize")
        self.assertEqual(wait_until(lambda: drive("tray-icons"), "1"), "1")
        self.assertEqual(drive("no-balloon"), "ok")
        # Explorer restarted: its icons are gone until their windows hear
        # "TaskbarCreated" and add them again (without a second balloon).
        drive("tray-forget")
        self.assertEqual(wait_until(lambda: drive("tray-icons"), "0"), "0")
        drive("taskbar-created")
        self.assertEqual(wait_until(lambda: drive("tray-icons"), "1"), "1")
        self.assertEqual(drive("no-balloon"), "ok")
        drive("tray", "515")  # and it still brings the window back
        self.assertEqual(wait_until(lambda: drive("visible"), "1"), "1")
        self.assertEqual(tool.close_confirmed(), 0)

    def test_layout_at_150_percent_and_after_a_dpi_change(self):
        # The 96-DPI table (app/window_layout.cpp) at 96 and ×1.5, as the
        # controls' places in the client area: "X Y W H".
        table = {
            "1001": ("12 13 36 18", "18 20 54 27"),       # 端口:
            "1002": ("48 11 65 21", "72 17 98 31"),       # port field
            "1003": ("124 11 75 21", "186 17 113 31"),    # 启动服务
            "1004": ("210 13 60 18", "315 20 90 27"),     # 密钥:
            "1005": ("252 11 200 21", "378 17 300 31"),   # key field
            "1006": ("456 11 40 21", "684 17 60 31"),     # 生成
            "1007": ("8 44 484 260", "12 66 726 390"),    # log panel
            "1008": ("12 310 90 20", "18 465 135 30"),    # 开机自启动
        }

        def places(column):
            return drive("rect", *table).split("; "), [table[i][column] for i in table]

        def footer():  # right edge, top and height of the footer; its width follows the text
            x, y, w, h = map(int, drive("rect", "1009").split())
            return x + w, y, h

        with ScreenScale(144):
            tool = self.new_tool("dpi")
            tool.start()
            self.assertEqual(drive("client-size"), "750 504")
            shown, wanted = places(1)
            self.assertEqual(shown, wanted)
            right, top, height150 = footer()
            self.assertEqual((right, top), (744, 471))
            # The text is drawn with a font of 150 %: the footer, its text's
            # height plus a margin, is as tall as at 96 ×1.5 give or take the
            # font's rounding (16 at 96).
            self.assertTrue(22 <= height150 <= 26, height150)
            # Dragged to a monitor at 100 %: Windows suggests the rectangle,
            # the window takes it and lays itself out for 96.
            drive("dpichanged", "96", "500", "336")
            self.assertEqual(drive("client-size"), "500 336")
            shown, wanted = places(0)
            self.assertEqual(shown, wanted)
            right, top, height100 = footer()
            self.assertEqual((right, top), (496, 314))
            self.assertTrue(14 <= height100 <= 18, height100)
            # And back to 150 %.
            drive("dpichanged", "144", "750", "504")
            self.assertEqual(drive("client-size"), "750 504")
            shown, wanted = places(1)
            self.assertEqual(shown, wanted)
            self.assertEqual(footer(), (744, 471, height150))
            self.assertEqual(tool.close_confirmed(), 0)

    def test_close_with_requests_in_flight(self):
        tool = self.new_tool("inflight")
        tool.start()
        drive("set-text", "1005", "inflight-key")
        port = free_port()
        self.start_service(port)
        half_open = []
        for _ in range(20):
            s = socket.create_connection(("127.0.0.1", port), timeout=30)
            s.sendall(b"POST /api/ping HTTP/1.1\r\nContent-Length: 50\r\n\r\n{")
            half_open.append(s)
        started = time.time()
        drive("close")
        drive("answer", "yes")
        self.assertEqual(tool.wait_exit(timeout=60), 0)
        self.assertLess(time.time() - started, 3 + 5 * len(half_open))
        for s in half_open:
            try:
                self.assertEqual(s.recv(100), b"")
            except ConnectionResetError:
                pass
            s.close()

    def test_debug_box_reveal_and_debug_lines(self):
        tool = self.new_tool("debug")
        tool.start()
        drive("dblclick", "1008")
        drive("dblclick", "1008")
        time.sleep(2.2)
        drive("dblclick", "1008")  # more than 2 s after the last: counting starts again
        self.assertEqual(drive("exists", "1010"), "0")
        drive("dblclick", "1009")
        drive("dblclick", "1009")
        self.assertEqual(wait_until(lambda: drive("exists", "1010"), "1"), "1")
        drive("click", "1010")
        wanted = "调试模式已开启，M2加载将输出详细诊断信息"
        wait_until(lambda: str(any(l.endswith(wanted) for l in tool.log_lines())), "True")
        self.assertTrue(any(l.endswith(wanted) for l in tool.log_lines()))
        drive("click", "1010")
        wait_until(lambda: str(any(l.endswith("调试模式已关闭") for l in tool.log_lines())), "True")
        self.assertTrue(any(l.endswith("调试模式已关闭") for l in tool.log_lines()))
        self.assertEqual(tool.close_confirmed(), 0)

    def test_unwritable_log_leaves_the_panel(self):
        tool = self.new_tool("nolog")
        # Folders where the log, key and port files would go: none can be
        # written, and each failure is told once, in red, with code and folder.
        for suffix in ("_log.txt", ".key", ".port"):
            os.makedirs(tool.path(suffix))
        tool.start()
        drive("click", "1006")
        drive("set-text", "1005", "nolog-key")
        port = free_port()
        self.start_service(port)
        self.assertEqual(ping(port, "nolog-key")[0], 0)
        panel = drive("text", "1007")
        self.assertIn("服务已启动  端口: %d" % port, panel)
        advice = "（错误码=5）: C:\\tztest\\nolog\\，请以管理员身份运行或换一个可写的文件夹"
        for what, times in (("日志文件写入失败", 1), ("密钥保存失败", 2), ("端口保存失败", 1)):
            self.assertEqual(panel.count(what + advice), times, (what, panel))
        self.assertEqual(tool.close_confirmed(), 0)

    def test_a_second_start_shows_the_first_window(self):
        tool = self.new_tool("single")
        tool.start()
        drive("minimize")
        self.assertEqual(wait_until(lambda: drive("visible"), "0"), "0")
        first = drive("pid")
        second = subprocess.run(wine_cmd(tool.windows_path), capture_output=True, timeout=60)
        self.assertEqual(second.returncode, 0)
        self.assertEqual(wait_until(lambda: drive("visible"), "1"), "1")
        self.assertEqual(drive("pid"), first, "the first copy still owns the window")
        self.assertEqual(drive("tray-icons"), "0")
        self.assertEqual(tool.close_confirmed(), 0)

    def test_a_build_without_an_update_service_never_checks(self):
        tool = self.new_tool("noupdate")
        tool.start()
        wanted = "[DEBUG] [更新] 未配置更新地址，不检查更新"
        raw = lambda: tool.read("_log.txt").decode("utf-8") if os.path.exists(tool.path("_log.txt")) else ""
        wait_until(lambda: str(wanted in raw()), "True")
        self.assertIn(wanted, raw())
        time.sleep(7)  # past the moment a check would have run and failed
        self.assertNotIn("检查更新失败", raw())
        self.assertNotIn("[更新]", drive("text", "1007"))
        self.assertEqual(tool.close_confirmed(), 0)

    def test_request_texts_stay_inside_their_log_line(self):
        tool = self.new_tool("forged")
        tool.start()
        drive("set-text", "1005", "forged-key")
        port = free_port()
        self.start_service(port)
        forged = "Q:\\x\r\n2020-01-01 00:00:00.000 服务已停止\u2028\x1b[2J"
        body = json.dumps({"versionPath": forged, "items": ["所有NPC"]}, ensure_ascii=False)
        self.assertEqual(post(port, "forged-key", "/api/m2/load", body)[0], 1)
        shown = "M2加载请求被拒绝: 目录不合法 - Q:\\x\\r\\n2020-01-01 00:00:00.000 服务已停止\\u2028\\x1b[2J"
        wait_until(lambda: str(any(l.endswith(shown) for l in tool.log_lines())), "True")
        lines = tool.log_lines()
        self.assertTrue(any(l.endswith(shown) for l in lines), lines[-3:])
        self.assertFalse([l for l in lines if l.startswith("2020-")])
        panel = drive("tail", "1007", "4000").split("\r")
        self.assertTrue(any(l.endswith(shown) for l in panel), panel[-3:])
        self.assertFalse([l for l in panel if l.strip() and not l.strip().startswith("[")])
        self.assertEqual(tool.close_confirmed(), 0)

    def test_undo_and_a_disk_that_never_fills(self):
        """The real program on a small disk of its own (a 16 MiB tmpfs mounted
        as the installation, so the volume's figures are real): a bad push is
        undone with one tzclient command, and a push that would leave less
        than 5 % free is refused with a red panel line and writes nothing."""
        root = os.path.join(ARGS.prefix, "drive_c", "MirServerSmallDisk")
        os.makedirs(root, exist_ok=True)
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=16m", "tmpfs", root],
                                 capture_output=True).returncode == 0
        if not mounted:
            os.rmdir(root)
            self.skipTest("no tmpfs can be mounted here (needs root)")
        self.addCleanup(os.rmdir, root)
        self.addCleanup(subprocess.run, ["umount", root])
        os.makedirs(os.path.join(root, "Mir200", "Envir"))
        with open(os.path.join(root, "Config.ini"), "wb") as f:
            f.write(b"[Server]\r\n")
        tool = self.new_tool("smalldisk")
        tool.start()
        drive("set-text", "1005", "disk-key")
        port = free_port()
        self.start_service(port)

        def client(*args):
            done = subprocess.run([ARGS.host_client, "--port", str(port), "--key", "disk-key", *args],
                                  capture_output=True, timeout=120)
            return done.returncode, json.loads(done.stdout.decode("utf-8").split("\n")[0])

        def push(content):
            local = os.path.join(ARGS.build, "smalldisk-push.bin")
            with open(local, "wb") as f:
                f.write(content)
            return client("push", "C:\\MirServerSmallDisk", "Mir200\\Envir\\a.txt", local)

        target = os.path.join(root, "Mir200", "Envir", "a.txt")
        self.assertEqual(push(b"A"), (0, {"success": True, "message": "同步成功"}))
        self.assertEqual(push(b"B, a bad push"), (0, {"success": True, "message": "同步成功"}))
        code, answer = client("undo", "C:\\MirServerSmallDisk", "Mir200\\Envir\\a.txt")
        self.assertEqual((code, answer["message"]), (0, "恢复成功"), answer)
        with open(target, "rb") as f:
            self.assertEqual(f.read(), b"A")
        code, answer = client("backups", "C:\\MirServerSmallDisk", "Mir200\\Envir\\a.txt")
        self.assertEqual([b["size"] for b in answer["backups"]], [len(b"B, a bad push"), 1])

        before = sorted(os.listdir(os.path.join(root, "Mir200", "Envir")))
        self.assertEqual(push(b"x" * (15 * 1024 * 1024 + 512 * 1024)),
                         (1, {"success": False, "message": "磁盘空间不足，未写入新文件"}))
        with open(target, "rb") as f:
            self.assertEqual(f.read(), b"A")
        self.assertEqual(sorted(os.listdir(os.path.join(root, "Mir200", "Envir"))), before)
        shown = "磁盘空间不足: C:\\MirServerSmallDisk\\Mir200\\Envir\\a.txt - 可用 "
        wait_until(lambda: str(shown in drive("tail", "1007", "400")), "True")
        self.assertIn(shown, drive("tail", "1007", "400"))
        # Red: no other line of this test is (the test build has no update service).
        self.assertGreater(int(drive("redpixels", "1007")), 0)
        # A push that leaves the floor free still goes through.
        self.assertEqual(push(b"y" * (1024 * 1024)), (0, {"success": True, "message": "同步成功"}))
        self.assertEqual(tool.close_confirmed(), 0)

    def test_panel_keeps_the_newest_lines(self):
        tool = self.new_tool("panel")
        tool.start()
        drive("set-text", "1005", "panel-key")
        port = free_port()
        self.start_service(port)
        filler = "长" * 600
        count = 450  # lines cut to 500 characters: past the panel's 200,000
        for i in range(count):
            body = json.dumps({"versionPath": "Q:\\%04d%s" % (i, filler), "items": ["x"]}, ensure_ascii=False)
            self.assertIn("截质目录".encode(), signed_post(port, "panel-key", "/api/m2/load", body))
        newest = "Q:\\%04d" % (count - 1)
        wait_until(lambda: str(newest in drive("tail", "1007", "600")), "True", timeout=60)
        self.assertIn(newest, drive("tail", "1007", "600"))
        length = int(drive("length", "1007"))
        self.assertLess(length, 200000 + 1200)
        self.assertGreater(length, 100000)
        self.assertNotIn("Q:\\0000", drive("head", "1007", "600"))
        # The log file keeps every line, whole.
        lines = [l for l in tool.log_lines() if "目录不合法 - Q:\\" in l]
        self.assertEqual(len(lines), count)
        self.assertTrue(lines[0].endswith("Q:\\0000" + filler))
        # A double-click clears the panel; new lines appear again after it.
        drive("dblclick", "1007")
        self.assertEqual(wait_until(lambda: drive("length", "1007"), "0", timeout=30), "0")
        signed_post(port, "panel-key", "/api/m2/load", json.dumps({"versionPath": "Q:\\after" + filler, "items": ["x"]}))
        wait_until(lambda: str("Q:\\after" in drive("tail", "1007", "600")), "True")
        self.assertIn("Q:\\after", drive("tail", "1007", "600"))
        self.assertEqual(tool.close_confirmed(), 0)

    def test_bridge_switches(self):
        tool = self.new_tool("bridge")
        for args in (["--worker"], ["--loader", "1"]):
            done = subprocess.run(wine_cmd(tool.windows_path, *args), capture_output=True, timeout=60)
            self.assertEqual(done.returncode, 1)
            self.assertEqual(done.stderr.decode("utf-8", "replace").strip().splitlines()[-1],
                             "ERROR|未知模式: %s" % args[0])
        # A worker for a process without a window (the idle process 4 does
        # not exist here) says so in its result file, without a window of its own.
        result = "C:\\tztest\\bridge\\result 1.txt"
        done = subprocess.run(wine_cmd(tool.windows_path, "--worker", "4", "--exec", "所有NPC", "--resultfile", result),
                              capture_output=True, timeout=60)
        self.assertEqual(done.returncode, 1)
        with open(os.path.join(tool.folder, "result 1.txt"), encoding="utf-8") as f:
            self.assertEqual(f.read(), "ERROR|找不到M2Server窗口")
        self.assertEqual(drive("window-exists"), "0")
        for args in (["--Worker"], ["--workerx"], ["x", "--worker"]):
            tool.start(*args)  # anything else is the tool with its window
            self.assertEqual(tool.close_confirmed(), 0)


def main():
    global ARGS
    parser = tzsupport.e2e_parser()
    parser.add_argument("--host-client", required=True)
    ARGS, rest = tzsupport.parse_e2e_args(parser)
    # The tool checks for updates five seconds after start; a proxy on a dead
    # loopback port keeps that check on this machine (WinHTTP honours it).
    os.environ["http_proxy"] = os.environ["https_proxy"] = "http://127.0.0.1:9"
    tzsupport.run_suite(rest, needs_display="window")


if __name__ == "__main__":
    main()
