"""The database server going away while the package uses it, and coming back."""
import warnings

import pytest
import sqlalchemy.exc

from texts import CONNECTION_SUCCESSFUL

with warnings.catch_warnings(record=True):
    import zarvosdk.base as base

pytestmark = pytest.mark.integration


def connector_for(server):
    return base.DatabaseConnector(server.user, server.password, server.host, server.database)


def test_connector_records_the_driver_message_while_the_server_is_down(mariadb_running, capsys):
    server = mariadb_running
    connected = connector_for(server)
    assert connected.connect()["connected"] is True
    handle = connected.db
    server.stop()

    fresh = connector_for(server)
    status = fresh.connect()
    assert status == {"connected": False, "message": status["message"]}
    assert "Can't connect to MySQL server" in status["message"]
    assert fresh.db is None
    assert fresh.getdbinstance() is None

    # A connector that was connected keeps its handle and its "connected" entry.
    status = connected.connect()
    assert status["connected"] is True and connected.db is handle
    assert "Can't connect to MySQL server" in status["message"]
    assert capsys.readouterr() == ("", "")

    server.start()
    again = connector_for(server)
    assert again.connect() == {"connected": True, "message": CONNECTION_SUCCESSFUL}
    assert again.db.run("SELECT 7") == "[(7,)]"


def test_runner_propagates_the_driver_error_unchanged(mariadb_running, monkeypatch, capsys):
    server = mariadb_running
    handle = connector_for(server).getdbinstance()
    # An agent that sends the question straight to the database, so the
    # driver's failure is what reaches the runner.
    monkeypatch.setattr(base, "create_sql_agent", lambda **kw: kw["toolkit"])
    runner = base.AgentRunner(object(), handle)
    assert runner.run("SELECT 1") == "[(1,)]"
    capsys.readouterr()

    server.stop()
    with pytest.raises(sqlalchemy.exc.OperationalError) as raised:
        runner.run("SELECT 1")
    assert "MySQL server" in str(raised.value)
    assert capsys.readouterr() == ("", "")

    server.start()
    # The pool may hand back a connection that died with the server once.
    try:
        answer = runner.run("SELECT 2")
    except sqlalchemy.exc.OperationalError:
        answer = runner.run("SELECT 2")
    assert answer == "[(2,)]"
