"""A read-only guard for the framework's SQL database handle.

`read_only(db)` returns a handle over the same server through which the SQL
agents run only one read statement at a time, for a bounded time and number
of rows; a refusal, a stop or a cut is a `GuardError` whose one line the
framework's query tool hands to the model. The SQL parser is imported on the
first guarded handle, not with this module.
"""

from typing import Any, TypeVar

from langchain_community.utilities.sql_database import SQLDatabase as SQLDatabase
from sqlalchemy import create_engine as create_engine
from sqlalchemy import event as event
from sqlalchemy.exc import SQLAlchemyError as SQLAlchemyError
from sqlalchemy.sql.elements import TextClause as TextClause
from functools import partial as partial

__test__: dict[str, Any]

_Handle = TypeVar("_Handle", bound=SQLDatabase)

class GuardError(SQLAlchemyError):
    """A statement the read-only guard refused, or one the server stopped or
    cut at the guard's limits. Its text is one line saying what happened and why."""

class GuardedSQLDatabase(SQLDatabase):
    """The framework's SQL database handle behind the read-only guard (see read_only)."""

def read_only(db: _Handle, *, seconds: float = 10.0, max_rows: int = 1000) -> _Handle:
    """Returns a handle over the same server through which only one read
    statement at a time runs, for at most `seconds` and returning at most
    `max_rows` rows. Raises TypeError for a handle that is not the framework's
    SQLDatabase, ValueError for another dialect than MySQL or MariaDB or for
    limits out of range."""
