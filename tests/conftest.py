import os

import pytest

from harness.mariadb_server import MariaDBServer, find_server_binaries

# The chat page's tests (tests/web/) need its own requirements and, for the
# browser test, Debian's chromium: scripts/test on Python 3.9 (and
# scripts/web-test) installs them and takes them in. Every other run leaves
# them out.
collect_ignore = [] if os.environ.get("ZARVO_WEB_TESTS") == "1" else ["web"]


@pytest.fixture(scope="session")
def mariadb(tmp_path_factory):
    """A private MariaDB server for the whole test session.

    Attributes: host ("127.0.0.1:PORT"), port, user, password, database,
    socket, url. Helpers: execute(sql, params) as root, connect() as the test
    user over TCP, stop()/start() to take the server down and bring it back
    with the same data and port.
    """
    mariadbd, install_db = find_server_binaries()
    if not mariadbd or not install_db:
        msg = (
            "MariaDB server binaries not found (mariadbd=%r, mariadb-install-db=%r); "
            "run scripts/setup-env as root or install mariadb-server" % (mariadbd, install_db)
        )
        if os.environ.get("CI"):
            pytest.fail(msg, pytrace=False)
        pytest.skip(msg)

    server = MariaDBServer(tmp_path_factory.mktemp("mariadb"))
    try:
        server.start()
    except Exception:
        server.close()
        raise
    try:
        yield server
    finally:
        server.close()


@pytest.fixture
def mariadb_running(mariadb):
    """The session server, guaranteed to be up when the test starts, and
    brought back up afterwards if the test stopped it."""
    mariadb.start()
    yield mariadb
    mariadb.start()
