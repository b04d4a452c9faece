"""The type stubs: shipped beside the modules, in step with what the modules
define, and strict enough that mypy --strict accepts the example application
and refuses misuse. The mypy checks skip when mypy is not installed."""

import os
import re
import textwrap

import pytest

import zarvosdk
from framework_line import PYDANTIC_V2_TOOL_BASE
from subprocesses import run_module, run_script

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TYPED_APP = os.path.join(ROOT, "examples", "typed_app.py")
PACKAGE_DIR = os.path.dirname(os.path.abspath(zarvosdk.__file__))
MODULES = ["__init__", "base", "agent", "forecast_tool", "sandbox", "guard"]

# stubtest builds the stubs without following their imports (fast, and the
# framework's classes are the framework's to check), so the pydantic bases of
# the forecast module's classes are unknown to it: their machinery is left out.
STUBTEST_CONFIG = """\
[mypy]
follow_imports = skip
[mypy-dateutil.*,sklearn.*,pymysql.*]
ignore_missing_imports = True
"""
STUBTEST_ALLOWLIST = r"""
zarvosdk\.(agent|forecast_tool)\.Forecast(Tool|Input)
zarvosdk\.(agent|forecast_tool)\.Forecast(Tool|Input)\.(__\w+__|model_\w+)
zarvosdk\.sandbox\.SandboxedPythonREPLTool
zarvosdk\.sandbox\.SandboxedPythonREPLTool\.(__\w+__|model_\w+)
"""
# The stub declares `ForecastTool.name: str`. On the framework's 0.2 line the
# pydantic v1 base keeps field values on the instances, so `name` read on the
# class is the framework's Runnable.name, None, which stubtest reports as a
# different type; on the 0.3 line the class annotates `name` as a field, which
# stubtest accepts (and an unused allowlist entry is itself an error).
if not PYDANTIC_V2_TOOL_BASE:
    STUBTEST_ALLOWLIST += "zarvosdk\\.(agent|forecast_tool)\\.ForecastTool\\.name\n"
    STUBTEST_ALLOWLIST += "zarvosdk\\.sandbox\\.SandboxedPythonREPLTool\\.name\n"

# Each line misuses the package; mypy must report the error code at its end.
MISUSE = """\
import pandas as pd
import forecast_tool
import zarvosdk.forecast_tool
from zarvosdk.agent import AgentInitializer, conversatonal_memory
from zarvosdk.base import AgentRunner, DatabaseConnector
from zarvosdk.forecast_tool import ForecastTool, conv_date, ts_forecast

def check(connector: DatabaseConnector, runner: AgentRunner, init: AgentInitializer) -> None:
    ts_forecast(pd.DataFrame(), "7")  # arg-type
    text: str = ts_forecast(pd.DataFrame(), period=7)  # assignment
    conv_date(20240101)  # arg-type
    DatabaseConnector(db_port=3306)  # call-arg
    connector.connect()["connecteed"]  # typeddict-item
    flag: str = connector.connection_status["connected"]  # assignment
    ForecastTool()._run(b"{}")  # arg-type
    forecast_tool.ForecastTool()._run(input=None)  # arg-type
    x: zarvosdk.forecast_tool.ForecastTool = forecast_tool.ts_forecast  # assignment
    init.initialize_tools().append("tool")  # arg-type
    conversatonal_memory(5)  # call-arg
    runner.run()  # call-arg
    period: int = zarvosdk.forecast_tool.ForecastInput(df=pd.DataFrame(), period=1).period
    AgentInitializer(init.llm, init.db, path=3)  # arg-type
"""


def expected_misuse():
    """(line number, error code, source) of every misuse line."""
    cases = []
    for number, line in enumerate(MISUSE.splitlines(), 1):
        found = re.search(r"  # ([a-z-]+)$", line)
        if found:
            cases.append(pytest.param(number, found.group(1), line.split("  #")[0].strip(),
                                      id="%d-%s" % (number, found.group(1))))
    return cases


@pytest.mark.parametrize("module", MODULES)
def test_stub_and_marker_ship_beside_each_module(module):
    assert os.path.isfile(os.path.join(PACKAGE_DIR, module + ".pyi"))
    assert os.path.isfile(os.path.join(PACKAGE_DIR, "py.typed"))


def test_top_level_name_has_a_stub_package():
    stub = os.path.join(os.path.dirname(PACKAGE_DIR), "forecast_tool-stubs", "__init__.pyi")
    with open(stub) as f:
        assert "from zarvosdk.forecast_tool import *" in f.read()


@pytest.fixture(scope="module")
def mypy():
    pytest.importorskip("mypy")


def test_stubs_match_the_modules(mypy, tmp_path):
    (tmp_path / "stubtest.ini").write_text(STUBTEST_CONFIG)
    (tmp_path / "allowlist.txt").write_text(STUBTEST_ALLOWLIST)
    rc, out = run_module(
        ["mypy.stubtest", "--mypy-config-file", "stubtest.ini", "--allowlist", "allowlist.txt",
         "zarvosdk"],
        cwd=str(tmp_path),
    )
    assert rc == 0, out[-4000:]


@pytest.fixture(scope="module")
def checked(mypy, tmp_path_factory):
    """mypy --strict over the example application and the misuse file, in one run."""
    folder = tmp_path_factory.mktemp("typing")
    (folder / "misuse.py").write_text(MISUSE)
    rc, out = run_module(
        ["mypy", "--strict", "--cache-dir", str(folder / "cache"), "--no-color-output",
         "--show-error-codes", "--no-error-summary", TYPED_APP, "misuse.py"],
        cwd=str(folder),
    )
    return rc, out


def test_example_application_passes_strict_check(checked):
    rc, out = checked
    assert rc == 1, out  # the misuse file fails, the application does not
    assert not [line for line in out.splitlines() if "typed_app.py" in line], out


@pytest.mark.parametrize("line, code, source", expected_misuse())
def test_strict_check_refuses_misuse(checked, line, code, source):
    rc, out = checked
    reported = re.findall(r"^misuse\.py:(\d+): error: .*\[([a-z-]+)\]$", out, re.M)
    assert (str(line), code) in reported, "%s\n%s" % (source, out)


def test_strict_check_reports_nothing_else(checked):
    rc, out = checked
    errors = [l for l in out.splitlines() if ": error:" in l]
    assert len(errors) == len(expected_misuse()), out


def test_example_application_runs():
    proc = run_script(TYPED_APP)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert proc.stdout == textwrap.dedent(
        """\
             dates  Forecasted_values
        2024-01-05              140.0
        2024-01-06              150.0
        2024-01-07              160.0
        tool and forecaster agree: True
        """
    )
    assert proc.stderr == ""
