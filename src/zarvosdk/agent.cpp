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
#include "../frame/module_state.hpp"
#include "moved_names.hpp"
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

// "ploty" among the preinstalled packages is misspelt on purpose: it is the
// list applications read back, as they have always had it.
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
} names;

/// Keeps one of the prompt texts as a str for the life of the process.
template <std::size_t N>
void make_text(zv::Persistent& slot, const char (&text)[N]) {
    slot.set(zv::own(PyUnicode_FromStringAndSize(text, N - 1)));
}

void make_constants() {
    ZV_INTERN_TABLES(NAMES, TEXTS)
    names.window.set(zv::integer(5));
    names.iteration_limit.set(zv::integer(10));
    make_text(names.prefix_head, prompts::python_prefix_head);
    make_text(names.prefix_tail, prompts::python_prefix_tail);
    make_text(names.sql_agent_description, prompts::sql_agent_description);
    make_text(names.python_agent_description, prompts::python_agent_description);
    make_text(names.forecast_tool_description, prompts::forecast_tool_description);
    make_text(names.conversational_prefix, prompts::conversational_prefix);
}

void run_top_level(zv::ModuleState& state);

zv::ModuleState module_state = zv::define_module([](zv::ModuleDescription& description) {
    description.qualified_name = "zarvosdk.agent";
    description.source_file = "src/zarvosdk/agent.cpp";
    description.finds_moved_names(zarvosdk::moved_names);
    description.constants = make_constants;
    description.body = run_top_level;
});

/// `AgentType.OPENAI_FUNCTIONS`, read from the module's current AgentType.
Ref openai_functions() { return zv::getattr(module_state.global(names.AgentType), names.OPENAI_FUNCTIONS); }

// conversatonal_memory ----------------------------------------------------------
// Misspelt on purpose: applications call the factory by this name. The
// memory it makes is bound as `conversational_memory`.

/// A new window memory of the last five exchanges, returned as messages.
Ref conversatonal_memory(PyObject* const*) {
    Ref factory = module_state.global(names.ConversationBufferWindowMemory);
    return zv::call(factory, {},
                    {{names.memory_key, names.chat_history}, {names.k, names.window}, {names.return_messages, Py_True}});
}

const zv::FunctionDef conversatonal_memory_def{
    "conversatonal_memory", "conversatonal_memory", nullptr, ZV_HERE, conversatonal_memory, {}};

// AgentInitializer ------------------------------------------------------------

Ref initializer_init(PyObject* const* args) {
    PyObject* self = args[0];
    zv::setattr(self, names.llm, args[1]);
    zv::setattr(self, names.db, args[2]);
    zv::setattr(self, names.path, args[3]);
    Ref packages = zv::own(PyList_New(0));
    for (const zv::Persistent* name : {&names.matplotlib, &names.seaborn, &names.ploty, &names.pandas})
        zv::check(PyList_Append(packages.get(), name->get()));
    zv::setattr(self, names.preinstalled_packages, packages);
    Ref toolkit_class = module_state.global(names.SQLDatabaseToolkit);
    Ref toolkit = zv::call(toolkit_class, {},
                           {{names.db, zv::getattr(self, names.db)}, {names.llm, zv::getattr(self, names.llm)}});
    zv::setattr(self, names.toolkit, toolkit);
    zv::setattr(self, names.tools, zv::call_method(self, names.initialize_tools));
    return Ref::borrow(Py_None);
}

/// The Python agent's prompt prefix: head, the instance's path text, tail.
Ref python_prefix(PyObject* self) {
    Ref path = zv::text(zv::getattr(self, names.path));
    Ref head = zv::own(PyUnicode_Concat(names.prefix_head.get(), path.get()));
    return zv::own(PyUnicode_Concat(head.get(), names.prefix_tail.get()));
}

Ref initializer_python_agent(PyObject* const* args) {
    PyObject* self = args[0];
    Ref factory = module_state.global(names.create_python_agent);
    Ref llm = zv::getattr(self, names.llm);
    Ref prefix = python_prefix(self);
    Ref repl = zv::call(module_state.global(names.PythonREPLTool));
    Ref agent_type = openai_functions();
    return zv::call(factory, {llm},
                    {{names.prefix, prefix}, {names.tool, repl}, {names.verbose, Py_True},
                     {names.agent_type, agent_type}, {names.handle_parsing_errors, Py_True}});
}

Ref initializer_sql_agent(PyObject* const* args) {
    PyObject* self = args[0];
    Ref factory = module_state.global(names.create_sql_agent);
    Ref llm = zv::getattr(self, names.llm);
    Ref toolkit = zv::getattr(self, names.toolkit);
    Ref agent_type = openai_functions();
    return zv::call(factory, {},
                    {{names.llm, llm}, {names.toolkit, toolkit}, {names.verbose, Py_True},
                     {names.agent_type, agent_type}, {names.handle_parsing_errors, Py_True}});
}

/// A framework tool that hands the model's input to `agent.run`.
Ref agent_tool(zv::Borrowed name, zv::Borrowed agent, zv::Borrowed description) {
    Ref tool_class = module_state.global(names.Tool);
    Ref run = zv::getattr(agent, names.run);
    return zv::call(tool_class, {}, {{names.name, name}, {names.func, run}, {names.description, description}});
}

/// The framework tool around a new ForecastTool object (the object itself is the func).
Ref forecast_tool() {
    Ref tool_class = module_state.global(names.Tool);
    Ref forecaster = zv::call(module_state.global(names.ForecastTool));
    return zv::call(tool_class, {},
                    {{names.name, names.forecast_tool_name},
                     {names.func, forecaster},
                     {names.description, names.forecast_tool_description}});
}

Ref initializer_tools(PyObject* const* args) {
    PyObject* self = args[0];
    Ref python_agent = zv::call_method(self, names.initialize_python_agent);
    Ref sql_agent = zv::call_method(self, names.initialize_sql_agent);
    Ref sql_tool = agent_tool(names.sql_agent_name, sql_agent, names.sql_agent_description);
    Ref python_tool = agent_tool(names.python_agent_name, python_agent, names.python_agent_description);
    Ref forecast = forecast_tool();
    return zv::list({sql_tool, python_tool, forecast});
}

Ref initializer_create_agent(PyObject* const* args) {
    PyObject* self = args[0];
    Ref factory = module_state.global(names.initialize_agent);
    Ref tools = zv::getattr(self, names.tools);
    Ref llm = zv::getattr(self, names.llm);
    Ref agent_type = openai_functions();
    Ref memory = module_state.global(names.conversational_memory);
    return zv::call(factory, {},
                    {{names.tools, tools},
                     {names.prefix, names.conversational_prefix},
                     {names.llm, llm},
                     {names.agent_type, agent_type},
                     {names.verbose, Py_True},
                     {names.max_iterations, names.iteration_limit},
                     {names.early_stopping_method, names.force},
                     {names.memory, memory},
                     {names.handle_parsing_errors, Py_True}});
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

void initializer_body(zv::ModuleState& state, PyObject* ns) {
    Ref defaults = zv::tuple({names.default_path});
    zv::define_method(state, ns, initializer_init_def, defaults);
    zv::define_method(state, ns, initializer_python_agent_def);
    zv::define_method(state, ns, initializer_sql_agent_def);
    zv::define_method(state, ns, initializer_tools_def);
    zv::define_method(state, ns, initializer_create_agent_def);
}

// Top level -------------------------------------------------------------------

void run_imports(zv::ModuleState& state) {
    ZV_LINE(state), zv::import_from(state, "langchain.chat_models", {"ChatOpenAI"});
    ZV_LINE(state), zv::import_from(state, "langchain.llms.openai", {"OpenAI"});
    ZV_LINE(state), zv::import_from(state, "langchain.agents", {"create_sql_agent"});
    ZV_LINE(state), zv::import_from(state, "langchain.sql_database", {"SQLDatabase"});
    ZV_LINE(state), zv::import_from(state, "langchain.agents.agent_types", {"AgentType"});
    ZV_LINE(state), zv::import_from(state, "langchain.callbacks", {"StreamlitCallbackHandler"});
    ZV_LINE(state), zv::import_from(state, "langchain.agents.agent_toolkits", {"SQLDatabaseToolkit"});
    ZV_LINE(state), zv::import_from(state, "langchain_experimental.agents.agent_toolkits",
                                {"create_python_agent"});
    ZV_LINE(state), zv::import_from(state, "langchain_experimental.tools.python.tool",
                                {"PythonAstREPLTool"});
    ZV_LINE(state), zv::import_from(state, "langchain.agents", {"initialize_agent"});
    ZV_LINE(state), zv::import_from(state, "langchain_experimental.tools.python.tool", {"PythonREPLTool"});
    ZV_LINE(state), zv::import_from(state, "langchain.tools", {"Tool"});
    ZV_LINE(state), zv::import_from(state, "langchain.chains.conversation.memory",
                                {"ConversationBufferWindowMemory"});
    // The top-level name, not zarvosdk.forecast_tool.
    ZV_LINE(state), zv::import_from(state, "forecast_tool", {"ForecastTool"});
    ZV_LINE(state), zv::import_plain(state, "os", "os");
}

void run_top_level(zv::ModuleState& state) {
    run_imports(state);
    ZV_LINE(state);
    Ref factory = zv::make_function(conversatonal_memory_def, state);
    state.set(names.conversatonal_memory.get(), factory.get());
    ZV_LINE(state);
    Ref memory = zv::call(state.global(names.conversatonal_memory));
    state.set(names.conversational_memory.get(), memory.get());
    ZV_LINE(state);
    Ref bases = zv::own(PyTuple_New(0));
    Ref initializer = zv::build_class(state, "AgentInitializer", "AgentInitializer", bases.get(),
                                      nullptr, initializer_body);
    state.set(names.AgentInitializer.get(), initializer.get());
}

}  // namespace

PyMODINIT_FUNC PyInit_agent() { return zv::init_module(module_state); }
