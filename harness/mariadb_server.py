"""A private, throw-away MariaDB server for tests and demos.

The server lives entirely inside one directory (data, socket, pid file, logs),
listens on a free loopback port, and is provisioned with one database and one
password-protected user that can reach it over TCP (``user@127.0.0.1``) and
over the socket (``user@localhost``). Administrative statements go through
the socket as ``root`` with an empty password, which only this private
server has.

``stop()`` and ``start()`` may be called any number of times; the data
directory and the TCP port are kept, so a client configured with ``host``
before a restart reaches the same server afterwards.

Usage::

    with MariaDBServer(tmp_dir) as db:
        engine = sqlalchemy.create_engine(db.url)
"""

import atexit
import ctypes
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import weakref

import pymysql

_SEARCH_DIRS = ("/usr/sbin", "/usr/local/sbin", "/usr/bin", "/usr/local/bin")

# Unix socket paths are limited to 108 bytes including the terminator.
_MAX_SOCKET_PATH = 100

_live_servers = weakref.WeakSet()

# A test server holds little data: a small redo log and buffer pool keep each
# data directory around 30 MB instead of 110 MB and make initialisation faster.
_SMALL_INNODB = ["--innodb-buffer-pool-size=64M", "--innodb-log-file-size=16M"]


class MariaDBError(RuntimeError):
    """The server could not be installed, started or stopped."""


def find_binary(*names):
    """Return the first of ``names`` found on PATH or in the sbin/bin dirs."""
    path = os.pathsep.join([os.environ.get("PATH", "")] + list(_SEARCH_DIRS))
    for name in names:
        found = shutil.which(name, path=path)
        if found:
            return found
    return None


def find_server_binaries():
    """Return ``(mariadbd, install_db)`` paths; either may be None."""
    return (
        find_binary("mariadbd", "mysqld"),
        find_binary("mariadb-install-db", "mysql_install_db"),
    )


def server_environment():
    """The environment for the server's own processes: without a sanitizer
    runtime preloaded for the Python under test."""
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    return env


def free_loopback_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _die_with_parent():
    # Runs in the child between fork and exec: ask the kernel to SIGKILL the
    # server if the process that started it dies without cleaning up, so an
    # aborted test run never leaves a mariadbd behind.
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        PR_SET_PDEATHSIG = 1
        libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
    except Exception:
        pass


class MariaDBServer:
    def __init__(
        self,
        base_dir,
        *,
        database="zarvo_test",
        user="zarvo",
        password="zarvo-test-pw",
        port=None,
        startup_timeout=60.0,
        shutdown_timeout=30.0,
        options=(),
    ):
        self.base_dir = os.path.abspath(str(base_dir))
        self.datadir = os.path.join(self.base_dir, "data")
        self.tmpdir = os.path.join(self.base_dir, "tmp")
        self.pid_file = os.path.join(self.base_dir, "mariadbd.pid")
        self.log_file = os.path.join(self.base_dir, "mariadbd.log")
        self.install_log = os.path.join(self.base_dir, "install-db.log")
        self.socket = os.path.join(self.base_dir, "mariadbd.sock")
        if len(self.socket) > _MAX_SOCKET_PATH:
            self.socket = os.path.join(
                tempfile.mkdtemp(prefix="zarvo-my-"), "mariadbd.sock"
            )
        self.database = database
        self.user = user
        self.password = password
        self.port = port or free_loopback_port()
        self.startup_timeout = startup_timeout
        self.shutdown_timeout = shutdown_timeout
        self.options = list(options)  # more server options, e.g. "--performance-schema=ON"
        self._proc = None
        self._provisioned = False
        self.mariadbd, self.install_db = find_server_binaries()

    # -- connection details -------------------------------------------------

    @property
    def host(self):
        """Host text as it goes into a ``mysql+pymysql://u:p@HOST/db`` URL."""
        return "127.0.0.1:%d" % self.port

    @property
    def url(self):
        return "mysql+pymysql://%s:%s@%s/%s" % (
            self.user,
            self.password,
            self.host,
            self.database,
        )

    @property
    def running(self):
        return self._proc is not None and self._proc.poll() is None

    @property
    def pid(self):
        return self._proc.pid if self.running else None

    def connect(self, **kwargs):
        """Connect as the test user over TCP."""
        args = dict(
            host="127.0.0.1",
            port=self.port,
            user=self.user,
            password=self.password,
            database=self.database,
            connect_timeout=5,
        )
        args.update(kwargs)
        return pymysql.connect(**args)

    def admin_connect(self, **kwargs):
        """Connect as root over the socket, with autocommit on."""
        args = dict(
            unix_socket=self.socket,
            user="root",
            password="",
            autocommit=True,
            connect_timeout=5,
        )
        args.update(kwargs)
        return pymysql.connect(**args)

    def execute(self, sql, params=None):
        """Run one statement as root and return its rows (a list of tuples;
        empty for statements without a result set)."""
        conn = self.admin_connect()
        try:
            with conn.cursor() as cur:
                cur.execute(sql, params)
                return list(cur.fetchall()) if cur.description else []
        finally:
            conn.close()

    # -- lifecycle ------------------------------------------------------------

    def start(self):
        """Start the server (initialising the data directory the first time)
        and return once it accepts connections."""
        if self.running:
            return self
        if not self.mariadbd or not self.install_db:
            raise MariaDBError(
                "MariaDB server binaries not found (need mariadbd and "
                "mariadb-install-db); install the mariadb-server package"
            )
        for d in (self.base_dir, self.tmpdir):
            os.makedirs(d, exist_ok=True)
        if not os.path.isdir(os.path.join(self.datadir, "mysql")):
            self._install_db()

        cmd = [
            self.mariadbd,
            "--no-defaults",
            "--datadir=" + self.datadir,
            "--tmpdir=" + self.tmpdir,
            "--socket=" + self.socket,
            "--pid-file=" + self.pid_file,
            "--log-error=" + self.log_file,
            "--port=%d" % self.port,
            "--bind-address=127.0.0.1",
            "--skip-name-resolve",
            "--character-set-server=utf8mb4",
            "--collation-server=utf8mb4_general_ci",
        ] + _SMALL_INNODB + self.options

        if os.geteuid() == 0:
            # mariadbd refuses to run as root unless told to.
            cmd.append("--user=root")

        # The parent-death signal is tied to the creating thread, so only use
        # it from the main thread; a server started from a worker thread would
        # otherwise be killed when that thread finishes.
        on_main = threading.current_thread() is threading.main_thread()
        with open(self.log_file, "ab") as log:
            self._proc = subprocess.Popen(
                cmd,
                stdin=subprocess.DEVNULL,
                stdout=log,
                stderr=subprocess.STDOUT,
                start_new_session=True,
                preexec_fn=_die_with_parent if on_main else None,
                env=server_environment(),
            )
        _live_servers.add(self)
        self._wait_ready()
        if not self._provisioned:
            self._provision()
        return self

    def stop(self, graceful=True):
        """Stop the server: SIGTERM and wait (then SIGKILL if it hangs), or
        SIGKILL straight away with ``graceful=False`` to simulate a crash."""
        proc, self._proc = self._proc, None
        if proc is None or proc.poll() is not None:
            return
        if graceful:
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(timeout=self.shutdown_timeout)
                return
            except subprocess.TimeoutExpired:
                pass
        proc.kill()
        proc.wait(timeout=self.shutdown_timeout)

    def restart(self):
        self.stop()
        return self.start()

    def close(self):
        """Stop the server and remove a socket directory made outside base_dir."""
        self.stop()
        sock_dir = os.path.dirname(self.socket)
        if sock_dir != self.base_dir:
            shutil.rmtree(sock_dir, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.close()

    # -- internals ----------------------------------------------------------

    def log_tail(self, lines=40):
        out = []
        for path in (self.install_log, self.log_file):
            try:
                with open(path, "r", errors="replace") as f:
                    text = f.read().splitlines()[-lines:]
            except OSError:
                continue
            out.append("--- %s ---\n%s" % (path, "\n".join(text)))
        return "\n".join(out) or "(no server log)"

    def _install_db(self):
        cmd = [
            self.install_db,
            "--no-defaults",
            "--datadir=" + self.datadir,
            "--auth-root-authentication-method=normal",
            "--skip-test-db",
            "--skip-name-resolve",
        ] + _SMALL_INNODB
        if os.geteuid() == 0:
            cmd.append("--user=root")
        with open(self.install_log, "wb") as log:
            rc = subprocess.call(
                cmd,
                stdin=subprocess.DEVNULL,
                stdout=log,
                stderr=subprocess.STDOUT,
                cwd=self.base_dir,
                timeout=self.startup_timeout,
                env=server_environment(),
            )
        if rc != 0:
            shutil.rmtree(self.datadir, ignore_errors=True)
            raise MariaDBError(
                "mariadb-install-db failed (exit %d):\n%s" % (rc, self.log_tail())
            )

    def _wait_ready(self):
        deadline = time.monotonic() + self.startup_timeout
        last_error = None
        while time.monotonic() < deadline:
            if self._proc.poll() is not None:
                rc = self._proc.returncode
                self._proc = None
                raise MariaDBError(
                    "mariadbd exited during startup (exit %d):\n%s"
                    % (rc, self.log_tail())
                )
            # Probe the socket by hand first: pymysql leaks its socket object
            # when a unix-socket connect fails, which floods the test output
            # with ResourceWarnings while the server is still booting.
            try:
                with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as probe:
                    probe.settimeout(2)
                    probe.connect(self.socket)
                self.admin_connect(connect_timeout=2).close()
                return
            except (OSError, pymysql.err.MySQLError) as e:
                last_error = e
            time.sleep(0.1)
        self.stop(graceful=False)
        raise MariaDBError(
            "mariadbd did not accept connections within %.0fs (last error: %r):\n%s"
            % (self.startup_timeout, last_error, self.log_tail())
        )

    def _provision(self):
        db = self.database.replace("`", "``")
        self.execute("CREATE DATABASE IF NOT EXISTS `%s`" % db)
        for host in ("127.0.0.1", "localhost"):
            self.execute(
                "CREATE USER IF NOT EXISTS %s@%s IDENTIFIED BY %s",
                (self.user, host, self.password),
            )
            self.execute("GRANT ALL ON `%s`.* TO %%s@%%s" % db, (self.user, host))
        self._provisioned = True


@atexit.register
def _stop_all():
    for server in list(_live_servers):
        try:
            server.stop()
        except Exception:
            pass
