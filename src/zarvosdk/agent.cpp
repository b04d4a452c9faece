// zarvosdk.agent: assembles the conversational agent and its tools.
//
// Every outside name (the framework's factories, AgentType, the module-wide
// memory) is read from the module namespace when it is used, and the methods
// reach one another through the instance, so an application can replace a
// module attribute or override a method. Nothing here catches an exception.
#include <cstddef>
#include "../frame/attributes.hpp"
#include "../frame/call.hpp"
#include "../frame/class_builder.hpp"
#include "../frame/containers.hpp"
#include "../frame/conversions.hpp"
#include "../frame/function.hpp"
#include "../frame/imports.hpp"
#include "../frame/module_frame.hpp"
#include "prompts.hpp"

namespace {

using zv::Ref;
namespace prompts = zarvosdk::prompts;

#define NAMES(X)                                                                                \
    X(ConversationBufferWindowMemory) X(SQLDatabaseToolkit) X(create_sql_agent)                 \
    X(create_python_agent) X(PythonREPLTool) X(AgentType) X(OPENAI_FUNCTIONS) X(Tool)           \
    X(ForecastTool) X(initialize_agent) X(conversatonal_memory) X(conversational_memory)        \
    X(memory_key) X(k) X(return_messages) X(llm) X(db) X(path) X(preinstalled_packages)         \
    X(toolkit) X(tools) X(initialize_tools) X(initialize_python_agent) X(initialize_sql_agent)  \
    X(verbose) X(agent_type) X(handle_parsing_errors) X(prefix) X(tool) X(name) X(func)         \
    X(description) X(run) X(max_iterations) X(early_stopping_method) X(memory)                  \
    X(AgentInitializer)

#define TEXTS(X)                                                                          \
    X(chat_history, "chat_history") X(force, "force") X(default_path, prompts::default_path) \
    X(matplotlib, "matplotlib") X(seaborn, "seaborn") X(ploty, "ploty") X(pandas, "pandas") \
    X(sql_agent_name, "SQLAgent") X(python_agent_name, "PythonAgent")                     \
    X(forecast_tool_name, "ForecastTool")

struct {
    NAMES(ZV_DECLARE_NAME)
    TEXTS(ZV_DECLARE_TEXT)
    zv::Persistent window, iteration_limit;
    zv::Persistent prefix_head, prefix_tail, sql_agent_description, python_agent_description;
    zv::Persistent forecast_tool_description, conversational_prefix;
} n;

/// Keeps one of the prompt texts as a str for the life of the process.
template <std::size_t N>
void make_text(zv::Persistent& slot, const char (&text)[N]) {
    slot.set(zv::own(PyUnicode_FromStringAndSize(text, N - 1)));
}

void make_constants() {
    ZV_INTERN_TABLES(NAMES, TEXTS)
    n.window.set(zv::integer(5));
    n.iteration_limit.set(zv::integer(10));
    make_text(n.prefix_head, prompts::python_prefix_head);
    make_text(n.prefix_tail, prompts::python_prefix_tail);
    make_text(n.sql_agent_description, prompts::sql_agent_description);
    make_text(n.python_agent_description, prompts::python_agent_description);
    make_text(n.forecast_tool_description, prompts::forecast_tool_description);
    make_text(n.conversational_prefix, prompts::conversational_prefix);
}

void run_top_level(zv::ModuleFrame& frame);

zv::ModuleFrame frame = zv::module_frame([](zv::ModuleDescription& d) {
    d.qualified_name = "zarvosdk.agent";
    d.source_file = "src/zarvosdk/agent.cpp";
    d.constants = make_constants;
    d.body = run_top_level;
});

/// `AgentType.OPENAI_FUNCTIONS`, read from the module's current AgentType.
Ref openai_functions() { return zv::getattr(frame.global(n.AgentType), n.OPENAI_FUNCTIONS); }

// conversatonal_memory ----------------------------------------------------------

/// A new window memory of the last five exchanges, returned as messages.
Ref conversatonal_memory(PyObject* const*) {
    Ref factory = frame.global(n.ConversationBufferWindowMemory);
    return zv::call(factory, {},
                    {{n.memory_key, n.chat_history}, {n.k, n.window}, {n.return_messages, Py_True}});
}

const zv::FunctionDef conversatonal_memory_def{
    "conversatonal_memory", "conversatonal_memory", nullptr, ZV_HERE, conversatonal_memory, {}};

// AgentInitializer ------------------------------------------------------------

Ref initializer_init(PyObject* const* a) {
    PyObject* self = a[0];
    zv::setattr(self, n.llm, a[1]);
    zv::setattr(self, n.db, a[2]);
    zv::setattr(self, n.path, a[3]);
    Ref packages = zv::own(PyList_New(0));
    for (const zv::Persistent* name : {&n.matplotlib, &n.seaborn, &n.ploty, &n.pandas})
        zv::check(PyList_Append(packages.get(), name->get()));
    zv::setattr(self, n.preinstalled_packages, packages);
    Ref toolkit_class = frame.global(n.SQLDatabaseToolkit);
    Ref toolkit = zv::call(toolkit_class, {},
                           {{n.db, zv::getattr(self, n.db)}, {n.llm, zv::getattr(self, n.llm)}});
    zv::setattr(self, n.toolkit, toolkit);
    zv::setattr(self, n.tools, zv::call_method(self, n.initialize_tools));
    return Ref::borrow(Py_None);
}

/// The Python agent's prompt prefix: head, the instance's path text, tail.
Ref python_prefix(PyObject* self) {
    Ref path = zv::text(zv::getattr(self, n.path));
    Ref head = zv::own(PyUnicode_Concat(n.prefix_head.get(), path.get()));
    return zv::own(PyUnicode_Concat(head.get(), n.prefix_tail.get()));
}

Ref initializer_python_agent(PyObject* const* a) {
    PyObject* self = a[0];
    Ref factory = frame.global(n.create_python_agent);
    Ref llm = zv::getattr(self, n.llm);
    Ref prefix = python_prefix(self);
    Ref repl = zv::call(frame.global(n.PythonREPLTool));
    Ref agent_type = openai_functions();
    return zv::call(factory, {llm},
                    {{n.prefix, prefix}, {n.tool, repl}, {n.verbose, Py_True},
                     {n.agent_type, agent_type}, {n.handle_parsing_errors, Py_True}});
}

Ref initializer_sql_agent(PyObject* const* a) {
    PyObject* self = a[0];
    Ref factory = frame.global(n.create_sql_agent);
    Ref llm = zv::getattr(self, n.llm);
    Ref toolkit = zv::getattr(self, n.toolkit);
    Ref agent_type = openai_functions();
    return zv::call(factory, {},
                    {{n.llm, llm}, {n.toolkit, toolkit}, {n.verbose, Py_True},
                     {n.agent_type, agent_type}, {n.handle_parsing_errors, Py_True}});
}

/// A framework tool that hands the model's input to `agent.run`.
Ref agent_tool(zv::Borrowed name, zv::Borrowed agent, zv::Borrowed description) {
    Ref tool_class = frame.global(n.Tool);
    Ref run = zv::getattr(agent, n.run);
    return zv::call(tool_class, {}, {{n.name, name}, {n.func, run}, {n.description, description}});
}

/// The framework tool around a new ForecastTool object (the object itself is the func).
Ref forecast_tool() {
    Ref tool_class = frame.global(n.Tool);
    Ref forecaster = zv::call(frame.global(n.ForecastTool));
    return zv::call(tool_class, {},
                    {{n.name, n.forecast_tool_name},
                     {n.func, forecaster},
                     {n.description, n.forecast_tool_description}});
}

Ref initializer_tools(PyObject* const* a) {
    PyObject* self = a[0];
    Ref python_agent = zv::call_method(self, n.initialize_python_agent);
    Ref sql_agent = zv::call_method(self, n.initialize_sql_agent);
    Ref sql_tool = agent_tool(n.sql_agent_name, sql_agent, n.sql_agent_description);
    Ref python_tool = agent_tool(n.python_agent_name, python_agent, n.python_agent_description);
    Ref forecast = forecast_tool();
    return zv::list({sql_tool, python_tool, forecast});
}

Ref initializer_create_agent(PyObject* const* a) {
    PyObject* self = a[0];
    Ref factory = frame.global(n.initialize_agent);
    Ref tools = zv::getattr(self, n.tools);
    Ref llm = zv::getattr(self, n.llm);
    Ref agent_type = openai_functions();
    Ref memory = frame.global(n.conversational_memory);
    return zv::call(factory, {},
                    {{n.tools, tools},
                     {n.prefix, n.conversational_prefix},
                     {n.llm, llm},
                     {n.agent_type, agent_type},
                     {n.verbose, Py_True},
                     {n.max_iterations, n.iteration_limit},
                     {n.early_stopping_method, n.force},
                     {n.memory, memory},
                     {n.handle_parsing_errors, Py_True}});
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
    Ref defaults = zv::tuple({n.default_path});
    zv::define_method(f, ns, initializer_init_def, defaults);
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
    Ref memory = zv::call(f.global(n.conversatonal_memory));
    f.set(n.conversational_memory.get(), memory.get());
    ZV_LINE(f);
    Ref bases = zv::own(PyTuple_New(0));
    Ref initializer = zv::build_class(f, "AgentInitializer", "AgentInitializer", bases.get(),
                                      nullptr, initializer_body);
    f.set(n.AgentInitializer.get(), initializer.get());
}

}  // namespace

PyMODINIT_FUNC PyInit_agent() { return zv::init_module(frame); }
