#!/usr/bin/env python3
"""The installed Vennick (from the Debian package, in a folder its user cannot write) started as
an unprivileged user whose home is empty, under Xvfb + openbox:

1. first_run: the two first-run notices, the default log folder ~/Vennick/log, and at close the
   settings in ~/.config/Vennick/Vennick.INI and the journal in ~/.local/state/Vennick/.
2. line_through_ports: COM1 mapped in that INI's [Ports] to a pseudo-terminal of ours; "12.5"
   CR LF EOT lands in ~/Vennick/log; the close question; the INI keeps [Ports].
Nothing may appear beside the program.

  installed_package.py --program /usr/bin/Vennick --artifacts DIR [--user nobody]
Run as root: the program is started as the user through setpriv."""

import argparse
import os
import pwd
import shutil
import sys
import tempfile
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Instrument, Skip, Vennick, X11Session, log_files, read_logs, wait_for  # noqa: E402
from run_acceptance import SKIPPED, check_ini_complete  # noqa: E402


class InstalledTarget:
    """The installed program, started as `user` with `home` as its home; nothing is copied."""

    name = "installed"
    com1_link = None
    start_timeout = 10
    copies_box_text = False

    def __init__(self, program, user, root):
        self.program = program
        entry = pwd.getpwnam(user)
        self.uid, self.gid, self.user = entry.pw_uid, entry.pw_gid, user
        self.home = self._own_folder(root, "home")
        self.runtime = self._own_folder(root, "runtime")

    def _own_folder(self, root, name):
        path = os.path.join(root, name)
        os.mkdir(path, 0o700)
        os.chown(path, self.uid, self.gid)
        return path

    def in_home(self, *parts):
        return os.path.join(self.home, *parts)

    def install(self, directory):
        return self.program

    def ini_path(self, executable):
        return self.in_home(".config", "Vennick", "Vennick.INI")

    def command(self, executable):
        return ["setpriv", f"--reuid={self.uid}", f"--regid={self.gid}", "--clear-groups", "--",
                executable]

    def env(self, session):
        env = session.env(QT_QPA_PLATFORM="xcb", HOME=self.home, USER=self.user,
                          LOGNAME=self.user, XDG_RUNTIME_DIR=self.runtime)
        for name in ("XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_DATA_HOME"):
            env.pop(name, None)  # the defaults under the home are what an operator has
        return env

    def owns(self, path):
        return os.stat(path).st_uid == self.uid


def first_run(session, target):
    """An empty home: the first-run notices, then the user's folders hold the files."""
    program = Vennick(session, target, target.home).start()
    try:
        log_dir = target.in_home("Vennick", "log")
        program.answer_box("Vennick", timeout=target.start_timeout)  # "Created <log_dir>"
        assert os.path.isdir(log_dir), f"the first run did not create {log_dir}"
        program.answer_box("Vennick")  # "ログファイルの出力先を\n<log_dir>\nに設定しました。"
        program.wait_main_window()
        session.screenshot_window(program.window, "installed-idle")
        program.click_tool("終了")
        assert program.wait_exit(8) == 0, "終了 did not end the program with 0"
    finally:
        program.kill()
    check_ini_complete(program.read_ini(), exFilePath=target.in_home("Vennick"),
                       exLogFilePath=log_dir)
    journal = target.in_home(".local", "state", "Vennick", "Vennick.JNL")
    assert os.path.isfile(journal), f"no journal at {journal}"
    for path in (program.ini_path, journal, log_dir):
        assert target.owns(path), f"{path} does not belong to {target.user}"


def line_through_ports(session, target):
    """COM1 mapped in the user's INI to our pseudo-terminal: a line lands in ~/Vennick/log."""
    instrument = Instrument()
    os.chown(instrument.device, target.uid, target.gid)
    program = Vennick(session, target, target.home)
    program.write_ini(program.read_ini() + f"[Ports]\r\nCOM1={instrument.device}\r\n".encode())
    program.start()
    try:
        program.wait_main_window()
        program.start_monitoring()
        instrument.send(b"12.5\r\n\x04")
        log_dir = target.in_home("Vennick", "log")
        wait_for(lambda: log_files(log_dir), 5, "the log file in ~/Vennick/log")
        files = read_logs(log_dir)
        assert [data for _, _, data in files] == [b"12.5\r\n"], f"files: {files}"
        time.sleep(0.3)  # the count repainted
        session.screenshot_window(program.window, "installed-written-0001")
        program.click_tool("終了")
        program.answer_box("確認", "Return")
        assert program.wait_exit(8) == 0, "はい did not end the program with 0"
    finally:
        program.kill()
        instrument.close()
    ini = program.read_ini()
    assert f"[Ports]\r\nCOM1={instrument.device}\r\n".encode() in ini, f"[Ports] lost: {ini!r}"
    check_ini_complete(ini, exLogFilePath=log_dir)


STEPS = [first_run, line_through_ports]


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawTextHelpFormatter)
    parser.add_argument("--program", required=True)
    parser.add_argument("--artifacts", required=True)
    parser.add_argument("--user", default="nobody")
    options = parser.parse_args()
    if os.geteuid() != 0:
        print("SKIP: needs root, to start the program as another user")
        return SKIPPED
    folder = os.path.dirname(options.program)
    beside_before = set(os.listdir(folder))
    root = tempfile.mkdtemp(prefix="vennick-installed-")
    os.chmod(root, 0o755)  # the user reaches its home through it
    results = []
    started = time.monotonic()
    try:
        target = InstalledTarget(options.program, options.user, root)
        with X11Session(options.artifacts) as session:
            for step in STEPS:
                print(f"--- {step.__name__}: {step.__doc__}", flush=True)
                try:
                    step(session, target)
                    results.append((step.__name__, "PASS"))
                except Exception:  # noqa: BLE001 - report and go on
                    session.screenshot(f"installed-{step.__name__}-failure")
                    traceback.print_exc()
                    results.append((step.__name__, "FAIL"))
                print(f"    {results[-1][1]}", flush=True)
        new_beside = sorted(set(os.listdir(folder)) - beside_before)
        if new_beside:
            print(f"beside the program in {folder}: {new_beside}")
            results.append(("nothing beside the program", "FAIL"))
    except Skip as reason:
        print(f"SKIP: {reason}")
        return SKIPPED
    finally:
        shutil.rmtree(root, ignore_errors=True)
    failed = [name for name, outcome in results if outcome == "FAIL"]
    print(f"\ninstalled package, {time.monotonic() - started:.0f} s"
          + (f", failed: {', '.join(failed)}" if failed else ""))
    print(f"package: {len(results) - len(failed)} passed, {len(failed)} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
