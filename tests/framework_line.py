"""Which LangChain line the suite runs against.

CPython 3.9 to 3.12 install the framework's 0.2 line, whose tool base is a
pydantic v1 model; 3.13 installs the 0.3 line or the 1.x line, whose tool
bases are pydantic v2 models; the 1.x line's is no longer callable, and its
agents, memory and SQL and chat classes live in langchain_classic and
langchain_community. Tests where the lines differ ask the framework which
one is installed (never the interpreter version) and state each line's
behaviour."""

import importlib
import re

import langchain_core
from langchain_core.tools import BaseTool

LANGCHAIN_CORE_VERSION = tuple(int(part) for part in langchain_core.__version__.split(".")[:2])

#: The 0.3 line or later: a pydantic v2 tool base and executor.
LINE_0_3 = LANGCHAIN_CORE_VERSION >= (0, 3)

#: The 1.x line: the names the package imports have moved (HOMES_1_X).
LINE_1_X = LANGCHAIN_CORE_VERSION >= (1, 0)

#: A pydantic v2 model class has `model_fields`; a pydantic v1 one has not.
PYDANTIC_V2_TOOL_BASE = hasattr(BaseTool, "model_fields")

#: Where the 1.x line keeps each framework name the modules import from a
#: path of the 0.2 and 0.3 lines, found by trying the import.
HOMES_1_X = {
    "initialize_agent": "langchain_classic.agents",
    "AgentExecutor": "langchain_classic.agents",
    "AgentType": "langchain_classic.agents.agent_types",
    "ConversationBufferWindowMemory": "langchain_classic.chains.conversation.memory",
    "create_sql_agent": "langchain_community.agent_toolkits",
    "SQLDatabaseToolkit": "langchain_community.agent_toolkits",
    "SQLDatabase": "langchain_community.utilities",
    "StreamlitCallbackHandler": "langchain_community.callbacks",
    "OpenAI": "langchain_community.llms.openai",
    "ChatOpenAI": "langchain_community.chat_models.openai",
    "Tool": "langchain_core.tools",
    "BaseTool": "langchain_core.tools",
}


def framework_name(module, name):
    """What the package binds for `from module import name`: the name from
    that module, else (on the 1.x line) from its home there."""
    try:
        return getattr(importlib.import_module(module), name)
    except (ImportError, AttributeError):
        if not LINE_1_X or name not in HOMES_1_X:
            raise
    return getattr(importlib.import_module(HOMES_1_X[name]), name)


def framework_statement(statement):
    """`statement` with each `from module import a, b` of a moved name
    written as the 1.x line's import of it, on that line; unchanged elsewhere."""
    match = re.fullmatch(r"from (\S+) import ([\w, ]+)", statement)
    if not LINE_1_X or not match:
        return statement
    module, names = match.group(1), [n.strip() for n in match.group(2).split(",")]
    lines = []
    for name in names:
        try:
            getattr(importlib.import_module(module), name)
            lines.append("from %s import %s" % (module, name))
        except (ImportError, AttributeError):
            lines.append("from %s import %s" % (HOMES_1_X[name], name))
    return "\n".join(lines)
