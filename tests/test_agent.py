import importlib
import os
import sqlite3
import sys
import types

import pytest

import zarvosdk.agent as agent
from fakes import AGENT_FRAMEWORK_CALLS, FakeAgent, failing, install_agent_fakes
from framework_line import framework_name
from texts import (
    CONVERSATION_PREFIX,
    DEFAULT_CHARTS_FOLDER,
    MEMORY_TAKES_NO_ARGUMENTS,
    MEMORY_TAKES_NO_KEYWORDS,
    PYTHON_PREFIX_HEAD,
    PYTHON_PREFIX_TAIL,
    TOOL_DESCRIPTIONS,
    TOOLS,
    python_prefix,
)


IMPORTED = [
    ("ChatOpenAI", "langchain.chat_models", "ChatOpenAI"),
    ("OpenAI", "langchain.llms.openai", "OpenAI"),
    ("create_sql_agent", "langchain.agents", "create_sql_agent"),
    ("SQLDatabase", "langchain.sql_database", "SQLDatabase"),
    ("AgentType", "langchain.agents.agent_types", "AgentType"),
    ("StreamlitCallbackHandler", "langchain.callbacks", "StreamlitCallbackHandler"),
    ("SQLDatabaseToolkit", "langchain.agents.agent_toolkits", "SQLDatabaseToolkit"),
    ("create_python_agent", "langchain_experimental.agents.agent_toolkits", "create_python_agent"),
    ("PythonAstREPLTool", "langchain_experimental.tools.python.tool", "PythonAstREPLTool"),
    ("initialize_agent", "langchain.agents", "initialize_agent"),
    ("PythonREPLTool", "langchain_experimental.tools.python.tool", "PythonREPLTool"),
    ("Tool", "langchain.tools", "Tool"),
    ("ConversationBufferWindowMemory", "langchain.chains.conversation.memory", "ConversationBufferWindowMemory"),
    ("ForecastTool", "forecast_tool", "ForecastTool"),
]
METHODS = ["__init__", "initialize_python_agent", "initialize_sql_agent", "initialize_tools", "create_agent"]


def tool_named(initializer, name):
    (tool,) = [t for t in initializer.tools if t.name == name]
    return tool


@pytest.fixture
def log(monkeypatch):
    return install_agent_fakes(monkeypatch, agent)


# Module ----------------------------------------------------------------------


def test_namespace_binds_the_table_in_order():
    names = [k for k in vars(agent) if not k.startswith("__")]
    assert names == [row[0] for row in IMPORTED] + [
        "os", "conversatonal_memory", "conversational_memory", "AgentInitializer",
    ]
    assert list(vars(agent))[-1] == "__test__" and agent.__test__ == {}


@pytest.mark.parametrize("name,module,attribute", IMPORTED)
def test_imported_names_are_the_framework_objects(name, module, attribute):
    assert getattr(agent, name) is framework_name(module, attribute)


def test_forecast_tool_comes_from_the_top_level_name_of_the_package_module():
    package_module = importlib.import_module("zarvosdk.forecast_tool")
    assert agent.os is os
    assert agent.ForecastTool is package_module.ForecastTool
    assert sys.modules["forecast_tool"].ForecastTool is agent.ForecastTool


def test_class_and_functions_carry_no_docstrings():
    cls = agent.AgentInitializer
    assert cls.__bases__ == (object,) and cls.__module__ == "zarvosdk.agent"
    assert [k for k in vars(cls) if not k.startswith("__") or k == "__init__"] == METHODS
    assert cls.__doc__ is None and agent.conversatonal_memory.__doc__ is None
    assert all(getattr(cls, m).__doc__ is None for m in METHODS)
    assert cls.__init__.__defaults__ == (DEFAULT_CHARTS_FOLDER,)


# Memory ------------------------------------------------------------------------


def test_memory_factory_makes_new_window_memories():
    first, second = agent.conversatonal_memory(), agent.conversatonal_memory()
    assert first is not second
    for memory in (first, second, agent.conversational_memory):
        assert isinstance(memory, agent.ConversationBufferWindowMemory)
        assert (memory.memory_key, memory.k, memory.return_messages) == ("chat_history", 5, True)
    assert agent.conversational_memory is not first and agent.conversational_memory is not second


@pytest.mark.parametrize(
    "args,kwargs,message",
    [
        ((1,), {}, MEMORY_TAKES_NO_ARGUMENTS),
        ((), {"k": 3}, MEMORY_TAKES_NO_KEYWORDS),
    ],
)
def test_memory_factory_refuses_arguments(args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        agent.conversatonal_memory(*args, **kwargs)
    assert str(excinfo.value) == message


def test_memory_factory_reads_the_framework_class_at_call_time(monkeypatch):
    calls = []
    monkeypatch.setattr(agent, "ConversationBufferWindowMemory", lambda *a, **k: calls.append((a, k)) or "m")
    assert agent.conversatonal_memory() == "m"
    assert calls == [((), {"memory_key": "chat_history", "k": 5, "return_messages": True})]
    assert list(calls[0][1]) == ["memory_key", "k", "return_messages"]


# Construction ------------------------------------------------------------------


def test_construction_order_and_attributes(log):
    ai = agent.AgentInitializer("LLM", "DB")
    assert log.labels() == [
        "SQLDatabaseToolkit", "PythonREPLTool", "create_python_agent", "create_sql_agent",
        "Tool", "Tool", "ForecastTool", "Tool",
    ]
    toolkit = log.only("SQLDatabaseToolkit")
    assert toolkit.args == () and list(toolkit.kwargs.items()) == [("db", "DB"), ("llm", "LLM")]
    assert list(vars(ai)) == ["llm", "db", "path", "preinstalled_packages", "toolkit", "tools"]
    assert (ai.llm, ai.db, ai.path, ai.toolkit) == ("LLM", "DB", DEFAULT_CHARTS_FOLDER, toolkit.result)
    assert ai.preinstalled_packages == ["matplotlib", "seaborn", "ploty", "pandas"]
    assert agent.AgentInitializer(llm=1, db=2).preinstalled_packages is not ai.preinstalled_packages


def test_specialist_agent_calls(log):
    ai = agent.AgentInitializer("LLM", "DB")
    functions = agent.AgentType.OPENAI_FUNCTIONS
    sql = log.only("create_sql_agent")
    assert sql.args == ()
    assert list(sql.kwargs.items()) == [
        ("llm", "LLM"), ("toolkit", ai.toolkit), ("verbose", True),
        ("agent_type", functions), ("handle_parsing_errors", True),
    ]
    python = log.only("create_python_agent")
    assert python.args == ("LLM",)
    assert list(python.kwargs.items()) == [
        ("prefix", python_prefix()), ("tool", log.only("PythonREPLTool").result),
        ("verbose", True), ("agent_type", functions), ("handle_parsing_errors", True),
    ]
    assert log.only("PythonREPLTool").args == () and log.only("PythonREPLTool").kwargs == {}


class Formatted:
    def __str__(self):
        return "by str"

    def __format__(self, format_spec):
        return "by format(%r)" % format_spec


@pytest.mark.parametrize(
    "path,text",
    [(None, DEFAULT_CHARTS_FOLDER), ("charts/out/", "charts/out/"), (7, "7"), (Formatted(), "by format('')")],
)
def test_python_prefix_carries_the_path_text(log, path, text):
    args = ("LLM", "DB") if path is None else ("LLM", "DB", path)
    agent.AgentInitializer(*args)
    prefix = log.only("create_python_agent").kwargs["prefix"]
    assert prefix == python_prefix(text)
    assert len(prefix) == 358 + len(text)
    if path is None:
        assert len(prefix) == 370 and prefix.endswith("inside this folder media/images\n" + " " * 12)


def test_python_agent_evaluates_its_arguments_in_order(log, monkeypatch):
    late = []
    monkeypatch.setattr(agent, "PythonREPLTool", lambda: log.note("PythonREPLTool"))
    monkeypatch.setattr(agent, "AgentType", types.SimpleNamespace())

    class Traced(agent.AgentInitializer):
        @property
        def llm(self):
            log.note("llm")
            # The callee was looked up before the arguments: this one is never called.
            monkeypatch.setattr(agent, "create_python_agent", lambda *a, **k: late.append(a))
            return "LLM"

        @property
        def path(self):
            log.note("path")
            return "p"

    class Types:
        @property
        def OPENAI_FUNCTIONS(self):
            log.note("OPENAI_FUNCTIONS")
            return "functions"

    monkeypatch.setattr(agent, "AgentType", Types())
    agent.AgentInitializer.initialize_python_agent(Traced.__new__(Traced))
    assert log.labels() == ["llm", "path", "PythonREPLTool", "OPENAI_FUNCTIONS", "create_python_agent"]
    assert late == [] and log.only("create_python_agent").kwargs["agent_type"] == "functions"


def test_tool_set(log):
    ai = agent.AgentInitializer("LLM", "DB")
    python_agent = log.only("create_python_agent").result
    sql_agent = log.only("create_sql_agent").result
    forecaster = log.only("ForecastTool").result
    assert log.only("ForecastTool").args == () and log.only("ForecastTool").kwargs == {}
    assert [list(c.kwargs) for c in log.all("Tool")] == [["name", "func", "description"]] * len(TOOLS)
    assert [c.args for c in log.all("Tool")] == [()] * len(TOOLS)
    assert [t.name for t in ai.tools] == list(TOOLS)
    assert [t.description for t in ai.tools] == list(TOOL_DESCRIPTIONS.values())
    runs = {t.name: t.func for t in ai.tools}
    # What each tool runs; a tool without an entry here fails the first check.
    expected = {
        "SQLAgent": lambda func: func.__self__ is sql_agent and func.__func__ is FakeAgent.run,
        "PythonAgent": lambda func: func.__self__ is python_agent and func.__func__ is FakeAgent.run,
        "ForecastTool": lambda func: func is forecaster,
    }
    assert sorted(expected) == sorted(TOOLS)
    assert all(expected[name](func) for name, func in runs.items()), runs
    assert ai.initialize_tools() is not ai.tools and len(log.all("ForecastTool")) == 2


def test_text_lengths():
    descriptions = {"SQLAgent": 170, "PythonAgent": 440, "ForecastTool": 1021}
    assert {name: len(text) for name, text in TOOL_DESCRIPTIONS.items()} == descriptions
    assert [len(t) for t in (CONVERSATION_PREFIX, PYTHON_PREFIX_HEAD, PYTHON_PREFIX_TAIL)] == [334, 345, 13]


# create_agent ----------------------------------------------------------------


def test_create_agent_keywords(log):
    ai = agent.AgentInitializer("LLM", "DB")
    returned = ai.create_agent()
    call = log.only("initialize_agent")
    assert returned is call.result and call.args == ()
    assert list(call.kwargs.items()) == [
        ("tools", ai.tools), ("prefix", CONVERSATION_PREFIX), ("llm", "LLM"),
        ("agent_type", agent.AgentType.OPENAI_FUNCTIONS), ("verbose", True), ("max_iterations", 10),
        ("early_stopping_method", "force"), ("memory", agent.conversational_memory),
        ("handle_parsing_errors", True),
    ]
    assert call.kwargs["tools"] is ai.tools and "{tools}" in call.kwargs["prefix"]
    assert type(call.kwargs["max_iterations"]) is int


def test_every_agent_shares_the_module_memory_looked_up_at_each_call(log, monkeypatch):
    first, second = agent.AgentInitializer("A", "DB"), agent.AgentInitializer("B", "DB")
    first.create_agent()
    second.create_agent()
    first.create_agent()
    memories = [c.kwargs["memory"] for c in log.all("initialize_agent")]
    assert all(m is agent.conversational_memory for m in memories)
    assert log.all("initialize_agent")[2].kwargs["tools"] is log.all("initialize_agent")[0].kwargs["tools"]
    replacement = object()
    monkeypatch.setattr(agent, "conversational_memory", replacement)
    monkeypatch.setattr(agent, "AgentType", types.SimpleNamespace(OPENAI_FUNCTIONS="replaced"))
    first.llm = "new llm"
    first.create_agent()
    last = log.all("initialize_agent")[-1].kwargs
    assert (last["memory"], last["agent_type"], last["llm"]) == (replacement, "replaced", "new llm")


def test_deleted_memory_is_a_name_error(log, monkeypatch):
    ai = agent.AgentInitializer("LLM", "DB")
    monkeypatch.delattr(agent, "conversational_memory")
    with pytest.raises(NameError) as excinfo:
        ai.create_agent()
    assert str(excinfo.value) == "name 'conversational_memory' is not defined"


# Failures and overrides ------------------------------------------------------


@pytest.mark.parametrize("name", [name for name in AGENT_FRAMEWORK_CALLS if name != "initialize_agent"])
def test_construction_failures_propagate_unchanged(log, monkeypatch, name):
    error = LookupError("from " + name)
    monkeypatch.setattr(agent, name, failing(error))
    with pytest.raises(LookupError) as excinfo:
        agent.AgentInitializer("LLM", "DB")
    assert excinfo.value is error


def test_create_agent_failure_propagates_unchanged(log, monkeypatch):
    ai = agent.AgentInitializer("LLM", "DB")
    error = KeyboardInterrupt()
    monkeypatch.setattr(agent, "initialize_agent", failing(error))
    with pytest.raises(KeyboardInterrupt) as excinfo:
        ai.create_agent()
    assert excinfo.value is error


def test_constructor_goes_through_overridden_methods(log):
    class OwnTools(agent.AgentInitializer):
        def initialize_tools(self):
            return "own tools"

    class OwnPythonAgent(agent.AgentInitializer):
        def initialize_python_agent(self):
            self.built = FakeAgent(text="<own python agent>")
            return self.built

    assert OwnTools("LLM", "DB").tools == "own tools"
    assert log.labels() == ["SQLDatabaseToolkit"]
    ai = OwnPythonAgent("LLM", "DB")
    assert tool_named(ai, "PythonAgent").func.__self__ is ai.built
    assert "create_python_agent" not in log.labels()


# The real framework --------------------------------------------------------------


def test_real_framework_builds_the_agents(tmp_path, monkeypatch):
    AgentExecutor = framework_name("langchain.agents", "AgentExecutor")
    from langchain_core.language_models.fake_chat_models import FakeMessagesListChatModel
    from langchain_core.messages import AIMessage

    with sqlite3.connect(str(tmp_path / "sales.db")) as connection:
        connection.execute("create table sales (day text, amount real)")
    db = agent.SQLDatabase.from_uri("sqlite:///%s" % (tmp_path / "sales.db"))
    llm = FakeMessagesListChatModel(responses=[AIMessage(content="Final Answer: 42")])
    monkeypatch.setattr(agent, "conversational_memory", agent.conversatonal_memory())

    ai = agent.AgentInitializer(llm, db)
    assert isinstance(ai.toolkit, agent.SQLDatabaseToolkit)
    assert all(isinstance(t, agent.Tool) for t in ai.tools)
    assert [t.name for t in ai.tools] == list(TOOLS)
    assert isinstance(tool_named(ai, "ForecastTool").func, agent.ForecastTool)
    python_executor = tool_named(ai, "PythonAgent").func.__self__
    assert python_executor.agent.prompt.messages[0].content == python_prefix()
    assert [t.description for t in ai.tools] == list(TOOL_DESCRIPTIONS.values())

    executor = ai.create_agent()
    assert isinstance(executor, AgentExecutor)
    assert (executor.max_iterations, executor.early_stopping_method) == (10, "force")
    assert executor.invoke({"input": "total?"})["output"] == "42"
    assert [m.content for m in agent.conversational_memory.buffer] == ["total?", "42"]
