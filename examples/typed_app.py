"""A small application written against zarvosdk's type stubs.

It forecasts a short sales series twice, once with the forecaster itself and
once through ForecastTool as an agent would call it, and, when given database
credentials, connects with DatabaseConnector and reports the status. The
function `ask` shows how an application hands a chat model and the database
handle to AgentInitializer; it needs a real chat model, so main does not call it.

    mypy --strict examples/typed_app.py      # checks it against the stubs
    python examples/typed_app.py [--user U --password P --host H:PORT --database D]
"""
from __future__ import annotations

import argparse
import json
import sys
import warnings
from typing import Any, Sequence

import pandas as pd
from langchain_core.language_models import BaseLanguageModel

# The pinned framework warns about its own deprecated import paths, which the
# modules use, and langchain-community 0.4 that it is being sunset when first
# imported; that is not this application's business. (Recorded rather than
# ignored: the framework installs its own warning filter while importing.)
with warnings.catch_warnings(record=True):
    from langchain_community.utilities import SQLDatabase
    import forecast_tool
    import zarvosdk.forecast_tool
    from zarvosdk.agent import AgentInitializer
    from zarvosdk.base import DatabaseConnector
    from zarvosdk.forecast_tool import conv_date, ts_forecast

DATES = ["2024-01-01", "Jan 2 2024", "2024/01/03", "4 January 2024"]
SALES = [100.0, 110.0, 120.0, 130.0]


def forecast(dates: Sequence[str], values: Sequence[float], period: int) -> pd.DataFrame:
    """The forecaster on a table made here; dates in any form conv_date reads."""
    table = pd.DataFrame({"timestamp": [conv_date(d) for d in dates], "values": list(values)})
    return ts_forecast(table, period)


def forecast_as_agent(dates: Sequence[str], values: Sequence[float], period: int) -> pd.DataFrame:
    """The same forecast through the tool, with the JSON request a model sends."""
    # The top-level name is the package's module: one class under both names.
    tool: zarvosdk.forecast_tool.ForecastTool = forecast_tool.ForecastTool()
    request = {"data_input": {"date": list(dates), "values": list(values)}, "period": period}
    result = tool._run(json.dumps(request))
    if isinstance(result, dict):
        raise RuntimeError("forecast failed: " + result["error"])
    return result


def connect(user: str, password: str, host: str, database: str) -> SQLDatabase | None:
    """The database handle, or None after printing why there is none."""
    connector = DatabaseConnector(user, password, host, database)
    status = connector.connect()
    if not status["connected"]:
        print("not connected:", status["message"], file=sys.stderr)
        return None
    return connector.db


def ask(llm: BaseLanguageModel[Any], db: SQLDatabase, question: str) -> str:
    """Puts one question to a new conversational agent over `db`."""
    agent = AgentInitializer(llm, db, path="charts").create_agent()
    answer = agent.invoke({"input": question})["output"]
    return str(answer)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for option in ("--user", "--password", "--host", "--database"):
        parser.add_argument(option)
    args = parser.parse_args(argv)

    direct = forecast(DATES, SALES, 3)
    through_tool = forecast_as_agent(DATES, SALES, 3)
    print(direct.to_string(index=False))
    print("tool and forecaster agree:", direct.equals(through_tool))

    if args.host:
        db = connect(args.user, args.password, args.host, args.database)
        if db is None:
            return 1
        print("connected; tables:", ", ".join(sorted(db.get_usable_table_names())))
    return 0


if __name__ == "__main__":
    sys.exit(main())
