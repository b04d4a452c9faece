"""Times module imports in a fresh process whose dependencies are already loaded.

    python bench/import_probe.py GROUP [GROUP ...]     (groups: native cython python floor)

Run by run.py, several times: a native module is initialised once per process,
so every process measures each module once. The process first runs every
import statement of the measured modules, so that each outside package is
loaded and its lazily imported names are resolved, and creates one throwaway
class of each framework base, so that one-time warm-ups of the dependencies
(pydantic's plugin scan and first schema validation) are not charged to
whichever module comes first. Then it times, in the order of the groups given:

  native  zarvosdk, zarvosdk.forecast_tool, zarvosdk.base, zarvosdk.agent
  cython  the compiled twins of forecast_tool and base
  python  the plain twins of forecast_tool and base
  floor   what each module's top level costs its dependencies alone: its
          import statements, and its pydantic classes or memory object, run as
          plain Python from a module file of its own (the framework, which
          looks up the module importing a deprecated name, finds it from the
          file, as it finds a native module from the frame its top level runs
          under)

and prints one JSON object {label: nanoseconds of the process's CPU time}.

    valgrind --tool=callgrind --instr-atstart=no --toggle-collect=sys_call_tracing \
        --callgrind-out-file=OUT python bench/import_probe.py --count GROUP ...

counts instructions instead (run.py --instructions): each measured import
runs inside sys.call_tracing, the one host function nothing measured calls,
and callgrind dumps the count under the import's label.
"""
import importlib
import json
import os
import subprocess
import sys
import tempfile
import time
import types
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))

FORECAST_IMPORTS = """
import pandas as pd
from datetime import datetime, timedelta
from dateutil import parser
from sklearn.linear_model import LinearRegression
import re
from pydantic import BaseModel, Field
from typing import Dict
import json
from langchain.tools.base import BaseTool
"""

FORECAST_CLASSES = '''
class ForecastInput(BaseModel):
    """
    Inputs for the forecasting function.
    """
    df: "pd.DataFrame" = Field(description="Input dataset as a DataFrame")
    period: "int" = Field(description="The period to forecast")
    class Config:
        arbitrary_types_allowed = True

class ForecastTool(BaseTool):
    """Tool for time series forecasting."""
    name = "forecast"
    description = "\\n    Use this tool for time series forecasting\\n    "
    def _run(self, input: "str") -> "Dict":
        """Time series forecasting."""
    async def _arun(self, data: "str") -> "str":
        pass
'''

BASE_IMPORTS = """
from langchain.agents import create_sql_agent
from langchain.agents.agent_toolkits import SQLDatabaseToolkit
from langchain.sql_database import SQLDatabase
from langchain.llms.openai import OpenAI
from langchain.agents import AgentExecutor
from langchain.agents.agent_types import AgentType
from langchain.chat_models import ChatOpenAI
from sqlalchemy import create_engine
import os
from langchain.agents import *
from langchain.llms import OpenAI
from langchain.sql_database import SQLDatabase
import pymysql
"""

AGENT_IMPORTS = """
from langchain.chat_models import ChatOpenAI
from langchain.llms.openai import OpenAI
from langchain.agents import create_sql_agent
from langchain.sql_database import SQLDatabase
from langchain.agents.agent_types import AgentType
from langchain.callbacks import StreamlitCallbackHandler
from langchain.agents.agent_toolkits import SQLDatabaseToolkit
from langchain_experimental.agents.agent_toolkits import create_python_agent
from langchain_experimental.tools.python.tool import PythonAstREPLTool
from langchain.agents import initialize_agent
from langchain_experimental.tools.python.tool import PythonREPLTool
from langchain.tools import Tool
from langchain.chains.conversation.memory import ConversationBufferWindowMemory
import os
"""

AGENT_MEMORY = """
conversational_memory = ConversationBufferWindowMemory(
    memory_key="chat_history", k=5, return_messages=True)
"""

WARM_UP = '''
class _WarmInput(BaseModel):
    df: "pd.DataFrame" = Field(description="warm-up")
    class Config:
        arbitrary_types_allowed = True

class _WarmTool(BaseTool):
    name = "warm"
    description = "warm-up"
    def _run(self, input: "str") -> "Dict":
        return {}

ConversationBufferWindowMemory(memory_key="chat_history", k=5, return_messages=True)
'''

FLOORS = [
    ("floor:forecast_tool", FORECAST_IMPORTS + FORECAST_CLASSES),
    ("floor:base", BASE_IMPORTS),
    ("floor:agent", AGENT_IMPORTS + AGENT_MEMORY),
]

GROUPS = {
    "native": [("native:zarvosdk", "zarvosdk"),
               ("native:forecast_tool", "zarvosdk.forecast_tool"),
               ("native:base", "zarvosdk.base"),
               ("native:agent", "zarvosdk.agent")],
    "cython": [("cython:forecast_tool", "cytwin_forecast"), ("cython:base", "cytwin_base")],
    "python": [("python:forecast_tool", "twin_forecast"), ("python:base", "twin_base")],
}


def fresh_module(name):
    """A registered, empty module: pydantic resolves annotation texts in it."""
    module = types.ModuleType(name)
    sys.modules[name] = module
    return module


COUNTING = False


def measured(label, action):
    """CPU time of `action()` in ns; when counting, 0, and callgrind's dump."""
    if not COUNTING:
        start = time.process_time_ns()
        action()
        return time.process_time_ns() - start
    sys.call_tracing(action, ())
    subprocess.run(["callgrind_control", "--dump=" + label, str(os.getpid())],
                   stdout=subprocess.DEVNULL, check=True)
    return 0


def timed_import(label, name):
    return measured(label, lambda: importlib.import_module(name))


def timed_floor(label, source):
    name = "_bench_" + label.replace(":", "_")
    path = os.path.join(tempfile.mkdtemp(prefix="zarvosdk-floor-"), name + ".py")
    with open(path, "w") as file:
        file.write(source)
    code = compile(source, path, "exec")
    module = fresh_module(name)
    module.__file__ = path
    return measured(label, lambda: exec(code, module.__dict__))


def load_dependencies():
    prelude = fresh_module("_bench_prelude")
    source = FORECAST_IMPORTS + BASE_IMPORTS + AGENT_IMPORTS + WARM_UP
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        exec(compile(source, "<dependencies>", "exec"), prelude.__dict__)
    # The framework turns its deprecation warnings back on when imported and
    # issues them again at every import of a deprecated name; printing them
    # would be timed as part of whichever module imports such a name.
    warnings.simplefilter("ignore")


def main(order):
    global COUNTING
    if order[:1] == ["--count"]:
        COUNTING, order = True, order[1:]
    sys.path[:0] = [HERE, os.path.join(HERE, "build")]
    load_dependencies()
    if COUNTING:
        subprocess.run(["callgrind_control", "--instr=on", str(os.getpid())],
                       stdout=subprocess.DEVNULL, check=True)
    results = {}
    for group in order:
        if group == "floor":
            for label, source in FLOORS:
                results[label] = timed_floor(label, source)
        else:
            for label, module in GROUPS[group]:
                results[label] = timed_import(label, module)
    if "zarvosdk" in sys.modules:
        results["native_file"] = sys.modules["zarvosdk"].__file__
    print(json.dumps(results))


if __name__ == "__main__":
    main(sys.argv[1:] or ["native", "cython", "python", "floor"])
