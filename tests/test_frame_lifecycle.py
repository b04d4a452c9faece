"""The frame's unusual callers: objects the garbage collector has cleared,
functions that outlived a failed import, imports that fail in odd ways, and
coroutines used after their first run. What could take the process down runs
in a fresh interpreter (a subprocess, which also runs under the sanitizers)."""

import traceback

import pytest

import zarvosdk.forecast_tool as ft

from subprocesses import run_python
from texts import CONV_DATE_WITHOUT_ARGUMENT, FORECAST_NO_ASYNC


# The garbage collector's clear ---------------------------------------------------

# Calls a type's tp_clear directly, as the collector does to every object of a
# garbage cycle before anything frees it.
CLEAR = """
import ctypes
get_slot = ctypes.pythonapi.PyType_GetSlot
get_slot.restype = ctypes.c_void_p
get_slot.argtypes = [ctypes.py_object, ctypes.c_int]
def clear(obj):
    tp_clear = 51
    ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(get_slot(type(obj), tp_clear))(obj)
"""


def test_cleared_functions_and_coroutines_keep_working():
    result = run_python(CLEAR, """
        import inspect, json
        import zarvosdk.base as base
        import zarvosdk.forecast_tool as ft

        def outcome(call):
            try:
                return ["returned", call()]
            except Exception as e:
                return [type(e).__name__, str(e)]

        out = {}
        conv = ft.conv_date
        conv.note = "an attribute"
        clear(conv)
        out["conv_date"] = {
            "repr": repr(conv).startswith("<native function conv_date at 0x"),
            "names": [conv.__name__, conv.__qualname__, conv.__code__.co_name],
            "emptied": [conv.__module__, conv.__doc__, conv.__defaults__, conv.__annotations__,
                        conv.__dict__],
            "globals": conv.__globals__ is vars(ft),
            "signature": str(inspect.signature(conv)),
            "reduce": conv.__reduce__(),
            "call": outcome(lambda: conv("2023/01/05")),
            "keyword": outcome(lambda: conv(**json.loads('{"dt": "Jan 5 2023"}'))),
            "refusal": outcome(lambda: conv()),
        }
        run = ft.ForecastTool.__dict__["_run"]
        clear(run)
        out["_run"] = {
            "doc": run.__doc__,
            "call": outcome(lambda: ft.ForecastTool()._run("{}")),
            "refusal": outcome(lambda: ft.ForecastTool()._run(b"{}")),
        }
        init = base.DatabaseConnector.__dict__["__init__"]
        clear(init)
        out["__init__"] = {
            "defaults": init.__defaults__,
            "signature": str(inspect.signature(init)),
            "all given": outcome(lambda: base.DatabaseConnector("u", "p", "h", "d").db_name),
            "defaults gone": outcome(lambda: base.DatabaseConnector("u")),
        }
        arun = ft.ForecastTool.__dict__["_arun"]
        clear(arun)
        coroutine = ft.ForecastTool()._arun("x")
        clear(coroutine)
        out["coroutine"] = {
            "marker": arun._is_coroutine is not False,
            "repr": repr(coroutine).startswith("<native coroutine object ForecastTool._arun at 0x"),
            "names": [coroutine.__name__, coroutine.__qualname__],
            "send": outcome(lambda: coroutine.send(None)),
            "again": outcome(lambda: coroutine.send(None)),
            "throw": outcome(lambda: coroutine.throw(ValueError("v"))),
            "close": outcome(lambda: coroutine.close()),
        }
        print(json.dumps(out))
        """)
    assert result == {
        "conv_date": {
            "repr": True,
            "names": ["conv_date", "conv_date", "conv_date"],
            "emptied": [None, None, None, {}, {}],
            "globals": True,
            "signature": "(dt)",
            "reduce": "conv_date",
            "call": ["returned", "2023-01-05"],
            "keyword": ["returned", "2023-01-05"],
            "refusal": ["TypeError", CONV_DATE_WITHOUT_ARGUMENT],
        },
        "_run": {
            "doc": None,
            "call": ["returned", {"error": "'data_input'"}],
            "refusal": ["TypeError",
                        "Argument 'input' has incorrect type (expected str, got bytes)"],
        },
        "__init__": {
            "defaults": None,
            "signature": "(self, db_user, db_password, db_host, db_name)",
            "all given": ["returned", "d"],
            "defaults gone": ["TypeError",
                              "__init__() takes exactly 5 positional arguments (2 given)"],
        },
        "coroutine": {
            "marker": True,
            "repr": True,
            "names": ["_arun", "ForecastTool._arun"],
            "send": ["RuntimeError",
                     "coroutine ForecastTool._arun was cleared by the garbage collector"],
            "again": ["RuntimeError", "cannot reuse already awaited coroutine"],
            "throw": ["RuntimeError", "cannot reuse already awaited coroutine"],
            "close": ["returned", None],
        },
    }


def test_function_in_a_collected_cycle_with_a_finalizer():
    result = run_python("""
        import gc, json, weakref
        import zarvosdk.forecast_tool as ft

        seen = []

        class Finalizer:
            def __del__(self):
                f = self.function
                seen.append(repr(f).startswith("<native function conv_date at 0x"))
                seen.append(f("2023/01/05"))
                seen.append([f.__name__, f.__qualname__, f.__module__])
                try:
                    f(1, 2)
                except TypeError as e:
                    seen.append(str(e))

        function = vars(ft).pop("conv_date")  # only the cycle holds it now
        holder = Finalizer()
        holder.function = function
        function.holder = holder  # function -> __dict__ -> holder -> function
        alive = weakref.ref(function)
        del function, holder
        gc.collect()
        print(json.dumps({"collected": alive() is None, "seen": seen}))
        """)
    assert result == {
        "collected": True,
        "seen": [True, "2023-01-05", ["conv_date", "conv_date", "zarvosdk.forecast_tool"],
                 "conv_date() takes exactly 1 positional argument (2 given)"],
    }


# Module state --------------------------------------------------------------------

NAMES = ["forecast_tool", "zarvosdk.forecast_tool"]
REQUEST = '{"data_input": {"date": ["2023-01-01", "2023-01-03", "2023-01-05"], "values": [10, 20, 30]}, "period": 2}'


@pytest.mark.parametrize("first, second", [NAMES, NAMES[::-1]])
def test_failed_import_under_one_name_then_success_under_the_other(first, second):
    result = run_python("""
        import importlib, json, sys, types
        try:
            import langchain.tools.base as real
        except ImportError:  # the 1.x line keeps the tool base elsewhere
            real = None

        made = []

        class RefusingBaseTool:
            # The class statement of ForecastTool fails here, after its
            # methods were made: they outlive the failed import.
            def __init_subclass__(cls, **kwargs):
                made.append(cls)
                raise RuntimeError("no tools today")

        stub = types.ModuleType("langchain.tools.base")
        stub.BaseTool = RefusingBaseTool
        sys.modules["langchain.tools.base"] = stub
        out = {}
        try:
            importlib.import_module(FIRST)
            out["first"] = "imported"
        except RuntimeError as e:
            out["first"] = str(e)
        out["left"] = sorted(n for n in NAMES if n in sys.modules)
        if real is None:
            del sys.modules["langchain.tools.base"]
        else:
            sys.modules["langchain.tools.base"] = real

        module = importlib.import_module(SECOND)
        out["name"] = module.__name__
        out["result"] = type(module.ForecastTool()._run(REQUEST)).__name__
        stale = made[0].__dict__["_run"]
        out["stale namespace"] = [stale.__globals__ is vars(module), "ForecastTool" in stale.__globals__]
        try:
            out["stale"] = stale(module.ForecastTool(), "{}")
        except RuntimeError as e:
            out["stale"] = str(e)
        again = importlib.import_module(FIRST)
        out["same"] = [again is module, sys.modules["zarvosdk.forecast_tool"] is module]
        out["modules"] = [module.conv_date.__module__, module.ForecastTool._run.__module__]
        # Dropped from sys.modules, the module's functions keep their namespace.
        for name in NAMES:
            del sys.modules[name]
        out["dropped"] = module.ForecastTool()._run("{}")
        print(json.dumps(out))
        """.replace("FIRST", repr(first)).replace("SECOND", repr(second))
           .replace("NAMES", repr(NAMES)).replace("REQUEST", repr(REQUEST)))
    assert result == {
        "first": "no tools today",
        "left": [],
        "name": second,
        "result": "DataFrame",
        "stale namespace": [False, False],
        "stale": "ForecastTool._run() belongs to a failed import of module "
                 "'zarvosdk.forecast_tool' and can no longer run",
        "same": [True, True],
        "modules": ["zarvosdk.forecast_tool", "zarvosdk.forecast_tool"],
        "dropped": {"error": "'data_input'"},
    }


# Imports that fail in odd ways -------------------------------------------------

# A type whose attribute lookup fails without setting an exception, as a faulty
# extension type could: the frame cannot tell what went wrong.
SILENT_FAILURE = """
import ctypes
class Slot(ctypes.Structure):
    _fields_ = [("slot", ctypes.c_int), ("pfunc", ctypes.c_void_p)]
class TypeSpec(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("basicsize", ctypes.c_int), ("itemsize", ctypes.c_int),
                ("flags", ctypes.c_uint), ("slots", ctypes.POINTER(Slot))]
GETATTRO = ctypes.PYFUNCTYPE(ctypes.c_void_p, ctypes.py_object, ctypes.py_object)
no_attribute = GETATTRO(lambda obj, name: None)  # NULL, no exception
slots = (Slot * 3)((58, ctypes.cast(no_attribute, ctypes.c_void_p)),  # Py_tp_getattro
                   (65, ctypes.cast(ctypes.pythonapi.PyType_GenericNew, ctypes.c_void_p)),  # Py_tp_new
                   (0, None))
spec = TypeSpec(b"test.SilentFailure", ctypes.sizeof(ctypes.c_void_p) * 2, 0, 1 << 18, slots)
from_spec = ctypes.pythonapi.PyType_FromSpec
from_spec.restype = ctypes.py_object
SilentFailure = from_spec(ctypes.byref(spec))
"""


def test_imports_refused_for_hostile_inputs():
    result = run_python(SILENT_FAILURE, """
        import importlib, json, sys, traceback, types
        # What the modules import before the stubbed names, loaded for real.
        import dateutil.parser, langchain.agents, langchain_core.tools, pandas, pymysql
        import sklearn.linear_model, sqlalchemy

        out = {}

        def attempt(label, name):
            try:
                importlib.import_module(name)
                out[label] = "imported"
            except BaseException as e:
                entries = [f.name for f in traceback.extract_tb(e.__traceback__)]
                out[label] = [type(e).__name__, str(e), "init " + name in entries]

        def stub(name, **attributes):
            real = importlib.import_module(name)
            fake = types.ModuleType(name)
            fake.__dict__.update(vars(real))
            fake.__dict__.update(attributes)
            sys.modules[name] = fake
            return real

        class Meta(type):
            @classmethod
            def __prepare__(mcls, name, bases, **kwargs):
                return 5

        class Entries:
            def __mro_entries__(self, bases):
                return [object]

        real = stub("pydantic", BaseModel=SilentFailure())
        attempt("silent", "zarvosdk.forecast_tool")
        stub("pydantic", BaseModel=Entries())
        attempt("mro entries", "zarvosdk.forecast_tool")
        stub("pydantic", BaseModel=Meta("Base", (), {}))
        attempt("prepare", "zarvosdk.forecast_tool")
        sys.modules["pydantic"] = real
        attempt("forecast_tool", "zarvosdk.forecast_tool")

        real = stub("langchain.agents", __all__=["create_sql_agent", 1])
        attempt("__all__", "zarvosdk.base")
        fake = sys.modules["langchain.agents"]
        del fake.__all__
        fake.__dict__[2] = "two"
        attempt("__dict__", "zarvosdk.base")
        sys.modules["langchain.agents"] = real
        attempt("base", "zarvosdk.base")
        print(json.dumps(out))
        """)
    assert result == {
        "silent": ["ImportError", "init zarvosdk.forecast_tool", True],
        "mro entries": ["TypeError", "__mro_entries__ must return a tuple", True],
        "prepare": ["TypeError", "Meta.__prepare__() must return a mapping, not int", True],
        "forecast_tool": "imported",
        "__all__": ["TypeError", "Item in langchain.agents.__all__ must be str, not int", True],
        "__dict__": ["TypeError", "Key in langchain.agents.__dict__ must be str, not int", True],
        "base": "imported",
    }


# Moved names -------------------------------------------------------------------

# The forecast module imports BaseTool from langchain.tools.base, whose home
# on the framework's 1.x line is langchain_core.tools (which every line has).
# Each case sets up both in sys.modules: None blocks an import, "raises"
# puts a module there whose BaseTool attribute raises RuntimeError, "stand-in"
# one whose BaseTool is a stand-in class; "real" leaves the real module (on
# the 1.x line langchain.tools.base has none).
MOVED_NAME_SETUP = """
import importlib, json, sys, traceback, types
import langchain_core.tools

class StandIn:
    pass

class Raises(types.ModuleType):
    def __getattr__(self, name):
        if name != "BaseTool":
            raise AttributeError(name)
        tried.append(self.__name__)
        raise RuntimeError("no " + name + " in " + self.__name__)

tried = []

def put(name, what):
    if what == "blocked":
        sys.modules[name] = None
    elif what == "raises":
        sys.modules[name] = Raises(name)
    elif what == "stand-in":
        module = types.ModuleType(name)
        module.BaseTool = StandIn
        sys.modules[name] = module

put("langchain.tools.base", FIRST)
put("langchain_core.tools", HOME)
try:
    module = importlib.import_module("zarvosdk.forecast_tool")
    base = module.BaseTool
    found = ("stand-in" if base is StandIn else "home" if base is langchain_core.tools.BaseTool
             else base.__module__)
    out = {"bound": found, "same name": "BaseTool" in vars(module)}
except BaseException as e:
    entries = [f.name for f in traceback.extract_tb(e.__traceback__)]
    out = {"raised": [type(e).__name__, str(e), "init zarvosdk.forecast_tool" in entries]}
out["tried"] = tried
print(json.dumps(out))
"""
BLOCKED = "import of %s halted; None in sys.modules"


@pytest.mark.parametrize(
    "first, home, expected",
    [
        # the name's own path first, whatever its home holds
        ("stand-in", "raises", {"bound": "stand-in", "same name": True, "tried": []}),
        # its home where the path cannot give it
        ("blocked", "real", {"bound": "home", "same name": True, "tried": []}),
        ("blocked", "stand-in", {"bound": "stand-in", "same name": True, "tried": []}),
        # found nowhere: the ImportError of its own path
        ("blocked", "blocked",
         {"raised": ["ModuleNotFoundError", BLOCKED % "langchain.tools.base", True], "tried": []}),
        # anything but an ImportError is a failure, from either place
        ("raises", "stand-in",
         {"raised": ["RuntimeError", "no BaseTool in langchain.tools.base", True],
          "tried": ["langchain.tools.base"]}),
        ("blocked", "raises",
         {"raised": ["RuntimeError", "no BaseTool in langchain_core.tools", True],
          "tried": ["langchain_core.tools"]}),
    ],
    ids=["own-path-first", "home", "home-stand-in", "nowhere", "own-path-raises", "home-raises"],
)
def test_a_name_is_imported_from_its_own_path_then_its_home(first, home, expected):
    code = MOVED_NAME_SETUP.replace("FIRST", repr(first)).replace("HOME", repr(home))
    assert run_python(code) == expected


# Coroutines after their first run --------------------------------------------------

def finished():
    coroutine = ft.ForecastTool()._arun("x")
    with pytest.raises(NotImplementedError):
        coroutine.send(None)
    return coroutine


def fresh():
    return ft.ForecastTool()._arun("x")


def closed():
    coroutine = fresh()
    coroutine.close()
    return coroutine


def refused_then_sent(coroutine):
    with pytest.raises(TypeError):
        coroutine.throw(ValueError("v"), "a separate value")
    return coroutine.send(None)


REUSE = ("RuntimeError", "cannot reuse already awaited coroutine")


@pytest.mark.parametrize(
    "make, use, expected",
    [
        (finished, lambda c: c.send(None), REUSE),
        (finished, lambda c: next(c.__await__()), REUSE),
        (finished, lambda c: c.throw(ValueError), REUSE),
        (finished, lambda c: c.throw(ValueError("v")), REUSE),
        (finished, lambda c: c.close(), None),
        (finished, lambda c: c.throw(ValueError, None, 5),
         ("TypeError", "throw() third argument must be a traceback object")),
        (finished, lambda c: c.throw(5),
         ("TypeError", "exceptions must be classes or instances deriving from BaseException, not int")),
        (closed, lambda c: c.send(None), REUSE),
        (closed, lambda c: c.throw(KeyError("k")), REUSE),
        (fresh, lambda c: c.throw(KeyError("k")), ("KeyError", "'k'")),
        (fresh, lambda c: c.send(1),
         ("TypeError", "can't send non-None value to a just-started coroutine")),
        (fresh, refused_then_sent, ("NotImplementedError", FORECAST_NO_ASYNC)),
    ],
    ids=["send", "await", "throw-class", "throw-instance", "close", "throw-bad-traceback",
         "throw-non-exception", "closed-send", "closed-throw", "fresh-throw", "fresh-send-value",
         "fresh-refused-throw"],
)
def test_coroutine_after_its_first_run(make, use, expected):
    coroutine = make()
    try:
        outcome = use(coroutine)
    except Exception as e:
        outcome = (type(e).__name__, str(e))
    assert outcome == expected


def test_thrown_exception_keeps_its_traceback():
    try:
        raise KeyError("k")
    except KeyError as e:
        error, trace = e, e.__traceback__
    with pytest.raises(KeyError) as info:
        fresh().throw(KeyError, error, trace)
    assert info.value is error
    assert trace.tb_frame.f_code.co_name in [f.name for f in traceback.extract_tb(info.tb)]
