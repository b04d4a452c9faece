"""Stand-ins for the framework objects the package drives.

The recording fakes keep every call they receive so that tests can check
exactly what the package passed on, and they can be told what to answer or
what to raise. Fakes for memory measurements keep nothing between calls, so
that only the package could grow.
"""

import types

from langchain_core.callbacks import BaseCallbackHandler


# zarvosdk.base: SQLDatabase --------------------------------------------------


class FakeHandle:
    """Stands for the framework's SQL database handle made for one address."""

    def __init__(self, uri):
        self.uri = uri

    def __repr__(self):
        return "FakeHandle(%r)" % (self.uri,)


class RecordingSQLDatabase:
    """Takes the place of the framework's SQLDatabase class.

    Each `from_uri` call is recorded as (args, kwargs). The call answers with
    the next entry of `outcomes`: an exception instance (or class) is raised,
    anything else is returned. Once `outcomes` is used up, every call returns
    a new FakeHandle for the address it was given.
    """

    def __init__(self, *outcomes):
        self.outcomes = list(outcomes)
        self.calls = []
        self.handles = []

    def from_uri(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.outcomes:
            outcome = self.outcomes.pop(0)
            if isinstance(outcome, BaseException) or (
                isinstance(outcome, type) and issubclass(outcome, BaseException)
            ):
                raise outcome
            self.handles.append(outcome)
            return outcome
        handle = FakeHandle(args[0] if args else None)
        self.handles.append(handle)
        return handle

    @property
    def uris(self):
        return [args[0] for args, _ in self.calls]


class FakeDatabase:
    """A SQLDatabase whose from_uri answers the same handle every time and
    keeps nothing, for measurements that must see no growth of their own."""

    handle = object()

    @classmethod
    def from_uri(cls, address):
        return cls.handle


class FailingDatabase:
    """A SQLDatabase whose from_uri raises a new ValueError every time."""

    @staticmethod
    def from_uri(address):
        raise ValueError("cannot reach " + address)


# Agents ----------------------------------------------------------------------


class FakeAgent:
    """What the agent factories return: an agent whose `run` records its
    arguments in `runs` and answers `answer` or raises `raises`; str() gives
    `text`."""

    def __init__(self, answer="the answer", raises=None, text="<fake sql agent>"):
        self.answer = answer
        self.raises = raises
        self.text = text
        self.runs = []

    def run(self, *args, **kwargs):
        self.runs.append((args, kwargs))
        if self.raises is not None:
            raise self.raises
        return self.answer

    def __str__(self):
        return self.text


class EmptyAgent(FakeAgent):
    """An agent that counts as false (its length is zero)."""

    def __len__(self):
        return 0


class RecordingAgentFactory:
    """Takes the place of create_sql_agent: records (args, kwargs) of each call,
    then returns `result` or raises `raises`."""

    def __init__(self, result=None, raises=None):
        self.result = FakeAgent() if result is None and raises is None else result
        self.raises = raises
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.raises is not None:
            raise self.raises
        return self.result


class NoneAgentFactory(RecordingAgentFactory):
    """A create_sql_agent that builds nothing (returns None)."""

    def __init__(self):
        super().__init__(result=None, raises=None)
        self.result = None


# zarvosdk.agent: the framework names it calls -------------------------------
#
# The module reads these names from its namespace at call time, so a test
# replaces them with monkeypatch.setattr and then reads back, from one shared
# log, which fake was called in which order with which arguments.


class Call:
    def __init__(self, label, args, kwargs):
        self.label = label
        self.args = args
        self.kwargs = kwargs  # insertion order is the order the keywords were passed
        self.result = None


class Log:
    def __init__(self):
        self.calls = []

    def labels(self):
        return [c.label for c in self.calls]

    def only(self, label):
        found = [c for c in self.calls if c.label == label]
        assert len(found) == 1, (label, self.labels())
        return found[0]

    def all(self, label):
        return [c for c in self.calls if c.label == label]

    def note(self, label):
        self.calls.append(Call(label, (), {}))


def recording(log, label, make_result):
    def fake(*args, **kwargs):
        call = Call(label, args, kwargs)
        log.calls.append(call)
        call.result = make_result(call)
        return call.result

    return fake


def failing(error):
    def fake(*args, **kwargs):
        raise error

    return fake


#: The framework names zarvosdk.agent calls to build its agents and tools, in
#: the order construction first calls them, then create_agent's.
AGENT_FRAMEWORK_CALLS = (
    "SQLDatabaseToolkit", "PythonREPLTool", "create_python_agent", "create_sql_agent",
    "Tool", "ForecastTool", "initialize_agent",
)


def install_agent_fakes(monkeypatch, module):
    """Replaces every framework name zarvosdk.agent calls with a recording
    fake; returns the shared log."""
    log = Log()

    class ForecastTool:
        def __init__(self, *args, **kwargs):
            call = Call("ForecastTool", args, kwargs)
            call.result = self
            log.calls.append(call)

    fakes = {
        "SQLDatabaseToolkit": recording(log, "SQLDatabaseToolkit", lambda c: object()),
        "PythonREPLTool": recording(log, "PythonREPLTool", lambda c: object()),
        "create_python_agent": recording(log, "create_python_agent", lambda c: FakeAgent(text="<fake python agent>")),
        "create_sql_agent": recording(log, "create_sql_agent", lambda c: FakeAgent(text="<fake sql agent>")),
        "Tool": recording(log, "Tool", lambda c: types.SimpleNamespace(**c.kwargs)),
        "ForecastTool": ForecastTool,
        "initialize_agent": recording(log, "initialize_agent", lambda c: object()),
    }
    assert sorted(fakes) == sorted(AGENT_FRAMEWORK_CALLS)
    for name, fake in fakes.items():
        monkeypatch.setattr(module, name, fake)
    return log


class Made:
    """Stands for any framework class or factory at once: takes any
    arguments, keeps them, and has a `run` that answers the query it gets."""

    def __init__(self, *args, **kwargs):
        self.args, self.kwargs = args, kwargs

    def run(self, query):
        return query


# Callbacks -------------------------------------------------------------------


class ToolCalls(BaseCallbackHandler):
    """Records every tool run, nested ones included, in start order."""

    def __init__(self):
        self.calls = []
        self._open = {}

    def on_tool_start(self, serialized, input_str, *, run_id, **kwargs):
        call = {"name": serialized.get("name"), "input": input_str, "output": None}
        self._open[run_id] = call
        self.calls.append(call)

    def on_tool_end(self, output, *, run_id, **kwargs):
        self._open.pop(run_id)["output"] = output

    def names(self):
        return [call["name"] for call in self.calls]

    def first(self, name):
        return next(call for call in self.calls if call["name"] == name)
