// zarvosdk.guard: a read-only guard for the framework's SQL database handle.
//
// `read_only(db)` gives a handle over the same server through which only one
// read statement at a time runs. Three layers hold it:
//   - an allow-list: the statement is read by a maintained SQL parser
//     (sqlglot, MySQL dialect, imported on the first guarded handle) and
//     refused before it reaches the server unless it is a single SELECT,
//     SHOW, DESCRIBE or EXPLAIN with nothing in it that writes, reads files,
//     sleeps, takes locks or changes the session, and no LIMIT above the
//     row limit; comments the server runs but the parser takes for comments
//     are refused on their own;
//   - the session: every connection of the handle's own engine is read-only
//     and carries a server-side time limit and row limit;
//   - the server's warnings: a statement the server stopped but finished
//     with a warning is reported as stopped, not as a plain answer.
// Every refusal, stop or cut is a GuardError, an SQLAlchemyError, so the
// framework's query tool hands its one line to the model as the observation.
#include <cmath>
#include <cstdio>
#include "../frame/attributes.hpp"
#include "../frame/call.hpp"
#include "../frame/class_builder.hpp"
#include "../frame/containers.hpp"
#include "../frame/conversions.hpp"
#include "../frame/function.hpp"
#include "../frame/imports.hpp"
#include "../frame/module_state.hpp"

namespace {

using zv::Borrowed;
using zv::Exact;
using zv::Ref;

#define NAMES(X)                                                                              \
    X(SQLDatabase) X(SQLAlchemyError) X(TextClause) X(create_engine) X(event) X(listen)        \
    X(partial) X(GuardError) X(GuardedSQLDatabase) X(read_only) X(_execute) X(_engine) X(url)  \
    X(dialect) X(text) X(is_select) X(parameters) X(execution_options) X(get) X(cursor)        \
    X(execute) X(fetchone) X(fetchall) X(close) X(rollback) X(connection) X(warning_count)     \
    X(rowcount) X(description) X(original_exception) X(args) X(_guard_seconds)                 \
    X(_guard_max_rows) X(update) X(tokenize) X(parser) X(parse) X(token_type) X(name) X(walk)  \
    X(key) X(sql_name) X(upper) X(get_or_raise) X(connect) X(after_cursor_execute)             \
    X(handle_error) X(lower)

#define TEXTS(X)                                                                              \
    X(option_key, "zarvosdk_guard") X(mysql_text, "mysql") X(mariadb_text, "mariadb")         \
    X(version_query, "SELECT VERSION()") X(warnings_query, "SHOW WARNINGS")                   \
    X(read_only_session, "SET SESSION TRANSACTION READ ONLY")                                 \
    X(expressions_module, "sqlglot.expressions") X(tokens_module, "sqlglot.tokens")           \
    X(dialects_module, "sqlglot.dialects.dialect") X(module_name, "zarvosdk.guard")           \
    X(dunder_name, "__name__") X(dunder_module, "__module__") X(dunder_dict, "__dict__")      \
    X(dunder_new, "__new__") X(this_attribute, "this") X(underscore, "_")

#define BUILTINS(X) X(super) X(TypeError) X(ValueError) X(object)

struct {
    NAMES(ZV_DECLARE_NAME)
    TEXTS(ZV_DECLARE_TEXT)
    zv::Persistent guard_error;   // the GuardError class
    zv::Persistent guard_class;   // the GuardedSQLDatabase class
    zv::Persistent combined;      // application's handle class -> its guarded subclass
} names;

// The parser's pieces, looked up on the first guarded handle: an application
// that never guards a handle never imports the parser.
struct {
    zv::Persistent dialect;          // sqlglot's MySQL dialect
    zv::Persistent first_tokens;     // token types a read statement may start with
    zv::Persistent semicolon;        // the statement separator's token type
    zv::Persistent statements;       // the statement kinds that may run
    zv::Persistent described;        // what DESCRIBE / EXPLAIN may look at
    zv::Persistent refused_nodes;    // what may not appear anywhere in a statement
    zv::Persistent function_type;    // every function call
    zv::Persistent anonymous_type;   // a call of a function the parser does not know
    zv::Persistent refused_calls;    // upper-case names of the functions refused
    zv::Persistent literal_type;     // a number or text written out
    zv::Persistent subquery_type;    // a query in parentheses
} sql_parser;

ZV_BUILTINS(BUILTINS);

void make_constants() { ZV_INTERN_TABLES(NAMES, TEXTS) }

void run_top_level(zv::ModuleState& state);

zv::ModuleState module_state = zv::define_module([](zv::ModuleDescription& description) {
    description.qualified_name = "zarvosdk.guard";
    description.source_file = "src/zarvosdk/guard.cpp";
    description.uses_builtins(builtin_table);
    description.constants = make_constants;
    description.body = run_top_level;
});

// Functions that read, write or wait outside the statement's own rows: files,
// sleeps and busy loops, named locks, replication waits, sequences, and the
// one form of LAST_INSERT_ID that sets the session's value.
const char* const refused_call_names[] = {
    "LOAD_FILE", "SLEEP", "BENCHMARK", "GET_LOCK", "RELEASE_LOCK", "RELEASE_ALL_LOCKS",
    "IS_FREE_LOCK", "IS_USED_LOCK", "MASTER_POS_WAIT", "MASTER_GTID_WAIT", "SOURCE_POS_WAIT",
    "WAIT_FOR_EXECUTED_GTID_SET", "WAIT_UNTIL_SQL_THREAD_AFTER_GTIDS", "NEXTVAL", "SETVAL",
    "LASTVAL", "LAST_INSERT_ID", "SYS_EXEC", "SYS_EVAL"};

// Statement kinds that write, administer or change the session or the
// transaction, refused wherever they appear (a write inside a CTE included),
// and the clauses of a SELECT that write (INTO), lock (FOR UPDATE, LOCK IN
// SHARE MODE) or assign a variable (:=).
const char* const refused_node_names[] = {
    "Insert", "Update", "Delete", "Merge", "Drop", "Create", "Alter", "TruncateTable",
    "Command", "Set", "Transaction", "Commit", "Rollback", "Use", "Kill", "LoadData",
    "Grant", "Revoke", "Cache", "Uncache", "Pragma", "Into", "Lock", "PropertyEQ"};

// Refusals, stops and cuts ------------------------------------------------------

const char only_reads[] =
    " Only one read statement (SELECT, WITH ... SELECT, SHOW, DESCRIBE or EXPLAIN) may run.";

[[noreturn]] void raise_guard_error(Borrowed message) {
    PyErr_SetObject(names.guard_error.get(), message);
    zv::raise();
}

/// Refuses the statement before it reaches the server, saying why.
[[noreturn]] void refuse(const char* reason) {
    raise_guard_error(zv::own(PyUnicode_FromFormat(
        "Query refused by the read-only guard: %s.%s", reason, only_reads)));
}

[[noreturn]] void refuse_named(const char* format, Borrowed name) {
    Ref reason = zv::own(PyUnicode_FromFormat(format, name.get()));
    raise_guard_error(zv::own(PyUnicode_FromFormat(
        "Query refused by the read-only guard: %U.%s", reason.get(), only_reads)));
}

// Comments the server reads ------------------------------------------------------

/// Index just past the quoted text that starts at `i` with `quote`; with
/// `escapes`, a backslash takes the next character as it is. A doubled quote
/// stands for one quote in every mode.
Py_ssize_t skip_quoted(const char* text, Py_ssize_t length, Py_ssize_t i, bool escapes) {
    char quote = text[i];
    for (++i; i < length; ++i) {
        if (escapes && quote != '`' && text[i] == '\\') {
            ++i;
        } else if (text[i] == quote) {
            if (i + 1 < length && text[i + 1] == quote) ++i;
            else return i + 1;
        }
    }
    return length;
}

Py_ssize_t skip_line(const char* text, Py_ssize_t length, Py_ssize_t i) {
    while (i < length && text[i] != '\n') ++i;
    return i;
}

/// Whether `--` at `i` opens a comment: it needs a blank or control
/// character (or the end of the text) after it.
bool dash_comment_at(const char* text, Py_ssize_t length, Py_ssize_t i) {
    if (i + 1 >= length || text[i] != '-' || text[i + 1] != '-') return false;
    return i + 2 >= length || static_cast<unsigned char>(text[i + 2]) <= ' ';
}

/// Whether the `/*` at `i` is one the server reads: `/*!` and `/*M!` hold SQL
/// it runs, `/*+` holds optimizer hints, which can set session variables.
bool server_comment_at(const char* text, Py_ssize_t length, Py_ssize_t i) {
    if (i + 2 >= length) return false;
    char opener = text[i + 2];
    return opener == '!' || opener == '+' || (opener == 'M' && i + 3 < length && text[i + 3] == '!');
}

/// Whether the text holds a comment the server reads, outside quoted text,
/// with backslash escapes inside quotes taken as the server's mode says.
bool has_server_comment(const char* text, Py_ssize_t length, bool escapes) {
    Py_ssize_t i = 0;
    while (i < length) {
        char character = text[i];
        if (character == '\'' || character == '"' || character == '`') {
            i = skip_quoted(text, length, i, escapes);
        } else if (character == '#' || dash_comment_at(text, length, i)) {
            i = skip_line(text, length, i);
        } else if (character == '/' && i + 1 < length && text[i + 1] == '*') {
            if (server_comment_at(text, length, i)) return true;
            const char* end = nullptr;
            for (Py_ssize_t j = i + 2; j + 1 < length && !end; ++j)
                if (text[j] == '*' && text[j + 1] == '/') end = text + j;
            i = end ? end - text + 2 : length;
        } else {
            ++i;
        }
    }
    return false;
}

/// Refuses comments the server runs or reads while the parser skips them.
/// The text is read both with and without backslash escapes, so a session
/// in NO_BACKSLASH_ESCAPES or ANSI_QUOTES mode cannot hide one in what looks
/// like quoted text.
void refuse_server_comments(PyObject* sql) {
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(sql, &length);
    if (!text) zv::raise();
    if (has_server_comment(text, length, true) || has_server_comment(text, length, false))
        refuse("it holds a comment the server executes or reads (/*! ... */, /*M! ... */ or "
               "/*+ ... */), which a parser takes for a plain comment");
}

// The parser ---------------------------------------------------------------------

/// A tuple of the attributes `names` of `module`, leaving out names this
/// version of the parser does not have.
Ref attributes_present(Borrowed module, const char* const* names, std::size_t count) {
    Ref found = zv::own(PyList_New(0));
    for (std::size_t i = 0; i < count; ++i) {
        Ref value = zv::optional_attr(module, names[i]);
        if (!value) continue;
        zv::check(PyList_Append(found.get(), value.get()));
    }
    return zv::own(PyList_AsTuple(found.get()));
}

template <std::size_t N>
Ref attributes(Borrowed module, const char* const (&names)[N]) {
    return attributes_present(module, names, N);
}

Ref names_set() {
    Ref set = zv::own(PySet_New(nullptr));
    for (const char* name : refused_call_names)
        zv::check(PySet_Add(set.get(), zv::own(PyUnicode_FromString(name)).get()));
    return zv::own(PyFrozenSet_New(set.get()));
}

/// Imports the parser and looks up what the checks use, once.
void load_parser() {
    if (sql_parser.dialect) return;
    Ref exp = zv::own(PyImport_Import(names.expressions_module.get()));
    Ref tokens = zv::own(PyImport_Import(names.tokens_module.get()));
    Ref dialects = zv::own(PyImport_Import(names.dialects_module.get()));
    Ref token_type = zv::getattr(tokens, "TokenType");
    const char* const first[] = {"SELECT", "WITH", "SHOW", "DESCRIBE", "DESC", "L_PAREN"};
    const char* const statements[] = {"Select", "SetOperation", "Subquery", "Show", "Describe"};
    const char* const described[] = {"Select", "SetOperation", "Subquery", "Table"};
    sql_parser.first_tokens.set(attributes(token_type, first));
    sql_parser.semicolon.set(zv::getattr(token_type, "SEMICOLON"));
    sql_parser.statements.set(attributes(exp, statements));
    sql_parser.described.set(attributes(exp, described));
    sql_parser.refused_nodes.set(attributes(exp, refused_node_names));
    sql_parser.function_type.set(zv::getattr(exp, "Func"));
    sql_parser.anonymous_type.set(zv::getattr(exp, "Anonymous"));
    sql_parser.refused_calls.set(names_set());
    sql_parser.literal_type.set(zv::getattr(exp, "Literal"));
    sql_parser.subquery_type.set(zv::getattr(exp, "Subquery"));
    Ref dialect_class = zv::getattr(dialects, "Dialect");
    sql_parser.dialect.set(zv::call_method(dialect_class, names.get_or_raise, {names.mysql_text}));
}

bool is_instance(Borrowed value, Borrowed types) {
    return zv::check(PyObject_IsInstance(value, types)) != 0;
}

/// The first line of an exception's text.
Ref first_line(PyObject* error) {
    Ref text = zv::str(error);
    Py_ssize_t end = PyUnicode_FindChar(text.get(), '\n', 0, PyUnicode_GET_LENGTH(text.get()), 1);
    if (end == -2) zv::raise();
    if (end < 0) return text;
    return zv::own(PyUnicode_Substring(text.get(), 0, end));
}

/// Refuses text the parser cannot read; anything it raises counts.
[[noreturn]] void refuse_unreadable() {
    Ref reason;
    {
        zv::Handler handler;
        reason = first_line(handler.value());
    }
    refuse_named("the SQL parser cannot read it as one MySQL statement (%S)", reason);
}

/// Refuses what cannot be a single read statement from its tokens alone: a
/// first word other than SELECT, WITH, SHOW, DESCRIBE, EXPLAIN or "(", or a
/// second statement after a semicolon. Nothing else then reaches the parser,
/// which would log a warning for statements it only half knows.
void check_tokens(Borrowed tokens) {
    Py_ssize_t count = PyList_GET_SIZE(tokens.get());
    if (count == 0) refuse("it holds no statement");
    PyObject* first = PyList_GET_ITEM(tokens.get(), 0);
    Ref first_type = zv::getattr(first, names.token_type);
    if (!zv::check(PySequence_Contains(sql_parser.first_tokens.get(), first_type.get())))
        refuse_named("it is not a read statement (it starts with %R)", zv::getattr(first, names.text));
    bool ended = false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref type = zv::getattr(PyList_GET_ITEM(tokens.get(), i), names.token_type);
        bool separator = type.get() == sql_parser.semicolon.get();
        if (ended && !separator) refuse("it holds several statements");
        ended = ended || separator;
    }
}

/// The one statement the parser read from the tokens.
Ref parse_one(PyObject* sql, Borrowed tokens) {
    Ref parser = zv::call_method(sql_parser.dialect, names.parser);
    Ref parsed = zv::call_method(parser, names.parse, {tokens, sql});
    Ref statements = zv::own(PySequence_List(parsed.get()));
    Ref statement;
    Py_ssize_t count = PyList_GET_SIZE(statements.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyList_GET_ITEM(statements.get(), i);
        if (item == Py_None) continue;
        if (statement) refuse("it holds several statements");
        statement = Ref::borrow(item);
    }
    if (!statement) refuse("it holds no statement");
    return statement;
}

/// The statement itself must be a read: SELECT (with or without WITH, a set
/// operation of them, or one in parentheses), SHOW, or DESCRIBE / EXPLAIN of
/// a table or of such a SELECT.
void check_statement_kind(Borrowed statement) {
    Ref kind = zv::getattr(statement, names.key);
    if (!is_instance(statement, sql_parser.statements))
        refuse_named("it is not a read statement (%S)", zv::call_method(kind, names.upper));
    if (PyUnicode_CompareWithASCIIString(kind.get(), "describe") != 0) return;
    Ref inner = zv::getattr(statement, names.this_attribute);
    if (!is_instance(inner, sql_parser.described))
        refuse_named("EXPLAIN / DESCRIBE may only look at a read statement, not %S",
                     zv::call_method(zv::getattr(inner, names.key), names.upper));
}

/// The function's name in upper case, as the server matches it.
Ref call_name(Borrowed node) {
    Ref name = is_instance(node, sql_parser.anonymous_type) ? zv::getattr(node, names.name)
                                                   : zv::call_method(node, names.sql_name);
    return zv::call_method(name, names.upper);
}

[[noreturn]] void refuse_node(Borrowed node) {
    Ref key = zv::getattr(node, names.key);
    if (PyUnicode_CompareWithASCIIString(key.get(), "into") == 0)
        refuse("it writes its result into a file or a variable (INTO)");
    if (PyUnicode_CompareWithASCIIString(key.get(), "lock") == 0)
        refuse("it is a locking read (FOR UPDATE, FOR SHARE or LOCK IN SHARE MODE)");
    if (PyUnicode_CompareWithASCIIString(key.get(), "propertyeq") == 0)
        refuse("it assigns a variable (:=)");
    refuse_named("it holds a %S statement", zv::call_method(key, names.upper));
}

/// Walks every part of the statement for writes, clauses that write, lock or
/// assign, and refused functions.
void check_parts(Borrowed statement) {
    Ref nodes = zv::own(PyObject_GetIter(zv::call_method(statement, names.walk).get()));
    while (Ref node = Ref::steal(PyIter_Next(nodes.get()))) {
        if (is_instance(node, sql_parser.refused_nodes)) refuse_node(node);
        if (!is_instance(node, sql_parser.function_type)) continue;
        Ref name = call_name(node);
        if (zv::check(PySet_Contains(sql_parser.refused_calls.get(), name.get())))
            refuse_named("it calls %S, which the read-only guard does not allow", name);
    }
    if (PyErr_Occurred()) zv::raise();
}

/// Refuses, with the reason, any text that is not one allowed read
/// statement; returns the statement the parser read.
Ref check_sql(PyObject* sql) {
    refuse_server_comments(sql);
    load_parser();
    Ref tokens, statement;
    try {
        tokens = zv::own(PySequence_List(zv::call_method(sql_parser.dialect, names.tokenize, {sql}).get()));
    } catch (const zv::Error&) {
        refuse_unreadable();
    }
    check_tokens(tokens);
    try {
        statement = parse_one(sql, tokens);
    } catch (const zv::Error&) {
        if (PyErr_ExceptionMatches(names.guard_error.get())) throw;
        refuse_unreadable();
    }
    check_statement_kind(statement);
    check_parts(statement);
    return statement;
}

/// Checks what `_execute` was given: text (or a text clause) is checked as
/// SQL and its statement returned; any other statement object must be a
/// SELECT the application built (no statement is returned for it).
Ref check_command(PyObject* command) {
    if (PyUnicode_Check(command)) return check_sql(command);
    if (is_instance(command, module_state.global(names.TextClause)))
        return check_sql(zv::getattr(command, names.text).get());
    Ref is_select = zv::optional_attr(command, names.is_select.get());
    if (!is_select || !zv::truth(is_select)) refuse("only text or a SELECT statement object may run");
    return Ref();
}

/// The clause `clause` ("limit", "fetch") of a parsed query, or null.
Ref clause_of(Borrowed query, const char* clause) {
    Ref args = zv::getattr(query, names.args);
    Ref value = Ref::borrow(PyDict_GetItemString(args.get(), clause));
    if (!value || value.get() == Py_None) return Ref();
    return value;
}

/// The row count a LIMIT or FETCH FIRST asks for: a whole number written
/// out, else the statement is refused (a variable or an expression cannot be
/// checked against the limit).
Ref requested_rows(Borrowed count) {
    if (count.get() && is_instance(count, sql_parser.literal_type)) {
        Ref digits = zv::getattr(count, names.this_attribute);
        if (PyUnicode_Check(digits.get())) {
            if (Ref rows = Ref::steal(PyLong_FromUnicodeObject(digits.get(), 10))) return rows;
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) zv::raise();
            PyErr_Clear();
        }
    }
    refuse("its LIMIT is not a whole number written out");
}

/// An explicit LIMIT (or FETCH FIRST) of the result overrides the session's
/// row limit, and the driver fetches the whole result: one that asks for
/// more rows than the limit is refused. The result's own clauses are those
/// of the statement and of the parenthesised queries it consists of.
void check_row_request(Borrowed statement, Borrowed max_rows) {
    Ref query = Ref::borrow(statement.get());
    while (query) {
        Ref limit = clause_of(query, "limit");
        Ref fetch = clause_of(query, "fetch");
        for (Ref* clause : {&limit, &fetch}) {
            if (!*clause) continue;
            Ref count = clause_of(*clause, clause == &limit ? "expression" : "count");
            Ref rows = requested_rows(count);
            if (zv::check(PyObject_RichCompareBool(rows.get(), max_rows, Py_GT)))
                refuse_named("it asks for more rows than the read-only guard's limit (%S rows); "
                             "ask for fewer: aggregate, filter or lower the LIMIT",
                             max_rows);
        }
        query = is_instance(query, sql_parser.subquery_type) ? zv::getattr(query, names.this_attribute) : Ref();
    }
}

// GuardedSQLDatabase._execute ------------------------------------------------------

/// One of the limits read_only gave the handle. A handle made otherwise (the
/// framework's constructors, from_uri, ...) has neither the limits nor the
/// guarded engine, and runs nothing.
Ref guard_limit(PyObject* self, const zv::Name& name) {
    if (Ref value = zv::optional_attr(self, name.get())) return value;
    zv::raise(builtins.TypeError.get(),
              "this GuardedSQLDatabase was not made by zarvosdk.guard.read_only(db), which "
              "gives a handle its read-only engine and limits; it runs no statement");
}

/// The caller's execution options with the guard's limits added: the
/// listeners of the handle's engine check the statements that carry them.
Ref guarded_options(PyObject* self, PyObject* given) {
    Ref options = zv::own(PyDict_New());
    if (given != Py_None) zv::check(PyDict_Merge(options.get(), given, 1));
    Ref limits = zv::tuple({guard_limit(self, names._guard_max_rows), guard_limit(self, names._guard_seconds)});
    zv::check(PyDict_SetItem(options.get(), names.option_key.get(), limits.get()));
    return options;
}

Ref guarded_execute(PyObject* const* args) {
    PyObject* self = args[0];
    Ref statement = check_command(args[1]);
    Ref options = guarded_options(self, args[4]);
    if (statement) check_row_request(statement, guard_limit(self, names._guard_max_rows));
    Ref base = zv::call(builtins.super, {names.guard_class, self});
    return zv::call_method(base, names._execute, {args[1], args[2]},
                           {{names.parameters, args[3]}, {names.execution_options, options}});
}

const char execute_doc[] =
    "Runs one read statement through the guard: refused before the server unless it is "
    "a single SELECT, SHOW, DESCRIBE or EXPLAIN; stopped by the server after the time "
    "limit; cut when it returns more rows than the limit. Each ends in GuardError.";

const zv::FunctionDef guarded_execute_def{
    "_execute", "GuardedSQLDatabase._execute", execute_doc, ZV_HERE, guarded_execute,
    {{"self"}, {"command"}, {"fetch"}, {"parameters"}, {"execution_options"}}};

void guarded_body(zv::ModuleState& state, PyObject* ns) {
    Ref all = zv::own(PyUnicode_FromString("all"));
    zv::define_method(state, ns, guarded_execute_def, zv::tuple({all, Py_None, Py_None}));
}

void error_body(zv::ModuleState&, PyObject*) {}

// The engine's listeners -------------------------------------------------------------

/// "%g" of a number of seconds, as the messages show it.
Ref seconds_text(PyObject* seconds) {
    double value = PyFloat_AsDouble(seconds);
    if (value == -1.0 && PyErr_Occurred()) zv::raise();
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return zv::own(PyUnicode_FromString(text));
}

Ref stopped_message(PyObject* seconds) {
    return zv::own(PyUnicode_FromFormat(
        "Query stopped by the server: it ran longer than the read-only guard's limit of %U s. "
        "Ask for less work: filter, aggregate or add a LIMIT.",
        seconds_text(seconds).get()));
}

[[noreturn]] void report_stopped(PyObject* seconds) { raise_guard_error(stopped_message(seconds)); }

[[noreturn]] void report_incomplete() {
    raise_guard_error(zv::own(PyUnicode_FromString(
        "Query stopped by the server: the recursive query reached the server's limit on "
        "iterations (max_recursive_iterations), so its result is incomplete. Bound the "
        "recursion with a condition that ends it.")));
}

[[noreturn]] void report_cut(PyObject* max_rows) {
    raise_guard_error(zv::own(PyUnicode_FromFormat(
        "Query result cut: it returns more than %S rows, the read-only guard's limit. Ask for "
        "fewer rows: aggregate, filter or add a LIMIT.",
        max_rows)));
}

/// The server's error or warning code of a statement stopped by its time
/// limit: MariaDB's max_statement_time, MySQL's max_execution_time.
bool is_time_limit(long code) { return code == 1969 || code == 3024; }
constexpr long recursion_limit = 1931;

/// Reports a warning that tells of a stopped statement: the server stopped
/// BENCHMARK or DO SLEEP at the time limit, or a recursive CTE at its
/// iteration limit, and still answered with a result.
void check_warnings(PyObject* cursor, PyObject* seconds) {
    Ref count = zv::optional_attr(cursor, names.warning_count.get());
    if (count && PyLong_Check(count.get()) && PyLong_AsLong(count.get()) == 0) {
        return;  // the driver counted no warnings: nothing to ask the server
    }
    Ref reader = zv::call_method(zv::getattr(cursor, names.connection), names.cursor);
    zv::call_method(reader, names.execute, {names.warnings_query});
    Ref rows = zv::call_method(reader, names.fetchall);
    zv::call_method(reader, names.close);
    Ref iterator = zv::own(PyObject_GetIter(rows.get()));
    while (Ref row = Ref::steal(PyIter_Next(iterator.get()))) {
        long code = PyLong_AsLong(zv::getitem(row, zv::integer(1)).get());
        if (code == -1 && PyErr_Occurred()) zv::raise();
        if (is_time_limit(code)) report_stopped(seconds);
        if (code == recursion_limit) report_incomplete();
    }
    if (PyErr_Occurred()) zv::raise();
}

/// after_cursor_execute: for a statement run through the guard, reports a
/// stop the server told of in a warning, and a result longer than the limit
/// (the session's row limit lets one row more through, so a cut shows).
Ref after_execute(PyObject* const* args) {
    PyObject* cursor = args[1];
    Ref options = zv::getattr(args[4], names.execution_options);
    Ref limits = zv::call_method(options, names.get, {names.option_key});
    if (limits.get() == Py_None) return Ref::borrow(Py_None);
    // The guard's _execute sets (max_rows, seconds); a statement run with
    // anything else under the guard's option name is not the guard's.
    if (!PyTuple_CheckExact(limits.get()) || PyTuple_GET_SIZE(limits.get()) != 2)
        return Ref::borrow(Py_None);
    PyObject* max_rows = PyTuple_GET_ITEM(limits.get(), 0);
    check_warnings(cursor, PyTuple_GET_ITEM(limits.get(), 1));
    if (zv::getattr(cursor, names.description).get() == Py_None) return Ref::borrow(Py_None);
    Ref rows = zv::getattr(cursor, names.rowcount);
    if (zv::check(PyObject_RichCompareBool(rows.get(), max_rows, Py_GT))) report_cut(max_rows);
    return Ref::borrow(Py_None);
}

const char refused_write[] =
    "Query refused by the server: it tried to write (through a function or view it uses) in "
    "the read-only guard's read-only session. Only reads may run.";

/// The server's error code of a write in a read-only transaction.
constexpr long read_only_write = 1792;

/// handle_error: a statement the server stopped at the time limit, or one
/// whose hidden write the read-only session refused, becomes the guard's
/// one-line report instead of the driver's error.
Ref on_error(PyObject* const* args) {
    PyObject* seconds = args[0];
    Ref original = zv::getattr(args[1], names.original_exception);
    Ref error_args = zv::optional_attr(original, names.args.get());
    if (!error_args || !PyTuple_Check(error_args.get()) || PyTuple_GET_SIZE(error_args.get()) == 0)
        return Ref::borrow(Py_None);
    PyObject* code_object = PyTuple_GET_ITEM(error_args.get(), 0);
    if (!PyLong_CheckExact(code_object)) return Ref::borrow(Py_None);
    long code = PyLong_AsLong(code_object);
    if (is_time_limit(code)) return zv::call(names.guard_error, {stopped_message(seconds)});
    if (code == read_only_write)
        return zv::call(names.guard_error, {zv::own(PyUnicode_FromString(refused_write))});
    PyErr_Clear();  // a code beyond a C long is none of the above
    return Ref::borrow(Py_None);
}

/// connect: makes every new connection read-only and limited, then ends the
/// transaction the settings ran in, so the first statement starts a new one.
/// A connection that cannot be set up fails, and the handle with it.
Ref apply_session(PyObject* const* args) {
    PyObject* settings = args[0];  // (MariaDB statements, MySQL statements)
    PyObject* connection = args[1];
    Ref cursor = zv::call_method(connection, names.cursor);
    zv::call_method(cursor, names.execute, {names.read_only_session});
    zv::call_method(cursor, names.execute, {names.version_query});
    Ref version = zv::getitem(zv::call_method(cursor, names.fetchone), zv::integer(0));
    Ref lowered = zv::call_method(zv::text(version), names.lower);
    bool mariadb = zv::check(PySequence_Contains(lowered.get(), names.mariadb_text.get()));
    Ref statements = zv::getitem(settings, zv::integer(mariadb ? 0 : 1));
    Ref iterator = zv::own(PyObject_GetIter(statements.get()));
    while (Ref statement = Ref::steal(PyIter_Next(iterator.get())))
        zv::call_method(cursor, names.execute, {statement});
    if (PyErr_Occurred()) zv::raise();
    zv::call_method(cursor, names.close);
    zv::call_method(connection, names.rollback);
    return Ref::borrow(Py_None);
}

const zv::FunctionDef after_execute_def{
    "after_execute", "after_execute", nullptr, ZV_HERE, after_execute,
    {{"conn"}, {"cursor"}, {"statement"}, {"parameters"}, {"context"}, {"executemany"}}};
const zv::FunctionDef on_error_def{"on_error", "on_error", nullptr, ZV_HERE, on_error,
                                   {{"seconds"}, {"context"}}};
const zv::FunctionDef apply_session_def{"apply_session", "apply_session", nullptr, ZV_HERE,
                                        apply_session,
                                        {{"settings"}, {"dbapi_connection"}, {"record"}}};

// read_only ---------------------------------------------------------------------------

/// The time limit as the sessions take it: MariaDB's max_statement_time in
/// seconds, MySQL's max_execution_time in whole milliseconds (at least one).
Ref session_settings(double seconds, unsigned long long limit) {
    char mariadb[160], mysql[160];
    std::snprintf(mariadb, sizeof mariadb, "SET SESSION max_statement_time = %.6f", seconds);
    double ms = std::ceil(seconds * 1000.0);
    std::snprintf(mysql, sizeof mysql, "SET SESSION max_execution_time = %.0f", ms < 1 ? 1.0 : ms);
    char rows[96];
    std::snprintf(rows, sizeof rows, "SET SESSION sql_select_limit = %llu", limit);
    Ref rows_text = zv::own(PyUnicode_FromString(rows));
    Ref for_mariadb = zv::tuple({zv::own(PyUnicode_FromString(mariadb)), rows_text});
    Ref for_mysql = zv::tuple({zv::own(PyUnicode_FromString(mysql)), rows_text});
    return zv::tuple({for_mariadb, for_mysql});
}

/// `seconds` as a finite positive number of seconds.
double checked_seconds(PyObject* seconds) {
    if (PyBool_Check(seconds) || !(PyFloat_Check(seconds) || PyLong_Check(seconds)))
        zv::raise(builtins.TypeError.get(), "seconds must be a number, not %.200s",
                  Py_TYPE(seconds)->tp_name);
    double value = PyFloat_AsDouble(seconds);
    if (value == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) zv::raise();
        PyErr_Clear();
        value = HUGE_VAL;
    }
    if (!(value > 0) || !std::isfinite(value) || value > 31536000.0)
        zv::raise(builtins.ValueError.get(),
                  "seconds must be more than 0 and at most a year (31536000), not %R", seconds);
    return value;
}

/// `max_rows` as a whole number from 1 on; one row more must still fit the
/// server's 64-bit row limit.
unsigned long long checked_max_rows(PyObject* max_rows) {
    if (PyBool_Check(max_rows) || !PyLong_Check(max_rows))
        zv::raise(builtins.TypeError.get(), "max_rows must be an int, not %.200s",
                  Py_TYPE(max_rows)->tp_name);
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(max_rows, &overflow);
    if (value == -1 && PyErr_Occurred()) zv::raise();
    if (overflow || value < 1)
        zv::raise(builtins.ValueError.get(), "max_rows must be at least 1 and below 2**63, not %R",
                  max_rows);
    return static_cast<unsigned long long>(value);
}

/// The handle's dialect, refused unless it is MySQL or MariaDB: the guard's
/// checks and session settings are theirs alone.
void check_dialect(PyObject* db) {
    Ref dialect = zv::getattr(db, names.dialect);
    if (PyUnicode_Check(dialect.get()) &&
        (PyUnicode_Compare(dialect.get(), names.mysql_text.get()) == 0 ||
         PyUnicode_Compare(dialect.get(), names.mariadb_text.get()) == 0))
        return;
    if (PyErr_Occurred()) zv::raise();
    zv::raise(builtins.ValueError.get(),
              "read_only guards MySQL and MariaDB handles only; this handle's dialect is %R",
              dialect.get());
}

/// The guarded class for a handle of class `cls`: GuardedSQLDatabase for the
/// framework's own class, else a subclass of both, made once per class, so
/// that the application's overrides stay beneath the guard.
Ref guarded_class_for(PyObject* cls) {
    if (PyObject_IsSubclass(cls, names.guard_class.get())) return Ref::borrow(cls);
    if (PyErr_Occurred()) zv::raise();
    if (cls == module_state.global(names.SQLDatabase).get()) return Ref::borrow(names.guard_class.get());
    if (PyObject* made = PyDict_GetItemWithError(names.combined.get(), cls)) return Ref::borrow(made);
    if (PyErr_Occurred()) zv::raise();
    Ref name = zv::concat({names.GuardedSQLDatabase, names.underscore, zv::getattr(cls, names.dunder_name)});
    Ref ns = zv::dict({{names.dunder_module, names.module_name}});
    Ref bases = zv::tuple({names.guard_class, cls});
    Ref made = zv::call(reinterpret_cast<PyObject*>(&PyType_Type), {name, bases, ns});
    zv::check(PyDict_SetItem(names.combined.get(), cls, made.get()));
    return made;
}

/// A new engine over the same address, its own pool, with the guard's
/// listeners: the session settings on each new connection, the warning and
/// row checks after each statement, the time-limit report on errors.
Ref guarded_engine(PyObject* db, Borrowed seconds, unsigned long long max_rows) {
    Ref url = zv::getattr(zv::getattr(db, names._engine), names.url);
    Ref engine = zv::call(module_state.global(names.create_engine), {url});
    Ref listen = zv::getattr(module_state.global(names.event), names.listen);
    Ref partial = module_state.global(names.partial);
    Ref settings = session_settings(PyFloat_AS_DOUBLE(seconds.get()), max_rows + 1);
    Ref connect = zv::call(partial, {zv::make_function(apply_session_def, module_state), settings});
    zv::call(listen, {engine, names.connect, connect});
    zv::call(listen, {engine, names.after_cursor_execute, zv::make_function(after_execute_def, module_state)});
    Ref error = zv::call(partial, {zv::make_function(on_error_def, module_state), seconds});
    zv::call(listen, {engine, names.handle_error, error});
    return engine;
}

/// A handle of class `cls` holding what `db` holds (tables, schema, sample
/// rows and the other settings), without reflecting the tables again.
Ref copy_of_handle(PyObject* db, Borrowed cls) {
    Ref handle = zv::call_method(builtins.object, names.dunder_new, {cls});
    Ref state = zv::getattr(handle, names.dunder_dict);
    zv::call_method(state, names.update, {zv::getattr(db, names.dunder_dict)});
    return handle;
}

Ref read_only(PyObject* const* args) {
    PyObject* db = args[0];
    if (!is_instance(db, module_state.global(names.SQLDatabase)))
        zv::raise(builtins.TypeError.get(),
                  "read_only takes the framework's SQLDatabase handle, not %.200s",
                  Py_TYPE(db)->tp_name);
    double seconds = checked_seconds(args[1]);
    unsigned long long max_rows = checked_max_rows(args[2]);
    check_dialect(db);
    load_parser();
    Ref cls = guarded_class_for(reinterpret_cast<PyObject*>(Py_TYPE(db)));
    Ref handle = copy_of_handle(db, cls);
    Ref seconds_value = zv::own(PyFloat_FromDouble(seconds));
    zv::setattr(handle, names._engine, guarded_engine(db, seconds_value, max_rows));
    zv::setattr(handle, names._guard_seconds, seconds_value);
    zv::setattr(handle, names._guard_max_rows, args[2]);
    return handle;
}

const char read_only_doc[] =
    "Returns a handle over the same server through which only one read statement at a time "
    "runs, for at most `seconds` and returning at most `max_rows` rows.";

const zv::FunctionDef read_only_def{"read_only", "read_only", read_only_doc, ZV_HERE, read_only,
                                    {{"db"},
                                     {"seconds", Exact::any, zv::KeywordOnly},
                                     {"max_rows", Exact::any, zv::KeywordOnly}}};

// Top level ---------------------------------------------------------------------------

const char error_doc[] =
    "A statement the read-only guard refused, or one the server stopped or cut at the "
    "guard's limits. Its text is one line saying what happened and why.";
const char guarded_doc[] =
    "The framework's SQL database handle behind the read-only guard (see read_only).";

void run_top_level(zv::ModuleState& state) {
    ZV_LINE(state), zv::import_from(state, "functools", {"partial"});
    ZV_LINE(state), zv::import_from(state, "sqlalchemy", {"create_engine", "event"});
    ZV_LINE(state), zv::import_from(state, "sqlalchemy.exc", {"SQLAlchemyError"});
    ZV_LINE(state), zv::import_from(state, "sqlalchemy.sql.elements", {"TextClause"});
    ZV_LINE(state), zv::import_from(state, "langchain_community.utilities.sql_database", {"SQLDatabase"});
    names.combined.set(zv::own(PyDict_New()));

    ZV_LINE(state);
    Ref error = zv::build_class(state, "GuardError", "GuardError",
                                zv::tuple({state.global(names.SQLAlchemyError)}).get(), error_doc, error_body);
    state.set(names.GuardError, error.get());
    names.guard_error.set(std::move(error));

    ZV_LINE(state);
    Ref guarded = zv::build_class(state, "GuardedSQLDatabase", "GuardedSQLDatabase",
                                  zv::tuple({state.global(names.SQLDatabase)}).get(), guarded_doc,
                                  guarded_body);
    state.set(names.GuardedSQLDatabase, guarded.get());
    names.guard_class.set(std::move(guarded));

    ZV_LINE(state), state.set(names.read_only, zv::make_function(read_only_def, state,
                                                     zv::tuple({zv::own(PyFloat_FromDouble(10.0)),
                                                                zv::integer(1000)}))
                                       .get());
}

}  // namespace

PyMODINIT_FUNC PyInit_guard() { return zv::init_module(module_state); }
