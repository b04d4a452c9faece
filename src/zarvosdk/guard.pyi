"""A read-only guard for the framework's SQL database handle.

`read_only(db)` returns a handle over the same server through which the SQL
agents run only one read statement at a time, on the handle's own tables, as
the SQL parser wrote it back, for a bounded time, number of rows and bytes; a
refusal, a stop or a cut is a `GuardError` whose one line the framework's
query tool hands to the model. The SQL parser is imported on the first
guarded handle, not with this module.
"""

from typing import Any, Collection, List, Optional, TypeVar

from pymysql.connections import Connection
from pymysql.cursors import SSCursor

from langchain_community.utilities.sql_database import SQLDatabase as SQLDatabase
from sqlalchemy import create_engine as create_engine
from sqlalchemy import event as event
from sqlalchemy.exc import SQLAlchemyError as SQLAlchemyError
from sqlalchemy.sql.elements import TextClause as TextClause
from sqlalchemy.sql.schema import Table as Table
from sqlalchemy.sql.selectable import Select as Select
from sqlalchemy.sql.selectable import TextualSelect as TextualSelect
from functools import partial as partial

__test__: dict[str, Any]

_Handle = TypeVar("_Handle", bound=SQLDatabase)

class GuardError(SQLAlchemyError):
    """A statement the read-only guard refused, or one the server stopped or
    cut at the guard's limits. Its text is one line saying what happened and why."""

class GuardedSQLDatabase(SQLDatabase):
    """The framework's SQL database handle behind the read-only guard (see read_only)."""

    def get_table_info_no_throw(self, table_names: Optional[List[str]] = None) -> str: ...

class GuardedConnection(Connection):
    """The read-only guard's connection: it counts what it reads of a result the guard runs
    against the guard's byte limit."""

    def query(self, sql: Any, unbuffered: bool = False) -> int: ...
    def connect(self, sock: Any = None) -> None: ...

class GuardedCursor(SSCursor):
    """The read-only guard's cursor: it reads a result whole before the statement returns, within
    the guard's row and byte limits for a statement the guard runs."""

    def fetchone(self) -> Any: ...
    def fetchmany(self, size: Optional[int] = None) -> Any: ...
    def fetchall(self) -> Any: ...
    def scroll(self, value: int, mode: str = "relative") -> None: ...

def read_only(
    db: _Handle,
    *,
    seconds: float = 10.0,
    max_rows: int = 1000,
    max_bytes: int = 16777216,
    tables: Optional[Collection[str]] = None,
) -> _Handle:
    """Returns a handle over the same server through which only one read
    statement at a time runs, on the handle's own tables (or the ones
    `tables` names), for at most `seconds` and returning at most `max_rows`
    rows and `max_bytes` bytes. Raises TypeError for a handle that is not the
    framework's SQLDatabase, ValueError for another dialect than MySQL or
    MariaDB, a handle on no database or on one of the server's own schemas,
    tables the handle does not read, or limits out of range; ImportError when
    the installed SQL parser lacks a piece the guard relies on."""
