import pymysql
import pytest
import sqlalchemy


class TestAccess:
    def test_test_user_over_tcp(self, mariadb):
        conn = mariadb.connect()
        try:
            with conn.cursor() as cur:
                cur.execute("SELECT 1, CURRENT_USER(), DATABASE()")
                assert cur.fetchone() == (
                    1,
                    "%s@127.0.0.1" % mariadb.user,
                    mariadb.database,
                )
        finally:
            conn.close()

    def test_test_user_over_socket(self, mariadb):
        conn = pymysql.connect(
            unix_socket=mariadb.socket,
            user=mariadb.user,
            password=mariadb.password,
            database=mariadb.database,
        )
        try:
            with conn.cursor() as cur:
                cur.execute("SELECT CURRENT_USER()")
                assert cur.fetchone() == ("%s@localhost" % mariadb.user,)
        finally:
            conn.close()

    def test_sqlalchemy_url_from_host(self, mariadb):
        # Library code builds its URL from the host text; it must carry the port.
        url = "mysql+pymysql://%s:%s@%s/%s" % (
            mariadb.user,
            mariadb.password,
            mariadb.host,
            mariadb.database,
        )
        assert url == mariadb.url
        engine = sqlalchemy.create_engine(url)
        try:
            with engine.connect() as conn:
                assert conn.execute(sqlalchemy.text("SELECT 41 + 1")).scalar() == 42
        finally:
            engine.dispose()

    def test_wrong_password_is_rejected(self, mariadb):
        with pytest.raises(pymysql.err.OperationalError) as info:
            mariadb.connect(password=mariadb.password + "x")
        assert info.value.args[0] == 1045  # access denied

    def test_grants_are_limited_to_the_test_database(self, mariadb):
        with pytest.raises(pymysql.err.OperationalError) as info:
            mariadb.connect(database="mysql")
        assert info.value.args[0] == 1044  # access denied to database

    def test_admin_execute_returns_rows(self, mariadb):
        assert mariadb.execute("SELECT %s, %s", (7, "x")) == [(7, "x")]
        assert mariadb.execute("DO 1") == []


class TestData:
    def test_four_byte_utf8_round_trips(self, mariadb):
        text = "caf\u00e9 \U0001f4c8 \u6570\u636e"
        mariadb.execute("DROP TABLE IF EXISTS zarvo_test.utf8_check")
        mariadb.execute("CREATE TABLE zarvo_test.utf8_check (s VARCHAR(50))")
        conn = mariadb.connect(charset="utf8mb4")
        try:
            with conn.cursor() as cur:
                cur.execute("INSERT INTO utf8_check VALUES (%s)", (text,))
                conn.commit()
                cur.execute("SELECT s FROM utf8_check")
                assert cur.fetchone() == (text,)
        finally:
            conn.close()


class TestStopStart:
    def _scalar(self, server, sql):
        conn = server.connect()
        try:
            with conn.cursor() as cur:
                cur.execute(sql)
                return cur.fetchone()[0]
        finally:
            conn.close()

    def test_unreachable_while_stopped_and_back_after_start(self, mariadb_running):
        db = mariadb_running
        db.execute("DROP TABLE IF EXISTS zarvo_test.restart_check")
        db.execute("CREATE TABLE zarvo_test.restart_check (n INT)")
        db.execute("INSERT INTO zarvo_test.restart_check VALUES (5)")
        port, old_pid = db.port, db.pid
        held = db.connect()

        db.stop()
        assert not db.running
        with pytest.raises(pymysql.err.OperationalError):
            db.connect()
        with pytest.raises(pymysql.err.MySQLError):
            with held.cursor() as cur:
                cur.execute("SELECT 1")

        db.start()
        assert db.running and db.pid != old_pid
        assert db.port == port
        assert self._scalar(db, "SELECT n FROM restart_check") == 5

    def test_committed_data_survives_a_crash(self, mariadb_running):
        db = mariadb_running
        db.execute("DROP TABLE IF EXISTS zarvo_test.crash_check")
        db.execute("CREATE TABLE zarvo_test.crash_check (n INT) ENGINE=InnoDB")
        db.execute("INSERT INTO zarvo_test.crash_check VALUES (9)")

        db.stop(graceful=False)
        db.start()
        assert self._scalar(db, "SELECT SUM(n) FROM crash_check") == 9

    def test_stop_and_start_are_idempotent(self, mariadb_running):
        db = mariadb_running
        pid = db.pid
        db.start()
        assert db.pid == pid
        db.stop()
        db.stop()
        assert db.pid is None
        db.start()
        assert self._scalar(db, "SELECT 1") == 1
