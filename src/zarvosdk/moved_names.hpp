// Where the framework's 1.x line keeps the names the modules import from the
// paths of its 0.2 and 0.3 lines. Each module's from-imports name those
// paths; a name that its path does not give (the module is gone, or no
// longer has it) is looked for in its homes here, in order, and the first
// that imports and has it is bound under the same name. A name found in
// none raises the ImportError of its own path. On the 0.2 and 0.3 lines
// every path gives its names, so nothing here is tried there.
#pragma once
#include "../frame/module_state.hpp"

namespace zarvosdk {

inline constexpr zv::NameHome moved_names[] = {
    // The agents, their types and the memory: langchain-classic, which
    // langchain-community 0.4 requires.
    {"initialize_agent", "langchain_classic.agents"},
    {"AgentExecutor", "langchain_classic.agents"},
    {"AgentType", "langchain_classic.agents.agent_types"},
    {"ConversationBufferWindowMemory", "langchain_classic.chains.conversation.memory"},
    // The SQL agent, its toolkit and database, the callback handler and the
    // OpenAI clients: langchain-community itself, which langchain-classic
    // only re-exports with a notice.
    {"create_sql_agent", "langchain_community.agent_toolkits"},
    {"SQLDatabaseToolkit", "langchain_community.agent_toolkits"},
    {"SQLDatabase", "langchain_community.utilities"},
    {"StreamlitCallbackHandler", "langchain_community.callbacks"},
    {"OpenAI", "langchain_community.llms.openai"},
    {"ChatOpenAI", "langchain_community.chat_models.openai"},
    // The tool classes: langchain-core.
    {"Tool", "langchain_core.tools"},
    {"BaseTool", "langchain_core.tools"},
};

}  // namespace zarvosdk
