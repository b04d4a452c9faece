"""The read-only guard as a boundary, on a MariaDB server of its own
(performance schema on, lower_case_table_names=1, its global sql_mode
changed by the tests) and its administrator account: text the parser and the
server would read differently, other quoting modes, what the account can
read beyond the handle's tables, and results too large in bytes. Where the
attack works against the server without the guard, the test shows that
first. Each case asserts what must not happen: no secret in what comes back,
no file read or written, no lock held, no variable set; and honest reads
return through the guard what they return without it."""
import os
import secrets
import threading
import time
import tracemalloc

import pymysql
import pytest

from harness.mariadb_server import MariaDBServer, find_server_binaries
from harness.scripted_model import DEFAULT_QUERIES, DEFAULT_SERIES_QUERY

pytestmark = pytest.mark.integration

SECRET = "zv-secret-" + secrets.token_hex(6)
SECONDS = 3.0
MAX_ROWS = 50
BOUND = SECONDS + 1.0
REFUSED = "Error: Query refused by the read-only guard: "
SALES = [("2024-01-0%d" % day, "%d.50" % (100 * day)) for day in range(1, 8)]


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    if not all(find_server_binaries()):
        pytest.skip("MariaDB server binaries not found")
    base = tmp_path_factory.mktemp("guard-boundary")
    server = MariaDBServer(base / "server", options=[
        "--performance-schema=ON", "--performance-schema-consumer-events-statements-current=ON",
        "--performance-schema-consumer-events-statements-history=ON", "--lower-case-table-names=1"])
    server.start()
    own = server.database
    statements = [
        "CREATE DATABASE guard_other",
        "CREATE TABLE guard_other.vault (secret VARCHAR(100))",
        "INSERT INTO guard_other.vault VALUES ('%s')" % SECRET,
        "CREATE TABLE %s.keep (id INT PRIMARY KEY, name VARCHAR(20))" % own,
        "INSERT INTO %s.keep VALUES (1, 'alpha'), (2, 'b_eta')" % own,
        "CREATE TABLE %s.hidden (secret VARCHAR(100))" % own,
        "INSERT INTO %s.hidden VALUES ('%s')" % (own, SECRET),
        "CREATE TABLE %s.extended (secret_column INT)" % own,
        # A function of the handle's database whose one call the server's
        # time limit cannot stop (crypt() with its rounds): some 15 s of work.
        "CREATE FUNCTION %s.slow_hash() RETURNS TEXT RETURN ENCRYPT('a', '$6$rounds=30000000$salt')" % own,
        "CREATE TABLE %s.sales (sale_date DATE PRIMARY KEY, amount DECIMAL(10, 2))" % own,
        "INSERT INTO %s.sales VALUES %s" % (own, ", ".join("('%s', %s)" % row for row in SALES)),
        "CREATE USER '%s'@'localhost'" % SECRET,
    ]
    for statement in statements:
        server.execute(statement)
    server.secret_file = str(base / "secret.txt")
    with open(server.secret_file, "w") as f:
        f.write(SECRET)
    server.outfile = str(base / "written.txt")
    # One session that ran a statement holding the secret, and one running
    # such a statement now: the statement history and the process list.
    history = server.admin_connect()
    history.cursor().execute("SELECT '%s'" % SECRET)
    busy = server.admin_connect()
    thread = threading.Thread(target=run_quietly, args=(busy, "SELECT SLEEP(600), '%s'" % SECRET), daemon=True)
    thread.start()
    while not server.execute("SELECT id FROM information_schema.PROCESSLIST WHERE info LIKE 'SELECT SLEEP(600)%%'"):
        time.sleep(0.05)
    try:
        yield server
    finally:
        for (thread_id,) in server.execute("SELECT id FROM information_schema.PROCESSLIST WHERE info LIKE 'SELECT SLEEP(600)%%'"):
            server.execute("KILL %d" % thread_id)
        thread.join(10)
        history.close()
        server.close()


def run_quietly(connection, statement):
    try:
        connection.cursor().execute(statement)
    except pymysql.MySQLError:
        pass


def admin_uri(server):
    return "mysql+pymysql://root:@localhost/%s?unix_socket=%s" % (server.database, server.socket)


@pytest.fixture(scope="module")
def admin(server):
    from langchain_community.utilities.sql_database import SQLDatabase

    return SQLDatabase.from_uri(admin_uri(server))


def guard(admin, **limits):
    from zarvosdk.guard import read_only

    return read_only(admin, **dict({"seconds": SECONDS, "max_rows": MAX_ROWS}, **limits))


@pytest.fixture(scope="module")
def guarded(admin):
    return guard(admin)


def nothing_happened(server):
    """What a hidden statement could have done, read as root."""
    assert not os.path.exists(server.outfile), "a file was written"
    assert server.execute("SELECT IS_USED_LOCK('guard_lock')") == [(None,)], "a lock is held"
    assert server.execute(
        "SELECT COUNT(*) FROM performance_schema.user_variables_by_thread WHERE variable_name = 'guard_v'"
    ) == [(0,)], "a variable was set"


BEHIND = "SELECT 1 AS a FROM (SELECT 1 AS x) t WHERE 1--%s %s"
# id -> (text, whether the server alone leaks the secret for it)
HIDDEN = {
    "no-break-space-union-load-file": (BEHIND % ("\u00a0", "UNION SELECT LOAD_FILE('{file}')"), False),
    "ideographic-space-union-load-file": (BEHIND % ("\u3000", "UNION SELECT LOAD_FILE('{file}')"), False),
    "no-break-space-into-outfile": (BEHIND % ("\u00a0", "INTO OUTFILE '{outfile}'"), False),
    "no-break-space-get-lock": (BEHIND % ("\u00a0", "AND GET_LOCK('guard_lock', 0)"), False),
    "no-break-space-sleep": (BEHIND % ("\u00a0", "AND SLEEP(30)"), False),
    "no-break-space-assignment": (BEHIND % ("\u00a0", "AND (@guard_v := 1)"), False),
    "no-break-space-locking-read": (BEHIND % ("\u00a0", "FOR UPDATE"), False),
    "no-break-space-limit": ("SELECT seq FROM seq_1_to_100000 WHERE 1--\u00a0 LIMIT 100000", False),
    "delete-character-executable-comment": (BEHIND % ("\x7f", "\n/*!50000 UNION SELECT LOAD_FILE('{file}') */"), True),
    "delete-character-hides-a-quote": (BEHIND % ("\x7f", "'\n/*!50000 UNION SELECT LOAD_FILE('{file}') */"), True),
    "two-words-written-as-one": ("SELECT CAST('a' AS CHAR CHARACTER SET `ORDER BY`)", False),
}


@pytest.mark.parametrize("case", sorted(HIDDEN))
def test_text_the_parser_and_the_server_read_differently_hides_nothing(server, admin, guarded, case):
    template, leaks_without_guard = HIDDEN[case]
    text = template.format(file=server.secret_file, outfile=server.outfile)
    if leaks_without_guard:
        assert SECRET in admin.run_no_throw(text)
    started = time.monotonic()
    observation = guarded.run_no_throw(text)
    assert time.monotonic() - started < BOUND
    assert SECRET not in observation
    nothing_happened(server)
    assert guarded.run("SELECT COUNT(*) FROM keep") == "[(2,)]"


# id -> (the server's global sql_mode, a text that hides a read in that mode)
MODES = {
    "no-backslash-escapes": ("NO_BACKSLASH_ESCAPES", "SELECT '\\' UNION SELECT secret FROM guard_other.vault #'"),
    "ansi-quotes": ("ANSI_QUOTES", 'SELECT 1 AS "\\" UNION SELECT secret FROM guard_other.vault #"'),
    "ansi": ("ANSI", 'SELECT 1 AS "\\" UNION SELECT secret FROM guard_other.vault #"'),
}


@pytest.mark.parametrize("case", sorted(MODES))
def test_the_session_keeps_its_quoting_mode_whatever_the_servers(server, case):
    from langchain_community.utilities.sql_database import SQLDatabase

    mode, text = MODES[case]
    server.execute("SET GLOBAL sql_mode = %s", (mode,))
    try:
        plain = SQLDatabase.from_uri(admin_uri(server))  # new connections take the global mode
        assert SECRET in plain.run_no_throw(text)
        guarded = guard(plain)
        assert SECRET not in guarded.run_no_throw(text)
        assert guarded.run("SELECT \"it's\" AS said, 'back\\\\slash' AS b") == "[(\"it's\", 'back\\\\slash')]"
        # The framework's own statements (the sample rows) see the session's mode too.
        assert "1\talpha" in guarded.get_table_info(["keep"])
    finally:
        server.execute("SET GLOBAL sql_mode = DEFAULT")
        plain._engine.dispose()
        guarded._engine.dispose()


# id -> (a read beyond the handle's tables, whether the account alone reads the secret with it)
BEYOND = {
    "other-database": ("SELECT secret FROM guard_other.vault", True),
    "other-database-in-a-subquery": ("SELECT (SELECT secret FROM guard_other.vault LIMIT 1) AS s", True),
    "accounts": ("SELECT user FROM mysql.user", True),
    "account-privileges": ("SELECT user, priv FROM mysql.global_priv", True),
    "process-list-table": ("SELECT info FROM information_schema.PROCESSLIST", True),
    "process-list": ("SHOW FULL PROCESSLIST", True),
    "statement-history": ("SELECT sql_text FROM performance_schema.events_statements_history", True),
    "sys-schema": ("SELECT current_statement FROM sys.processlist", True),
    "function-of-another-database": ("SELECT guard_other.anything()", False),
    "grants": ("SHOW GRANTS", False),
    "databases": ("SHOW DATABASES", False),
    "global-variables": ("SHOW GLOBAL VARIABLES", False),
    "status": ("SHOW GLOBAL STATUS", False),
    "engine-status": ("SHOW ENGINE INNODB STATUS", False),
    "data-directory": ("SELECT @@datadir", False),
    "file-folder": ("SELECT @@global.secure_file_priv", False),
    "account-name": ("SELECT USER()", False),
    "current-account": ("SELECT CURRENT_USER", False),
    "server-version": ("SELECT VERSION()", False),
    "network-address": ("SELECT UUID()", False),
    "work-the-time-limit-cannot-stop": ("SELECT LENGTH(ENCRYPT('a', '$6$rounds=4000000$salt'))", False),
}


@pytest.mark.parametrize("case", sorted(BEYOND))
def test_what_the_account_reads_beyond_the_handles_tables_is_refused_by_name(server, admin, guarded, case):
    text, leaks_without_guard = BEYOND[case]
    if leaks_without_guard:
        assert SECRET in admin.run_no_throw(text)
    observation = guarded.run_no_throw(text)
    assert observation.startswith(REFUSED), observation
    assert "not permitted" in observation or "does not allow" in observation
    assert "\n" not in observation and SECRET not in observation


# id -> (text, what a handle limited to the table keep answers)
LIMITED = {
    "other-table": ("SELECT secret FROM hidden", REFUSED),
    "cte-of-another-query": ("SELECT * FROM (WITH hidden AS (SELECT 1 AS one) SELECT one FROM hidden) x, hidden", REFUSED),
    "outer-cte-from-a-nested-entry": ("WITH hidden AS (SELECT 1 AS one) SELECT * FROM "
                                      "(WITH x AS (SELECT * FROM hidden) SELECT * FROM x) AS d", REFUSED),
    "outer-cte-from-an-entry-in-a-subquery": ("WITH hidden AS (SELECT 1 AS secret) SELECT "
                                              "(WITH x AS (SELECT secret FROM hidden) SELECT secret FROM x) AS s", REFUSED),
    "later-cte": ("WITH a AS (SELECT * FROM hidden), hidden AS (SELECT 1 AS one) SELECT * FROM a", REFUSED),
    "own-name-without-recursive": ("WITH hidden AS (SELECT * FROM hidden) SELECT * FROM hidden", REFUSED),
    "cte-in-another-case": ("WITH HIDDEN AS (SELECT 1 AS one) SELECT * FROM hidden", REFUSED),
    "table-list": ("SHOW TABLES", REFUSED),
    "columns-of-another-table": ("SHOW COLUMNS FROM hidden", REFUSED),
    "description-of-another-table": ("DESCRIBE hidden", REFUSED),
    "own-table-in-another-case": ("SELECT COUNT(*) FROM KEEP", "[(2,)]"),
    "own-table-by-database": ("SELECT COUNT(*) FROM ZARVO_TEST.keep", "[(2,)]"),
    "cte": ("WITH hidden AS (SELECT 1 AS one) SELECT * FROM hidden", "[(1,)]"),
    "recursive-cte": ("WITH RECURSIVE hidden AS (SELECT 1 AS n UNION ALL SELECT n + 1 FROM hidden WHERE n < 3) "
                      "SELECT COUNT(*) FROM hidden", "[(3,)]"),
    "columns-of-own-table": ("SHOW COLUMNS FROM keep", "[('id', 'int(11)', 'NO', 'PRI', None, ''), "
                             "('name', 'varchar(20)', 'YES', '', None, '')]"),
}


# id -> (a spelling of a table the handle ignores, whether the server reads the table by it)
IGNORED = {
    "another-case": ("SELECT secret FROM HIDDEN", True),
    "dotted-capital-i": ("SELECT secret FROM `H\u0130DDEN`", True),
    "dotless-i": ("SELECT secret FROM `h\u0131dden`", False),
    "describe-style-word": ("DESCRIBE EXTENDED `%`", False),
}


@pytest.mark.parametrize("case", sorted(IGNORED))
def test_a_table_the_handle_ignores_stays_out_whatever_its_spelling(server, case):
    from langchain_community.utilities.sql_database import SQLDatabase

    text, server_reads_it = IGNORED[case]
    plain = SQLDatabase.from_uri(admin_uri(server), ignore_tables=["hidden", "extended"])
    if server_reads_it:
        assert SECRET in plain.run_no_throw(text)
    observation = guard(plain).run_no_throw(text)
    assert observation.startswith(REFUSED), observation
    assert SECRET not in observation and "secret_column" not in observation


@pytest.mark.parametrize("case", sorted(LIMITED))
def test_a_handle_limited_to_some_tables_reads_only_those(admin, case):
    text, expected = LIMITED[case]
    limited = guard(admin, tables=["keep"])
    observation = limited.run_no_throw(text)
    if expected == REFUSED:
        assert observation.startswith(REFUSED) and SECRET not in observation, observation
    else:
        assert observation == expected
    # The framework's own table tools see the same tables.
    assert limited.get_usable_table_names() == ["keep"]


CUT_BYTES = "Error: Query result cut: it returns more than 16777216 bytes"
# id -> (text, the handle's limits, what comes back)
TOO_LARGE = {
    "rows-of-eight-megabytes": ("SELECT REPEAT('x', 8000000) AS pad FROM seq_1_to_20", {}, CUT_BYTES),
    "a-thousand-rows-of-four-megabytes": ("SELECT REPEAT('x', 4000000) AS pad FROM seq_1_to_1000",
                                          {"max_rows": 1000}, CUT_BYTES),
    "one-row-of-thirty-two-16-mb-values": ("SELECT " + ", ".join(["a"] * 32) + " FROM (SELECT REPEAT('a', 16000000) AS a) AS t",
                                           {}, CUT_BYTES),
    # many small values: what each takes in the host counts, not its digits
    "six-hundred-rows-of-two-thousand-numbers": ("SELECT " + ", ".join(["seq"] * 2000) + " FROM seq_1_to_600",
                                                {"max_rows": 1000, "seconds": 20.0}, CUT_BYTES),
    # text the host stores four bytes a character (one astral character in it)
    "wide-characters": ("SELECT CONCAT(REPEAT('a', 990000), '\U0001f600') AS t FROM seq_1_to_4", {"max_bytes": 4 << 20},
                        "Error: Query result cut: it returns more than 4194304 bytes"),
    "recursion-into-temporary-tables": ("WITH RECURSIVE r (n, pad) AS (SELECT 1, REPEAT('x', 1000000) UNION ALL "
                                        "SELECT n + 1, pad FROM r WHERE n < 200) SELECT COUNT(*) FROM r", {},
                                        "Error: Query stopped by the server: its temporary tables outgrew"),
}


@pytest.mark.parametrize("case", sorted(TOO_LARGE))
def test_a_result_is_bounded_in_bytes_and_temporary_space(admin, case):
    text, limits, expected = TOO_LARGE[case]
    handle = guard(admin, **limits)
    tracemalloc.start()
    try:
        started = time.monotonic()
        observation = handle.run_no_throw(text)
        elapsed = time.monotonic() - started
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert observation.startswith(expected), observation[:300]
    # within the guard's own deadline (the time limit, then 5 s for the
    # server's answer), with room for a loaded machine and tracemalloc
    assert elapsed < limits.get("seconds", SECONDS) + 5.0
    assert peak < 3 * 16777216, "the client held %d bytes" % peak
    assert handle.run("SELECT COUNT(*) FROM keep") == "[(2,)]"
    handle._engine.dispose()


HONEST = [
    "SELECT 'it''s' AS a, 'back\\\\slash' AS b, 'a\\'b' AS c, \"double\" AS d, 'tab\\there' AS e",
    "SELECT 'a;b' AS a, '-- no comment' AS b, '/*!50000 no */' AS c, '# no' AS d, '--\u00a0x' AS e",
    "SELECT 'né 日本 😀' AS t, CHAR_LENGTH('😀') AS n, UPPER('é') AS u",
    "SELECT name AS `we``ird`, `id` FROM keep ORDER BY `id`",
    "SELECT DATE '2024-02-29' AS d, TIMESTAMP '2024-01-01 10:00:00' AS t, DATE_ADD('2024-01-31', INTERVAL 1 MONTH) AS m",
    "SELECT DATE_FORMAT(sale_date, '%Y-%m') AS month, SUM(amount) AS total FROM sales GROUP BY month ORDER BY month",
    "SELECT STR_TO_DATE('01/02/2024', '%m/%d/%Y') AS d, '%s %% %d' AS p",
    "SELECT name FROM keep WHERE name REGEXP '^a' OR name LIKE 'b\\_%' ORDER BY id",
    "WITH t AS (SELECT id FROM keep) SELECT COUNT(*) FROM t UNION ALL SELECT 5",
    "SELECT id, ROW_NUMBER() OVER (ORDER BY id DESC) AS r FROM keep ORDER BY id",
    "SELECT GROUP_CONCAT(name ORDER BY id SEPARATOR ';') AS names FROM keep",
    "SELECT CASE WHEN id > 1 THEN 'big' ELSE 'small' END AS size, IFNULL(NULL, 'x') AS i FROM keep ORDER BY id",
    "SELECT x'4142' AS h, 0x41 AS g, b'1000001' AS b, N'nat' AS n, _utf8mb4'intro' AS i",
    "SELECT 'x' COLLATE utf8mb4_bin = 'X' AS exact, 'x' = 'X' AS folded, 5 DIV 2 AS q, 5 MOD 2 AS r, 1 <=> NULL AS n",
    "SELECT JSON_EXTRACT('{\"a\": [1, 2]}', '$.a[1]') AS j, CAST(12.345 AS DECIMAL(10, 2)) AS c",
    "(SELECT id FROM keep ORDER BY id LIMIT 1) UNION (SELECT id FROM keep ORDER BY id DESC LIMIT 1)",
    "SELECT * FROM keep WHERE id IN (SELECT id FROM keep WHERE name <> 'b') AND EXISTS (SELECT 1 FROM keep)",
    "SELECT 1 AS one FROM DUAL",
    "SHOW COLUMNS FROM keep",
    "DESCRIBE keep",
    "SHOW TABLES",
    "EXPLAIN SELECT * FROM keep WHERE id = 1",
] + [sql for _, sql in DEFAULT_QUERIES] + [DEFAULT_SERIES_QUERY]


@pytest.mark.parametrize("text", HONEST)
def test_honest_reads_return_what_they_return_without_the_guard(admin, guarded, text):
    assert guarded.run(text) == admin.run(text)


def run_on_the_engine(db, command):
    from sqlalchemy import text

    with db._engine.connect() as connection:
        return str(connection.execute(text(command)).fetchall())


def run_on_a_worker_thread(db, command):
    import concurrent.futures

    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        return pool.submit(run_on_the_engine, db, command).result()


def run_on_a_raw_cursor(db, command):
    connection = db._engine.raw_connection()
    try:
        cursor = connection.cursor()
        cursor.execute(command)
        return str(cursor.fetchall())
    finally:
        connection.close()


@pytest.mark.parametrize("shortcut", [run_on_the_engine, run_on_a_worker_thread, run_on_a_raw_cursor],
                         ids=["engine", "worker-thread", "raw-cursor"])
def test_statements_around_the_guard_do_not_run(server, shortcut):
    from langchain_community.utilities.sql_database import SQLDatabase

    class Shortcut(SQLDatabase):
        """An application's run that executes the text itself."""

        def run(self, command, *args, **kwargs):
            return shortcut(self, command)

    handle = guard(Shortcut.from_uri(admin_uri(server)))
    for text in ("SELECT secret FROM guard_other.vault", "SELECT GET_LOCK('guard_lock', 0)"):
        observation = handle.run_no_throw(text)
        assert observation.startswith(REFUSED) and "without the guard's checks" in observation
        assert SECRET not in observation
    nothing_happened(server)
    handle._engine.dispose()


# id -> a statement object of the sample rows' shape that reads beyond the handle's tables
SAMPLE_ROWS_SHAPED = {
    "prefix": lambda keep, outfile: keep.select().prefix_with("(SELECT secret FROM guard_other.vault) AS s,").limit(2),
    "union": lambda keep, outfile: keep.select().suffix_with("UNION SELECT secret, 1 FROM guard_other.vault").limit(2),
    "outfile": lambda keep, outfile: keep.select().suffix_with("INTO OUTFILE '%s'" % outfile).limit(2),
}


@pytest.mark.parametrize("case", sorted(SAMPLE_ROWS_SHAPED))
def test_the_sample_rows_run_as_the_guard_writes_them(server, guarded, case):
    from sqlalchemy import Column, Integer, MetaData, String, Table

    keep = Table("keep", MetaData(), Column("id", Integer), Column("name", String(20)))
    with guarded._engine.connect() as connection:
        rows = connection.execute(SAMPLE_ROWS_SHAPED[case](keep, server.outfile)).fetchall()
    assert [tuple(row) for row in rows] == [(1, "alpha"), (2, "b_eta")]
    nothing_happened(server)


def test_what_the_framework_cannot_take_comes_back_as_a_line(admin):
    from zarvosdk.guard import GuardError

    handle = guard(admin, max_bytes=64)
    # bytes the server sends that are not UTF-8 in a UTF-8 column
    assert handle.run_no_throw("SELECT REGEXP_SUBSTR('\u00e9', '\\\\C') AS x").startswith("Error: Query result unreadable")
    # the sample rows of a table wider than the byte limit
    assert handle.get_table_info_no_throw(["sales"]).startswith("Error: Query result cut")
    # a cursor handed on by fetch="cursor" runs nothing more
    cursor = guard(admin).run("SELECT id FROM keep", fetch="cursor").cursor
    with pytest.raises(GuardError, match="without the guard's checks"):
        cursor.execute("SELECT secret FROM guard_other.vault")
    handle._engine.dispose()


def test_a_connection_of_the_guard_does_not_open_again(server, guarded):
    from zarvosdk.guard import GuardError

    raw = guarded._engine.raw_connection()
    try:
        connection = raw.dbapi_connection
        server.execute("KILL %d" % connection.thread_id())
        with pytest.raises(GuardError, match="does not open again"):
            connection.connect()  # as ping(reconnect=True) does
    finally:
        raw.invalidate()
    assert guarded.run("SELECT COUNT(*) FROM keep") == "[(2,)]"


def test_a_text_with_its_columns_named_is_checked_as_text(server, guarded):
    from sqlalchemy import text

    named = text("SELECT LOAD_FILE('%s') AS f" % server.secret_file).columns()
    assert guarded.run_no_throw(named).startswith(REFUSED)


def test_a_server_that_does_not_stop_at_the_time_limit_does_not_hold_the_host(admin):
    handle = guard(admin, seconds=1.0)
    started = time.monotonic()
    observation = handle.run_no_throw("SELECT slow_hash()")
    assert observation.startswith("Error: Query stopped: the server did not answer within"), observation
    assert time.monotonic() - started < 1.0 + 5.0 + 1.0
    assert handle.run("SELECT COUNT(*) FROM keep") == "[(2,)]"
    handle._engine.dispose()


def test_a_tiny_time_limit_is_still_a_limit(admin):
    # 4e-7 s rounds up to the server's smallest limit, never down to 0 (no
    # limit); the server checks its limit now and then, so a fast statement
    # may end first on a loaded machine: one stop in a few tries shows a limit.
    handle = guard(admin, seconds=4e-7)
    text = "SELECT COUNT(*) FROM " + ", ".join("keep t%d" % n for n in range(8))
    observations = [handle.run_no_throw(text) for _ in range(8)]
    assert any("stopped" in observation for observation in observations), observations
    handle._engine.dispose()


def test_a_colon_in_a_text_is_no_bind_parameter(guarded):
    # The framework's text construct takes ":name" anywhere for a parameter;
    # through the guard the server gets the statement as written.
    assert guarded.run("SELECT ' :name' AS a, '10:30' AS b, '?' AS c") == "[(' :name', '10:30', '?')]"
