// zarvosdk.agent: assembles the conversational agent and its tools.
//
// Every outside name (the framework's factories, AgentType, the module-wide
// memory) is read from the module namespace when it is used, and the methods
// reach one another through the instance, so an application can replace a
// module attribute or override a method. Nothing here catches an exception.
#include <cstddef>
#include "../frame/call.hpp"
#include "../frame/class_builder.hpp"
#include "../frame/function.hpp"
#include "../frame/imports.hpp"
#include "../frame/module_frame.hpp"
#include "prompts.hpp"

namespace {

using zv::Ref;
namespace prompts = zarvosdk::prompts;

void make_constants();
void run_top_level(zv::ModuleFrame& frame);

zv::ModuleFrame frame = zv::module_frame("agent", "zarvosdk.agent", "zarvosdk.agent",
                                         "init zarvosdk.agent", "src/zarvosdk/agent.cpp", nullptr,
                                         make_constants, run_top_level);

#define NAMES(X)                                                                                \
    X(ConversationBufferWindowMemory) X(SQLDatabaseToolkit) X(create_sql_agent)                 \
    X(create_python_agent) X(PythonREPLTool) X(AgentType) X(OPENAI_FUNCTIONS) X(Tool)           \
    X(ForecastTool) X(initialize_agent) X(conversatonal_memory) X(conversational_memory)        \
    X(memory_key) X(k) X(return_messages) X(llm) X(db) X(path) X(preinstalled_packages)         \
    X(toolkit) X(tools) X(initialize_tools) X(initialize_python_agent) X(initialize_sql_agent)  \
    X(verbose) X(agent_type) X(handle_parsing_errors) X(prefix) X(tool) X(name) X(func)         \
    X(description) X(run) X(max_iterations) X(early_stopping_method) X(memory)

struct {
    NAMES(ZV_DECLARE_NAME)
    zv::Persistent empty, chat_history, window, force, iteration_limit, default_path;
    zv::Persistent matplotlib, seaborn, ploty, pandas;
    zv::Persistent sql_agent_name, python_agent_name, forecast_tool_name;
    zv::Persistent prefix_head, prefix_tail, sql_agent_description, python_agent_description;
    zv::Persistent forecast_tool_description, conversational_prefix;
    // Keyword names of the outside calls, in the order the values are passed.
    zv::Persistent memory_keywords, toolkit_keywords, sql_agent_keywords, python_agent_keywords;
    zv::Persistent tool_keywords, agent_keywords;
} n;

/// Keeps one of the prompt texts as a str for the life of the process.
template <std::size_t N>
void make_text(zv::Persistent& slot, const char (&text)[N]) {
    slot.set(zv::own(PyUnicode_FromStringAndSize(text, N - 1)));
}

void make_texts() {
    make_text(n.prefix_head, prompts::python_prefix_head);
    make_text(n.prefix_tail, prompts::python_prefix_tail);
    make_text(n.sql_agent_description, prompts::sql_agent_description);
    make_text(n.python_agent_description, prompts::python_agent_description);
    make_text(n.forecast_tool_description, prompts::forecast_tool_description);
    make_text(n.conversational_prefix, prompts::conversational_prefix);
}

void make_keyword_tuples() {
    n.memory_keywords.set(zv::tuple({n.memory_key.get(), n.k.get(), n.return_messages.get()}));
    n.toolkit_keywords.set(zv::tuple({n.db.get(), n.llm.get()}));
    n.sql_agent_keywords.set(zv::tuple({n.llm.get(), n.toolkit.get(), n.verbose.get(),
                                        n.agent_type.get(), n.handle_parsing_errors.get()}));
    n.python_agent_keywords.set(zv::tuple({n.prefix.get(), n.tool.get(), n.verbose.get(),
                                           n.agent_type.get(), n.handle_parsing_errors.get()}));
    n.tool_keywords.set(zv::tuple({n.name.get(), n.func.get(), n.description.get()}));
    n.agent_keywords.set(zv::tuple({n.tools.get(), n.prefix.get(), n.llm.get(), n.agent_type.get(),
                                    n.verbose.get(), n.max_iterations.get(),
                                    n.early_stopping_method.get(), n.memory.get(),
                                    n.handle_parsing_errors.get()}));
}

void make_constants() {
    NAMES(ZV_INTERN_NAME)
    zv::intern(n.empty, "");
    zv::intern(n.chat_history, "chat_history");
    zv::intern(n.force, "force");
    zv::intern(n.default_path, prompts::default_path);
    zv::intern(n.matplotlib, "matplotlib");
    zv::intern(n.seaborn, "seaborn");
    zv::intern(n.ploty, "ploty");
    zv::intern(n.pandas, "pandas");
    zv::intern(n.sql_agent_name, "SQLAgent");
    zv::intern(n.python_agent_name, "PythonAgent");
    zv::intern(n.forecast_tool_name, "ForecastTool");
    n.window.set(zv::integer(5));
    n.iteration_limit.set(zv::integer(10));
    make_texts();
    make_keyword_tuples();
}

/// `AgentType.OPENAI_FUNCTIONS`, read from the module's current AgentType.
Ref openai_functions() {
    Ref agent_types = frame.global(n.AgentType.get());
    return zv::getattr(agent_types.get(), n.OPENAI_FUNCTIONS.get());
}

// conversatonal_memory ----------------------------------------------------------

/// A new window memory of the last five exchanges, returned as messages.
Ref conversatonal_memory(PyObject* const*) {
    Ref factory = frame.global(n.ConversationBufferWindowMemory.get());
    return zv::call(factory.get(), {n.chat_history.get(), n.window.get(), Py_True},
                    n.memory_keywords.get());
}

const zv::FunctionDef conversatonal_memory_def{
    "conversatonal_memory", "conversatonal_memory", nullptr, ZV_HERE, conversatonal_memory, {}};

// AgentInitializer ------------------------------------------------------------

Ref initializer_init(PyObject* const* a) {
    PyObject* self = a[0];
    zv::setattr(self, n.llm.get(), a[1]);
    zv::setattr(self, n.db.get(), a[2]);
    zv::setattr(self, n.path.get(), a[3]);
    Ref packages = zv::own(PyList_New(0));
    for (const zv::Persistent* name : {&n.matplotlib, &n.seaborn, &n.ploty, &n.pandas})
        zv::check(PyList_Append(packages.get(), name->get()));
    zv::setattr(self, n.preinstalled_packages.get(), packages.get());
    Ref toolkit_class = frame.global(n.SQLDatabaseToolkit.get());
    Ref db = zv::getattr(self, n.db.get());
    Ref llm = zv::getattr(self, n.llm.get());
    Ref toolkit = zv::call(toolkit_class.get(), {db.get(), llm.get()}, n.toolkit_keywords.get());
    zv::setattr(self, n.toolkit.get(), toolkit.get());
    Ref tools = zv::call_method(self, n.initialize_tools.get());
    zv::setattr(self, n.tools.get(), tools.get());
    return Ref::borrow(Py_None);
}

/// The path as it appears in the prompt: a str as it is, anything else formatted.
Ref path_text(PyObject* value) {
    if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
    return zv::own(PyObject_Format(value, n.empty.get()));
}

/// The Python agent's prompt prefix: head, the instance's path text, tail.
Ref python_prefix(PyObject* self) {
    Ref path = zv::getattr(self, n.path.get());
    Ref text = path_text(path.get());
    Ref parts = zv::tuple({n.prefix_head.get(), text.get(), n.prefix_tail.get()});
    return zv::own(PyUnicode_Join(n.empty.get(), parts.get()));
}

Ref initializer_python_agent(PyObject* const* a) {
    PyObject* self = a[0];
    Ref factory = frame.global(n.create_python_agent.get());
    Ref llm = zv::getattr(self, n.llm.get());
    Ref prefix = python_prefix(self);
    Ref repl_class = frame.global(n.PythonREPLTool.get());
    Ref repl = zv::call(repl_class.get(), {});
    Ref agent_type = openai_functions();
    return zv::call(factory.get(),
                    {llm.get(), prefix.get(), repl.get(), Py_True, agent_type.get(), Py_True},
                    n.python_agent_keywords.get());
}

Ref initializer_sql_agent(PyObject* const* a) {
    PyObject* self = a[0];
    Ref factory = frame.global(n.create_sql_agent.get());
    Ref llm = zv::getattr(self, n.llm.get());
    Ref toolkit = zv::getattr(self, n.toolkit.get());
    Ref agent_type = openai_functions();
    return zv::call(factory.get(), {llm.get(), toolkit.get(), Py_True, agent_type.get(), Py_True},
                    n.sql_agent_keywords.get());
}

/// A framework tool that hands the model's input to `agent.run`.
Ref agent_tool(PyObject* name, PyObject* agent, PyObject* description) {
    Ref tool_class = frame.global(n.Tool.get());
    Ref run = zv::getattr(agent, n.run.get());
    return zv::call(tool_class.get(), {name, run.get(), description}, n.tool_keywords.get());
}

/// The framework tool around a new ForecastTool object (the object itself is the func).
Ref forecast_tool() {
    Ref tool_class = frame.global(n.Tool.get());
    Ref forecast_class = frame.global(n.ForecastTool.get());
    Ref forecaster = zv::call(forecast_class.get(), {});
    return zv::call(tool_class.get(),
                    {n.forecast_tool_name.get(), forecaster.get(), n.forecast_tool_description.get()},
                    n.tool_keywords.get());
}

Ref initializer_tools(PyObject* const* a) {
    PyObject* self = a[0];
    Ref python_agent = zv::call_method(self, n.initialize_python_agent.get());
    Ref sql_agent = zv::call_method(self, n.initialize_sql_agent.get());
    Ref sql_tool =
        agent_tool(n.sql_agent_name.get(), sql_agent.get(), n.sql_agent_description.get());
    Ref python_tool = agent_tool(n.python_agent_name.get(), python_agent.get(),
                                 n.python_agent_description.get());
    Ref forecast = forecast_tool();
    Ref tools = zv::own(PyList_New(3));
    PyList_SET_ITEM(tools.get(), 0, sql_tool.release());
    PyList_SET_ITEM(tools.get(), 1, python_tool.release());
    PyList_SET_ITEM(tools.get(), 2, forecast.release());
    return tools;
}

Ref initializer_create_agent(PyObject* const* a) {
    PyObject* self = a[0];
    Ref factory = frame.global(n.initialize_agent.get());
    Ref tools = zv::getattr(self, n.tools.get());
    Ref llm = zv::getattr(self, n.llm.get());
    Ref agent_type = openai_functions();
    Ref memory = frame.global(n.conversational_memory.get());
    return zv::call(factory.get(),
                    {tools.get(), n.conversational_prefix.get(), llm.get(), agent_type.get(),
                     Py_True, n.iteration_limit.get(), n.force.get(), memory.get(), Py_True},
                    n.agent_keywords.get());
}

const zv::FunctionDef initializer_init_def{
    "__init__", "AgentInitializer.__init__", nullptr, ZV_HERE, initializer_init,
    {{"self"}, {"llm"}, {"db"}, {"path"}}};
const zv::FunctionDef initializer_python_agent_def{
    "initialize_python_agent", "AgentInitializer.initialize_python_agent", nullptr, ZV_HERE,
    initializer_python_agent, {{"self"}}};
const zv::FunctionDef initializer_sql_agent_def{
    "initialize_sql_agent", "AgentInitializer.initialize_sql_agent", nullptr, ZV_HERE,
    initializer_sql_agent, {{"self"}}};
const zv::FunctionDef initializer_tools_def{
    "initialize_tools", "AgentInitializer.initialize_tools", nullptr, ZV_HERE, initializer_tools,
    {{"self"}}};
const zv::FunctionDef initializer_create_agent_def{
    "create_agent", "AgentInitializer.create_agent", nullptr, ZV_HERE, initializer_create_agent,
    {{"self"}}};

void initializer_body(zv::ModuleFrame& f, PyObject* ns) {
    Ref defaults = zv::tuple({n.default_path.get()});
    zv::define_method(f, ns, initializer_init_def, defaults.get());
    zv::define_method(f, ns, initializer_python_agent_def);
    zv::define_method(f, ns, initializer_sql_agent_def);
    zv::define_method(f, ns, initializer_tools_def);
    zv::define_method(f, ns, initializer_create_agent_def);
}

// Top level -------------------------------------------------------------------

void run_imports(zv::ModuleFrame& f) {
    ZV_LINE(f), zv::import_from(f, "langchain.chat_models", {"ChatOpenAI"});
    ZV_LINE(f), zv::import_from(f, "langchain.llms.openai", {"OpenAI"});
    ZV_LINE(f), zv::import_from(f, "langchain.agents", {"create_sql_agent"});
    ZV_LINE(f), zv::import_from(f, "langchain.sql_database", {"SQLDatabase"});
    ZV_LINE(f), zv::import_from(f, "langchain.agents.agent_types", {"AgentType"});
    ZV_LINE(f), zv::import_from(f, "langchain.callbacks", {"StreamlitCallbackHandler"});
    ZV_LINE(f), zv::import_from(f, "langchain.agents.agent_toolkits", {"SQLDatabaseToolkit"});
    ZV_LINE(f), zv::import_from(f, "langchain_experimental.agents.agent_toolkits",
                                {"create_python_agent"});
    ZV_LINE(f), zv::import_from(f, "langchain_experimental.tools.python.tool",
                                {"PythonAstREPLTool"});
    ZV_LINE(f), zv::import_from(f, "langchain.agents", {"initialize_agent"});
    ZV_LINE(f), zv::import_from(f, "langchain_experimental.tools.python.tool", {"PythonREPLTool"});
    ZV_LINE(f), zv::import_from(f, "langchain.tools", {"Tool"});
    ZV_LINE(f), zv::import_from(f, "langchain.chains.conversation.memory",
                                {"ConversationBufferWindowMemory"});
    // The top-level name, not zarvosdk.forecast_tool.
    ZV_LINE(f), zv::import_from(f, "forecast_tool", {"ForecastTool"});
    ZV_LINE(f), zv::import_plain(f, "os", "os");
}

void run_top_level(zv::ModuleFrame& f) {
    run_imports(f);
    ZV_LINE(f);
    Ref factory = zv::make_function(conversatonal_memory_def, f);
    f.set(n.conversatonal_memory.get(), factory.get());
    ZV_LINE(f);
    Ref current = f.global(n.conversatonal_memory.get());
    Ref memory = zv::call(current.get(), {});
    f.set(n.conversational_memory.get(), memory.get());
    ZV_LINE(f);
    Ref bases = zv::own(PyTuple_New(0));
    Ref initializer = zv::build_class(f, "AgentInitializer", "AgentInitializer", bases.get(),
                                      nullptr, initializer_body);
    f.set("AgentInitializer", initializer.get());
}

}  // namespace

PyMODINIT_FUNC PyInit_agent() { return zv::init_module(frame); }
