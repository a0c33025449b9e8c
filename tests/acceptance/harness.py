"""Drives the real Vennick program the way an operator does: an X server (Xvfb) with a window
manager (openbox), xdotool for the mouse and keyboard, ImageMagick for screenshots, and a
pseudo-terminal (ours or vennick-sim's) as the instrument on COM1."""

import fcntl
import os
import re
import shutil
import signal
import struct
import subprocess
import tempfile
import termios
import threading
import time
import tty
import zipfile

LOG_NAME = re.compile(r"^\d\d_\d\d_\d\d\.TXT$")
MAIN_CAPTION = "Vennick(RS232C)"
SETTINGS_CAPTION = "RS232Cﾊﾟﾗﾒｰﾀ設定"

# The main window's client area: two tool bar rows on top, the radio row and a status bar at
# the bottom (see RS232CFunc/TFormMain.cpp).
CLIENT_W, CLIENT_H = 266, 169
TOOLBAR_ROW = 20
STATUS_BAR = 19
# Tool bar button centres (x in the row) as laid out with the IPA fonts.
TOOL_BUTTONS = {
    "環境": (1, 18),
    "ﾊﾞｯﾌｧ消去": (1, 71),
    "行削除": (1, 130),
    "書込": (2, 18),
    "終了": (2, 56),
}
START_BUTTON = (133, 72)  # its centre; it lies just under the tool bars


class Skip(Exception):
    """A scenario that cannot run here (says why)."""


def wait_for(predicate, timeout, what, interval=0.02):
    """Polls `predicate` until it returns a true value; fails with `what` after `timeout` s."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(interval)


class X11Session:
    """Xvfb on a free display with openbox managing it."""

    def __init__(self, artifacts, width=1280, height=1024):
        self.artifacts = artifacts
        self.size = (width, height)
        self.processes = []
        self.display = None
        self.runtime_dir = None

    def __enter__(self):
        for tool in ("Xvfb", "openbox", "xdotool", "import", "xprop", "xwininfo"):
            if not shutil.which(tool):
                raise Skip(f"{tool} is not installed (scripts/install-deps installs it)")
        try:
            self._start_server()
            self._start_window_manager()
            self.runtime_dir = f"/tmp/vennick-e2e-runtime-{os.getpid()}-{self.display[1:]}"
            os.makedirs(self.runtime_dir, mode=0o700, exist_ok=True)
            os.makedirs(self.artifacts, exist_ok=True)
        except BaseException:
            self.__exit__(None, None, None)  # a failed set-up leaves no server behind
            raise
        return self

    def _start_server(self):
        # Another session may take the display between the look and Xvfb's start; Xvfb then
        # ends at once and the next free display is tried.
        def spawn():
            number = next(n for n in range(90, 400)
                          if not os.path.exists(f"/tmp/.X{n}-lock")
                          and not os.path.exists(f"/tmp/.X11-unix/X{n}"))
            self.display = f":{number}"
            w, h = self.size
            return self._spawn(["Xvfb", self.display, "-screen", "0", f"{w}x{h}x24",
                                "-nolisten", "tcp"])
        self._start_until_ready(spawn, self._server_answers, "Xvfb", attempts=5)

    def _start_window_manager(self):
        # openbox that finds the server not quite ready ends at once: it is started again.
        self._start_until_ready(lambda: self._spawn(["openbox", "--sm-disable"]),
                                self._wm_running, "openbox", attempts=3)

    def _start_until_ready(self, spawn, ready, what, attempts):
        """Starts a process until one stays up long enough to be `ready`."""
        for _ in range(attempts):
            process = spawn()
            wait_for(lambda: process.poll() is not None or ready(), 30, what)
            if process.poll() is None:
                return
            self.processes.remove(process)
        raise AssertionError(f"{what} ended at each of {attempts} starts")

    def __exit__(self, *exc):
        for process in reversed(self.processes):
            process.terminate()
            try:
                process.wait(5)
            except subprocess.TimeoutExpired:
                process.kill()
        if self.runtime_dir:
            shutil.rmtree(self.runtime_dir, ignore_errors=True)

    def _spawn(self, command):
        process = subprocess.Popen(command, env=self.env(), stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        self.processes.append(process)
        return process

    def _server_answers(self):
        return subprocess.run(["xwininfo", "-root"], env=self.env(),
                              capture_output=True).returncode == 0

    def _wm_running(self):
        result = subprocess.run(["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], env=self.env(),
                                capture_output=True, text=True)
        return "window id" in result.stdout

    def env(self, **extra):
        env = dict(os.environ, DISPLAY=self.display or "", LANG="C.UTF-8")
        if self.runtime_dir:
            env["XDG_RUNTIME_DIR"] = self.runtime_dir
        env.update(extra)
        return env

    def xdotool(self, *args, check=True):
        result = subprocess.run(["xdotool", *map(str, args)], env=self.env(), capture_output=True,
                                text=True)
        if check and result.returncode != 0:
            raise AssertionError(f"xdotool {' '.join(map(str, args))}: {result.stderr.strip()}")
        return result.stdout

    def windows(self, caption, pid=None):
        """Visible windows whose title is exactly `caption` (matched here: xdotool's own
        pattern match does not handle Japanese titles)."""
        args = ["search", "--all", "--onlyvisible", "--name", "."]
        if pid is not None:
            args[1:1] = ["--pid", pid]
        found = []
        for window in self.xdotool(*args, check=False).split():
            if self.xdotool("getwindowname", window, check=False).rstrip("\n") == caption:
                found.append(window)
        return found

    def wait_window(self, caption, pid=None, timeout=10):
        return wait_for(lambda: (self.windows(caption, pid) or [None])[-1], timeout,
                        f'window "{caption}"', interval=0.05)

    def wait_no_window(self, caption, pid=None, timeout=10):
        wait_for(lambda: not self.windows(caption, pid), timeout, f'"{caption}" to close')

    def geometry(self, window):
        """Absolute position and size of the window's client area."""
        # The window manager reparents and moves the window; a query in between may fail once.
        for attempt in range(20):
            result = subprocess.run(["xwininfo", "-id", str(window)], env=self.env(),
                                    capture_output=True, text=True)
            values = dict(re.findall(r"^\s*(Absolute upper-left [XY]|Width|Height):\s+(-?\d+)",
                                     result.stdout, re.M))
            if len(values) == 4:
                return tuple(int(values[key]) for key in ("Absolute upper-left X",
                                                          "Absolute upper-left Y", "Width", "Height"))
            time.sleep(0.05)
        raise AssertionError(f"no geometry for window {window}: {result.stderr.strip()}")

    def click(self, window, dx, dy):
        x, y, _, _ = self.geometry(window)
        # No --sync: it waits for ever when the pointer is already there.
        self.xdotool("mousemove", x + dx, y + dy, "sleep", "0.05", "click", "1")

    def key(self, window, *keys):
        self.xdotool("windowactivate", "--sync", window, check=False)
        self.xdotool("windowfocus", "--sync", window, check=False)
        self.xdotool("key", "--clearmodifiers", *keys)

    def type_text(self, text):
        self.xdotool("type", "--delay", "20", text)

    def clipboard(self):
        result = subprocess.run(["xclip", "-selection", "clipboard", "-o"], env=self.env(),
                                capture_output=True)
        return result.stdout.decode("utf-8", "replace") if result.returncode == 0 else ""

    def clear_clipboard(self):
        # xclip stays as the owner until a program takes the clipboard (or X ends).
        subprocess.run(["xclip", "-selection", "clipboard", "-i"], env=self.env(),
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=False)

    def screenshot(self, name):
        path = os.path.join(self.artifacts, name + ".png")
        subprocess.run(["import", "-window", "root", path], env=self.env(), check=False,
                       capture_output=True)
        return path

    def frame_extents(self, window):
        """(left, right, top, bottom) of the window manager's frame around the window."""
        result = subprocess.run(["xprop", "-id", str(window), "_NET_FRAME_EXTENTS"], env=self.env(),
                                capture_output=True, text=True)
        numbers = re.findall(r"\d+", result.stdout.split("=", 1)[-1])
        return tuple(map(int, numbers)) if len(numbers) == 4 else (0, 0, 0, 0)

    def screenshot_window(self, window, name):
        """The window with its frame."""
        path = os.path.join(self.artifacts, name + ".png")
        x, y, w, h = self.geometry(window)
        left, right, top, bottom = self.frame_extents(window)
        subprocess.run(["import", "-window", "root", "-crop",
                        f"{w + left + right}x{h + top + bottom}+{x - left}+{y - top}", "+repage", path],
                       env=self.env(), check=False, capture_output=True)
        return path


def ini_text(log_dir="", wait_index=1, com1="", bit_rate_index=22, extra=""):
    text = "[WorkFiles]\r\n"
    if log_dir is not None:
        text += f"exLogFilePath={log_dir}\r\n"
    text += (f"[Params]\r\ncComName=0\r\ncBauRate={bit_rate_index}\r\ncBitSize=3\r\ncParity=0\r\n"
             f"cStopBits=0\r\nRadioWaitTimeIndex={wait_index}\r\n")
    if com1:
        text += f"[Ports]\r\nCOM1={com1}\r\n"
    return (text + extra).encode("cp932")


class LinuxTarget:
    """The Linux program: one executable; its INI beside it, named after it; COM1 named in the
    INI's [Ports] section."""

    name = "linux"
    com1_link = None  # each scenario names its own device in the INI
    start_timeout = 10
    copies_box_text = False

    def __init__(self, executable):
        self.executable = executable

    def install(self, directory):
        """Puts a copy of the program into `directory`; returns the path to start."""
        path = os.path.join(directory, "Vennick")
        shutil.copy2(self.executable, path)
        return path

    @staticmethod
    def ini_path(executable):
        return executable + ".INI"

    @staticmethod
    def command(executable):
        return [executable]

    @staticmethod
    def env(session):
        return session.env(QT_QPA_PLATFORM="xcb")

    @staticmethod
    def native_path(path):
        return path


class WineTarget:
    """Vennick.exe with its DLLs and plugins (a folder unpacked from the zip), run by Wine in a
    prefix made by scripts/wine-prefix.sh (code page 932, Japanese fonts). The prefix maps COM1
    to `com1_link`; every scenario points that link at its own device."""

    name = "wine"
    start_timeout = 40  # a busy machine: Wine loads the Qt DLLs and starts its services
    copies_box_text = True

    def __init__(self, distribution, prefix, com1_link, helper=None):
        self.distribution = distribution
        self.prefix = prefix
        self.com1_link = com1_link
        self.helper = helper  # vennick-win-helper.exe
        self.server_started = False
        self.display = {}

    @staticmethod
    def make_prefix(prefix_script, prefix, com1_link):
        """Starts making a fresh prefix; returns the process (mostly waiting on Wine's start-up,
        so it runs beside other work)."""
        return subprocess.Popen(["bash", "-c", 'source "$1" && make_wine_prefix "$2" "$3"', "-",
                                 prefix_script, prefix, com1_link],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)

    @staticmethod
    def wait_prefix(process, timeout=180):
        try:
            output, _ = process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            raise AssertionError(f"the Wine prefix was not ready after {timeout} s") from None
        if process.returncode != 0:
            raise AssertionError(f"making the Wine prefix failed: {output.strip()}")

    def wine_env(self, **extra):
        env = dict(os.environ, WINEPREFIX=self.prefix, WINEARCH="win64", WINEDEBUG="-all",
                   WINEDLLOVERRIDES="mscoree,mshtml=", LOCPATH=os.path.join(self.prefix, "locale"),
                   LC_ALL="ja_JP.UTF-8", **self.display)
        env.update(extra)
        return env

    def start_server(self, session):
        """A server that stays between the programs: no start-up cost per run, and the named
        mutex lives in it. Wine's desktop process starts with it and must see the X server."""
        self.display = {key: value for key, value in session.env().items()
                        if key in ("DISPLAY", "XDG_RUNTIME_DIR")}
        subprocess.run(["wineserver", "-p"], env=self.wine_env(), check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wine", "cmd", "/c", "exit"], env=self.wine_env(), check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.server_started = True

    def close(self):
        if self.server_started:
            subprocess.run(["wineserver", "-k"], env=self.wine_env(), check=False)
            self.server_started = False

    def install(self, directory):
        # Hard links where possible: a scenario's copy costs nothing and can still be removed.
        def link_or_copy(source, target):
            if os.path.exists(target) and os.path.samefile(source, target):
                return  # a second start from the same directory
            try:
                os.link(source, target)
            except OSError:
                shutil.copy2(source, target)
        if os.path.realpath(directory) != os.path.realpath(self.distribution):
            shutil.copytree(self.distribution, directory, dirs_exist_ok=True,
                            copy_function=link_or_copy)
        return os.path.join(directory, "Vennick.exe")

    @staticmethod
    def ini_path(executable):
        return os.path.splitext(executable)[0] + ".INI"

    @staticmethod
    def command(executable):
        return ["wine", executable]

    def env(self, session):
        return self.wine_env()

    @staticmethod
    def native_path(path):
        """The Windows name of a Linux path (drive Z: is the root)."""
        return "Z:" + path.replace("/", "\\")

    def _helper(self, *args, **popen):
        if not self.helper:
            raise Skip("no vennick-win-helper.exe given")
        return subprocess.Popen(["wine", self.helper, *args], env=self.wine_env(),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, **popen)

    def hold_files(self, milliseconds, *paths):
        """Another Windows process holds `paths` open without sharing for `milliseconds`;
        returns once they are held."""
        process = self._helper("hold", str(milliseconds), *map(self.native_path, paths),
                               text=True)
        line = process.stdout.readline().strip()
        if line != "held":
            raise AssertionError(f"vennick-win-helper: {line} {process.stderr.read().strip()}")
        return process

    def profile_written(self, initial, writes):
        """The bytes Windows' WritePrivateProfileStringA makes of an INI holding `initial`
        with `writes` [(section, key, value)] applied in order."""
        with tempfile.TemporaryDirectory(prefix="vennick-profile-") as directory:
            path = os.path.join(directory, "reference.INI")
            with open(path, "wb") as out:
                out.write(initial)
            # The arguments go through the ANSI code page (932), as the program's own calls.
            args = [self.native_path(path)] + [str(item) for write in writes for item in write]
            process = self._helper("profile", *args)
            _, error = process.communicate(timeout=30)
            assert process.returncode == 0, f"vennick-win-helper profile: {error!r}"
            with open(path, "rb") as source:
                return source.read()


class Vennick:
    """One copy of the program in a directory of its own (its INI and fallback log beside it)."""

    def __init__(self, session, target, directory):
        self.session = session
        self.target = target
        self.directory = directory
        os.makedirs(directory, exist_ok=True)
        self.executable = target.install(directory)
        self.ini_path = target.ini_path(self.executable)
        self.process = None
        self.window = None

    def write_ini(self, data):
        with open(self.ini_path, "wb") as out:
            out.write(data)

    def read_ini(self):
        with open(self.ini_path, "rb") as source:
            return source.read()

    def start(self):
        self.process = subprocess.Popen(self.target.command(self.executable), cwd=self.directory,
                                        env=self.target.env(self.session),
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        return self

    def wait_main_window(self, timeout=None):
        timeout = timeout or self.target.start_timeout
        self.window = self.session.wait_window(MAIN_CAPTION, self.process.pid, timeout)
        return self.window

    def wait_box(self, caption, timeout=10):
        return self.session.wait_window(caption, self.process.pid, timeout)

    def box_text(self, box):
        """A message box's text: on Windows, Ctrl+C copies caption, text and buttons to the
        clipboard (Qt's message box does so there only); under Wine the X clipboard follows."""
        separator = "-" * 27 + "\n"
        self.session.clear_clipboard()
        self.session.key(box, "ctrl+c")

        def copied():
            text = self.session.clipboard()
            return text if text.startswith(separator) else None
        return wait_for(copied, 5, "the box's text on the clipboard").split(separator)[2][:-1]

    def answer_box(self, caption, key="Return", timeout=10, text=None):
        """Answers the box with `key`; checks its text first when `text` is given and the
        program can tell it (on Windows)."""
        box = self.wait_box(caption, timeout)
        if text is not None and self.target.copies_box_text:
            shown = self.box_text(box)
            assert shown == text, f'box "{caption}" says {shown!r}, expected {text!r}'
        self.session.key(box, key)
        wait_for(lambda: box not in self.session.windows(caption, self.process.pid), timeout,
                 f'box "{caption}" to close after {key}')

    def click_client(self, dx, dy):
        self.session.click(self.window, dx, dy)

    def click_start(self):
        self.click_client(*START_BUTTON)

    def start_monitoring(self):
        """Clicks 受信開始 and waits until the window has moved to the top right."""
        self.click_start()
        width = self.session.size[0]
        wait_for(lambda: self.session.geometry(self.window)[0] + CLIENT_W >= width - 8, 10,
                 "the window to move to the top right (monitoring)")

    def click_tool(self, caption):
        row, x = TOOL_BUTTONS[caption]
        self.click_client(x, TOOLBAR_ROW * (row - 1) + TOOLBAR_ROW // 2)

    def click_wait_item(self, index):
        # The radio circles sit in the row just above the status bar, about 51 px apart.
        self.click_client(14 + round(50.75 * index), CLIENT_H - STATUS_BAR - 12)

    def click_memo_end(self):
        self.click_client(CLIENT_W // 2, TOOLBAR_ROW * 2 + 40)
        self.session.xdotool("key", "ctrl+End")

    def alive(self):
        return self.process.poll() is None

    def wait_exit(self, timeout=10):
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"Vennick did not end within {timeout} s") from None

    def kill(self):
        if self.process and self.process.poll() is None:
            self.process.kill()
            self.process.wait(5)

    def peak_memory_kib(self):
        with open(f"/proc/{self.process.pid}/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
        return 0


class Instrument:
    """Our own end of a pseudo-terminal pair, for scenarios that need exact timing or to see
    how much of the stream the program has not read yet. `link` (optional) names the device
    through a symbolic link that survives hang-ups."""

    def __init__(self, link=None):
        self.link = link
        self._open()
        self._writer = None

    def _open(self):
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        self.device = os.ttyname(self.slave)
        if self.link:
            tmp = self.link + ".new"
            if os.path.lexists(tmp):
                os.unlink(tmp)
            os.symlink(self.device, tmp)
            os.replace(tmp, self.link)

    @property
    def path(self):
        return self.link or self.device

    def unread(self):
        """Bytes sent that the program has not read yet (at most the tty's read buffer)."""
        buf = fcntl.ioctl(self.slave, termios.FIONREAD, struct.pack("i", 0))
        return struct.unpack("i", buf)[0]

    def send(self, data):
        view = memoryview(data)
        while view:
            written = os.write(self.master, view)
            view = view[written:]

    def send_in_background(self, data):
        self._writer = threading.Thread(target=self.send, args=(data,), daemon=True)
        self._writer.start()

    def sending(self):
        return self._writer is not None and self._writer.is_alive()

    def drained(self):
        return not self.sending() and self.unread() == 0

    def hang_up(self):
        os.close(self.master)
        os.close(self.slave)

    def pull(self):
        """A USB adapter pulled out: the line hangs up and the device name goes with it (the
        link is removed); come_back() plugs it in again, on a new pseudo-terminal."""
        self.hang_up()
        if self.link:
            os.unlink(self.link)

    def come_back(self):
        self._open()

    def close(self):
        for fd in (self.master, self.slave):
            try:
                os.close(fd)
            except OSError:
                pass


class Simulator:
    """vennick-sim as a separate process; `path` is the device (or link) it announced."""

    def __init__(self, executable, *args):
        self.process = subprocess.Popen([executable, *map(str, args)], stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True)
        self.path = self.process.stdout.readline().strip()
        if not self.path:
            raise AssertionError("vennick-sim announced no device: " + self.process.stderr.read())

    def wait(self, timeout):
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"vennick-sim still sending after {timeout} s") from None

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()


def held_elsewhere(device):
    """Whether a process other than this one has `device` open (the program, or for a program
    under Wine the wineserver that holds its files)."""
    for pid in filter(str.isdigit, os.listdir("/proc")):
        if int(pid) == os.getpid():
            continue
        try:
            fds = os.listdir(f"/proc/{pid}/fd")
        except OSError:
            continue
        for fd in fds:
            try:
                if os.readlink(f"/proc/{pid}/fd/{fd}") == device:
                    return True
            except OSError:
                pass
    return False


def unpack_distribution(archive, directory):
    """Unpacks the Windows zip into `directory`; returns the folder holding Vennick.exe."""
    with zipfile.ZipFile(archive) as source:
        source.extractall(directory)
    for folder, _, names in os.walk(directory):
        if "Vennick.exe" in names:
            return folder
    raise AssertionError(f"no Vennick.exe in {archive}")


def log_files(directory):
    if not os.path.isdir(directory):
        return []
    return sorted(name for name in os.listdir(directory) if LOG_NAME.match(name))


def read_logs(*directories):
    """[(directory, name, bytes)] of every log file, in name order within each directory."""
    return [(d, name, open(os.path.join(d, name), "rb").read())
            for d in directories for name in log_files(d)]


def logged_lines(*directories):
    """Every line of every log file, in file name order. Each file must end in CR LF."""
    lines = []
    for directory, name, data in read_logs(*directories):
        assert data.endswith(b"\r\n"), f"{name} in {directory} does not end in CR LF: {data[-20:]!r}"
        lines.extend(data[:-2].split(b"\r\n"))
    return lines


def count_logged_lines(*directories):
    total = 0
    for directory in directories:
        for name in log_files(directory):
            try:
                with open(os.path.join(directory, name), "rb") as source:
                    total += source.read().count(b"\r\n")
            except FileNotFoundError:
                pass
    return total


def numbered_lines(count, start=1, width=6, prefix="L"):
    """Distinct device lines whose order shows: L000001 ... (only characters the device keeps)."""
    return [f"{prefix}{n:0{width}d}".encode() for n in range(start, start + count)]


def check_all_once(found, expected, what="lines"):
    """Every expected line exactly once; order checked by the caller when it matters."""
    missing = set(expected) - set(found)
    assert not missing, f"{len(missing)} {what} missing, e.g. {sorted(missing)[:5]}"
    assert len(found) == len(set(found)), f"{what}: {len(found) - len(set(found))} written twice"
    extra = set(found) - set(expected)
    assert not extra, f"unexpected {what}: {sorted(extra)[:5]}"


MOUNT_BUSY = "mount point is busy"


class Tmpfs:
    """A small tmpfs mounted for a scenario (needs root and the right to mount)."""

    def __init__(self, path, size):
        self.path = path
        os.makedirs(path, exist_ok=True)
        if os.geteuid() != 0:
            raise Skip("needs root to mount a tmpfs (run the acceptance tests as root)")
        result = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "vennick-e2e", path],
                                capture_output=True, text=True)
        if result.returncode != 0:
            raise Skip(f"cannot mount a tmpfs here: {result.stderr.strip()}")

    def remount(self, options):
        self._remount(f"remount,{options}")

    def _remount(self, options):
        """A read-only remount is refused as busy while a file is open for writing on the mount:
        the program holds a log file only for the few milliseconds of a batch, so try again."""
        deadline = time.monotonic() + 5
        while True:
            result = subprocess.run(["mount", "-o", options, self.path], capture_output=True,
                                    text=True, env={**os.environ, "LC_ALL": "C"})
            if result.returncode == 0:
                return
            if MOUNT_BUSY not in result.stderr or time.monotonic() > deadline:
                raise AssertionError(f"mount -o {options} {self.path}: {result.stderr.strip()}")
            time.sleep(0.01)

    def cover_read_only(self):
        """Lays a read-only view over the folder: what is opened by name from now on cannot be
        written, while files the program already holds open (its journal) stay as they are, which
        a plain read-only remount would refuse as busy."""
        subprocess.run(["mount", "--bind", self.path, self.path], check=True)
        self._remount("remount,bind,ro")

    def uncover(self):
        subprocess.run(["umount", self.path], check=True)

    def unmount(self):
        # A scenario that failed while covered leaves the cover on top of the tmpfs.
        while os.path.ismount(self.path):
            if subprocess.run(["umount", "-l", self.path], check=False).returncode != 0:
                break


class NeverWaitingInstrument(Instrument):
    """An instrument on a line without flow control: it sends at its own pace and never waits.
    What the pseudo-terminal does not take at once is lost (`lost`, never sent again), as a
    UART's bytes are when the receiver's queue is full. A thread samples the bytes waiting on
    the device side (FIONREAD) every few milliseconds; the tty counts at most 4095 there, its
    line discipline's buffer, so reaching `OVERRUN` means a 4 KB driver queue would have
    overrun (a Windows driver's receive queue is typically 4 KB)."""

    OVERRUN = 4095

    def __init__(self, link=None, sample_interval=0.002):
        super().__init__(link)
        self.lost = 0
        self.offered = 0  # bytes the instrument tried to send
        self.max_unread = 0
        self.overrun_at = None  # monotonic time of the first sample at OVERRUN
        self._sample_interval = sample_interval
        self._closing = threading.Event()
        self._lock = threading.Lock()
        self._sampler = threading.Thread(target=self._sample, daemon=True)
        self._sampler.start()

    def _open(self):
        super()._open()
        os.set_blocking(self.master, False)

    def _sample(self):
        while not self._closing.wait(self._sample_interval):
            try:
                unread = self.unread()
            except OSError:
                continue
            if unread > self.max_unread:
                self.max_unread = unread
            if unread >= self.OVERRUN and self.overrun_at is None:
                self.overrun_at = time.monotonic()

    def send(self, data):
        """One attempt: what the line does not take now is lost."""
        with self._lock:
            self.offered += len(data)
            try:
                written = os.write(self.master, data)
            except BlockingIOError:
                written = 0
            self.lost += len(data) - written
            return written

    def send_paced(self, data, bytes_per_second, interval=0.002):
        """Sends `data` in a thread at `bytes_per_second` (a 115200 bit/s line carries 11,520
        bytes a second with 8N1), `interval` apart, whether the line takes it or not."""
        def pace():
            start = time.monotonic()
            sent = 0
            while sent < len(data) and not self._closing.is_set():
                due = min(len(data), int((time.monotonic() - start) * bytes_per_second) + 1)
                if due > sent:
                    self.send(data[sent:due])
                    sent = due
                time.sleep(interval)
        self._writer = threading.Thread(target=pace, daemon=True)
        self._writer.start()
        return self._writer

    def wait_sent(self, timeout):
        if self._writer:
            self._writer.join(timeout)
            if self._writer.is_alive():
                raise AssertionError(f"the instrument still sending after {timeout} s")

    def port_report(self):
        """What the line lost and how full the device's queue got, for a scenario's output."""
        overrun = " (overrun)" if self.max_unread >= self.OVERRUN else ""
        return (f"{self.offered} bytes offered, {self.lost} lost "
                f"({100 * self.lost / max(1, self.offered):.0f} %), most waiting in the port "
                f"{self.max_unread}{overrun}")

    def port_faults(self):
        """The port's faults as texts (none when nothing was lost and the queue never filled)."""
        faults = []
        if self.lost:
            faults.append(f"{self.lost} of {self.offered} bytes lost in the port "
                          f"({100 * self.lost / max(1, self.offered):.0f} %)")
        if self.max_unread >= self.OVERRUN:
            faults.append(f"the port's queue reached {self.max_unread} bytes "
                          "(a 4 KB queue overran)")
        return faults

    def close(self):
        self._closing.set()
        if self._writer:
            self._writer.join(2)
        self._sampler.join(2)
        super().close()


def device_stream(lines, eot_every=0):
    """The bytes of `lines`, each with CR LF, an EOT after every `eot_every` lines (0: none)."""
    parts = []
    for index, line in enumerate(lines, 1):
        parts.append(line + b"\r\n")
        if eot_every and index % eot_every == 0:
            parts.append(b"\x04")
    return b"".join(parts)


def window_pixels(session, window):
    """The window's client area as raw RGB bytes: two equal values mean nothing was painted
    in between that changed what shows."""
    x, y, w, h = session.geometry(window)
    result = subprocess.run(["import", "-window", "root", "-crop", f"{w}x{h}+{x}+{y}", "+repage",
                             "rgb:-"], env=session.env(), capture_output=True)
    return result.stdout


def lines_per_file(*directories):
    """{file name: number of lines} of every log file."""
    return {name: data.count(b"\r\n") for _, name, data in read_logs(*directories)}


class Findings:
    """A scenario's faults, gathered so that one run reports each of them (with its numbers)
    rather than only the first; `check()` fails with all of them."""

    def __init__(self):
        self.faults = []

    def expect(self, condition, fault):
        if not condition:
            self.faults.append(fault)
        return condition

    def add(self, faults):
        self.faults.extend(faults)

    def check(self):
        if self.faults:
            raise AssertionError("; ".join(self.faults))
