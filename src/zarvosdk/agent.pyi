"""The conversational agent: a SQL agent, a chart-drawing Python agent and the
forecast tool, with one conversation memory shared by the whole process."""

import os as os
from typing import Any

from langchain_community.agent_toolkits import SQLDatabaseToolkit as SQLDatabaseToolkit
from langchain_community.agent_toolkits import create_sql_agent as create_sql_agent
from langchain_community.callbacks import StreamlitCallbackHandler as StreamlitCallbackHandler
from langchain_community.chat_models.openai import ChatOpenAI as ChatOpenAI
from langchain_community.llms.openai import OpenAI as OpenAI
from langchain_community.utilities import SQLDatabase as SQLDatabase
from langchain_core.tools import Tool as Tool
from langchain_core.language_models import BaseLanguageModel
from langchain_experimental.agents.agent_toolkits import (
    create_python_agent as create_python_agent,
)
from langchain_experimental.tools.python.tool import PythonAstREPLTool as PythonAstREPLTool
from langchain_experimental.tools.python.tool import PythonREPLTool as PythonREPLTool

# The framework's 1.x line keeps these in langchain_classic; a type
# checker takes the first import, so there they are typed as Any.
try:
    from langchain.agents import AgentExecutor  # type: ignore[attr-defined, import-not-found, unused-ignore]
except ImportError:
    from langchain_classic.agents import AgentExecutor  # type: ignore[import-not-found, no-redef, unused-ignore]
try:
    from langchain.agents import initialize_agent as initialize_agent  # type: ignore[attr-defined, import-not-found, unused-ignore]
except ImportError:
    from langchain_classic.agents import initialize_agent as initialize_agent  # type: ignore[import-not-found, no-redef, unused-ignore]
try:
    from langchain.agents.agent_types import AgentType as AgentType  # type: ignore[attr-defined, import-not-found, unused-ignore]
except ImportError:
    from langchain_classic.agents.agent_types import AgentType as AgentType  # type: ignore[import-not-found, no-redef, unused-ignore]
try:
    from langchain.chains.conversation.memory import ConversationBufferWindowMemory as ConversationBufferWindowMemory  # type: ignore[attr-defined, import-not-found, unused-ignore]
except ImportError:
    from langchain_classic.chains.conversation.memory import ConversationBufferWindowMemory as ConversationBufferWindowMemory  # type: ignore[import-not-found, no-redef, unused-ignore]

# Imported at run time under the top-level name forecast_tool: the same class.
from zarvosdk.forecast_tool import ForecastTool as ForecastTool

__test__: dict[str, Any]

# Misspelt on purpose: the name applications call.
def conversatonal_memory() -> ConversationBufferWindowMemory:
    """Makes a new conversation memory: key "chat_history", the last 5
    exchanges, kept as messages."""

conversational_memory: ConversationBufferWindowMemory
"""The one memory of every agent that `AgentInitializer.create_agent` builds,
in every thread; made at import. Assign another object to change the memory
of agents built afterwards."""

class AgentInitializer:
    """Builds the SQL agent, the chart-drawing Python agent and the forecast
    tool into a three-tool set, and the conversational agent over it."""

    llm: BaseLanguageModel[Any]
    db: SQLDatabase
    path: str
    """Folder named in the Python agent's prompt for saved charts."""
    preinstalled_packages: list[str]  # holds "ploty", misspelt on purpose
    toolkit: SQLDatabaseToolkit
    tools: list[Tool]
    """The tools "SQLAgent", "PythonAgent" and "ForecastTool", built once by
    the constructor."""

    def __init__(self, llm: BaseLanguageModel[Any], db: SQLDatabase, path: str = "media/images") -> None:
        """Makes the SQL toolkit over `db` and calls `initialize_tools`."""

    def initialize_python_agent(self) -> AgentExecutor:
        """Builds a new agent that writes and runs Python code to draw charts
        (it runs model-written code in this process)."""

    def initialize_sql_agent(self) -> AgentExecutor:
        """Builds a new agent that answers by querying the database."""

    def initialize_tools(self) -> list[Tool]:
        """Builds a Python agent and a SQL agent and returns the three tools
        "SQLAgent", "PythonAgent" and "ForecastTool"."""

    def create_agent(self) -> AgentExecutor:
        """Builds a new conversational agent over `tools`, the current `llm`
        and the module's `conversational_memory`; ask it with `invoke` or `run`."""
