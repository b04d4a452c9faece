"""Hostile stand-ins for the names the package's operations look up when they run.

Every module global an operation reads at call time (the framework's
factories, pd, re, json, parser, ...), the one sys.modules entry `_run`
imports on each call, the output streams the printing goes to, the builtins
resolved once at import, and each module's __builtins__ (read when a traceback
entry is made) is replaced in turn by stand-ins that are, or hand back, the
wrong type: bytes, None, an int, objects whose __str__, __eq__, __len__,
__iter__, __index__, __bool__, __format__ or attribute access raise, an
iterator that fails half way, and calls that raise. Each public operation that
uses the name then runs once, in this process, and must end in an exception or
in the result it promises (a status record, an error record), never in a crash,
a SystemError (an internal fault) or a changed sys.exc_info(). A leak-marked
test per module loops over all its cases and watches memory and the reference
counts of what the stand-ins hand back.
"""
import gc
import json
import sys
import warnings

import pandas as pd
import pytest

pytestmark = pytest.mark.sweep

with warnings.catch_warnings(record=True):
    import zarvosdk.agent as agent
    import zarvosdk.base as base
    import zarvosdk.forecast_tool as ft

from fakes import FakeAgent, RecordingAgentFactory, RecordingSQLDatabase, install_agent_fakes
from texts import FORECAST_NO_ASYNC


class Raised(Exception):
    """What the hostile stand-ins raise."""


HOSTILE = "hostile"
NO_TEXT = "no text"


def fail(*args, **kwargs):
    raise Raised(HOSTILE)


class UnprintableError(Exception):
    def __str__(self):
        raise Raised(NO_TEXT)


def breaking(dunder):
    """An object whose `dunder` raises."""
    return type("Breaks" + dunder.strip("_").title(), (), {dunder: fail})()


class AttributesRaise:
    """Every attribute but the host's own (__class__, __dict__, ...) raises."""

    def __getattribute__(self, name):
        if name.startswith("__"):
            return object.__getattribute__(self, name)
        raise Raised(HOSTILE)


class FailsHalfWay:
    def __iter__(self):
        yield "2023-01-01"
        yield 1
        raise Raised(HOSTILE)


class Raise:
    """A result that is an exception: the call raises it."""

    def __init__(self, kind):
        self.kind = kind


# What a stand-in hands back. Shared objects, so that the leak test can watch
# their reference counts.
RESULTS = {
    "bytes": b"Decimal('1')",
    "none": None,
    "int": 7,
    "str-raises": breaking("__str__"),
    "eq-raises": breaking("__eq__"),
    "len-raises": breaking("__len__"),
    "iter-raises": breaking("__iter__"),
    "index-raises": breaking("__index__"),
    "bool-raises": breaking("__bool__"),
    "format-raises": breaking("__format__"),
    "fails-half-way": FailsHalfWay(),
    "raises": Raise(Raised),
    "raises-unprintable": Raise(UnprintableError),
}


class Chain:
    """Any attribute is the chain itself; a call returns the result after
    `depth` more calls (depth 1: `re.match(...).group()` gives the result)."""

    def __init__(self, result, depth):
        self._result, self._depth = result, depth

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        return self

    def __call__(self, *args, **kwargs):
        if self._depth:
            return Chain(self._result, self._depth - 1)
        if isinstance(self._result, Raise):
            raise self._result.kind(HOSTILE)
        return self._result


STANDINS = {
    "is-bytes": b"bytes",
    "is-none": None,
    "is-int": 7,
    "attributes-raise": AttributesRaise(),
}
for _kind, _result in RESULTS.items():
    for _depth in (0, 1):
        STANDINS["%s@%d" % (_kind, _depth)] = Chain(_result, _depth)


# Operations ------------------------------------------------------------------

def is_error_record(result):
    return type(result) is dict and list(result) == ["error"] and type(result["error"]) is str


def is_status_of(connector, result):
    status = connector.connection_status
    return (result is status and list(status) == ["connected", "message"]
            and type(status["message"]) is str)


def unprintable_failure(exc):
    """The failure of taking the text of a caught exception whose __str__ raises."""
    return isinstance(exc, Raised) and str(exc) == NO_TEXT


class Operation:
    """`prepare()` runs before the stand-in is installed and returns the state
    `act(state)` works on; `check(state, result)` judges a result, and
    `may_raise(target, exc)` an exception."""

    def __init__(self, prepare, act, check=None, may_raise=None):
        self.prepare, self.act = prepare, act
        self.check = check or (lambda state, result: True)
        self.may_raise = may_raise or (lambda target, exc: True)


def connector():
    return base.DatabaseConnector("u", "p", "h", "d")


def runner():
    """Built under the stand-in: the runner keeps what the factory made."""
    return base.AgentRunner("llm", "toolkit")


def initializer():
    return agent.AgentInitializer("llm", "db")


def runner_may_raise(target, exc):
    # The status line of a failure names the exception, and printing goes to
    # sys.stdout: a stand-in there fails the print inside the handler too.
    return target == "sys.stdout" or unprintable_failure(exc)


def run_may_raise(target, exc):
    # Failures of the forecast are caught; printing their traceback and the
    # import of `traceback` are not.
    return target in ("sys.modules['traceback']", "sys.stderr") or unprintable_failure(exc)


def run_check(state, result):
    return is_error_record(result) or isinstance(result, pd.DataFrame)


def arun(tool):
    coroutine = tool._arun("x")
    try:
        coroutine.send(None)
    except NotImplementedError as exc:
        return str(exc)


def refused(call):
    def act(state):
        try:
            call()
        except TypeError:
            return "refused"
    return act


# A request that reaches every step of `_run`: a Decimal text, a pair, a number.
REQUEST = json.dumps({"data_input": {"date": ["2023-01-01", "2023-01-03", "2023-01-05"],
                                     "values": ["Decimal('10')", ["x", 20], 30]},
                      "period": 2}).replace("'", "\\u0027")


def forecast_table():
    return pd.DataFrame({"timestamp": ["2023-01-01", "2023-01-03", "2023-01-05"],
                         "values": [10, 20, 30]})


OPERATIONS = {
    "connect": Operation(connector, lambda c: c.connect(), is_status_of,
                         lambda target, exc: unprintable_failure(exc)),
    "getdbinstance": Operation(
        connector, lambda c: c.getdbinstance(),
        lambda c, result: result is c.db and type(c.connection_status["message"]) in (str, type(None)),
        lambda target, exc: unprintable_failure(exc)),
    "AgentRunner": Operation(lambda: None, lambda state: runner(),
                             lambda state, r: r.error is None or isinstance(r.error, Exception),
                             runner_may_raise),
    "AgentRunner.run": Operation(lambda: None, lambda state: runner().run("q")),
    "base: refused call": Operation(lambda: None, refused(lambda: base.DatabaseConnector.connect()),
                                    lambda state, result: result == "refused"),
    "conversatonal_memory": Operation(lambda: None, lambda state: agent.conversatonal_memory()),
    "AgentInitializer": Operation(lambda: None, lambda state: initializer()),
    "initialize_python_agent": Operation(initializer, lambda i: i.initialize_python_agent()),
    "initialize_sql_agent": Operation(initializer, lambda i: i.initialize_sql_agent()),
    "initialize_tools": Operation(initializer, lambda i: i.initialize_tools()),
    "create_agent": Operation(initializer, lambda i: i.create_agent()),
    "agent: refused call": Operation(lambda: None, refused(lambda: agent.conversatonal_memory(1)),
                                     lambda state, result: result == "refused"),
    "_run": Operation(ft.ForecastTool, lambda tool: tool._run(REQUEST), run_check, run_may_raise),
    "_run, failing": Operation(ft.ForecastTool, lambda tool: tool._run("{}"),
                               lambda state, result: is_error_record(result), run_may_raise),
    "_arun": Operation(ft.ForecastTool, arun,
                       lambda state, result: result == FORECAST_NO_ASYNC,
                       lambda target, exc: False),
    "conv_date": Operation(lambda: None, lambda state: ft.conv_date("2023/01/05")),
    "ts_forecast": Operation(forecast_table, lambda df: ft.ts_forecast(df, 2)),
    "forecast: refused call": Operation(lambda: None, refused(lambda: ft.conv_date()),
                                        lambda state, result: result == "refused"),
}

BASE_OPS = ["connect", "getdbinstance", "AgentRunner", "AgentRunner.run", "base: refused call"]
AGENT_OPS = ["conversatonal_memory", "AgentInitializer", "initialize_python_agent",
             "initialize_sql_agent", "initialize_tools", "create_agent", "agent: refused call"]
FORECAST_OPS = ["_run", "_run, failing", "_arun", "conv_date", "ts_forecast",
                "forecast: refused call"]

# (module, name) -> the operations that read it. A module of None stands for a
# place outside the package that an operation reads at call time.
TARGETS = {
    (base, "SQLDatabase"): ["connect", "getdbinstance"],
    (base, "create_sql_agent"): ["AgentRunner", "AgentRunner.run"],
    (base, "print"): ["AgentRunner", "AgentRunner.run"],
    (None, "sys.stdout"): ["AgentRunner", "AgentRunner.run"],
    (base, "__builtins__"): BASE_OPS,
    (agent, "ConversationBufferWindowMemory"): ["conversatonal_memory"],
    (agent, "SQLDatabaseToolkit"): ["AgentInitializer"],
    (agent, "create_sql_agent"): ["AgentInitializer", "initialize_sql_agent", "initialize_tools"],
    (agent, "create_python_agent"): ["AgentInitializer", "initialize_python_agent",
                                     "initialize_tools"],
    (agent, "PythonREPLTool"): ["AgentInitializer", "initialize_python_agent"],
    (agent, "AgentType"): ["initialize_sql_agent", "initialize_python_agent", "create_agent"],
    (agent, "Tool"): ["AgentInitializer", "initialize_tools"],
    (agent, "ForecastTool"): ["initialize_tools"],
    (agent, "initialize_agent"): ["create_agent"],
    (agent, "conversational_memory"): ["create_agent"],
    (agent, "__builtins__"): AGENT_OPS,
    (ft, "json"): ["_run", "_run, failing"],
    (ft, "re"): ["_run"],
    (ft, "pd"): ["_run", "ts_forecast"],
    (ft, "conv_date"): ["_run"],
    (ft, "ts_forecast"): ["_run"],
    (ft, "parser"): ["_run", "conv_date"],
    (ft, "LinearRegression"): ["_run", "ts_forecast"],
    (ft, "datetime"): ["_run", "ts_forecast"],
    (ft, "timedelta"): ["_run", "ts_forecast"],
    (ft, "sum"): ["ts_forecast"],
    (ft, "range"): ["ts_forecast"],
    (ft, "NotImplementedError"): ["_arun"],
    (None, "sys.modules['traceback']"): ["_run", "_run, failing"],
    (None, "sys.stderr"): ["_run, failing"],
    (ft, "__builtins__"): FORECAST_OPS,
}


# Names zarvosdk.agent binds that none of its operations reads when it runs.
AGENT_NAMES_NOT_READ = {"ChatOpenAI", "OpenAI", "SQLDatabase", "StreamlitCallbackHandler",
                        "PythonAstREPLTool", "os", "conversatonal_memory", "AgentInitializer"}


def test_targets_cover_every_name_the_agent_module_binds():
    # A name the module gains (a new tool's class, a new factory) needs its
    # cases above, or a place among the names no operation reads.
    bound = {name for name in vars(agent) if not name.startswith("__")}
    targeted = {name for module, name in TARGETS if module is agent} - {"__builtins__"}
    assert sorted(bound - AGENT_NAMES_NOT_READ) == sorted(targeted)
    assert AGENT_NAMES_NOT_READ <= bound


MODULE_LABELS = {base: "base", agent: "agent", ft: "forecast_tool"}


def target_label(module, name):
    return name if module is None else "%s.%s" % (MODULE_LABELS[module], name)


def install(mp, module, name, standin):
    if module is not None:
        mp.setattr(module, name, standin, raising=False)
    elif name == "sys.modules['traceback']":
        mp.setitem(sys.modules, "traceback", standin)
    else:
        mp.setattr(sys, name.split(".")[1], standin)


def install_good_fakes(mp):
    """Collaborators that work, so that each operation reaches the one name
    replaced by a stand-in."""
    mp.setattr(base, "SQLDatabase", RecordingSQLDatabase())
    mp.setattr(base, "create_sql_agent", RecordingAgentFactory(FakeAgent()))
    install_agent_fakes(mp, agent)
    mp.setattr(agent, "ConversationBufferWindowMemory", lambda **kwargs: object())


class Marker(Exception):
    """The exception being handled around every case."""


def run_case(module, name, standin, operation):
    """Runs one case inside a handler; returns ("raised", exc) or ("returned", result)."""
    op = OPERATIONS[operation]
    with pytest.MonkeyPatch.context() as mp:
        install_good_fakes(mp)
        state = op.prepare()
        try:
            raise Marker()
        except Marker as marker:
            with pytest.MonkeyPatch.context() as hostile:
                install(hostile, module, name, standin)
                try:
                    outcome = ("returned", op.act(state))
                except Exception as exc:  # judged below
                    outcome = ("raised", exc)
            assert sys.exc_info()[1] is marker, "the handled exception changed"
        assert sys.exc_info() == (None, None, None)
    return state, outcome


CASES = [
    pytest.param(module, name, standin, operation,
                 id="%s-%s-%s" % (target_label(module, name), label, operation))
    for (module, name), operations in TARGETS.items()
    for label, standin in STANDINS.items()
    for operation in operations
]


class NullWriter:
    def write(self, text):
        return len(text)

    def flush(self):
        pass


@pytest.fixture
def quiet(monkeypatch):
    """Status lines and tracebacks go nowhere (a capture would grow with them)."""
    monkeypatch.setattr(sys, "stdout", NullWriter())
    monkeypatch.setattr(sys, "stderr", NullWriter())


@pytest.mark.parametrize("module, name, standin, operation", CASES)
def test_hostile_standin(quiet, module, name, standin, operation):
    op = OPERATIONS[operation]
    target = target_label(module, name)
    state, (kind, value) = run_case(module, name, standin, operation)
    if kind == "raised":
        assert not isinstance(value, SystemError), value
        assert op.may_raise(target, value), repr(value)
    else:
        assert op.check(state, value), repr(value)


# Leaks -------------------------------------------------------------------------

ROUNDS = 3


def run_all(targets):
    for module, name in targets:
        for standin in STANDINS.values():
            for operation in TARGETS[(module, name)]:
                run_case(module, name, standin, operation)


def collected_counts(objects):
    gc.collect()
    return sys.getallocatedblocks(), [sys.getrefcount(o) for o in objects]


def targets_of(operations):
    return [target for target, ops in TARGETS.items() if set(ops) <= set(operations)]


@pytest.mark.leak
@pytest.mark.parametrize("operations", [BASE_OPS, AGENT_OPS, FORECAST_OPS],
                         ids=["base", "agent", "forecast_tool"])
def test_hostile_standins_do_not_leak(quiet, operations):
    targets = targets_of(operations)
    watched = [r for r in RESULTS.values() if r is not None and not isinstance(r, (int, Raise))]
    run_all(targets)  # warm-up: caches of the libraries settle
    blocks, counts = collected_counts(watched)
    growth = []
    for _ in range(ROUNDS):
        run_all(targets)
        after, _ = collected_counts(watched)
        growth.append(after - blocks)
        blocks = after
    cases = len(STANDINS) * sum(len(TARGETS[t]) for t in targets)
    # A leak keeps at least a block for every case that takes its path; the
    # libraries' caches move by a few dozen blocks either way between rounds.
    assert min(growth) < cases // 10, "memory grows with every round: %r" % growth
    # A reference kept to what a stand-in handed back grows with every round.
    assert all(now <= then for now, then in zip(collected_counts(watched)[1], counts))
