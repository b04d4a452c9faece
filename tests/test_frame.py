"""How the native modules load into the host and how their functions present
themselves: argument binding, introspection, pickling, tracebacks, and the
create / exec life cycle (fresh interpreters run in subprocesses)."""

import builtins
import copy
import importlib
import inspect
import json
import os
import pickle
import re
import sys
import textwrap
import traceback
import types
import typing

import pytest

import zarvosdk
import zarvosdk.base as base
from zarvosdk.base import AgentRunner, DatabaseConnector

from fakes import FakeAgent, RecordingAgentFactory, RecordingSQLDatabase
from subprocesses import run_python
from texts import CREDENTIALS_MISSING, MEMORY_TAKES_NO_ARGUMENTS, MEMORY_TAKES_NO_KEYWORDS

ZERO_SHOT = base.AgentType.ZERO_SHOT_REACT_DESCRIPTION


@pytest.fixture
def connector(monkeypatch):
    monkeypatch.setattr(base, "SQLDatabase", RecordingSQLDatabase())
    return DatabaseConnector("u", "p", "h", "d")


@pytest.fixture
def runner(monkeypatch, capsys):
    monkeypatch.setattr(base, "create_sql_agent", RecordingAgentFactory())
    r = AgentRunner("llm", "toolkit")
    capsys.readouterr()
    return r


# Argument binding ---------------------------------------------------------------

# (call, expected message); `c` is a DatabaseConnector, `r` an AgentRunner.
POSITIONAL_REFUSALS = [
    # methods through an instance: the counts include the instance
    (lambda c, r: c.connect(1), "connect() takes exactly 1 positional argument (2 given)"),
    (lambda c, r: c.getdbinstance(1, 2),
     "getdbinstance() takes exactly 1 positional argument (3 given)"),
    (lambda c, r: r.run(), "run() takes exactly 2 positional arguments (1 given)"),
    (lambda c, r: r.run(1, 2), "run() takes exactly 2 positional arguments (3 given)"),
    (lambda c, r: DatabaseConnector(1, 2, 3, 4, 5),
     "__init__() takes at most 5 positional arguments (6 given)"),
    (lambda c, r: AgentRunner(), "__init__() takes at least 3 positional arguments (1 given)"),
    (lambda c, r: AgentRunner("llm"),
     "__init__() takes at least 3 positional arguments (2 given)"),
    (lambda c, r: AgentRunner(1, 2, 3, 4, 5),
     "__init__() takes at most 5 positional arguments (6 given)"),
    # plain functions read from the class
    (lambda c, r: DatabaseConnector.connect(),
     "connect() takes exactly 1 positional argument (0 given)"),
    (lambda c, r: DatabaseConnector.getdbinstance(c, c),
     "getdbinstance() takes exactly 1 positional argument (2 given)"),
    (lambda c, r: DatabaseConnector.__init__(),
     "__init__() takes at least 1 positional argument (0 given)"),
    (lambda c, r: AgentRunner.run(r), "run() takes exactly 2 positional arguments (1 given)"),
]

KEYWORD_REFUSALS = [
    # a required parameter missing while keywords were passed: the count given
    # is the number of parameters before the first missing one
    (lambda c, r: AgentRunner(toolkit="t"),
     "__init__() takes at least 3 positional arguments (1 given)"),
    (lambda c, r: AgentRunner(llm="l", verbose=False),
     "__init__() takes at least 3 positional arguments (2 given)"),
    (lambda c, r: AgentRunner.run(query="q"),
     "run() takes exactly 2 positional arguments (0 given)"),
    (lambda c, r: AgentRunner.__init__(r, "l", agent_type=None),
     "__init__() takes at least 3 positional arguments (2 given)"),
    # unknown keyword
    (lambda c, r: DatabaseConnector(db_port=3306),
     "__init__() got an unexpected keyword argument 'db_port'"),
    (lambda c, r: c.connect(timeout=3), "connect() got an unexpected keyword argument 'timeout'"),
    (lambda c, r: r.run("q", verbose=True), "run() got an unexpected keyword argument 'verbose'"),
    (lambda c, r: AgentRunner("l", "t", model="m"),
     "__init__() got an unexpected keyword argument 'model'"),
    (lambda c, r: DatabaseConnector.connect(self=c, extra=1),
     "connect() got an unexpected keyword argument 'extra'"),
    # keyword for a parameter already given by position
    (lambda c, r: DatabaseConnector("u", db_user="v"),
     "__init__() got multiple values for keyword argument 'db_user'"),
    (lambda c, r: c.getdbinstance(self=c),
     "getdbinstance() got multiple values for keyword argument 'self'"),
    (lambda c, r: AgentRunner.run(r, "q", query="again"),
     "run() got multiple values for keyword argument 'query'"),
    (lambda c, r: AgentRunner("l", "t", True, ZERO_SHOT, verbose=False),
     "__init__() got multiple values for keyword argument 'verbose'"),
]


@pytest.mark.parametrize("call, message", POSITIONAL_REFUSALS + KEYWORD_REFUSALS)
def test_binding_refusal_messages(connector, runner, call, message):
    with pytest.raises(TypeError) as info:
        call(connector, runner)
    assert str(info.value) == message
    # a refused call never reaches the body (the runner fixture built one agent)
    assert base.SQLDatabase.calls == []
    assert len(base.create_sql_agent.calls) == 1


def test_every_parameter_binds_by_keyword(connector, runner):
    c = DatabaseConnector(db_name="d", db_host="h", db_user="u")
    assert (c.db_user, c.db_password, c.db_host, c.db_name) == ("u", None, "h", "d")
    assert DatabaseConnector.connect(self=connector) is connector.connection_status
    assert runner.run(query="q") == "the answer"
    assert AgentRunner.run(self=runner, query="q") == "the answer"
    AgentRunner.__init__(runner, agent_type="t", toolkit="tk", llm="m", verbose=0)
    assert (runner.llm, runner.toolkit, runner.verbose, runner.agent_type) == ("m", "tk", 0, "t")


def test_keywords_must_be_strings(connector, runner):
    testcapi = pytest.importorskip("_testcapi")
    vectorcall = testcapi.pyobject_vectorcall
    cases = [
        (connector.connect, (1,), (2,), "connect() keywords must be strings"),
        (DatabaseConnector.getdbinstance, (connector, 1), (2,),
         "getdbinstance() keywords must be strings"),
        (runner.run, ("q", 1), (b"query",), "run() keywords must be strings"),
        (AgentRunner.__init__, (runner, "l", "t", 1), (None,), "__init__() keywords must be strings"),
    ]
    for function, args, kwnames, message in cases:
        with pytest.raises(TypeError) as info:
            vectorcall(function, args, kwnames)
        assert str(info.value) == message


# Keywords decoded from a text (JSON keys) equal the parameter names without
# being the interned objects the binder compares first.
def decoded(text):
    keywords = json.loads(text)
    assert all(key is not sys.intern(key) for key in keywords)
    return keywords


def test_keywords_that_equal_parameter_names_bind(connector, runner):
    import zarvosdk.forecast_tool as ft

    c = DatabaseConnector(**decoded('{"db_name": "d", "db_host": "h", "db_user": "u"}'))
    assert (c.db_user, c.db_password, c.db_host, c.db_name) == ("u", None, "h", "d")
    self_keyword = {key: connector for key in decoded('{"self": 0}')}
    assert DatabaseConnector.connect(**self_keyword) is connector.connection_status
    assert runner.run(**decoded('{"query": "q"}')) == "the answer"
    assert ft.conv_date(**decoded('{"dt": "2023-01-05"}')) == "2023-01-05"
    tool = ft.ForecastTool()
    assert ft.ForecastTool._run(tool, **decoded('{"input": "{}"}')) == {"error": "'data_input'"}
    with pytest.raises(TypeError) as info:
        DatabaseConnector("u", **decoded('{"db_user": "v"}'))
    assert str(info.value) == "__init__() got multiple values for keyword argument 'db_user'"
    with pytest.raises(TypeError) as info:
        ft.ts_forecast(**decoded('{"df": 1, "period": 2.5}'))
    assert str(info.value) == (
        "Argument 'period' has incorrect type (expected int, got float)")


def functions_with_parameter_counts():
    import zarvosdk.agent as agent
    import zarvosdk.forecast_tool as ft

    # (function, parameters, message format for a count given)
    return [
        (DatabaseConnector.__init__, 5, "__init__() takes at most 5 positional arguments (%d given)"),
        (AgentRunner.__init__, 5, "__init__() takes at most 5 positional arguments (%d given)"),
        (AgentRunner.run, 2, "run() takes exactly 2 positional arguments (%d given)"),
        (ft.ts_forecast, 2, "ts_forecast() takes exactly 2 positional arguments (%d given)"),
        (ft.ForecastTool._run, 2, "_run() takes exactly 2 positional arguments (%d given)"),
        (ft.conv_date, 1, "conv_date() takes exactly 1 positional argument (%d given)"),
        (agent.AgentInitializer.__init__, 4,
         "__init__() takes at most 4 positional arguments (%d given)"),
        (agent.conversatonal_memory, 0, "conversatonal_memory() takes no arguments (%d given)"),
    ]


@pytest.mark.parametrize("count", [1, 2, 100, 100000])
def test_argument_lists_longer_than_any_parameter_list(count):
    for function, nparams, message in functions_with_parameter_counts():
        given = nparams + count
        with pytest.raises(TypeError) as info:
            function(*[None] * given)
        assert str(info.value) == message % given
        flood = {"k%d" % i: i for i in range(count)}
        expected = ("%s() takes no keyword arguments" % function.__name__ if nparams == 0 else
                    "%s() got an unexpected keyword argument 'k0'" % function.__name__)
        with pytest.raises(TypeError) as info:
            function(*[None] * nparams, **flood)
        assert str(info.value) == expected


@pytest.fixture
def parameterless():
    """A package function without parameters (the agent module's memory factory)."""
    try:
        import zarvosdk.agent as agent
    except ImportError as e:  # the agent module cannot be loaded here
        pytest.skip("zarvosdk.agent not importable: %s" % e)
    function = getattr(agent, "conversatonal_memory", None)
    if function is None:
        pytest.skip("zarvosdk.agent defines no parameterless function yet")
    return function


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, MEMORY_TAKES_NO_ARGUMENTS),
        ((1, 2), {}, "conversatonal_memory() takes no arguments (2 given)"),
        ((), {"k": 5}, MEMORY_TAKES_NO_KEYWORDS),
        ((1,), {"k": 5}, MEMORY_TAKES_NO_KEYWORDS),
    ],
)
def test_parameterless_function_refusals(parameterless, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        parameterless(*args, **kwargs)
    assert str(info.value) == message


# Introspection --------------------------------------------------------------------

P = inspect.Parameter


@pytest.mark.parametrize(
    "obj, expected",
    [
        (DatabaseConnector, [("db_user", None), ("db_password", None), ("db_host", None),
                             ("db_name", None)]),
        (DatabaseConnector.__init__, [("self", P.empty), ("db_user", None),
                                      ("db_password", None), ("db_host", None),
                                      ("db_name", None)]),
        (DatabaseConnector.connect, [("self", P.empty)]),
        (DatabaseConnector("u").getdbinstance, []),
        (AgentRunner, [("llm", P.empty), ("toolkit", P.empty), ("verbose", True),
                       ("agent_type", ZERO_SHOT)]),
        (AgentRunner.run, [("self", P.empty), ("query", P.empty)]),
    ],
)
def test_signature_reports_parameters_and_defaults(obj, expected):
    params = list(inspect.signature(obj).parameters.values())
    assert [(p.name, p.default) for p in params] == expected
    for p in params:
        assert p.kind is P.POSITIONAL_OR_KEYWORD
        assert p.annotation is P.empty
        if p.default is not P.empty:
            # the very objects given as defaults, not equal copies
            assert p.default is dict(expected)[p.name]


@pytest.mark.parametrize(
    "obj",
    [DatabaseConnector.__init__, DatabaseConnector.connect, AgentRunner.run,
     DatabaseConnector("u").connect, DatabaseConnector, AgentRunner],
)
def test_get_type_hints_on_unannotated_objects(obj):
    assert typing.get_type_hints(obj) == {}


def test_get_type_hints_resolves_texts_in_the_module_namespace():
    function = AgentRunner.run
    saved = function.__annotations__
    function.__annotations__ = {"query": "AgentType", "return": "typing.Optional[str]"}
    try:
        hints = typing.get_type_hints(function, localns={"typing": typing})
        assert hints == {"query": base.AgentType, "return": typing.Optional[str]}
        assert inspect.signature(function).parameters["query"].annotation == "AgentType"
    finally:
        function.__annotations__ = saved
    assert AgentRunner.run.__annotations__ == {}


FUNCTIONS = [
    # (function, name, qualname, parameters, defaults)
    (DatabaseConnector.__init__, "__init__", "DatabaseConnector.__init__",
     ("self", "db_user", "db_password", "db_host", "db_name"), (None, None, None, None)),
    (DatabaseConnector.connect, "connect", "DatabaseConnector.connect", ("self",), None),
    (DatabaseConnector.getdbinstance, "getdbinstance", "DatabaseConnector.getdbinstance",
     ("self",), None),
    (AgentRunner.__init__, "__init__", "AgentRunner.__init__",
     ("self", "llm", "toolkit", "verbose", "agent_type"), (True, ZERO_SHOT)),
    (AgentRunner.run, "run", "AgentRunner.run", ("self", "query"), None),
]


@pytest.mark.parametrize("function, name, qualname, params, defaults", FUNCTIONS)
def test_function_attributes(function, name, qualname, params, defaults):
    assert function.__name__ == name
    assert function.__qualname__ == qualname
    assert function.__module__ == "zarvosdk.base"
    assert function.__doc__ is None
    if defaults is None:
        assert function.__defaults__ is None
    else:
        assert function.__defaults__ == defaults
        assert all(a is b for a, b in zip(function.__defaults__, defaults))
    assert function.__kwdefaults__ is None
    assert function.__globals__ is vars(base)
    assert function.__closure__ is None
    assert isinstance(function.__dict__, dict)
    assert function._is_coroutine is False
    code = function.__code__
    assert isinstance(code, types.CodeType)
    assert code.co_name == name
    assert code.co_argcount == len(params)
    assert code.co_varnames[: code.co_argcount] == params
    assert code.co_posonlyargcount == 0 and code.co_kwonlyargcount == 0
    assert not code.co_flags & (inspect.CO_VARARGS | inspect.CO_VARKEYWORDS | inspect.CO_COROUTINE)


def host_init(self, db_user=None, db_password=None, db_host=None, db_name=None):
    """DatabaseConnector.__init__'s signature as a function of the host."""
    return (db_user, db_password, db_host, db_name)


# (__defaults__ assigned, call) -> bound credentials or the TypeError's text
ASSIGNED_DEFAULTS = [
    (("h", "d"), lambda cls: cls("u", "p"), ("u", "p", "h", "d")),
    (("h", "d"), lambda cls: cls(db_user="u", db_password="p", db_name="n"), ("u", "p", "h", "n")),
    ((1, 2, 3, 4, 5, 6), lambda cls: cls(), (3, 4, 5, 6)),
    (("d",), lambda cls: cls("u", "p"), "__init__() takes at least 4 positional arguments (3 given)"),
    (("d",), lambda cls: cls(db_user="u", db_host="h"),
     "__init__() takes at least 4 positional arguments (2 given)"),
    (None, lambda cls: cls("u", "p", "h"), "__init__() takes exactly 5 positional arguments (4 given)"),
    ((), lambda cls: cls("u", "p", "h"), "__init__() takes exactly 5 positional arguments (4 given)"),
]


@pytest.mark.parametrize("defaults, call, expected", ASSIGNED_DEFAULTS)
def test_assigned_defaults_are_what_a_call_binds(monkeypatch, defaults, call, expected):
    monkeypatch.setattr(DatabaseConnector.__init__, "__defaults__", defaults)
    monkeypatch.setattr(host_init, "__defaults__", defaults)
    assert DatabaseConnector.__init__.__defaults__ is defaults
    if isinstance(expected, str):
        with pytest.raises(TypeError, match=re.escape(expected) + "$"):
            call(DatabaseConnector)
        with pytest.raises(TypeError):
            call(lambda *args, **kwargs: host_init(None, *args, **kwargs))
    else:
        c = call(DatabaseConnector)
        assert (c.db_user, c.db_password, c.db_host, c.db_name) == expected
        assert call(lambda *args, **kwargs: host_init(None, *args, **kwargs)) == expected


@pytest.mark.parametrize("attribute, value", [("__defaults__", [1]), ("__defaults__", {}),
                                              ("__kwdefaults__", ()), ("__kwdefaults__", [])])
def test_defaults_take_only_the_hosts_types(monkeypatch, attribute, value):
    function = DatabaseConnector.__init__
    before = getattr(function, attribute)
    with pytest.raises(TypeError) as host_refusal:
        setattr(host_init, attribute, value)
    with pytest.raises(TypeError) as refusal:
        setattr(function, attribute, value)
    assert str(refusal.value) == str(host_refusal.value)
    assert getattr(function, attribute) == before
    monkeypatch.delattr(function, attribute)
    assert getattr(function, attribute) is None


@pytest.mark.parametrize("kwdefaults", [None, {}, {"seconds": 1.0}, {"max_rows": 5, "tables": None}])
def test_keyword_only_parameter_without_a_default_is_required(monkeypatch, kwdefaults):
    guard = pytest.importorskip("zarvosdk.guard")

    def read_only(db, *, seconds, max_rows, max_bytes, tables):
        pass

    read_only.__qualname__ = "read_only"  # named in the host's message from 3.10 on
    monkeypatch.setattr(guard.read_only, "__kwdefaults__", kwdefaults)
    read_only.__kwdefaults__ = kwdefaults
    with pytest.raises(TypeError) as host_refusal:
        read_only(None)
    with pytest.raises(TypeError) as refusal:
        guard.read_only(None)
    assert str(refusal.value) == str(host_refusal.value)
    assert inspect.signature(guard.read_only) == inspect.signature(read_only)
    # every keyword-only value given: the call binds and the body refuses the handle
    with pytest.raises(TypeError, match="SQLDatabase handle"):
        guard.read_only(None, seconds=1, max_rows=1, max_bytes=1, tables=None)


def test_functions_bind_as_methods(connector):
    function = DatabaseConnector.__dict__["connect"]
    assert DatabaseConnector.connect is function  # read through the class: itself
    bound = connector.connect
    assert isinstance(bound, types.MethodType)
    assert bound.__func__ is function and bound.__self__ is connector
    assert bound == connector.connect
    assert function.__get__(connector, DatabaseConnector) == bound
    assert function.__get__(None, DatabaseConnector) is function
    assert bound() is connector.connection_status


def test_function_dict_takes_attributes():
    function = AgentRunner.run
    function.marker = 7
    try:
        assert function.__dict__["marker"] == 7
    finally:
        del function.marker
    assert "marker" not in function.__dict__


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("function", [f[0] for f in FUNCTIONS], ids=[f[2] for f in FUNCTIONS])
def test_functions_pickle_by_qualified_name(function, protocol):
    data = pickle.dumps(function, protocol)
    assert b"zarvosdk.base" in data
    assert pickle.loads(data) is function


def test_bound_method_pickles_and_copies(connector):
    restored = pickle.loads(pickle.dumps(connector.connect))
    assert restored.__func__ is DatabaseConnector.connect
    assert restored.__self__.db_user == "u"
    assert copy.deepcopy(AgentRunner.run) is AgentRunner.run
    assert copy.copy(DatabaseConnector.getdbinstance) is DatabaseConnector.getdbinstance


# Tracebacks -----------------------------------------------------------------------


def entry_names(exc):
    return [frame.name for frame in traceback.extract_tb(exc.__traceback__)]


def test_traceback_entry_for_exception_leaving_a_method(connector):
    del connector.db_password  # the credential check reads it outside any handler
    with pytest.raises(AttributeError) as info:
        connector.connect()
    assert entry_names(info.value)[-1] == "zarvosdk.base.DatabaseConnector.connect"
    text = "".join(traceback.format_exception(info.type, info.value, info.tb))
    assert "in zarvosdk.base.DatabaseConnector.connect" in text


def test_traceback_entry_precedes_the_callee(monkeypatch):
    failure = LookupError("agent failed")
    monkeypatch.setattr(base, "create_sql_agent", RecordingAgentFactory(FakeAgent(raises=failure)))
    r = AgentRunner("llm", "toolkit")
    with pytest.raises(LookupError) as info:
        r.run("q")
    names = entry_names(info.value)
    assert names[-2:] == ["zarvosdk.base.AgentRunner.run", "run"]


def test_traceback_entry_for_a_binding_refusal():
    with pytest.raises(TypeError) as info:
        DatabaseConnector.getdbinstance()
    assert entry_names(info.value)[-1] == "zarvosdk.base.DatabaseConnector.getdbinstance"


def test_traceback_entry_for_a_non_exception(monkeypatch, connector):
    class Stop(BaseException):
        pass

    monkeypatch.setattr(base, "SQLDatabase", RecordingSQLDatabase(Stop()))
    with pytest.raises(Stop) as info:
        connector.getdbinstance()
    names = entry_names(info.value)
    assert "zarvosdk.base.DatabaseConnector.getdbinstance" in names
    assert names.index("zarvosdk.base.DatabaseConnector.getdbinstance") < names.index("from_uri")


# Module objects -------------------------------------------------------------------


def test_submodule_attributes():
    spec = base.__spec__
    assert base.__name__ == "zarvosdk.base"
    assert base.__doc__ is None
    assert base.__package__ == "zarvosdk"
    assert base.__loader__ is spec.loader
    assert base.__file__ == spec.origin
    assert not hasattr(base, "__path__")
    assert base.__builtins__ is builtins
    assert type(base.__test__) is dict and base.__test__ == {}
    # __test__ is bound after the whole top level (other tests may re-bind
    # names they patched, which moves those behind it).
    names = list(vars(base))
    assert names.index("__test__") > names.index("AgentRunner") > names.index("DatabaseConnector")


def test_reimport_after_removal_gives_the_same_module(monkeypatch):
    original_class = base.DatabaseConnector
    sentinel = object()
    # The host's importer rewrites the import spec attributes of the module it gets
    # back; keep them for the other tests.
    for name in ("__spec__", "__loader__", "__file__", "__package__", "__name__"):
        monkeypatch.setattr(base, name, getattr(base, name))
    # A second run of the top level would bind the class again.
    monkeypatch.setattr(base, "DatabaseConnector", sentinel)
    monkeypatch.delitem(sys.modules, "zarvosdk.base")
    monkeypatch.delattr(zarvosdk, "base")
    again = importlib.import_module("zarvosdk.base")
    assert again is base
    assert sys.modules["zarvosdk.base"] is base
    assert base.DatabaseConnector is sentinel
    assert importlib.reload(base) is base
    assert base.DatabaseConnector is sentinel
    monkeypatch.undo()
    assert base.DatabaseConnector is original_class


def test_package_import_loads_no_submodule():
    result = run_python(
        """
        import builtins, json, sys
        import zarvosdk
        print(json.dumps({
            "loaded": sorted(m for m in sys.modules
                             if m.startswith("zarvosdk.") or m == "forecast_tool"),
            "names": sorted(vars(zarvosdk)),
            "test": [type(zarvosdk.__test__).__name__, len(zarvosdk.__test__)],
            "path": zarvosdk.__path__ == zarvosdk.__spec__.submodule_search_locations,
            "doc": zarvosdk.__doc__,
            "package": zarvosdk.__package__,
            "builtins": zarvosdk.__builtins__ is builtins,
            "langchain": "langchain" in sys.modules,
        }))
        """
    )
    assert result == {
        "loaded": [],
        "names": sorted(["__builtins__", "__doc__", "__file__", "__loader__", "__name__",
                         "__package__", "__path__", "__spec__", "__test__"]),
        "test": ["dict", 0],
        "path": True,
        "doc": None,
        "package": "zarvosdk",
        "builtins": True,
        "langchain": False,
    }


def test_package_refuses_a_second_module_object():
    result = run_python(
        """
        import _imp, importlib.util, json, sys
        spare = importlib.util.module_from_spec(importlib.util.find_spec("zarvosdk"))
        import zarvosdk
        outcome = {"spare": spare is not zarvosdk, "again": _imp.exec_dynamic(zarvosdk)}
        try:
            _imp.exec_dynamic(spare)
            outcome["reinit"] = "accepted"
        except RuntimeError as e:
            outcome["reinit"] = str(e)
        outcome["kept"] = sys.modules["zarvosdk"] is zarvosdk
        print(json.dumps(outcome))
        """
    )
    assert result == {
        "spare": True,
        "again": 0,
        "reinit": "Module 'zarvosdk' has already been imported. Re-initialisation is not supported.",
        "kept": True,
    }


def test_module_under_two_names_is_one_object():
    result = run_python(
        """
        import importlib.util, json, sys
        import forecast_tool
        zft = importlib.import_module("zarvosdk.forecast_tool")
        import zarvosdk.base
        # the base module's file loaded again under its short name
        spec = importlib.util.spec_from_file_location("base", zarvosdk.base.__file__)
        alias = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(alias)
        print(json.dumps({
            "forecast_same": forecast_tool is zft,
            "forecast_name": forecast_tool.__name__,
            "base_same": alias is zarvosdk.base,
            "base_name": alias.__name__,
            "module": alias.DatabaseConnector.connect.__module__,
        }))
        """
    )
    assert result == {
        "forecast_same": True,
        "forecast_name": result["forecast_name"],
        "base_same": True,
        "base_name": "zarvosdk.base",
        "module": "zarvosdk.base",
    }
    assert result["forecast_name"] in ("forecast_tool", "zarvosdk.forecast_tool")


INTERPRETER_CHANGE = (
    "Interpreter change detected - this module can only be loaded into one interpreter per "
    "process."
)


def test_second_interpreter_is_refused(tmp_path):
    pytest.importorskip("_testcapi")
    out = tmp_path / "subinterp.json"
    # Runs inside the sub-interpreter: tries the package, then the base
    # module's file directly, and writes what happened to OUT.
    inner = textwrap.dedent(
        """
        import importlib.util, json
        out = {}
        try:
            import zarvosdk
            out["package"] = "imported"
        except ImportError as e:
            out["package"] = [type(e).__name__, str(e)]
        spec = importlib.util.spec_from_file_location("zarvosdk.base", BASE_FILE)
        try:
            importlib.util.module_from_spec(spec)
            out["base"] = "created"
        except ImportError as e:
            out["base"] = [type(e).__name__, str(e)]
        with open(OUT, "w") as f:
            json.dump(out, f)
        """
    )
    result = run_python(
        """
        import json, _testcapi
        import zarvosdk.base
        inner = INNER.replace("BASE_FILE", repr(zarvosdk.base.__file__))
        status = _testcapi.run_in_subinterp(inner)
        # the main interpreter goes on using the module
        status_record = zarvosdk.base.DatabaseConnector().connect()
        print(json.dumps({"status": status, "main": status_record["message"]}))
        """.replace("INNER", repr(inner.replace("OUT", repr(str(out)))))
    )
    assert result == {"status": 0, "main": CREDENTIALS_MISSING}
    refused = json.loads(out.read_text())
    assert refused == {
        "package": ["ImportError", INTERPRETER_CHANGE],
        "base": ["ImportError", INTERPRETER_CHANGE],
    }


# A failed import: the driver package made unimportable, two ways.
BLOCK_WITH_NONE = """
sys.modules["pymysql"] = None
def unblock():
    del sys.modules["pymysql"]
"""

BLOCK_WITH_FINDER = """
class Blocker:
    def find_spec(self, name, path=None, target=None):
        if name == "pymysql":
            # the half-initialised module, as its top level sees it now
            seen.append(sys.modules.get("zarvosdk.base"))
            raise ModuleNotFoundError("No module named 'pymysql'", name="pymysql")
        return None
blocker = Blocker()
sys.meta_path.insert(0, blocker)
def unblock():
    sys.meta_path.remove(blocker)
"""


@pytest.mark.parametrize("block", [BLOCK_WITH_NONE, BLOCK_WITH_FINDER], ids=["none-entry", "finder"])
def test_failed_import_starts_over_next_time(block):
    script = (
        "import _imp, importlib.util, json, sys, traceback\n"
        "seen = []\n"
        + block
        + textwrap.dedent(
            """
            result = {}
            try:
                import zarvosdk.base
                result["first"] = "imported"
            except ImportError as e:
                result["first"] = [type(e).__name__, str(e)]
                result["entries"] = [f.name for f in traceback.extract_tb(e.__traceback__)]
            result["registered"] = "zarvosdk.base" in sys.modules
            result["attribute"] = hasattr(sys.modules["zarvosdk"], "base")
            unblock()
            # a module object made by create alone, never executed
            spare = importlib.util.module_from_spec(importlib.util.find_spec("zarvosdk.base"))
            import zarvosdk.base as b
            import pymysql
            failed = seen[0] if seen else None
            result["fresh"] = failed is not None and failed is not b
            result["partial"] = failed is not None and "create_sql_agent" in vars(failed) \
                and "DatabaseConnector" not in vars(failed)
            result["complete"] = [b.pymysql is pymysql, b.__test__ == {},
                                  b.DatabaseConnector.__module__, b.AgentRunner.__module__]
            result["registered_after"] = sys.modules["zarvosdk.base"] is b
            result["spare"] = spare is not b
            try:
                _imp.exec_dynamic(spare)
                result["reinit"] = "accepted"
            except RuntimeError as e:
                result["reinit"] = str(e)
            print(json.dumps(result))
            """
        )
    )
    result = run_python(script)
    assert result["first"] != "imported", "the import succeeded without the driver package"
    assert result["first"][0] in ("ImportError", "ModuleNotFoundError")
    assert "pymysql" in result["first"][1]
    assert "init zarvosdk.base" in result["entries"]
    assert result["registered"] is False
    assert result["attribute"] is False
    assert result["complete"] == [True, True, "zarvosdk.base", "zarvosdk.base"]
    assert result["registered_after"] is True
    assert result["spare"] is True
    assert result["reinit"] == (
        "Module 'base' has already been imported. Re-initialisation is not supported."
    )
    if block is BLOCK_WITH_FINDER:
        assert result["fresh"] is True
        assert result["partial"] is True


def built_for_this_host():
    """The extension file carries the interpreter tag it was built for."""
    return ".cpython-%d%d-" % sys.version_info[:2] in os.path.basename(zarvosdk.__file__)


@pytest.mark.skipif(built_for_this_host(), reason="the build targets this host version")
def test_version_warning_on_another_host():
    result = run_python(
        """
        import json, warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import zarvosdk.base
        print(json.dumps([str(w.message) for w in caught if w.category is RuntimeWarning]))
        """
    )
    expected = (
        "compile time Python version 3.9 of module 'zarvosdk.base' does not match runtime "
        "version %d.%d" % sys.version_info[:2]
    )
    assert expected in result


# What the framework and pydantic may say while the modules import: the
# framework's deprecated import paths that the modules use, and pydantic's
# deprecation of the nested Config class of ForecastInput. On the 0.3 line the
# framework also deprecates its memory classes when the agent module makes its
# memory. Anything else (a pandas or numpy warning, a pydantic field warning on
# the tool class) is a fault of the package or of a pin.
IMPORT_DEPRECATIONS = {
    "LangChainDeprecationWarning": [
        r"Importing \S+ from \S+ is deprecated\. Please replace deprecated imports:",
        r"Importing (chat models|LLMs) from langchain is deprecated\. ",
    ],
    "PydanticDeprecatedSince20": [r"Support for class-based `config` is deprecated, use ConfigDict instead\. "],
}
MEMORY_MIGRATION = "Please see the migration guide at: https://python.langchain.com/docs/versions/migrating_memory/"


def test_import_warns_only_of_deprecations_per_framework_line():
    from framework_line import LINE_0_3

    caught = run_python(
        """
        import json, warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import zarvosdk.base, zarvosdk.agent, zarvosdk.forecast_tool
        print(json.dumps([(w.category.__name__, issubclass(w.category, DeprecationWarning),
                           str(w.message).splitlines()[0]) for w in caught]))
        """
    )
    unexpected = []
    for category, deprecation, message in caught:
        assert deprecation, (category, message)
        if message == MEMORY_MIGRATION and category == "LangChainDeprecationWarning":
            # 0.3 line only: the 0.2 line's memory classes are not deprecated.
            assert LINE_0_3, message
        elif not any(re.match(p, message) for p in IMPORT_DEPRECATIONS.get(category, [])):
            unexpected.append((category, message))
    assert unexpected == []
