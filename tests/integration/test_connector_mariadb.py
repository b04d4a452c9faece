"""DatabaseConnector against a real MariaDB server through the framework's
SQLDatabase and the PyMySQL driver."""

import pytest

import zarvosdk.base as base
from zarvosdk.base import DatabaseConnector

from harness.mariadb_server import free_loopback_port
from texts import CONNECTION_SUCCESSFUL

pytestmark = pytest.mark.integration


@pytest.fixture
def server(mariadb):
    return mariadb.start()


def credentials(server, **changes):
    values = {
        "db_user": server.user,
        "db_password": server.password,
        "db_host": server.host,
        "db_name": server.database,
    }
    values.update(changes)
    return values


def test_connect_succeeds_and_the_handle_answers(server):
    c = DatabaseConnector(server.user, server.password, server.host, server.database)
    status = c.connect()
    assert status is c.connection_status
    assert status == {"connected": True, "message": CONNECTION_SUCCESSFUL}
    assert isinstance(c.db, base.SQLDatabase)
    assert c.db.run("SELECT 1") == "[(1,)]"
    assert c.db.dialect == "mysql"


def bad_password(server):
    return {"db_password": "not-" + server.password}


def unknown_database(server):
    return {"db_name": "zv_no_such_database"}


def closed_port(server):
    return {"db_host": "127.0.0.1:%d" % free_loopback_port()}


BAD = [
    (bad_password, "1045"),
    (unknown_database, "zv_no_such_database"),
    (closed_port, "2003"),
]


def driver_error_text(values):
    """What the framework raises for these credentials, as text."""
    uri = "mysql+pymysql://{db_user}:{db_password}@{db_host}/{db_name}".format(**values)
    with pytest.raises(Exception) as info:
        base.SQLDatabase.from_uri(uri)
    return str(info.value)


@pytest.mark.parametrize("change, marker", BAD, ids=[b[0].__name__ for b in BAD])
def test_failed_connection_is_recorded(server, change, marker, capsys):
    values = credentials(server, **change(server))
    expected = driver_error_text(values)
    assert marker in expected
    c = DatabaseConnector(**values)
    status = c.connect()
    assert status is c.connection_status
    assert status == {"connected": False, "message": expected}
    assert c.db is None
    assert c.getdbinstance() is None
    assert c.connection_status == {"connected": False, "message": expected}
    assert capsys.readouterr() == ("", "")


@pytest.mark.parametrize("change, marker", BAD, ids=[b[0].__name__ for b in BAD])
def test_failure_keeps_the_earlier_handle(server, change, marker):
    c = DatabaseConnector(**credentials(server))
    handle = c.getdbinstance()
    assert isinstance(handle, base.SQLDatabase)
    values = credentials(server, **change(server))
    for name, value in values.items():
        setattr(c, name, value)
    expected = driver_error_text(values)
    assert c.getdbinstance() is handle
    assert c.connect() == {"connected": False, "message": expected}
    assert c.db is handle
    assert handle.run("SELECT 2") == "[(2,)]"
