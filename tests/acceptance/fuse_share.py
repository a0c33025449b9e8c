"""A log directory on a share that can stop answering: a loopback FUSE file system serves a real
folder at a mount point from a server process of its own. Freezing it makes calls on the mount
hang until it is thawed, as on a file server that stops answering for a while.

Two ways to freeze:
- "stop": the server process is stopped (SIGSTOP); every call on the mount hangs (stat, open,
  write, fsync, close), as with a file server that hangs as a whole.
- "data": only the calls that move data (write, fsync of a file or a directory) hang; names are
  still answered. Under Wine the wineserver opens, renames and closes the files of every Windows
  process itself: a handle closed on a mount that hangs as a whole stops the wineserver, and with
  it every Windows program of the prefix (tried here), which no Windows machine does; this mode
  keeps the hang inside the program's own threads.

The server runs under Debian's Python (/usr/bin/python3): the module `fusepy` comes from the
package python3-fusepy, which another python3 earlier on PATH does not see.

  /usr/bin/python3 fuse_share.py serve ROOT MOUNT GATE      (the server; GATE: "data" freeze)
  /usr/bin/python3 fuse_share.py guard PID SERVER MOUNT     (cleans up should PID die first)"""

import contextlib
import errno
import os
import shutil
import signal
import subprocess
import sys
import time

SYSTEM_PYTHON = "/usr/bin/python3"
HERE = os.path.abspath(__file__)


class Skip(Exception):
    """No FUSE here (the harness turns it into its own Skip)."""


def missing_prerequisite():
    """Why a share cannot be mounted here, or None."""
    if not os.path.exists("/dev/fuse"):
        return "no /dev/fuse"
    if os.geteuid() != 0:
        return "needs root to mount a FUSE file system"
    if not shutil.which("fusermount3"):
        return "fusermount3 is not installed (scripts/install-deps installs fuse3)"
    probe = subprocess.run([SYSTEM_PYTHON, "-c", "import fusepy"], capture_output=True)
    if probe.returncode != 0:
        return "fusepy is not installed (scripts/install-deps installs python3-fusepy)"
    return None


class FuseShare:
    """`root` (a real folder) served at `mount`; `freeze()`, `thaw()`, `unmount()`. Files can be
    read from `root` at any time, also while the mount hangs."""

    def __init__(self, root, mount, timeout=10):
        reason = missing_prerequisite()
        if reason:
            raise Skip(reason)
        self.root, self.mount = root, mount
        self.gate = mount.rstrip("/") + ".frozen"  # beside the mount, never on it
        self.stopped = False
        os.makedirs(root, exist_ok=True)
        os.makedirs(mount, exist_ok=True)
        self.server = subprocess.Popen([SYSTEM_PYTHON, HERE, "serve", root, mount, self.gate],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        subprocess.run([SYSTEM_PYTHON, HERE, "guard", str(os.getpid()), str(self.server.pid),
                        mount], check=True)
        deadline = time.monotonic() + timeout
        while not os.path.ismount(mount):
            if self.server.poll() is not None or time.monotonic() > deadline:
                error = self.server.stderr.read().decode(errors="replace") if \
                    self.server.poll() is not None else "not mounted in time"
                self.unmount()
                raise AssertionError(f"the FUSE share did not come up: {error.strip()[-400:]}")
            time.sleep(0.02)

    def freeze(self, mode="stop"):
        if mode == "stop":
            os.kill(self.server.pid, signal.SIGSTOP)
            self.stopped = True
        elif mode == "data":
            open(self.gate, "w").close()
        else:
            raise ValueError(mode)

    def thaw(self):
        if self.stopped:
            os.kill(self.server.pid, signal.SIGCONT)
            self.stopped = False
        with contextlib.suppress(FileNotFoundError):
            os.unlink(self.gate)

    @contextlib.contextmanager
    def frozen(self, mode="stop"):
        """Frozen inside the block; thawed when it ends, also by an exception."""
        self.freeze(mode)
        try:
            yield self
        finally:
            self.thaw()

    def unmount(self):
        """Thaws first (a process waiting on the mount would hang for ever), then detaches the
        mount and ends the server."""
        if self.server.poll() is None:
            self.thaw()
        subprocess.run(["fusermount3", "-u", "-z", self.mount], capture_output=True)
        if self.server.poll() is None:
            self.server.terminate()
            try:
                self.server.wait(5)
            except subprocess.TimeoutExpired:
                self.server.kill()
                self.server.wait(5)
        with contextlib.suppress(FileNotFoundError):
            os.unlink(self.gate)


# --- The server (runs under /usr/bin/python3) -------------------------------------------------

def serve(root, mount, gate):
    import fusepy

    def real(path):
        return os.path.join(root, path.lstrip("/"))

    def wait_while_frozen():
        while os.path.exists(gate):
            time.sleep(0.005)

    class Loopback(fusepy.Operations):
        use_ns = True

        def getattr(self, path, fi=None):
            st = os.fstat(fi.fh) if fi else os.lstat(real(path))
            attrs = {key: getattr(st, key) for key in (
                "st_mode", "st_nlink", "st_uid", "st_gid", "st_size", "st_blocks")}
            attrs.update(st_atime=st.st_atime_ns, st_mtime=st.st_mtime_ns, st_ctime=st.st_ctime_ns)
            return attrs

        def access(self, path, mode):
            if not os.access(real(path), mode):
                raise fusepy.FuseOSError(errno.EACCES)

        def readdir(self, path, fi):
            return [".", ".."] + os.listdir(real(path))

        def statfs(self, path):
            st = os.statvfs(real(path))
            return {key: getattr(st, key) for key in (
                "f_bavail", "f_bfree", "f_blocks", "f_bsize", "f_favail", "f_ffree", "f_files",
                "f_flag", "f_frsize", "f_namemax")}

        def open(self, path, fi):
            fi.fh = os.open(real(path), fi.flags)
            return 0

        def create(self, path, mode, fi):
            fi.fh = os.open(real(path), fi.flags | os.O_CREAT, mode)
            return 0

        def read(self, path, size, offset, fi):
            return os.pread(fi.fh, size, offset)

        def write(self, path, data, offset, fi):
            wait_while_frozen()
            return os.pwrite(fi.fh, data, offset)

        def truncate(self, path, length, fi=None):
            if fi:
                os.ftruncate(fi.fh, length)
            else:
                os.truncate(real(path), length)

        def fsync(self, path, datasync, fi):
            wait_while_frozen()
            (os.fdatasync if datasync else os.fsync)(fi.fh)

        def fsyncdir(self, path, datasync, fi):
            wait_while_frozen()
            fd = os.open(real(path), os.O_RDONLY | os.O_DIRECTORY)
            try:
                os.fsync(fd)
            finally:
                os.close(fd)

        def flush(self, path, fi):
            return 0

        def release(self, path, fi):
            os.close(fi.fh)

        def link(self, target, source):
            os.link(real(source), real(target))

        def rename(self, old, new):
            os.rename(real(old), real(new))

        def unlink(self, path):
            os.unlink(real(path))

        def mkdir(self, path, mode):
            os.mkdir(real(path), mode)

        def rmdir(self, path):
            os.rmdir(real(path))

        def chmod(self, path, mode):
            os.chmod(real(path), mode)

        def chown(self, path, uid, gid):
            os.chown(real(path), uid, gid)

        def utimens(self, path, times=None):
            if times:
                os.utime(real(path), ns=times)
            else:
                os.utime(real(path))

        def readlink(self, path):
            return os.readlink(real(path))

        def symlink(self, target, source):
            os.symlink(source, real(target))

    # hard_remove: a file unlinked while open goes at once (no .fuse_hidden names in the folder).
    fusepy.FUSE(Loopback(), mount, foreground=True, raw_fi=True, hard_remove=True,
                fsname="vennick-share")


def guard(watched, server, mount):
    """Detaches itself; should `watched` (the test) die while the server runs (a test run killed
    on its time-out), continues the server, unmounts and ends it."""
    if os.fork():
        return
    os.setsid()
    if os.fork():
        os._exit(0)
    devnull = os.open(os.devnull, os.O_RDWR)
    for fd in (0, 1, 2):
        os.dup2(devnull, fd)

    def alive(pid):
        try:
            os.kill(pid, 0)
            with open(f"/proc/{pid}/stat") as stat:
                return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
        except OSError:
            return False
    while alive(server):
        if not alive(watched):
            with contextlib.suppress(OSError):
                os.kill(server, signal.SIGCONT)
            subprocess.run(["fusermount3", "-u", "-z", mount], capture_output=True)
            with contextlib.suppress(OSError):
                os.kill(server, signal.SIGTERM)
            break
        time.sleep(0.5)
    os._exit(0)


if __name__ == "__main__":
    if sys.argv[1] == "serve":
        serve(*sys.argv[2:5])
    elif sys.argv[1] == "guard":
        guard(int(sys.argv[2]), int(sys.argv[3]), sys.argv[4])
