"""Repeated calls of every public operation must not grow memory or keep references.

Each case runs an operation after a warm-up in several rounds and watches
sys.getallocatedblocks(); a leak shows as growth in every round. The objects
passed in must keep their reference counts.
"""
import asyncio
import gc
import inspect
import pickle
import sys
import typing
import warnings

import pytest

with warnings.catch_warnings(record=True):
    import zarvosdk.base as base
    import zarvosdk.forecast_tool as ft

from fakes import AGENT_FRAMEWORK_CALLS, FailingDatabase, FakeAgent, FakeDatabase, Made
from subprocesses import python_process

pytestmark = pytest.mark.leak

CALLS = 200
ROUNDS = 4


def allocated_growth(operation, calls=CALLS, rounds=ROUNDS):
    """Blocks gained per round of `calls` calls, after one warm-up round."""
    for _ in range(calls):
        operation()
    growth = []
    for _ in range(rounds):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(calls):
            operation()
        gc.collect()
        growth.append(sys.getallocatedblocks() - before)
    return growth


def assert_no_leak(operation, *watched):
    counts = [sys.getrefcount(o) for o in watched]
    growth = allocated_growth(operation)
    # A real leak grows by at least a block per call in every round; caches
    # of the libraries settle after the warm-up.
    assert min(growth) < CALLS // 2, "memory grows with every call: %r" % growth
    assert [sys.getrefcount(o) for o in watched] == counts


def raises(exc, function, *args, **kwargs):
    def operation():
        try:
            function(*args, **kwargs)
        except exc:
            pass
        else:  # pragma: no cover - the case is wrong, not the package
            raise AssertionError("expected %s" % exc.__name__)

    return operation


def fake_create_sql_agent(**kwargs):
    return FakeAgent()


def failing_create_sql_agent(**kwargs):
    raise RuntimeError("no agent")


@pytest.fixture
def quiet(monkeypatch, capsys):
    """Keeps printed status lines and tracebacks out of the measurements' way."""
    monkeypatch.setattr(base, "print", lambda *a: None, raising=False)
    yield
    capsys.readouterr()


# Frame ----------------------------------------------------------------------

def test_binding_refusals_do_not_leak():
    c = base.DatabaseConnector()
    marker = object()
    cases = [
        raises(TypeError, base.DatabaseConnector, 1, 2, 3, 4, 5),
        raises(TypeError, base.DatabaseConnector, bogus=marker),
        raises(TypeError, base.DatabaseConnector, 1, db_user=marker),
        raises(TypeError, base.DatabaseConnector, **{"db_user": marker, "x": 1}),
        raises(TypeError, c.connect, marker),
        raises(TypeError, ft.ts_forecast, marker),
        raises(TypeError, ft.ts_forecast, marker, 1.5),
        raises(TypeError, ft.ForecastTool._run, marker, None),
    ]
    for case in cases:
        assert_no_leak(case, marker)


def test_introspection_and_pickling_do_not_leak():
    functions = [base.AgentRunner.__init__, ft.ts_forecast, ft.ForecastTool._run]
    for f in functions:
        assert_no_leak(lambda: inspect.signature(f), f)
        assert_no_leak(lambda: typing.get_type_hints(f), f)
        assert_no_leak(lambda: pickle.loads(pickle.dumps(f)), f)
        assert_no_leak(lambda: (f.__code__, f.__defaults__, f.__annotations__, f._is_coroutine), f)


def test_coroutines_do_not_leak():
    tool = ft.ForecastTool()

    def create_and_close():
        tool._arun("x").close()

    def await_refusal():
        coroutine = tool._arun("x")
        try:
            coroutine.send(None)
        except NotImplementedError:
            pass

    assert_no_leak(create_and_close, tool)
    assert_no_leak(await_refusal, tool)
    assert_no_leak(lambda: ft.ForecastTool._arun._is_coroutine and asyncio.iscoroutinefunction(tool._arun))


# zarvosdk.base ---------------------------------------------------------------

@pytest.mark.parametrize(
    "database, credentials",
    [
        (FakeDatabase, ("u", "p", "h", "d")),
        (FakeDatabase, ("u", "p", "h", None)),
        (FailingDatabase, ("u", "p", "h", 5)),
    ],
    ids=["success", "missing-credential", "failure"],
)
def test_connector_does_not_leak(monkeypatch, database, credentials):
    monkeypatch.setattr(base, "SQLDatabase", database)
    user = "user-%d" % id(database)

    def connect():
        c = base.DatabaseConnector(user, *credentials[1:])
        c.connect()
        c.getdbinstance()

    assert_no_leak(connect, user, FakeDatabase.handle)


@pytest.mark.parametrize(
    "factory", [fake_create_sql_agent, failing_create_sql_agent, lambda **kw: None],
    ids=["agent", "raises", "none"],
)
def test_runner_does_not_leak(monkeypatch, quiet, factory):
    monkeypatch.setattr(base, "create_sql_agent", factory)
    llm, toolkit, question = object(), object(), object()

    def construct_and_run():
        base.AgentRunner(llm, toolkit).run(question)

    assert_no_leak(construct_and_run, llm, toolkit, question)


def test_runner_propagated_failure_does_not_leak(monkeypatch, quiet):
    class Broken:
        def run(self, query):
            raise KeyError(query)

    monkeypatch.setattr(base, "create_sql_agent", lambda **kw: Broken())
    runner = base.AgentRunner(object(), object())
    question = object()
    assert_no_leak(raises(KeyError, runner.run, question), runner, question)


# zarvosdk.forecast_tool --------------------------------------------------------

GOOD = '{"data_input": {"date": ["2023-01-01", "2023-01-03", "2023-01-05"], "values": [10, 20, 30]}, "period": 2}'


@pytest.mark.parametrize(
    "request_text",
    [
        GOOD,
        GOOD.replace('"', "'"),
        '{"data_input": {"date": ["2023-01-01", "2023-01-03"], "values": [["a", 1], "Decimal(\\u002712.5\\u0027)"]}, "period": 1}',
        "not json",
        '{"data_input": {"date": ["2023-01-01"], "values": [1, 2]}, "period": 1}',
        '{"data_input": {"date": ["2023-01-01", "2023-01-03"], "values": [1, 2]}}',
        '{"data_input": {"date": ["2023-01-01", "2023-01-03"], "values": [1, 2]}, "period": 1.5}',
        '{"data_input": {"date": ["2023-01-01"], "values": [1]}, "period": 1}',
        "[]",
    ],
    ids=["table", "single-quotes", "normalised", "undecodable", "unequal", "no-period",
         "float-period", "one-row", "not-object"],
)
def test_forecast_requests_do_not_leak(capsys, request_text):
    tool = ft.ForecastTool()
    assert_no_leak(lambda: tool._run(request_text), tool, request_text)
    capsys.readouterr()


def test_forecaster_does_not_leak():
    import pandas as pd

    def forecast():
        df = pd.DataFrame({"timestamp": ["2023-01-01", "2023-01-02", "2023-01-04"], "values": [1, 2, 3]})
        ft.ts_forecast(df, 3)

    assert_no_leak(forecast)
    text = "Jan 5 2023"
    assert_no_leak(lambda: ft.conv_date(text), text)
    assert_no_leak(raises(Exception, ft.conv_date, "not a date at all"))


# zarvosdk.agent ----------------------------------------------------------------

def test_agent_assembly_does_not_leak(monkeypatch):
    with warnings.catch_warnings(record=True):
        import zarvosdk.agent as agent

    for name in AGENT_FRAMEWORK_CALLS:
        monkeypatch.setattr(agent, name, Made)
    llm, db = object(), object()

    def assemble():
        agent.AgentInitializer(llm, db, 7).create_agent()
        agent.conversatonal_memory

    assert_no_leak(assemble, llm, db)
    assert_no_leak(raises(TypeError, agent.conversatonal_memory, llm), llm)


# Failed imports --------------------------------------------------------------------

def test_repeated_failed_imports_do_not_leak():
    code = """
import gc, sys, warnings
warnings.simplefilter("ignore")
sys.modules["pymysql"] = None
def attempt():
    try:
        import zarvosdk.base
    except ImportError:
        pass
    else:
        raise SystemExit("import succeeded")
for _ in range(20):
    attempt()
growth = []
for _ in range(3):
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(500):
        attempt()
    gc.collect()
    growth.append(sys.getallocatedblocks() - before)
print(min(growth))
"""
    done = python_process(code)
    assert done.returncode == 0, done.stderr
    # The interpreter's caches move by up to a hundred or so blocks either way
    # (more on 3.13 than on 3.9); a leak would keep at least a block for every
    # one of the 500 attempts.
    assert int(done.stdout.split()[-1]) < 250
