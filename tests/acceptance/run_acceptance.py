#!/usr/bin/env python3
"""Acceptance scenarios: the built Vennick as a separate process under Xvfb + openbox, driven
with the mouse and keyboard, COM1 mapped to a pseudo-terminal; every scenario checks the files
on disk byte for byte. Screenshots go to the artifacts directory.

The Linux program:  run_acceptance.py --vennick PATH --sim PATH --artifacts DIR [-k PATTERN]
Vennick.exe under Wine, from its zip:
  run_acceptance.py --wine-zip Vennick-<version>-win64.zip --win-helper vennick-win-helper.exe
                    --sim PATH --artifacts DIR [-k PATTERN]
(the Wine prefixes are made with scripts/wine-prefix.sh: code page 932, Japanese fonts)."""

import argparse
import fcntl
import os
import re
import shutil
import signal
import sys
import tempfile
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import (LOG_NAME, MAIN_CAPTION, SETTINGS_CAPTION, Instrument, LinuxTarget,  # noqa: E402
                     Simulator, Skip, Tmpfs, Vennick, WineTarget, X11Session, check_all_once,
                     count_logged_lines, held_elsewhere, ini_text, log_files, logged_lines,
                     numbered_lines, read_logs, unpack_distribution, wait_for)

CLOSE_QUESTION = "監視中ですが、\n終了してもいいですか？"
INI_KEYS = {
    "WorkFiles": ["exFilePath", "exLogFilePath"],
    "Params": ["cComName", "cBauRate", "cBitSize", "cParity", "cStopBits", "RadioWaitTimeIndex"],
}


class Case:
    """One scenario's temporary directory, program copy and helpers."""

    def __init__(self, session, options, name):
        self.session = session
        self.options = options
        self.target = options.target
        self.name = name
        self.root = tempfile.mkdtemp(prefix=f"vennick-e2e-{name}-")
        self.logs = os.path.join(self.root, "logs")
        os.makedirs(self.logs)
        self.cleanups = []

    def program(self, subdir="app", target=None, **ini):
        target = target or self.target
        program = Vennick(self.session, target, os.path.join(self.root, subdir))
        ini.setdefault("log_dir", self.native(self.logs))
        if target.com1_link:
            ini.pop("com1", None)  # COM1 is the prefix's link to the scenario's device
        program.write_ini(ini_text(**ini))
        self.cleanups.append(program.kill)
        return program

    def native(self, path):
        """`path` as the program names it (a Windows path under Wine)."""
        return self.target.native_path(path)

    def link(self, name):
        """A device name that survives hang-ups; under Wine the one COM1 is mapped to."""
        return self.target.com1_link or os.path.join(self.root, name)

    def simulator(self, *args):
        if self.target.com1_link and "--link" not in args:
            args += ("--link", self.target.com1_link)
        sim = Simulator(self.options.sim, *args)
        self.cleanups.append(sim.stop)
        return sim

    def instrument(self, link=None):
        instrument = Instrument(self.target.com1_link or link)
        self.cleanups.append(instrument.close)
        return instrument

    def never_waiting_instrument(self):
        instrument = NeverWaitingInstrument(self.target.com1_link)
        self.cleanups.append(instrument.close)
        return instrument

    def share(self):
        """A log directory on a share that the scenario can freeze (tests/acceptance/fuse_share.py):
        mounted at <root>/share, its files kept in <root>/share-files."""
        try:
            share = FuseShare(os.path.join(self.root, "share-files"),
                              os.path.join(self.root, "share"))
        except NoFuse as reason:
            raise Skip(str(reason)) from None
        self.cleanups.append(share.unmount)
        return share

    def hang_mode(self):
        """How the share hangs: as a whole on Linux; under Wine only its data calls, since the
        wineserver opens, renames and closes every Windows process's files itself: a handle closed
        on a share that hangs as a whole would stop it, and every Windows program with it (no
        Windows machine does that)."""
        return "data" if self.target.name == "wine" else "stop"

    def lines_file(self, lines):
        path = os.path.join(self.root, "lines.txt")
        with open(path, "wb") as out:
            out.write(b"".join(line + b"\r\n" for line in lines))
        return path

    def shot(self, label, window=None):
        name = f"{self.name}-{label}"
        return (self.session.screenshot_window(window, name) if window
                else self.session.screenshot(name))

    def close(self):
        for cleanup in reversed(self.cleanups):
            try:
                cleanup()
            except Exception:  # noqa: BLE001 - cleaning up after a failure must go on
                pass
        shutil.rmtree(self.root, ignore_errors=True)


def monitoring(case, instrument_path, **ini):
    program = case.program(com1=instrument_path, **ini).start()
    program.wait_main_window()
    program.start_monitoring()
    return program


def ini_values(data):
    values, section = {}, None
    for line in data.decode("cp932").split("\r\n"):
        if line.startswith("[") and line.endswith("]"):
            section = line[1:-1]
        elif "=" in line and section:
            key, value = line.split("=", 1)
            values[(section, key)] = value
    return values


def check_ini_complete(data, **expected):
    assert b"\n" not in data.replace(b"\r\n", b""), "INI lines do not all end in CR LF"
    values = ini_values(data)
    for section, keys in INI_KEYS.items():
        for key in keys:
            assert (section, key) in values, f"INI lacks {section}/{key}: {data!r}"
    for key, value in expected.items():
        section = "WorkFiles" if key.startswith("ex") else "Params"
        assert values[(section, key)] == str(value), \
            f"INI {key}={values[(section, key)]!r}, expected {value!r}"
    return values


def check_ordered(lines, what):
    assert lines == sorted(lines), f"{what} out of order"
    assert len(lines) == len(set(lines)), f"{what}: some written twice"


def runs_on(*targets):
    """Marks a scenario for the targets it runs on (Linux only when unmarked)."""
    def mark(scenario):
        scenario.targets = targets
        return scenario
    return mark


# --- Scenarios --------------------------------------------------------------------------------

def check_placement(case, program, where):
    """The frame (outer size) centred in the work area, or in its top-right corner. The window
    manager frames the window only after it is shown, so the place may settle for a moment."""
    session = case.session

    def outer():
        x, y, w, h = session.geometry(program.window)
        left, right, top, bottom = session.frame_extents(program.window)
        return x - left, y - top, w + left + right, h + top + bottom

    area_w, area_h = session.size

    def wanted():
        _, _, w, h = outer()
        return (area_w // 2 - w // 2, area_h // 2 - h // 2) if where == "centre" else (area_w - w, 0)
    try:
        wait_for(lambda: outer()[:2] == wanted(), 2, f"the window placed at the {where}")
    except AssertionError:
        raise AssertionError(f"frame at {outer()[:2]}, want {wanted()} ({where})") from None


@runs_on("linux", "wine")
def scenario_typical_event(case):
    """"12.5", CR, LF, EOT with "1秒": one file HH_MM_SS.TXT holding "12.5\r\n"."""
    instrument = case.instrument()
    program = case.program(com1=instrument.path, wait_index=1).start()
    program.wait_main_window()
    # Under Wine the program places its Windows frame, whose size is not openbox's frame.
    if case.target.name == "linux":
        check_placement(case, program, "centre")
    time.sleep(0.3)  # Wine paints a moment after the window appears
    case.shot("idle", program.window)
    program.start_monitoring()
    if case.target.name == "linux":
        check_placement(case, program, "top right")
    before = time.time()
    instrument.send(b"12.5\r\n\x04")
    wait_for(lambda: log_files(case.logs), 5, "the log file")
    after = time.time()
    files = read_logs(case.logs)
    assert len(files) == 1, f"expected one file, found {[name for _, name, _ in files]}"
    _, name, data = files[0]
    assert data == b"12.5\r\n", f"{name} holds {data!r}"
    # time() in C reads a coarse clock that may trail Python's by a few milliseconds.
    stamps = {time.strftime("%H_%M_%S.TXT", time.localtime(t))
              for t in range(int(before - 0.05), int(after) + 2)}
    assert name in stamps, f"{name} is not the time of the write ({sorted(stamps)})"
    time.sleep(0.3)  # let the counter repaint for the screenshot
    case.shot("written-0001", program.window)
    assert os.listdir(case.logs) == [name], f"other files in the log directory: {os.listdir(case.logs)}"


@runs_on("linux", "wine")
def scenario_stream_10000_lines(case):
    """10,000 lines (with noise) and EOT every 50: every line in the files, in order, once."""
    expected = numbered_lines(10000)
    sim = case.simulator("--file", case.lines_file(expected), "--rate", "0", "--eot-every", "50",
                         "--noise", "--linger-ms", "600000")
    program = monitoring(case, sim.path, wait_index=1)
    wait_for(lambda: count_logged_lines(case.logs) >= len(expected), 60, "all 10,000 lines on disk",
             interval=0.2)
    case.shot("done", program.window)
    lines = logged_lines(case.logs)
    assert lines == expected, f"{len(lines)} lines on disk differ from the 10,000 sent" + first_difference(lines, expected)


def first_difference(found, expected):
    for index, (a, b) in enumerate(zip(found, expected)):
        if a != b:
            return f" (line {index + 1}: {a!r} instead of {b!r})"
    return f" ({len(found)} lines instead of {len(expected)})"


@runs_on("linux", "wine")
def scenario_manual_write_with_typing(case):
    """"0秒": lines stay until "書込"; typed text is written too. An EOT requests nothing."""
    instrument = case.instrument()
    program = monitoring(case, instrument.path, wait_index=0)
    instrument.send(b"A1\r\nA2\r\nA3\r\n\x04")
    wait_for(instrument.drained, 5, "the program to read the lines")
    time.sleep(1.5)  # automatic writing is off: nothing may appear, neither by tick nor by EOT
    assert not log_files(case.logs), f"written without 書込: {log_files(case.logs)}"
    program.click_memo_end()
    case.session.type_text("typed 7")
    case.shot("typed", program.window)
    program.click_tool("書込")
    wait_for(lambda: log_files(case.logs), 5, "the file after 書込")
    data = read_logs(case.logs)[0][2]
    assert data == b"A1\r\nA2\r\nA3\r\ntyped 7", f"file holds {data!r}"


@runs_on("linux", "wine")
def scenario_auto_write_two_seconds(case):
    """Automatic writing with "2秒" and no EOT: the file appears 1-2 s after the first line."""
    instrument = case.instrument()
    monitoring(case, instrument.path, wait_index=2)
    instrument.send(b"21.0\r\n")
    sent = time.monotonic()
    wait_for(lambda: log_files(case.logs), 5, "the automatic write")
    delay = time.monotonic() - sent
    data = read_logs(case.logs)[0][2]
    assert data == b"21.0\r\n", f"file holds {data!r}"
    # The second tick that finds the line writes it: 1 to 2 s, plus a little scheduling slack.
    # The ticks keep a fixed one-second schedule: on a busy machine one can come late, just after
    # the line, and the next on time, so the least is a second less that lateness.
    assert 0.75 <= delay <= 2.3, f"written {delay:.2f} s after the line"
    print(f"    written {delay:.2f} s after the line")


@runs_on("linux", "wine")
def scenario_buffer_limit_lines_wait_in_order(case):
    """Over 1000 lines with automatic writing off: the program reads the whole stream at once
    (nothing waits in the tty), the list holds 1001 lines, the first "書込" writes lines 1 to
    1001 and the waiting lines take their place, in order; the second writes the rest."""
    instrument = case.instrument()
    program = monitoring(case, instrument.path, wait_index=0)
    lines = [f"{n:06d} 1234567890 1234567890 12345".encode() for n in range(1, 2001)]
    instrument.send_in_background(b"".join(line + b"\r\n" for line in lines))
    wait_for(instrument.drained, 10, "the program to read the whole stream")
    time.sleep(0.5)
    assert not log_files(case.logs), "written without 書込"
    case.shot("limit-1001", program.window)
    program.click_tool("書込")
    wait_for(lambda: count_logged_lines(case.logs) >= 1001, 5, "the first 1001 lines on disk")
    first = logged_lines(case.logs)
    assert first == lines[:1001], "the first write is not lines 1 to 1001" + first_difference(first, lines[:1001])
    time.sleep(1.1)  # the next write gets a file of its own
    program.click_tool("書込")
    wait_for(lambda: count_logged_lines(case.logs) >= len(lines), 5, "the other 999 lines on disk")
    found = logged_lines(case.logs)
    assert found == lines, "lines lost or reordered" + first_difference(found, lines)
    assert len(log_files(case.logs)) == 2, f"files: {log_files(case.logs)}"


@runs_on("linux", "wine")
def scenario_second_instance_refused(case):
    """A second copy shows "Vennick はすでに起動されています。" and ends with 0; the first runs
    on; closing it in Idle asks nothing and leaves every key in the INI; then a new copy starts."""
    first = case.program("first", com1="/dev/null").start()
    first.wait_main_window()
    second = case.program("second", com1="/dev/null").start()
    box = second.wait_box("Vennick", case.target.start_timeout)
    case.shot("second-instance-box")
    assert not case.session.windows(MAIN_CAPTION, second.process.pid), "second copy opened a window"
    if case.target.copies_box_text:
        shown = second.box_text(box)
        assert shown == "Vennick はすでに起動されています。", f"the box says {shown!r}"
    case.session.key(box, "Return")
    assert second.wait_exit(5) == 0, f"second copy ended with {second.process.returncode}"
    assert first.alive() and case.session.windows(MAIN_CAPTION, first.process.pid), "first copy gone"
    first.click_tool("終了")
    assert first.wait_exit(5) == 0, "first copy did not end with 0"
    check_ini_complete(first.read_ini(), exLogFilePath=case.native(case.logs), RadioWaitTimeIndex=1)
    if not case.target.com1_link:
        assert b"[Ports]\r\nCOM1=/dev/null" in first.read_ini(), "the [Ports] section was lost"
    again = case.program("first", com1="/dev/null").start()
    again.wait_main_window()
    again.click_tool("終了")
    assert again.wait_exit(5) == 0, "a new copy after the first ended did not start and end normally"


@runs_on("linux", "wine")
def scenario_close_while_monitoring_asks(case):
    """Closing while monitoring asks; No keeps monitoring; Yes ends with 0 and saves every key
    (on Windows byte for byte as the profile functions write them)."""
    instrument = case.instrument()
    # An operator's own lines, which the profile functions keep in their own way.
    program = case.program(com1=instrument.path, wait_index=3,
                           extra="\r\n; line 2\r\n[ Notes ]\r\n place = hall 2 \r\n")
    initial = program.read_ini()
    program.start().wait_main_window()
    program.start_monitoring()
    # More than once: a close that skips the question now and then must show here.
    for attempt in range(3):
        program.click_tool("終了")
        try:
            program.wait_box("確認")
        except AssertionError:
            raise AssertionError(f"no question at close {attempt + 1} (the program "
                                 f"{'runs on' if program.alive() else 'ended'})") from None
        time.sleep(0.2)
        if attempt == 0:
            case.shot("close-question")
        program.answer_box("確認", "Escape", text=CLOSE_QUESTION)
        assert program.alive(), "Escape (No) ended the program"
    program.click_wait_item(1)  # "1秒"; saved at close
    instrument.send(b"7.5\r\n\x04")
    wait_for(lambda: log_files(case.logs), 5, "a write after answering No (monitoring goes on)")
    assert read_logs(case.logs)[0][2] == b"7.5\r\n"
    program.click_tool("終了")
    program.answer_box("確認", "Return", text=CLOSE_QUESTION)
    assert program.wait_exit(8) == 0, "Yes did not end the program with 0"
    saved = program.read_ini()
    values = check_ini_complete(saved, exLogFilePath=case.native(case.logs),
                                RadioWaitTimeIndex=1, cBauRate=22)
    if case.target.name == "wine":
        writes = [(section, key, values[(section, key)])
                  for section, keys in INI_KEYS.items() for key in keys]
        reference = case.target.profile_written(initial, writes)
        assert saved == reference, ("the INI is not what WritePrivateProfileStringA makes of it:"
                                    f"\n  saved     {saved!r}\n  reference {reference!r}")


@runs_on("linux", "wine")
def scenario_settings_dialog_apply(case):
    """The settings dialog: a new bit rate and log directory, "設定変更", Yes, both notices, and
    the program ends with 0 leaving the new values in the INI."""
    program = case.program(com1="/dev/null", bit_rate_index=8).start()
    program.wait_main_window()
    program.click_tool("環境")
    dialog = program.wait_box(SETTINGS_CAPTION)
    time.sleep(0.3)
    case.shot("dialog", dialog)
    session = case.session
    session.click(dialog, 190, 133)  # ComboBauRate
    session.xdotool("key", "ctrl+a")
    session.type_text("1152")
    new_logs = case.native(os.path.join(case.root, "elsewhere"))
    session.click(dialog, 150, 46)  # EditLogFilePath
    session.xdotool("key", "ctrl+a")
    session.type_text(new_logs)
    case.shot("dialog-edited", dialog)
    session.click(dialog, 155, 258)  # Button1 "設定変更"
    program.answer_box("確認", "Return", text="ﾊﾟﾗﾒｰﾀを書き換えてもいいですか?")
    program.answer_box("Vennick", "Return",
                       text="ﾊﾟﾗﾒｰﾀを書き換えました。\n反映するにはｱﾌﾟﾘｹｰｼｮﾝの再起動が必要です。")
    program.answer_box("Vennick", "Return", text="ｱﾌﾟﾘｹｰｼｮﾝを終了します。")
    assert program.wait_exit(8) == 0, "apply did not end the program with 0"
    check_ini_complete(program.read_ini(), cBauRate=14, exLogFilePath=new_logs)


# --- Faults -----------------------------------------------------------------------------------

def stream_case(case, count, rate, eot_every, padding="", **ini):
    expected = [line + padding.encode() for line in numbered_lines(count)]
    sim = case.simulator("--file", case.lines_file(expected), "--rate", str(rate), "--eot-every",
                         str(eot_every), "--linger-ms", "600000")
    program = monitoring(case, sim.path, **ini)
    return expected, sim, program


def check_files_whole_and_ordered(directories, expected):
    for directory, name, data in read_logs(*directories):
        assert data.endswith(b"\r\n"), f"{name}: not whole lines ({data[-16:]!r})"
        check_ordered(data[:-2].split(b"\r\n"), name)
    found = logged_lines(*directories)
    check_all_once(found, expected)


@runs_on("linux", "wine")
def scenario_fault_log_directory_removed(case):
    """The log directory disappears while monitoring: the fallback <exe dir>//log is used."""
    expected, sim, program = stream_case(case, 3000, 1000, 20, wait_index=1)
    wait_for(lambda: count_logged_lines(case.logs) >= 800, 10, "the first lines on disk")
    gone = case.logs + ".gone"
    os.rename(case.logs, gone)  # for the program the directory is gone; its files stay countable
    fallback = os.path.join(program.directory, "log")
    wait_for(lambda: count_logged_lines(gone, fallback) >= len(expected), 20, "every line on disk",
             interval=0.1)
    assert log_files(fallback), "the fallback directory was not used"
    assert not os.path.exists(case.logs), "the configured directory was created again"
    check_files_whole_and_ordered([gone, fallback], expected)
    print(f"    {len(log_files(gone))} files before, {len(log_files(fallback))} in the fallback")


def scenario_fault_log_directory_read_only(case):
    """The log directory turns read-only for a while: lines wait in the window, none lost."""
    tmpfs = Tmpfs(case.logs, "16m")
    case.cleanups.append(tmpfs.unmount)
    expected, sim, program = stream_case(case, 2500, 600, 20, wait_index=1)
    wait_for(lambda: count_logged_lines(case.logs) >= 300, 10, "the first lines on disk")
    tmpfs.remount("ro")
    time.sleep(1.5)
    case.shot("read-only", program.window)
    tmpfs.remount("rw")
    wait_for(lambda: count_logged_lines(case.logs) >= len(expected), 20, "every line on disk",
             interval=0.1)
    check_files_whole_and_ordered([case.logs], expected)


def scenario_fault_file_locked(case):
    """Files of the coming seconds' names exist and are held locked by another program: those
    writes fail, the lines wait and land in later files; the locked files stay untouched."""
    expected, sim, program = stream_case(case, 1500, 300, 10, wait_index=1)
    wait_for(lambda: count_logged_lines(case.logs) >= 100, 10, "the first lines on disk")
    now = time.time()
    held = []
    for ahead in (1, 2):
        name = time.strftime("%H_%M_%S.TXT", time.localtime(now + ahead))
        handle = open(os.path.join(case.logs, name), "ab")
        fcntl.flock(handle, fcntl.LOCK_EX)
        held.append((name, handle))
    wait_for(lambda: time.time() > now + 3.2, 5, "the locked seconds to pass")
    for _, handle in held:
        handle.close()
    wait_for(lambda: count_logged_lines(case.logs) >= len(expected), 20, "every line on disk",
             interval=0.1)
    for name, _ in held:
        size = os.path.getsize(os.path.join(case.logs, name))
        assert size == 0, f"{name} was written while locked ({size} bytes)"
        os.unlink(os.path.join(case.logs, name))
    check_files_whole_and_ordered([case.logs], expected)


def scenario_fault_disk_full(case):
    """The log disk fills up: writes fail, reception pauses at the buffer limit, and once space
    is back every line lands; no file holds a partial batch."""
    tmpfs = Tmpfs(case.logs, "48k")
    case.cleanups.append(tmpfs.unmount)
    expected, sim, program = stream_case(case, 5000, 2000, 20, padding=" " + "1234567890" * 5,
                                         wait_index=1)

    def full():
        stat = os.statvfs(case.logs)
        return stat.f_bavail * stat.f_frsize < 4096
    wait_for(full, 15, "the disk to fill up", interval=0.05)
    time.sleep(1.5)
    case.shot("disk-full", program.window)
    on_full = count_logged_lines(case.logs)
    assert on_full < len(expected) - 100, "the disk never filled up before the stream ended"
    tmpfs.remount("size=16m")
    wait_for(lambda: count_logged_lines(case.logs) >= len(expected), 30, "every line on disk",
             interval=0.1)
    check_files_whole_and_ordered([case.logs], expected)
    print(f"    {on_full} lines on disk when full; all {len(expected)} after space came back")


@runs_on("linux", "wine")
def scenario_fault_device_hang_up(case):
    """The device hangs up and comes back under the same name: reconnection, and the lines from
    before and after are all in the files."""
    link = case.link("ttyVennick")
    instrument = case.instrument(link)
    program = monitoring(case, link, wait_index=1)
    before, after = numbered_lines(300), numbered_lines(300, start=301)
    instrument.send(b"".join(line + b"\r\n" + (b"\x04" if i % 50 == 49 else b"")
                             for i, line in enumerate(before)))
    wait_for(lambda: count_logged_lines(case.logs) >= 300, 10, "the lines before the hang-up")
    instrument.hang_up()
    time.sleep(0.5)
    instrument.come_back()
    wait_for(lambda: held_elsewhere(instrument.device), 10, "the program to reopen the device",
             interval=0.1)
    instrument.send(b"".join(line + b"\r\n" + (b"\x04" if i % 50 == 49 else b"")
                             for i, line in enumerate(after)))
    wait_for(lambda: count_logged_lines(case.logs) >= 600, 10, "the lines after the hang-up")
    case.shot("after-reconnect", program.window)
    found = logged_lines(case.logs)
    assert found == before + after, "lines lost around the hang-up" + first_difference(found, before + after)


@runs_on("linux", "wine")
def scenario_fault_adapter_pulled_and_replugged(case):
    """The device sends 1 CR LF EOT and 45; the adapter is pulled (the device name goes too),
    stays away 2 s and is plugged back on a new line: the line from before and those sent after
    are all in the files; the 45 the pull cut off is no reading and is not."""
    link = case.link("ttyUSBVennick")
    instrument = case.instrument(link)
    program = monitoring(case, link, wait_index=1)
    # In one write, so that 45 is in the port's queue once 1 has arrived: a byte still on its
    # way through the pseudo-terminal is not counted as unread yet.
    instrument.send(b"1\r\n\x0445")
    wait_for(lambda: count_logged_lines(case.logs) >= 1, 10, "the line before the pull")
    wait_for(lambda: instrument.unread() == 0, 10, "the program to read 45")
    instrument.pull()
    time.sleep(2)  # away
    instrument.come_back()
    time.sleep(2.5)
    instrument.send(b"2\r\n\x04")
    wait_for(lambda: count_logged_lines(case.logs) >= 2, 15, "the line after the replug",
             interval=0.1)
    instrument.send(b"3\r\n\x04")
    wait_for(lambda: count_logged_lines(case.logs) >= 3, 10, "the second line after the replug",
             interval=0.1)
    case.shot("after-replug", program.window)
    found = logged_lines(case.logs)
    assert found == [b"1", b"2", b"3"], f"the files hold {found}"


def scenario_fault_simulator_hangs_up(case):
    """vennick-sim hangs up after every 400 lines and is back 1.5 s later under its link: every
    line from before and after each hang-up is in the files, in order."""
    link = case.link("ttySim")
    expected = numbered_lines(1000)
    sim = case.simulator("--link", link, "--file", case.lines_file(expected), "--rate", "500",
                         "--eot-every", "50", "--hangup-after", "400", "--back-after-ms", "1500",
                         "--linger-ms", "600000")
    program = monitoring(case, link, wait_index=1)
    try:
        wait_for(lambda: count_logged_lines(case.logs) >= len(expected), 30, "every line on disk",
                 interval=0.1)
    except AssertionError as error:
        pid = program.process.pid
        ttys = [os.readlink(f"/proc/{pid}/fd/{fd}") for fd in os.listdir(f"/proc/{pid}/fd")]
        sim.stop()
        found = logged_lines(case.logs)
        raise AssertionError(f"{error}: {len(found)} lines{first_difference(found, expected)}; link -> "
                             f"{os.readlink(link)}; program holds {[t for t in ttys if 'pts' in t]}; "
                             f"simulator said {sim.process.stderr.read()!r}") from None
    case.shot("after-reconnects", program.window)
    found = logged_lines(case.logs)
    assert found == expected, "lines lost around the hang-ups" + first_difference(found, expected)


@runs_on("linux", "wine")
def scenario_fault_killed_while_writing(case):
    """SIGKILL in the middle of a fast stream with an EOT every 3 lines: no partial file; every
    file on disk holds whole lines only, in order, none twice."""
    expected = numbered_lines(200000)
    sim = case.simulator("--file", case.lines_file(expected), "--rate", "0", "--eot-every", "3",
                         "--linger-ms", "600000")
    program = monitoring(case, sim.path, wait_index=1)
    wait_for(lambda: count_logged_lines(case.logs) >= 3000, 20, "a few thousand lines on disk")
    program.process.send_signal(signal.SIGKILL)
    program.process.wait(5)
    valid = set(expected)
    files = read_logs(case.logs)
    assert files, "no files written"
    seen = []
    for _, name, data in files:
        assert data.endswith(b"\r\n"), f"{name} ends in a partial line: {data[-20:]!r}"
        lines = data[:-2].split(b"\r\n")
        bad = [line for line in lines if line not in valid]
        assert not bad, f"{name} holds lines the device never sent: {bad[:3]}"
        seen.extend(lines)
    check_ordered(seen, "the files together")
    others = [name for name in os.listdir(case.logs) if not LOG_NAME.match(name)]
    assert all(name.startswith(".") for name in others), f"visible non-log files left: {others}"
    print(f"    {len(seen)} whole lines in {len(files)} files; {len(others)} hidden temporary left")


def scenario_fault_ini_read_only_at_close(case):
    """The INI cannot be written at close: the error box shows and the program runs on; once
    the INI is writable again, closing works and saves every key."""
    app_dir = os.path.join(case.root, "ro-app")
    tmpfs = Tmpfs(app_dir, "256m")
    case.cleanups.append(tmpfs.unmount)
    program = case.program("ro-app", com1="/dev/null", wait_index=2).start()
    program.wait_main_window()
    tmpfs.cover_read_only()
    program.click_tool("終了")
    box = program.wait_box("Vennick")
    time.sleep(0.2)
    case.shot("ini-error")
    case.session.key(box, "Return")
    case.session.wait_no_window("Vennick", program.process.pid, 5)
    time.sleep(0.5)
    assert program.alive(), "the program ended although the INI was not written"
    assert case.session.windows(MAIN_CAPTION, program.process.pid), "the main window is gone"
    tmpfs.uncover()
    program.click_tool("終了")
    assert program.wait_exit(5) == 0, "the second close did not end the program with 0"
    check_ini_complete(program.read_ini(), RadioWaitTimeIndex=2)


# --- A share that stops answering, a device that never waits ---------------------------------

from fuse_share import FuseShare, Skip as NoFuse  # noqa: E402
from harness import (CLIENT_W, TOOLBAR_ROW, Findings, NeverWaitingInstrument,  # noqa: E402
                     device_stream, lines_per_file, window_pixels)

LINE_RATE_115200 = 11520  # bytes a second on a 115200 bit/s line (8N1: 10 bits a byte)


def box_within(program, caption, seconds):
    """The box if it shows within `seconds`, else None."""
    try:
        return program.wait_box(caption, seconds)
    except AssertionError:
        return None


def window_repaints(case, program, seconds):
    """Whether the window's client area changes within `seconds` once a line in the list has
    been clicked (the click selects it; lines arriving change the list too)."""
    before = window_pixels(case.session, program.window)
    program.click_client(CLIENT_W // 2, 2 * TOOLBAR_ROW + 40)
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if window_pixels(case.session, program.window) != before:
            return True
        time.sleep(0.05)
    return False


def check_landed(findings, directory, expected, timeout):
    """Waits until the files hold as many lines as were sent, then checks every line once, in
    order; a shortfall becomes a finding with its numbers."""
    try:
        wait_for(lambda: count_logged_lines(directory) >= len(expected), timeout,
                 "every line on disk", interval=0.1)
    except AssertionError:
        pass
    try:
        found = logged_lines(directory)
    except AssertionError as error:
        findings.faults.append(str(error))
        return
    if found != expected:
        missing = len(set(expected) - set(found))
        twice = len(found) - len(set(found))
        findings.faults.append(f"{len(found)} of {len(expected)} lines in the files, {missing} "
                               f"missing, {twice} twice" + first_difference(found, expected))


def close_and_wait(findings, program, timeout):
    """"終了", はい; the program must end."""
    program.click_tool("終了")
    if not findings.expect(box_within(program, "確認", 5), "no 確認 at 終了"):
        return
    program.answer_box("確認", "Return", text=CLOSE_QUESTION)
    try:
        program.wait_exit(timeout)
    except AssertionError:
        findings.faults.append(f"the program did not end within {timeout} s of はい")


@runs_on("linux", "wine")
def scenario_share_hangs_during_stream(case):
    """The log directory's share stops answering for 6 s during a 115200 bit/s stream with an
    EOT every 10 lines ("1秒"): the port is still read (nothing lost, its queue never full), the
    window repaints, "終了" asks within 2 s; afterwards every line is in the files once, in order."""
    findings = Findings()
    share = case.share()
    instrument = case.never_waiting_instrument()
    program = monitoring(case, instrument.path, wait_index=1, log_dir=case.native(share.mount))
    before, hang, after = 1.5, 6.0, 1.5
    expected = [line + b",+20.000" for line in
                numbered_lines(int((before + hang + after) * LINE_RATE_115200 / 17.1))]
    instrument.send_paced(device_stream(expected, eot_every=10), LINE_RATE_115200)
    started = time.monotonic()
    wait_for(lambda: count_logged_lines(share.root) >= 200, 5, "the first lines on the share")
    time.sleep(max(0.0, started + before - time.monotonic()))
    with share.frozen(case.hang_mode()):
        frozen = time.monotonic()
        time.sleep(0.3)  # a write is on the share by now, and it hangs
        findings.expect(window_repaints(case, program, 2),
                        "the window did not repaint during the hang")
        program.click_tool("終了")
        asked = box_within(program, "確認", 2)
        findings.expect(asked, "no 確認 within 2 s of 終了 while the share hung")
        if asked:
            case.shot("asked-during-hang")
            program.answer_box("確認", "Escape")
        case.shot("during-hang", program.window)
        time.sleep(max(0.0, frozen + hang - time.monotonic()))
        overrun_after = (instrument.overrun_at - frozen) if instrument.overrun_at else None
    if not asked:
        late = box_within(program, "確認", 10)
        findings.expect(not late, "確認 showed only after the share answered again")
        if late:
            program.answer_box("確認", "Escape")
    instrument.wait_sent(before + hang + after + 10)
    check_landed(findings, share.root, expected, 30)
    findings.add(instrument.port_faults())
    print(f"    {instrument.port_report()}"
          + (f"; the queue full {overrun_after:.1f} s into the hang" if overrun_after else "")
          + f"; {count_logged_lines(share.root)} of {len(expected)} lines in "
          f"{len(log_files(share.root))} files")
    findings.check()


@runs_on("linux", "wine")
def scenario_close_during_hung_write(case):
    """"終了", はい while a write hangs on the share: the window goes within 2 s and the program
    ends; the next start (the share answering) writes what was left, with the journal's notice;
    every line once, in order."""
    findings = Findings()
    share = case.share()
    instrument = case.never_waiting_instrument()
    program = monitoring(case, instrument.path, wait_index=1, log_dir=case.native(share.mount))
    expected = [line + b",+20.000" for line in numbered_lines(320)]
    instrument.send(device_stream(expected[:20], eot_every=10))
    wait_for(lambda: count_logged_lines(share.root) >= 20, 5, "the first lines on the share")
    ended_in_hang = None
    with share.frozen(case.hang_mode()):
        instrument.send_paced(device_stream(expected[20:], eot_every=50), LINE_RATE_115200)
        instrument.wait_sent(10)
        time.sleep(0.5)  # the first of these writes hangs; the rest wait in the program
        program.click_tool("終了")
        asked = box_within(program, "確認", 2)
        findings.expect(asked, "no 確認 within 2 s of 終了 while a write hung")
        if asked:
            program.answer_box("確認", "Return")
            yes = time.monotonic()
            try:
                case.session.wait_no_window(MAIN_CAPTION, program.process.pid, 2)
            except AssertionError:
                findings.faults.append("the window stayed more than 2 s after はい "
                                       "while a write hung")
            try:
                program.wait_exit(15)
                ended_in_hang = time.monotonic() - yes
            except AssertionError:
                pass
    if not asked:
        late = box_within(program, "確認", 10)
        findings.expect(not late, "確認 showed only after the share answered again")
        if late:
            program.answer_box("確認", "Return")
    try:
        program.wait_exit(15)
    except AssertionError:
        findings.faults.append("the program did not end within 15 s after the share answered")
        findings.check()
    on_disk = count_logged_lines(share.root)
    program.start()
    notice = box_within(program, "Vennick", program.target.start_timeout)
    if notice:
        if program.target.copies_box_text:
            text = program.box_text(notice)
            findings.expect(text.startswith("前回書き込まれなかった ") and
                            text.endswith("\nに書き込みました。"), f"the notice says {text!r}")
        case.session.key(notice, "Return")
    findings.expect(notice or on_disk == len(expected),
                    f"{len(expected) - on_disk} lines were not written, "
                    "yet no notice at the next start")
    program.wait_main_window()
    program.click_tool("終了")
    program.wait_exit(10)
    check_landed(findings, share.root, expected, 5)
    findings.add(instrument.port_faults())
    ending = (f"ended {ended_in_hang:.1f} s after はい while the share hung"
              if ended_in_hang is not None else "did not end while the share hung")
    print(f"    {ending}; {on_disk} of {len(expected)} lines on disk then, "
          f"{'a notice' if notice else 'no notice'} at the next start; {instrument.port_report()}")
    findings.check()


def no_eot_stream(case, wait_index, seconds=9.0):
    """A 115200 bit/s stream without EOT for `seconds` with automatic writing every
    `wait_index` ticks, then "終了", はい: nothing lost in the port, every line once, in order,
    and no write of more than 1001 lines while streaming."""
    findings = Findings()
    instrument = case.never_waiting_instrument()
    program = monitoring(case, instrument.path, wait_index=wait_index)
    expected = [line + b",+1" for line in numbered_lines(int(seconds * LINE_RATE_115200 / 12))]
    instrument.send_paced(device_stream(expected), LINE_RATE_115200)
    instrument.wait_sent(seconds + 10)
    time.sleep(0.5)
    case.shot("stream-sent", program.window)
    closed = time.time()
    during = lines_per_file(case.logs)
    close_and_wait(findings, program, 20)
    check_landed(findings, case.logs, expected, 5)
    # Automatic writes are a second or more apart: each file named before the close is one write.
    streamed = {name: lines for name, lines in during.items()
                if name < time.strftime("%H_%M_%S.TXT", time.localtime(closed))}
    big = {name: lines for name, lines in streamed.items() if lines > 1001}
    findings.expect(not big, f"writes of more than 1001 lines: {big}")
    findings.add(instrument.port_faults())
    print(f"    {instrument.port_report()}; {len(streamed)} writes while streaming "
          f"({sum(streamed.values())} lines), {count_logged_lines(case.logs)} of "
          f"{len(expected)} lines in the files after the close")
    findings.check()


@runs_on("linux", "wine")
def scenario_no_eot_115200_two_seconds(case):
    """115200 bit/s for 9 s without EOT, "2秒": nothing lost in the port; after "終了", はい every
    line is in the files once, in order; no write of more than 1001 lines."""
    no_eot_stream(case, wait_index=2)


@runs_on("linux", "wine")
def scenario_no_eot_115200_five_seconds(case):
    """115200 bit/s for 9 s without EOT, "5秒": nothing lost in the port; after "終了", はい every
    line is in the files once, in order; no write of more than 1001 lines."""
    no_eot_stream(case, wait_index=4)


@runs_on("linux", "wine")
def scenario_zero_seconds_8000_lines_written_by_hand(case):
    """"0秒", 8000 lines at 115200 bit/s: nothing lost in the port; "書込" pressed once a second
    until nothing is left writes at most 1001 lines a file, every line once, in order."""
    findings = Findings()
    instrument = case.never_waiting_instrument()
    program = monitoring(case, instrument.path, wait_index=0)
    expected = [line + b",+1" for line in numbered_lines(8000)]
    instrument.send_paced(device_stream(expected), LINE_RATE_115200)
    instrument.wait_sent(20)
    time.sleep(0.5)
    case.shot("all-sent", program.window)
    presses = 0
    while count_logged_lines(case.logs) < len(expected) and presses < 12:
        time.sleep(1.02 - time.time() % 1)  # a second of its own: a file of its own
        files = len(log_files(case.logs))
        program.click_tool("書込")
        presses += 1
        try:
            wait_for(lambda: len(log_files(case.logs)) > files, 3, "a file after 書込")
        except AssertionError:
            break  # nothing was left to write
    sizes = lines_per_file(case.logs)
    big = {name: lines for name, lines in sizes.items() if lines > 1001}
    findings.expect(not big, f"files of more than 1001 lines: {big}")
    check_landed(findings, case.logs, expected, 1)
    findings.add(instrument.port_faults())
    print(f"    {instrument.port_report()}; {presses} presses of 書込, files of "
          f"{sorted(sizes.values(), reverse=True)} lines")
    findings.check()


@runs_on("wine")
def scenario_fault_file_held_by_windows_process(case):
    """Files of the coming seconds' names are held open without sharing by another Windows
    process: those writes fail, the lines wait and land in later files; the held files stay
    untouched."""
    expected, sim, program = stream_case(case, 1500, 300, 10, wait_index=1)
    wait_for(lambda: count_logged_lines(case.logs) >= 100, 10, "the first lines on disk")
    start = int(time.time())
    seconds = [start + ahead for ahead in (2, 3, 4)]
    names = [time.strftime("%H_%M_%S.TXT", time.localtime(second)) for second in seconds]
    holder = case.target.hold_files(5500, *(os.path.join(case.logs, name) for name in names))
    case.cleanups.append(holder.kill)
    held_at = time.time()
    # Only the seconds that began after the files were held prove anything (Wine may be slow
    # to start the holder on a busy machine).
    names = [name for name, second in zip(names, seconds) if second >= held_at]
    assert names, f"the holder took {held_at - start:.1f} s to start: every held second had passed"
    assert holder.wait(15) == 0, f"the holder ended with {holder.returncode}"
    wait_for(lambda: count_logged_lines(case.logs) >= len(expected), 20, "every line on disk",
             interval=0.1)
    for name in names:
        size = os.path.getsize(os.path.join(case.logs, name))
        assert size == 0, f"{name} was written while held ({size} bytes)"
        os.unlink(os.path.join(case.logs, name))
    check_files_whole_and_ordered([case.logs], expected)


@runs_on("wine")
def scenario_zip_in_fresh_prefix(case):
    """The Windows zip unpacked and started in a fresh Wine prefix without an INI: the two
    first-run notices, "12.5" written to <exe dir>\\log, the close question, the INI."""
    target = case.options.fresh_target()
    folder = unpack_distribution(case.options.wine_zip, os.path.join(case.root, "unzipped"))
    target.distribution = folder
    program = Vennick(case.session, target, folder)
    case.cleanups.append(program.kill)
    instrument = case.instrument()
    program.start()
    log_dir = target.native_path(folder) + "\\\\log"  # two separators at the join
    program.answer_box("Vennick", timeout=target.start_timeout, text="Created " + log_dir)
    program.answer_box("Vennick", text=f"ログファイルの出力先を\n{log_dir}\nに設定しました。")
    fallback = os.path.join(folder, "log")
    assert os.path.isdir(fallback), "the first run did not create <exe dir>\\log"
    program.wait_main_window()
    time.sleep(0.3)
    case.shot("idle", program.window)
    program.start_monitoring()
    instrument.send(b"12.5\r\n\x04")
    wait_for(lambda: log_files(fallback), 5, "the log file beside the exe")
    files = read_logs(fallback)
    assert [data for _, _, data in files] == [b"12.5\r\n"], f"files: {files}"
    time.sleep(0.3)
    case.shot("written-0001", program.window)
    program.click_tool("終了")
    program.answer_box("確認", "Return", text=CLOSE_QUESTION)
    assert program.wait_exit(8) == 0, "Yes did not end the program with 0"
    check_ini_complete(program.read_ini(), exFilePath=target.native_path(folder) + "\\",
                       exLogFilePath=log_dir)


SKIPPED = 77  # CTest's SKIP_RETURN_CODE
SCENARIOS = [value for key, value in list(globals().items()) if key.startswith("scenario_")]


def parse_options():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    program = parser.add_mutually_exclusive_group(required=True)
    program.add_argument("--vennick", help="the Linux program")
    program.add_argument("--wine-zip", help="Vennick-<version>-win64.zip, run under Wine")
    parser.add_argument("--win-helper", help="vennick-win-helper.exe (Wine only)")
    parser.add_argument("--sim", required=True)
    parser.add_argument("--artifacts", required=True)
    parser.add_argument("-k", dest="pattern", default="", help="run only scenarios matching this")
    options = parser.parse_args()
    for name in ("vennick", "wine_zip", "win_helper", "sim"):
        if getattr(options, name):
            setattr(options, name, os.path.abspath(getattr(options, name)))
    return options


class WineRun:
    """The prefixes of one run under Wine: a shared one for most scenarios, and a fresh one for
    the scenario that starts from the zip, both made at once at the start (making a prefix is
    mostly waiting)."""

    PREFIX_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                 "scripts", "wine-prefix.sh")

    def __init__(self, options):
        self.options = options
        self.work = tempfile.mkdtemp(prefix="vennick-wine-e2e-")
        self.com1_link = os.path.join(self.work, "com1")
        self.shared = WineTarget(None, os.path.join(self.work, "prefix"), self.com1_link,
                                 options.win_helper)
        self.fresh = WineTarget(None, os.path.join(self.work, "fresh-prefix"), self.com1_link)
        wanted = [self.shared]
        if re.search(options.pattern, "zip_in_fresh_prefix"):
            wanted.append(self.fresh)
        self.making = {target: WineTarget.make_prefix(self.PREFIX_SCRIPT, target.prefix,
                                                      self.com1_link)
                       for target in wanted}

    def shared_target(self, session):
        self.shared.distribution = unpack_distribution(self.options.wine_zip,
                                                       os.path.join(self.work, "unzipped"))
        self._ready(self.shared, session)
        return self.shared

    def fresh_target(self, session):
        self._ready(self.fresh, session)
        return self.fresh

    def _ready(self, target, session):
        process = self.making.pop(target, None)
        if process:
            WineTarget.wait_prefix(process)
            target.start_server(session)

    def close(self):
        for process in self.making.values():
            process.kill()
            process.wait()
        for target in (self.shared, self.fresh):
            target.close()
        shutil.rmtree(self.work, ignore_errors=True)


def main():
    options = parse_options()
    os.makedirs(options.artifacts, exist_ok=True)
    for old in os.listdir(options.artifacts):  # screenshots of an earlier run would mislead
        if old.endswith(".png"):
            os.unlink(os.path.join(options.artifacts, old))
    wine = WineRun(options) if options.wine_zip else None
    results = []
    started = time.monotonic()
    options.target = LinuxTarget(options.vennick) if not wine else None
    try:
        with X11Session(options.artifacts) as session:
            try:
                if wine:
                    options.target = wine.shared_target(session)
                    options.fresh_target = lambda: wine.fresh_target(session)
                    print(f"Wine prefix ready after {time.monotonic() - started:.1f} s", flush=True)
                for scenario in SCENARIOS:
                    name = scenario.__name__[len("scenario_"):]
                    if options.target.name not in getattr(scenario, "targets", ("linux",)):
                        continue
                    if re.search(options.pattern, name):
                        results.append(run_one(session, options, name, scenario))
            finally:
                if wine:  # the Windows programs go before their X server
                    wine.close()
    except Skip as reason:
        print(f"SKIP all: {reason}")
        return SKIPPED
    except Exception:  # noqa: BLE001 - no Wine prefix, no X server: one failure, said as such
        traceback.print_exc()
        results.append(("set-up", "FAIL"))
    failed = [name for name, outcome in results if outcome == "FAIL"]
    print(f"\n{len(results) - len(failed)} passed, {len(failed)} failed "
          f"({'wine' if wine else 'linux'}, {time.monotonic() - started:.0f} s)"
          + (f": {', '.join(failed)}" if failed else ""))
    return 1 if failed else 0


def run_one(session, options, name, scenario):
    print(f"--- {name}: {scenario.__doc__.splitlines()[0]}", flush=True)
    case = Case(session, options, name)
    started = time.monotonic()
    outcome = "PASS"
    try:
        scenario(case)
    except Skip as reason:
        outcome = f"SKIP ({reason})"
    except Exception:  # noqa: BLE001 - report and go on with the next scenario
        outcome = "FAIL"
        case.shot("failure")
        traceback.print_exc()
        for program_kill in case.cleanups:
            owner = getattr(program_kill, "__self__", None)
            if isinstance(owner, Vennick) and owner.process and owner.process.poll() is not None:
                print(f"    program ended with {owner.process.returncode}: "
                      f"{owner.process.stderr.read().decode(errors='replace')[-500:]}")
    finally:
        case.close()
    print(f"    {outcome} ({time.monotonic() - started:.1f} s)", flush=True)
    return name, outcome.split()[0]


if __name__ == "__main__":
    sys.exit(main())
