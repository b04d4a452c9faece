"""What an application sees of the framework's warnings when it imports the
package: nothing from the package's own import-time code, everything from its
own code, and its warning setup untouched. Each case runs in a fresh
interpreter with warnings shown (-W default)."""

import textwrap

import pytest

from framework_line import LINE_1_X, framework_statement
from subprocesses import python_process

ALL_MODULES = "import zarvosdk.base, zarvosdk.agent, zarvosdk.forecast_tool, zarvosdk.guard"


def run(code, *options):
    """Runs `code` in a fresh interpreter importing this build, warning as
    `options` say; returns (stdout, stderr)."""
    proc = python_process(code, options=options, warnings=None)
    assert proc.returncode == 0, proc.stderr[-3000:]
    return proc.stdout, proc.stderr


@pytest.mark.parametrize("options", [("-W", "default"), ("-W", "always")], ids=["default", "always"])
def test_importing_the_package_prints_nothing(options):
    out, err = run(ALL_MODULES, *options)
    assert (out, err) == ("", "")


# An application's own deprecated uses, after the package was imported: each
# must warn as it does in a process that never imported the package.
APPLICATION_USES_0_X = {
    # attributed to the application's line
    "agents": ("from langchain.agents import create_sql_agent", "Importing create_sql_agent from langchain.agents is deprecated"),
    "callbacks": ("from langchain.callbacks import StreamlitCallbackHandler", "Importing StreamlitCallbackHandler from"),
    # attributed to the framework's own line, shared with the package's import
    "llms": ("from langchain.llms import OpenAI", "Importing LLMs from langchain is deprecated"),
    "chat_models": ("from langchain.chat_models import ChatOpenAI", "Importing chat models from langchain is deprecated"),
    # pydantic's notice for a class-based config, which the package's ForecastInput has too
    "config": (
        "from pydantic import BaseModel\nclass M(BaseModel):\n    class Config:\n        arbitrary_types_allowed = True",
        "Support for class-based `config` is deprecated",
    ),
}
# The 1.x line: langchain_classic's re-exports of what moved to
# langchain_community, which the package imports from there directly.
APPLICATION_USES_1_X = {
    "agents": ("from langchain_classic.agents import create_sql_agent",
               "Importing create_sql_agent from langchain_classic.agents is deprecated"),
    "callbacks": ("from langchain_classic.callbacks import StreamlitCallbackHandler", "Importing StreamlitCallbackHandler from"),
    "llms": ("from langchain_classic.llms import OpenAI", "Importing LLMs from langchain is deprecated"),
    "sql_database": ("from langchain_classic.sql_database import SQLDatabase",
                     "Importing SQLDatabase from langchain_classic is deprecated"),
    "config": APPLICATION_USES_0_X["config"],
}
APPLICATION_USES = APPLICATION_USES_1_X if LINE_1_X else APPLICATION_USES_0_X
# Uses checked under the "once" and "module" actions as well.
RECORDED_TWICE = ("llms", "config") if LINE_1_X else ("chat_models", "config")

# The module that has the framework's tool base under the path the forecast
# module imports it from, on the line installed.
TOOL_BASE_MODULE = "langchain.tools, langchain_core.tools.base" if LINE_1_X else "langchain.tools.base"


# The framework's modules loaded by the application itself with its notices
# caught: the state the package's import leaves behind. Counting against it
# rather than a bare process matters where loading a framework module lazily
# changes the warning filters between two notices of the same deprecated
# import, which then both show (the 0.3 line does that for chat models).
FRAMEWORK_STATEMENTS = [
    "from langchain.agents import create_sql_agent, AgentExecutor, initialize_agent",
    "from langchain.agents.agent_toolkits import SQLDatabaseToolkit",
    "from langchain.agents.agent_types import AgentType",
    "from langchain.callbacks import StreamlitCallbackHandler",
    "from langchain.chat_models import ChatOpenAI",
    "from langchain.llms import OpenAI",
    "from langchain.llms.openai import OpenAI",
    "from langchain.sql_database import SQLDatabase",
    "from langchain.tools import Tool",
    "from langchain.chains.conversation.memory import ConversationBufferWindowMemory",
    "from langchain_experimental.agents.agent_toolkits import create_python_agent",
    "from langchain_experimental.tools.python.tool import PythonREPLTool",
    "import pandas, sklearn.linear_model, dateutil.parser, pydantic, " + TOOL_BASE_MODULE,
]
FRAMEWORK_LOADED = "import warnings\nwith warnings.catch_warnings(record=True):\n" + "".join(
    textwrap.indent(framework_statement(statement), "    ") + "\n" for statement in FRAMEWORK_STATEMENTS
)


@pytest.mark.parametrize(
    "use, action",
    [(use, "default") for use in sorted(APPLICATION_USES)]
    + [(use, action) for use in RECORDED_TWICE for action in ("once", "module")],
)
def test_the_applications_own_deprecated_uses_still_warn(use, action):
    # "once" and "module" record a notice under a second key, which a
    # dropped notice of the package's import must not leave behind
    code, text = APPLICATION_USES[use]
    option = ("-W", action if action == "default" else action + "::DeprecationWarning")
    _, alone = run(code, *option)
    _, loaded = run(FRAMEWORK_LOADED + "\n" + code, *option)
    _, after = run(ALL_MODULES + "\n" + code, *option)
    assert text in alone
    assert after.count(text) == loaded.count(text) >= 1, after


def test_warning_filters_and_display_hook_are_left_as_they_were():
    out, _ = run(
        """
        import warnings
        # the libraries' own filters, added when they are first imported
        import pandas, sklearn.linear_model, langchain.agents, MEMORY
        import langchain_experimental.agents.agent_toolkits, langchain_experimental.tools.python.tool
        filters, display = list(warnings.filters), warnings._showwarnmsg
        import zarvosdk.base, zarvosdk.agent, zarvosdk.forecast_tool
        print(filters == warnings.filters, display is warnings._showwarnmsg)
        """.replace("MEMORY", "langchain_classic.chains.conversation.memory, langchain_community.agent_toolkits"
                    if LINE_1_X else "langchain.chains.conversation.memory"),
        "-W", "default",
    )
    assert out.split() == ["True", "True"]


def test_the_frameworks_own_filters_set_during_the_import_stay():
    # The framework switches its deprecation notices on when first imported,
    # here inside the package's import; that filter must survive it.
    out, _ = run(
        """
        import warnings
        import zarvosdk.base
        from langchain_core._api.deprecation import LangChainDeprecationWarning
        print(any(f[0] == "default" and f[2] is LangChainDeprecationWarning for f in warnings.filters))
        """
    )
    assert out.split() == ["True"]


# Notices that are the application's, raised while the forecast module is being
# imported: from a stand-in for the `typing` module it imports `Dict` from,
# from an import hook that attributes its notice to the importer
# (stacklevel=2, which is the package's module), and from another thread.
APPLICATION_NOTICES_DURING_IMPORT = """
import sys, threading, types, typing, warnings
import dateutil.parser, pydantic, TOOL_BASE_MODULE

class NoisyTyping(types.ModuleType):
    def __getattr__(self, name):
        if name == "Dict":
            warnings.warn("typing stand-in: deprecated", DeprecationWarning)
            warnings.warn("typing stand-in: user", UserWarning)
            other = threading.Thread(
                target=lambda: warnings.warn("typing stand-in: other thread", DeprecationWarning))
            other.start()
            other.join()
        return getattr(typing, name)

class WarnOnPandas:
    def find_spec(self, name, path=None, target=None):
        if name == "pandas":
            warnings.warn("import hook: pandas", DeprecationWarning, stacklevel=2)

sys.modules["typing"] = NoisyTyping("typing")
sys.meta_path.insert(0, WarnOnPandas())
""".replace("TOOL_BASE_MODULE", TOOL_BASE_MODULE)

NOTICE_SINKS = {
    "shown": ("import zarvosdk.forecast_tool", ""),
    "recorded": (
        "with warnings.catch_warnings(record=True) as log:\n"
        "    warnings.simplefilter('always')\n"
        "    import zarvosdk.forecast_tool",
        "print('|'.join(str(w.message) for w in log))",
    ),
    "showwarning": (
        "seen = []\n"
        "warnings.showwarning = lambda message, *rest: seen.append(str(message))\n"
        "import zarvosdk.forecast_tool",
        "print('|'.join(seen))",
    ),
}


@pytest.mark.parametrize("sink", sorted(NOTICE_SINKS))
def test_the_applications_notices_raised_during_the_import_reach_the_host(sink):
    body, report = NOTICE_SINKS[sink]
    out, err = run(APPLICATION_NOTICES_DURING_IMPORT + body + "\n" + report, "-W", "default")
    seen = err if sink == "shown" else out
    for text in ("typing stand-in: deprecated", "typing stand-in: user",
                 "typing stand-in: other thread", "import hook: pandas"):
        assert text in seen
    assert "is deprecated" not in err  # and still none of the framework's


@pytest.mark.parametrize(
    "walk",
    [
        "traceback.extract_stack()",
        "traceback.print_stack(file=io.StringIO())",
        "logging.getLogger('app').warning('walk', stack_info=True)",
        "inspect.stack()",
    ],
)
def test_a_stack_walk_during_the_import_works(walk):
    out, _ = run(
        """
        import inspect, io, logging, sys, traceback
        logging.basicConfig(stream=io.StringIO())
        class Walk:
            def find_spec(self, name, path=None, target=None):
                if name == "pandas":
                    %s
                    print("walked")
        sys.meta_path.insert(0, Walk())
        import zarvosdk.forecast_tool
        """ % walk
    )
    assert out.split() == ["walked"]


@pytest.mark.parametrize("attribute", ["_showwarnmsg", "showwarning"])
def test_a_display_wrapper_put_in_during_an_import_stays_and_does_not_loop(attribute):
    out, err = run(
        """
        import sys, warnings
        class Wrap:
            done = False
            def find_spec(self, name, path=None, target=None):
                if name == "pandas" and not Wrap.done:
                    Wrap.done = True
                    inner = getattr(warnings, "%(a)s")
                    def wrapper(*args):
                        print("wrapper")
                        return inner(*args)
                    setattr(warnings, "%(a)s", wrapper)
        sys.meta_path.insert(0, Wrap())
        import zarvosdk.forecast_tool
        import zarvosdk.base
        warnings.warn("after the imports")
        print(getattr(warnings, "%(a)s").__name__)
        """ % {"a": attribute},
        "-W", "default",
    )
    # the wrapper is in front of the package's display step, so it sees the
    # framework's notices of the second import before they are dropped
    assert out.split()[-2:] == ["wrapper", "wrapper"]
    assert "UserWarning: after the imports" in err and "is deprecated" not in err


def test_the_framework_finds_the_importing_module():
    # The framework asks which module imports a deprecated name; it must find
    # the package's module from the importing frame (on the 0.2 line through
    # inspect.getmodule, which otherwise searches every module for a frame
    # that names none; on the 0.3 line from the frame's globals). The 1.x
    # line's homes are no deprecated paths: the question is never asked.
    out, _ = run(
        """
        import inspect, sys
        import LIBRARIES
        from langchain_core._api import internal
        names, modules = [], []
        original_internal, original_getmodule = internal.is_caller_internal, inspect.getmodule
        def is_caller_internal(depth=2):
            names.append(sys._getframe(depth).f_globals.get("__name__"))
            return original_internal(depth + 1)
        def getmodule(obj, _filename=None):
            module = original_getmodule(obj, _filename)
            if inspect.isframe(obj):
                modules.append(getattr(module, "__name__", None))
            return module
        internal.is_caller_internal, inspect.getmodule = is_caller_internal, getmodule
        import zarvosdk.base
        print(names.count("zarvosdk.base") > 0, all(m in ("zarvosdk.base", None) for m in modules),
              modules.count(None))
        """.replace("LIBRARIES", "langchain.agents, langchain_classic.agents, langchain_community.agent_toolkits"
                    if LINE_1_X else "langchain.agents, langchain.chat_models, langchain.llms, langchain.sql_database")
    )
    named, found, unnamed = out.split()
    assert (named, found) == (str(not LINE_1_X), "True")
    # only the host's own from-list step, which runs in the importer's
    # machinery, is left without a module (two lookups per deprecated name)
    assert int(unnamed) <= 2 * 16


# pydantic whose Field fails: the forecast module's class body calls it.
FAILING_FIELD = """
import sys, types, pydantic
import pandas, sklearn.linear_model, dateutil.parser, TOOL_BASE_MODULE

def Field(**kwargs):
    raise RuntimeError("no fields today")

stand_in = types.ModuleType("pydantic")
stand_in.BaseModel, stand_in.Field = pydantic.BaseModel, Field
sys.modules["pydantic"] = stand_in
""".replace("TOOL_BASE_MODULE", TOOL_BASE_MODULE)


@pytest.mark.parametrize(
    "setup, module, entries",
    [
        ('import sys\nsys.modules["pymysql"] = None\n', "zarvosdk.base", ["init zarvosdk.base"]),
        (FAILING_FIELD, "zarvosdk.forecast_tool", ["init zarvosdk.forecast_tool", "Field"]),
    ],
    ids=["import-machinery", "python-code"],
)
def test_a_failed_import_shows_no_entry_for_the_modules_frame(setup, module, entries):
    out, _ = run(
        setup
        + textwrap.dedent(
            """
            import traceback
            try:
                import %s
            except Exception as e:
                found = traceback.extract_tb(e.__traceback__)
                print("|".join(f.name for f in found[1:] if not f.filename.startswith("<frozen")))
            """
            % module
        )
    )
    assert out.strip().split("|") == entries


# The filter lines the README gives an application whose tests turn
# deprecations into errors: pydantic's notice for the forecast input's
# class-based config is raised by the filters themselves, before any display
# step, so it is attributed to pydantic's module (older pydantic) or to the
# package's (newer). On the 1.x line the sunset notices that
# langchain-community and langchain-experimental give when first imported are
# raised the same way (attributed to the import system), which the last two
# lines are for; on the older lines they match nothing.
README_ERROR_FILTERS = (
    "-W", "error::DeprecationWarning",
    "-W", "ignore:Support for class-based:DeprecationWarning:pydantic._internal._config",
    "-W", "ignore:Support for class-based:DeprecationWarning:zarvosdk.forecast_tool",
    "-W", "ignore:`langchain-community` is being sunset:DeprecationWarning",
    "-W", "ignore:`langchain-experimental` is being sunset:DeprecationWarning",
)
# What the import can fail on with deprecations as errors and no other
# filter: the forecast input's config, or where langchain-community gives
# one (0.4.2 does, 0.4 does not), its sunset notice, which comes first.
FIRST_NOTICES = ("Support for class-based", "`langchain-community` is being sunset")


@pytest.mark.parametrize("options, fails", [(README_ERROR_FILTERS[:2], True), (README_ERROR_FILTERS, False)],
                         ids=["error", "error-with-readme-filters"])
def test_deprecations_as_errors(options, fails):
    proc = python_process("import warnings\n" + ALL_MODULES + "\nwarnings.warn('own', DeprecationWarning)",
                          options=options, warnings=None)
    assert proc.returncode != 0
    assert any(notice in proc.stderr for notice in FIRST_NOTICES) is fails
    assert ("DeprecationWarning: own" in proc.stderr) is not fails
