"""Recording stand-ins for the framework names that zarvosdk.agent calls.

The module reads these names from its namespace at call time, so a test
replaces them with monkeypatch.setattr and then reads back, from one shared
log, which fake was called in which order with which arguments.
"""
import types


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


class FakeAgent:
    """What the agent factories return: something with a `run` operation."""

    def __init__(self, label):
        self.label = label

    def run(self, question):
        return "%s: %s" % (self.label, question)


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


def install(monkeypatch, module):
    """Replaces every framework name the module calls; returns the shared log."""
    log = Log()

    class ForecastTool:
        def __init__(self, *args, **kwargs):
            call = Call("ForecastTool", args, kwargs)
            call.result = self
            log.calls.append(call)

    fakes = {
        "SQLDatabaseToolkit": recording(log, "SQLDatabaseToolkit", lambda c: object()),
        "PythonREPLTool": recording(log, "PythonREPLTool", lambda c: object()),
        "create_python_agent": recording(log, "create_python_agent", lambda c: FakeAgent("python")),
        "create_sql_agent": recording(log, "create_sql_agent", lambda c: FakeAgent("sql")),
        "Tool": recording(log, "Tool", lambda c: types.SimpleNamespace(**c.kwargs)),
        "ForecastTool": ForecastTool,
        "initialize_agent": recording(log, "initialize_agent", lambda c: object()),
    }
    for name, fake in fakes.items():
        monkeypatch.setattr(module, name, fake)
    return log
