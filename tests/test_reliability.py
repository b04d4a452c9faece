"""The package under threads and through the interpreter's life cycle."""
import threading
import warnings

import pandas as pd
import pytest

with warnings.catch_warnings(record=True):
    import zarvosdk.agent as agent
    import zarvosdk.forecast_tool as ft

from fakes import Made
from subprocesses import python_process
from texts import CREDENTIALS_MISSING

THREADS = 8
CALLS = 1000

VALID = '{"data_input": {"date": ["2023-01-01", "2023-01-03", "2023-01-06"], "values": [%d, 20, 30]}, "period": 3}'
REQUESTS = [VALID % 10] + [
    "not json",
    '{"data_input": {"date": ["2023-01-01"]}, "period": 2}',
    "{'data_input': {'date': ['2023-01-01', '2023-01-02'], 'values': [1, 2]}, 'period': 'x'}",
    '{"data_input": {"date": ["2023-01-01", "2023-01-02"], "values": [1]}, "period": 1}',
    "[1, 2, 3]",
    '{"data_input": {"date": ["someday"], "values": [1]}, "period": 1}',
    '{"data_input": {"date": ["2023-01-01", "2023-01-02"], "values": ["Decimal(\\u00271.2.3\\u0027)", 1]}, "period": 1}',
    '{"data_input": {"date": ["2023-01-01"], "values": [1]}, "period": 1}',
    '{"data_input": {"date": ["2023-01-01", "2023-01-02"], "values": [1, 2]}, "period": 0}',
]


def comparable(result):
    if isinstance(result, pd.DataFrame):
        return ("table", result.to_dict("list"))
    assert type(result) is dict and list(result) == ["error"] and type(result["error"]) is str
    return ("error", result["error"])


def run_threads(tool_for_thread):
    results = [None] * THREADS
    failures = []

    def work(index):
        tool = tool_for_thread(index)
        try:
            results[index] = [comparable(tool._run(REQUESTS[i % len(REQUESTS)])) for i in range(CALLS)]
        except BaseException as exc:  # pragma: no cover - reported below
            failures.append(exc)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures
    return results


@pytest.mark.parametrize("shared", [True, False], ids=["shared-tool", "tool-per-thread"])
def test_threads_get_the_serial_results(capsys, shared):
    serial_tool = ft.ForecastTool()
    once = [comparable(serial_tool._run(r)) for r in REQUESTS]
    expected = [once[i % len(REQUESTS)] for i in range(CALLS)]
    common = ft.ForecastTool()
    results = run_threads(lambda i: common if shared else ft.ForecastTool())
    capsys.readouterr()
    for per_thread in results:
        assert per_thread == expected


def test_agents_created_from_several_threads(monkeypatch):
    for name in ("SQLDatabaseToolkit", "create_python_agent", "create_sql_agent",
                 "PythonREPLTool", "initialize_agent"):
        monkeypatch.setattr(agent, name, Made)
    made = []

    def build():
        for _ in range(50):
            made.append(agent.AgentInitializer(object(), object()).create_agent())

    threads = [threading.Thread(target=build) for _ in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(made) == THREADS * 50
    assert all(a.kwargs["memory"] is agent.conversational_memory for a in made)


USE_EVERYTHING = """
    import warnings
    warnings.simplefilter("ignore")
    import zarvosdk, zarvosdk.base, zarvosdk.agent, zarvosdk.forecast_tool, forecast_tool
    tool = forecast_tool.ForecastTool()
    print(type(tool._run('{"data_input": {"date": ["2023-01-01", "2023-01-02"], "values": [1, 2]}, "period": 1}')).__name__)
    print(zarvosdk.base.DatabaseConnector().connect()["message"])
    coroutine = tool._arun("x")   # left unawaited on purpose
"""


def test_interpreter_exits_cleanly_after_use():
    done = python_process(USE_EVERYTHING, warnings=None)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split("\n")[:2] == ["DataFrame", CREDENTIALS_MISSING]
    assert "Fatal" not in done.stderr


def test_interpreter_exits_cleanly_after_a_failed_import():
    done = python_process(
        """
        import sys
        sys.modules["pandas"] = None
        try:
            import zarvosdk.forecast_tool
        except ImportError as exc:
            print("refused:", type(exc).__name__)
        del sys.modules["pandas"]
        """,
        USE_EVERYTHING,
        warnings=None,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("refused: ModuleNotFoundError\nDataFrame\n")
    assert "Fatal" not in done.stderr
