"""zarvosdk.guard without a server: what read_only refuses to guard, and the
parser left unimported until a handle is guarded. The guard's behaviour
against the server is in tests/integration/test_guard.py."""
import math
import sys

import pytest

from subprocesses import python_process


@pytest.fixture(scope="module")
def sqlite_db(tmp_path_factory):
    from langchain_community.utilities.sql_database import SQLDatabase

    return SQLDatabase.from_uri("sqlite:///%s" % tmp_path_factory.mktemp("guard").joinpath("db.sqlite"))


# id -> (arguments besides the handle, or with another one; the error; its message)
REFUSALS = {
    "not-a-handle": ({"db": "mysql://root@localhost/x"}, TypeError, "takes the framework's SQLDatabase handle, not str"),
    "other-dialect": ({}, ValueError, "MySQL and MariaDB handles only; this handle's dialect is 'sqlite'"),
    "other-driver": ({"db": "mysqldb"}, ValueError, "on the PyMySQL driver .*; this handle's driver is 'mysqldb'"),
    "zero-seconds": ({"seconds": 0}, ValueError, "seconds must be more than 0"),
    "negative-seconds": ({"seconds": -1.5}, ValueError, "seconds must be more than 0"),
    "nan-seconds": ({"seconds": math.nan}, ValueError, "seconds must be more than 0"),
    "infinite-seconds": ({"seconds": math.inf}, ValueError, "seconds must be more than 0"),
    "huge-int-seconds": ({"seconds": 10 ** 400}, ValueError, "at most a year"),
    "bool-seconds": ({"seconds": True}, TypeError, "seconds must be a number, not bool"),
    "text-seconds": ({"seconds": "10"}, TypeError, "seconds must be a number, not str"),
    "zero-rows": ({"max_rows": 0}, ValueError, "max_rows must be at least 1"),
    "too-many-rows": ({"max_rows": 2 ** 63}, ValueError, "max_rows must be at least 1 and below 2\\*\\*63"),
    "bool-rows": ({"max_rows": True}, TypeError, "max_rows must be an int, not bool"),
    "float-rows": ({"max_rows": 1.5}, TypeError, "max_rows must be an int, not float"),
}


@pytest.mark.parametrize("case", sorted(REFUSALS))
def test_read_only_refuses_what_it_cannot_guard(sqlite_db, case):
    from zarvosdk.guard import read_only

    arguments, error, message = REFUSALS[case]
    arguments = dict(arguments)
    db = arguments.pop("db", sqlite_db)
    if db == "mysqldb":
        db = mysql_handle("mysql+mysqldb")
    with pytest.raises(error, match=message):
        read_only(db, **arguments)


def test_parser_is_imported_by_the_first_guarded_handle_only():
    code = "\n".join(
        [
            "import sys",
            "import zarvosdk.base, zarvosdk.agent, zarvosdk.guard",
            "print('sqlglot' in sys.modules)",
        ]
    )
    proc = python_process(code)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout.split() == ["False"]


def test_limits_are_keyword_only(sqlite_db):
    import inspect

    from zarvosdk.guard import read_only

    assert str(inspect.signature(read_only)) == "(db, *, seconds=10.0, max_rows=1000, max_bytes=16777216, tables=None)"
    with pytest.raises(TypeError, match=r"^read_only\(\) takes exactly 1 positional argument \(2 given\)$"):
        read_only(sqlite_db, 5.0)


# One text for each way the allow-list refuses, and each refusal of read_only.
REFUSED_TEXTS = [
    "SELECT 1 /*!50000 , SLEEP(1) */",
    "DROP TABLE sales",
    "SELECT 1; SELECT 2",
    "SELECT FROM WHERE (((",
    "SELECT 'unterminated",
    "EXPLAIN DELETE FROM sales",
    "SELECT LOAD_FILE('/etc/passwd')",
    "SELECT * FROM sales FOR UPDATE",
    "WITH gone AS (DELETE FROM sales RETURNING id) SELECT * FROM gone",
    "",
    "SELECT '\ud800'",
    "SELECT 1" + " " * 20000,
]


@pytest.mark.leak
def test_refusals_do_not_leak(sqlite_db):
    from test_leaks import allocated_growth

    from zarvosdk.guard import GuardError, GuardedSQLDatabase, read_only

    # The allow-list runs before the handle's state is used: a bare instance will do.
    guarded = GuardedSQLDatabase.__new__(GuardedSQLDatabase)

    def refuse_each():
        for text in REFUSED_TEXTS:
            try:
                guarded._execute(text)
            except GuardError:
                pass
        for arguments in ({"seconds": -1}, {"max_rows": True}, {}):
            try:
                read_only(sqlite_db, **arguments)
            except (TypeError, ValueError):
                pass

    # The parser's tokenizer keeps the last text it read, so the texts' own
    # reference counts are not watched; the handle's are. The parser's own
    # caches settle over several rounds on the newer interpreters.
    count = sys.getrefcount(sqlite_db)
    growth = allocated_growth(refuse_each, calls=40, rounds=6)
    # each call refuses a dozen texts: a leak of a block a refusal gains 480 a round
    assert min(growth) < 40, "memory grows with every refusal: %r" % growth
    assert sys.getrefcount(sqlite_db) == count


def test_a_guarded_class_made_without_read_only_runs_nothing():
    from zarvosdk.guard import GuardedSQLDatabase

    handle = GuardedSQLDatabase.from_uri("sqlite://")
    with pytest.raises(TypeError, match=r"not made by zarvosdk\.guard\.read_only\(db\)"):
        handle.run_no_throw("SELECT 1")


class Hostile:
    """Raises when called, asked for an attribute or compared as a class."""

    def __call__(self, *args, **kwargs):
        raise RuntimeError("hostile stand-in")

    def __getattr__(self, name):
        raise RuntimeError("hostile stand-in")


def mysql_handle(scheme="mysql+pymysql"):
    """A MySQL handle that has never connected: read_only connects to nothing."""
    from langchain_community.utilities.sql_database import SQLDatabase
    from sqlalchemy import create_engine

    handle = SQLDatabase.__new__(SQLDatabase)
    handle._engine = create_engine("%s://reader:pw@127.0.0.1:9/shop" % scheme, module=__import__("pymysql"))
    return handle


@pytest.mark.parametrize("name", ["create_engine", "event", "partial", "SQLDatabase", "TextClause"])
@pytest.mark.parametrize("stand_in", [Hostile(), None, 3], ids=["raises", "none", "int"])
def test_hostile_module_globals_end_in_an_exception(monkeypatch, name, stand_in):
    import zarvosdk.guard as guard
    from sqlalchemy import text

    handle = guard.read_only(mysql_handle())
    monkeypatch.setattr(guard, name, stand_in)
    exc_info = sys.exc_info()
    for operation in (lambda: guard.read_only(mysql_handle()), lambda: handle._execute(text("DROP TABLE t"))):
        try:
            operation()
        except guard.GuardError:
            pass
        except (RuntimeError, TypeError, AttributeError) as error:
            assert not isinstance(error, SystemError)
    assert sys.exc_info() == exc_info


# What a parser release could lack -> how the test takes it away.
PARSER_PIECES = {
    "nothing": "",
    "a refused node type": "del sqlglot.expressions.PropertyEQ",
    "a node type the scope reads": "del sqlglot.expressions.JSONTable",
    "an argument the scope reads": "del sqlglot.expressions.Table.arg_types['db']",
    "a token type": "sqlglot.tokens.TokenType = type('TokenType', (), {})",
}


@pytest.mark.parametrize("piece", sorted(PARSER_PIECES))
def test_read_only_fails_closed_when_the_parser_lacks_a_piece_it_relies_on(piece):
    proc = python_process(
        "import sqlglot.expressions, sqlglot.tokens",
        PARSER_PIECES[piece],
        """
        from langchain_community.utilities.sql_database import SQLDatabase
        from sqlalchemy import create_engine
        import zarvosdk.guard
        handle = SQLDatabase.__new__(SQLDatabase)
        handle._engine = create_engine("mysql+pymysql://reader:pw@127.0.0.1:9/shop")
        try:
            zarvosdk.guard.read_only(handle)
        except ImportError as error:
            print(error)
        else:
            print("guarded")
        """,
    )
    assert proc.returncode == 0, proc.stderr[-3000:]
    if piece == "nothing":
        assert proc.stdout.strip() == "guarded"
    else:
        assert proc.stdout.startswith("the read-only guard needs "), proc.stdout
        assert "which the installed sqlglot (" in proc.stdout
