#!/usr/bin/env python3
"""Kills Vennick with SIGKILL at random moments while an instrument sends lines at a steady rate,
once with "0秒" (lines stay in the window until the next start writes them from the journal),
once with "1秒" (automatic writes, and an EOT every 50 lines for many more) and once with "0秒"
and 3000 lines a second from an instrument that never waits (lines wait beyond the list when the
kill comes, 1-2 s into monitoring; no byte may be lost in the port), restarting it after every
kill. Afterwards every line that had been in the window long enough is in a log file, no line is
there twice, and the files hold the lines in the order they were sent.

On Linux the streams run at once, each with an X server of its own. Under Wine (--wine-zip)
they run one after the other in one prefix, since its COM1 is one device; there Vennick.exe
ends by TerminateProcess (taskkill /F), as the task manager ends it. The kills are shared out
40/40/20 % (the fast stream's copies monitor longer before theirs).

usage: kill_journal.py --vennick PATH [--kills 100] [--seed N] [--artifacts DIR]
       kill_journal.py --wine-zip ZIP [--kills 20] [--seed N] [--artifacts DIR]"""

import argparse
import collections
import os
import random
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import (CLIENT_W, MAIN_CAPTION, Instrument, LinuxTarget,  # noqa: E402
                     NeverWaitingInstrument, Skip, Vennick, WineTarget, X11Session, ini_text,
                     log_files, logged_lines, unpack_distribution, wait_for)

LINES_PER_SECOND = 100
FAST_LINES_PER_SECOND = 3000  # fills the list (1001 lines) in a third of a second
# A line counts as "in the window for 100 ms" once it was sent this long before the kill while
# the program was monitoring: 100 ms in the window plus up to 100 ms from the port into it.
REQUIRED_AGE = 0.2
STARTUP_KILLS = 0.15  # the share of kills aimed at the start (journal recovery, idle window)
BOX_CAPTION = "Vennick"


class Feed:
    """Sends numbered lines at a steady rate into a pseudo-terminal that outlives the program
    copies, and notes when each one left."""

    def __init__(self, instrument, eot_every):
        self.instrument = instrument
        self.eot_every = eot_every
        self.sent = []  # monotonic time of line n + 1
        self.stopped = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        start = time.monotonic()
        while not self.stopped.is_set():
            n = len(self.sent) + 1
            delay = start + n / LINES_PER_SECOND - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            data = b"%07d\r\n" % n
            if self.eot_every and n % self.eot_every == 0:
                data += b"\x04"
            self.instrument.send(data)
            self.sent.append(time.monotonic())

    def start(self):
        self.thread.start()

    def stop(self):
        self.stopped.set()
        self.thread.join()


class FastFeed(Feed):
    """Numbered lines at FAST_LINES_PER_SECOND from an instrument that never waits (bytes the
    line does not take are lost), sent only while a copy monitors: between the copies nobody
    reads the port, and a real instrument's bytes would be lost there through no fault of the
    program. While a copy monitors, many more lines arrive than the list holds, so lines wait
    beyond it when the kill comes."""

    def __init__(self, instrument):
        super().__init__(instrument, None)
        self.active = threading.Event()

    def _run(self):
        while not self.stopped.is_set():
            if not self.active.wait(0.05):
                continue
            start, first = time.monotonic(), len(self.sent)
            while self.active.is_set() and not self.stopped.is_set():
                due = first + int((time.monotonic() - start) * FAST_LINES_PER_SECOND)
                if due > len(self.sent):
                    numbers = range(len(self.sent) + 1, due + 1)
                    self.instrument.send(b"".join(b"%07d\r\n" % n for n in numbers))
                    now = time.monotonic()
                    self.sent.extend(now for _ in numbers)
                time.sleep(0.005)


def open_main_window(program):
    """Waits for the main window, answering the journal's notice on the way."""
    session = program.session
    deadline = time.monotonic() + max(20, program.target.start_timeout)
    while time.monotonic() < deadline:
        for box in session.windows(BOX_CAPTION, program.process.pid):
            session.key(box, "Return")
        main = session.windows(MAIN_CAPTION, program.process.pid)
        if main:
            program.window = main[-1]
            return
        if not program.alive():
            raise AssertionError("Vennick ended on its own")
        time.sleep(0.03)
    raise AssertionError("no main window")


def start_monitoring(program, attempts=3):
    """Clicks 受信開始 until the window moves to the top right: a click while the window is
    still being placed can miss the button."""
    for attempt in range(attempts):
        try:
            program.click_start()
            width = program.session.size[0]
            wait_for(lambda: program.session.geometry(program.window)[0] + CLIENT_W >= width - 8,
                     4, "the window to move to the top right (monitoring)")
            return
        except AssertionError:
            if attempt == attempts - 1 or not program.alive():
                raise


def close_from_idle(program, attempts=3):
    """"終了" until the program ends: on a busy machine a click while the window is still being
    placed can miss the button."""
    for attempt in range(attempts):
        program.click_tool("終了")
        try:
            program.wait_exit(5)
            return
        except AssertionError:
            if attempt == attempts - 1:
                raise


def kill(program):
    """Ends the program abruptly; returns a moment no later than its end."""
    killed = time.monotonic()
    if isinstance(program.target, WineTarget):
        # TerminateProcess from another Windows process; the Linux process ends with it.
        subprocess.run(["wine", "taskkill", "/F", "/IM", "Vennick.exe"], check=True,
                       env=program.target.wine_env(), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=30)
        program.process.wait(30)
    else:
        program.process.kill()
        program.process.wait(5)
    return killed


class Stream:
    def __init__(self, config, kills, target, session, rng):
        self.name, self.wait_index, eot_every, self.fast = config[:4]
        self.kills = kills
        self.rng = rng
        self.session = session
        self.root = tempfile.mkdtemp(prefix=f"vennick-kill-{self.name}-")
        self.logs = os.path.join(self.root, "logs")
        os.makedirs(self.logs)
        # Under Wine COM1 is the prefix's link, pointed at this stream's device.
        self.instrument = (NeverWaitingInstrument if self.fast else Instrument)(target.com1_link)
        self.program = Vennick(session, target, os.path.join(self.root, "app"))
        self.program.write_ini(ini_text(log_dir=target.native_path(self.logs),
                                        wait_index=self.wait_index,
                                        com1="" if target.com1_link else self.instrument.device))
        self.feed = FastFeed(self.instrument) if self.fast else Feed(self.instrument, eot_every)
        self.monitored = []  # (monitoring seen since, killed at)
        self.error = None
        self.seconds = 0.0

    def run(self):
        started = time.monotonic()
        try:
            self.feed.start()
            for _ in range(self.kills):
                self.program.start()
                if self.rng.random() < STARTUP_KILLS:
                    time.sleep(self.rng.uniform(0, 1.2))
                    kill(self.program)
                    continue
                open_main_window(self.program)
                start_monitoring(self.program)
                since = time.monotonic()
                if self.fast:
                    self.feed.active.set()
                    time.sleep(self.rng.uniform(1.0, 2.0))
                    self.feed.active.clear()
                else:
                    time.sleep(self.rng.uniform(0, 1.0))
                self.monitored.append((since, kill(self.program)))
            self.feed.stop()
            # One more start writes what the last copy left; then a normal close from Idle.
            self.program.start()
            open_main_window(self.program)
            close_from_idle(self.program)
        except Exception as error:  # noqa: BLE001 - reported by the main thread
            self.error = error
            traceback.print_exc()
            print("screenshot:", self.session.screenshot(f"kill-{self.name}-failure"))
        finally:
            if self.feed.thread.is_alive():
                self.feed.stop()
            self.program.kill()
            self.seconds = time.monotonic() - started

    def required(self):
        """The lines that were sent while a copy monitored, long enough before its kill."""
        return {n for n, sent in enumerate(self.feed.sent, 1)
                if any(since <= sent and sent + REQUIRED_AGE <= killed
                       for since, killed in self.monitored)}

    def check(self):
        port = f" (port: {self.instrument.port_report()})" if self.fast else ""
        lines = logged_lines(self.logs)
        numbers = [int(line) for line in lines if len(line) == 7 and line.isdigit()]
        # A copy killed after reading the start of a line leaves its tail in the port, which
        # the next copy reads as a line of its own: at most one such tail per start.
        tails = [line for line in lines if len(line) < 7 and line.isdigit()]
        garbled = [line for line in lines if len(line) > 7 or not line.isdigit()]
        required = self.required()
        missing = sorted(required - set(numbers))
        lost = f"{len(missing)} of {len(required)} lines lost, e.g. {missing[:10]}"
        assert not self.fast or self.instrument.lost == 0, f"{self.name}: {lost}{port}"
        assert not garbled, (f"{self.name}: lines the instrument never sent, "
                             f"e.g. {garbled[:5]}{port}")
        assert len(tails) <= self.kills + 1, f"{self.name}: {len(tails)} tails of lines{port}"
        twice = sorted(n for n, times in collections.Counter(numbers).items() if times > 1)
        assert not twice, f"{self.name}: {len(twice)} lines written twice, e.g. {twice[:10]}{port}"
        disorder = [(a, b) for a, b in zip(numbers, numbers[1:]) if a > b]
        assert not disorder, f"{self.name}: lines out of order, e.g. {disorder[:3]}{port}"
        assert not missing, f"{self.name}: {lost}{port}"
        print(f"{self.name}: {self.kills} kills in {self.seconds:.0f} s, {len(self.feed.sent)} "
              f"lines sent, {len(required)} required, {len(numbers)} written in "
              f"{len(log_files(self.logs))} files: none lost, none twice, in order{port}")

    def close(self):
        self.instrument.close()
        shutil.rmtree(self.root, ignore_errors=True)


def open_session(artifacts, attempts=3):
    """An X server with its window manager; on a busy machine one may fail to come up."""
    for attempt in range(attempts):
        try:
            return X11Session(artifacts).__enter__()  # a failed one stops what it started
        except AssertionError:
            if attempt == attempts - 1:
                raise


# name, wait time index, EOT every N lines, fast (FastFeed), share of the kills
STREAMS = (("0s", 0, None, False, 0.4), ("1s", 1, 50, False, 0.4), ("0s-fast", 0, None, True, 0.2))
PREFIX_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts",
                             "wine-prefix.sh")


def kills_for(config, total):
    """The stream's share of the kills (a fast stream's copies monitor longer before theirs)."""
    return max(1, round(total * config[4]))


def checked(streams):
    failures = [f"{stream.name}: {stream.error!r}" for stream in streams if stream.error]
    for stream in streams:
        if not stream.error:
            try:
                stream.check()
            except AssertionError as error:
                failures.append(str(error))
    return failures


def run_on_linux(options, seed, sessions, streams):
    """The streams at once, each in an X server of its own."""
    for config in STREAMS:
        name = config[0]
        session = open_session(os.path.join(options.artifacts, f"kill-{name}"))
        sessions.append(session)
        streams.append(Stream(config, kills_for(config, options.kills),
                              LinuxTarget(options.vennick), session,
                              random.Random(f"{seed}-{name}")))
    threads = [threading.Thread(target=stream.run) for stream in streams]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return checked(streams)


def run_under_wine(options, seed, sessions, streams, work):
    """One stream after the other in one prefix: COM1 leads to one device at a time."""
    prefix = WineTarget.make_prefix(PREFIX_SCRIPT, os.path.join(work, "prefix"),
                                    os.path.join(work, "com1"))
    session = open_session(os.path.join(options.artifacts, "kill-wine"))
    sessions.append(session)
    target = WineTarget(unpack_distribution(options.wine_zip, os.path.join(work, "unzipped")),
                        os.path.join(work, "prefix"), os.path.join(work, "com1"))
    WineTarget.wait_prefix(prefix)
    target.start_server(session)
    try:
        for config in STREAMS:
            # Made only now: a stream's instrument points COM1 at its own device.
            stream = Stream(config, kills_for(config, options.kills), target, session,
                            random.Random(f"{seed}-{config[0]}"))
            streams.append(stream)
            stream.run()
        return checked(streams)
    finally:
        target.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawTextHelpFormatter)
    program = parser.add_mutually_exclusive_group(required=True)
    program.add_argument("--vennick", help="the Linux program")
    program.add_argument("--wine-zip", help="Vennick-<version>-win64.zip, run under Wine")
    parser.add_argument("--kills", type=int, default=None,
                        help="in all, shared by the streams (100 on Linux, 20 under Wine)")
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--artifacts", default=tempfile.gettempdir())
    options = parser.parse_args()
    if options.kills is None:
        options.kills = 20 if options.wine_zip else 100
    seed = options.seed if options.seed is not None else random.randrange(1 << 30)
    print(f"seed {seed}")
    started = time.monotonic()

    sessions, streams = [], []
    work = tempfile.mkdtemp(prefix="vennick-kill-wine-")
    try:
        if options.wine_zip:
            failures = run_under_wine(options, seed, sessions, streams, work)
        else:
            failures = run_on_linux(options, seed, sessions, streams)
    except Skip as reason:
        print(f"skipped: {reason}")
        return 77
    finally:
        for stream in streams:
            stream.close()
        for session in sessions:
            session.__exit__(None, None, None)
        shutil.rmtree(work, ignore_errors=True)
    print(f"{time.monotonic() - started:.0f} s")
    for failure in failures:
        print("FAILED:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
