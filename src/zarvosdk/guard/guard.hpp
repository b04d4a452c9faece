// zarvosdk.guard: what the guard's files share.
//
// The module is a folder of files, one job each:
//   module.cpp       the module, read_only and the guarded handle's _execute
//   parser.cpp       the SQL parser's pieces (every one required) and the one
//                    text: parse, regenerate, read back
//   tree_checks.cpp  what the statement may be and hold
//   scope.cpp        the tables it reads, and which of them the handle may read
//   server_text.cpp  the text read as the server reads it
//   session.cpp      the guarded engine: the pinned session and its listeners
//   cursor.cpp       the cursor that holds a result within rows and bytes
//   messages.cpp     refusals, stops and cuts
#pragma once
#include <Python.h>
#include "../../frame/module_state.hpp"
#include "../../frame/ref.hpp"

namespace zarvosdk_guard {

using zv::Borrowed;
using zv::Ref;

#define GUARD_NAMES(X)                                                                         \
    X(SQLDatabase) X(SQLAlchemyError) X(TextClause) X(create_engine) X(event) X(listen)         \
    X(partial) X(SSCursor) X(Cursor) X(GuardError) X(GuardedSQLDatabase) X(GuardedCursor)      \
    X(GuardedConnection)                                                                        \
    X(TextualSelect) X(Select) X(Table) X(engine) X(read_only) X(_execute) X(_engine) X(url) X(dialect) X(text) X(is_select) X(parameters)    \
    X(execution_options) X(get) X(cursor) X(execute) X(fetchone) X(fetchall) X(close)           \
    X(rollback) X(connection) X(original_exception) X(args) X(_guard_seconds)                   \
    X(_guard_max_rows) X(_guard_max_bytes) X(_guard_scope) X(update) X(tokenize) X(parser)      \
    X(parse) X(token_type) X(name) X(walk) X(key) X(sql_name) X(upper) X(get_or_raise)          \
    X(connect) X(before_cursor_execute) X(handle_error) X(lower) X(generate) X(binary)          \
    X(parent) X(alias) X(expressions) X(recursive) X(db) X(catalog) X(target) X(info)   \
    X(is_disconnect) X(invalidate_pool_on_disconnect) X(retval) X(connect_args) X(charset)      \
    X(cursorclass) X(client_flag) X(database) X(set) X(copy) X(identify) X(comments)            \
    X(read_next) X(_query) X(_result) X(_rows) X(rownumber) X(rowcount) X(description)         \
    X(warning_count) X(unbuffered_active) X(_force_close) X(_zarvosdk_limits) X(_zarvosdk_cut)  \
    X(_include_tables) X(_ignore_tables) X(_schema) X(get_usable_table_names) X(quoted)         \
    X(fetchmany) X(scroll) X(regexplike_sql) X(generator_class) X(isprintable) X(expression)  \
    X(_all_tables) X(execution_context) X(insert) X(element) X(_zarvosdk_budget)  \
    X(_read_bytes) X(do_connect) X(get_driver_name) X(_metadata) X(sorted_tables)        \
    X(reflect) X(views) X(bind) X(only) X(schema) X(_view_support) X(compiled) X(statement)  \
    X(get_final_froms) X(whereclause) X(selected_columns) X(table) X(query) X(_zarvosdk_pass)  \
    X(_zarvosdk_setting_up) X(read_timeout) X(_limit) X(columns) X(_zarvosdk_opened)        \
    X(get_table_info_no_throw) X(run) X(run_no_throw) X(include_columns)

#define GUARD_TEXTS(X)                                                                         \
    X(option_key, "zarvosdk_guard") X(mysql_text, "mysql") X(mariadb_text, "mariadb")          \
    X(utf8mb4, "utf8mb4") X(warnings_query, "SHOW WARNINGS")                                    \
    X(read_only_session, "SET SESSION TRANSACTION READ ONLY")                                  \
    X(version_query, "SELECT VERSION()")                                                        \
    X(expressions_module, "sqlglot.expressions") X(tokens_module, "sqlglot.tokens")            \
    X(dialects_module, "sqlglot.dialects.dialect") X(sqlglot_module, "sqlglot")                \
    X(cursors_module, "pymysql.cursors") X(connections_module, "pymysql.connections")        \
    X(module_name, "zarvosdk.guard")                      \
    X(dunder_name, "__name__") X(dunder_module, "__module__") X(dunder_dict, "__dict__")       \
    X(dunder_new, "__new__") X(dunder_version, "__version__") X(underscore, "_")               \
    X(regexp_operator, "REGEXP") X(with_key, "with_") X(from_key, "from_")                     \
    X(arg_types, "arg_types") X(all_text, "all") X(this_attribute, "this")

#define GUARD_BUILTINS(X) X(super) X(TypeError) X(ValueError) X(ImportError) X(object)

struct Names {
    GUARD_NAMES(ZV_DECLARE_NAME)
    GUARD_TEXTS(ZV_DECLARE_TEXT)
    zv::Persistent guard_error;   // the GuardError class
    zv::Persistent guard_class;   // the GuardedSQLDatabase class
    zv::Persistent cursor_class;  // the GuardedCursor class
    zv::Persistent connection_class;  // the GuardedConnection class
    zv::Persistent combined;      // application's handle class -> its guarded subclass
    zv::Persistent sentinel;      // marks the guard's own execution option value
};
extern Names names;

struct Builtins {
    GUARD_BUILTINS(ZV_DECLARE_BUILTIN)
};
extern Builtins builtins;

extern zv::ModuleState module_state;

// The parser --------------------------------------------------------------------

/// The parser's pieces the guard relies on, looked up on the first guarded
/// handle (an application that never guards a handle never imports the
/// parser). Every one must exist: a release that lacks one is refused.
struct Parser {
    zv::Persistent dialect;          // sqlglot's MySQL dialect
    zv::Persistent generator;        // its writer, with REGEXP written as the server reads it
    zv::Persistent first_tokens;     // token types a read statement may start with
    zv::Persistent show_token;       // SHOW
    zv::Persistent semicolon;        // the statement separator's token type
    zv::Persistent statements;       // the statement kinds that may run
    zv::Persistent described;        // what DESCRIBE / EXPLAIN may look at
    zv::Persistent refused_nodes;    // what may not appear anywhere in a statement
    zv::Persistent function_type;    // every function call
    zv::Persistent anonymous_type;   // a call of a function the parser does not know
    zv::Persistent refused_calls;    // upper-case names of the functions refused
    zv::Persistent literal_type;     // a number or text written out
    zv::Persistent subquery_type;    // a query in parentheses
    zv::Persistent select_type;      // a SELECT
    zv::Persistent table_type;       // a table named in FROM, JOIN, DESCRIBE ...
    zv::Persistent identifier_type;  // a name
    zv::Persistent cte_type;         // one WITH entry
    zv::Persistent with_type;        // a WITH clause
    zv::Persistent dot_type;         // a qualified name: db.function(...)
    zv::Persistent show_type;        // SHOW
    zv::Persistent introducer_type;  // _charset'text'
    zv::Persistent json_table_type;  // JSON_TABLE(...), a table that reads no table
    zv::Persistent var_type;         // a word written out as it stands
};
extern Parser sql_parser;

/// Imports the parser and looks up what the checks use, once; raises
/// ImportError naming the first piece the installed release lacks.
void load_parser();

/// A statement as the server will run it: the text the parser wrote from its
/// own reading, that reading, and the tables it names, as (database or
/// None, table or None) pairs.
struct Prepared {
    Ref text;
    Ref tree;
    Ref references;
};

/// Reads `sql` as one MySQL statement and writes it back; refuses, with the
/// reason, any text that is not one allowed read statement, or that the
/// parser does not read back as it wrote it, or whose LIMIT is above
/// `max_rows`. `restricted`: the handle may read some tables of its
/// database only.
Prepared prepare(PyObject* sql, bool restricted, Borrowed max_rows);

bool is_instance(Borrowed value, Borrowed types);

// What a statement may be and hold (tree_checks.cpp) ----------------------------

/// Refuses what cannot be a single read statement from its tokens alone.
void check_tokens(Borrowed tokens, PyObject* sql);
/// Refuses a statement that is not an allowed read, or holds anything that
/// writes, reads files, waits, locks, assigns or reads variables.
void check_statement(Borrowed statement, bool restricted);
/// Refuses an explicit LIMIT or FETCH FIRST above `max_rows` (when given).
void check_row_request(Borrowed statement, Borrowed max_rows);

// Tables (scope.cpp) -------------------------------------------------------------

/// The tables the statement reads, as (database or None, name or None)
/// pairs; names of common table expressions it may see are left out.
Ref table_references(Borrowed statement);
/// Refuses a reference the handle may not read. `scope` is read_only's
/// (own database, allowed tables or None, ignored tables); names compare as
/// the server compares them (`case_insensitive` from lower_case_table_names).
void check_references(Borrowed references, Borrowed scope, bool case_insensitive);
/// The scope of a handle: (own database, allowed tables or None, ignored
/// tables), from the handle's include_tables and ignore_tables and
/// read_only's `tables`, which must name tables the handle reads.
Ref handle_scope(PyObject* db, Borrowed own_database, PyObject* tables);

// The text the server reads (server_text.cpp) ------------------------------------

/// Refuses comments the server runs or reads in the model's text, which the
/// parser would drop: the model is told, instead of getting a statement it
/// did not write.
void refuse_server_comments(PyObject* sql);
/// Refuses anything in the text that is to run which a plain read statement
/// written by the parser never holds, read by the server's own rules in the
/// guard's pinned mode: comments, separators, variables, escapes, ODBC
/// braces, and the words of writes, locks and refused functions.
void check_server_text(PyObject* text);
/// Whether `name` is one of the functions the guard refuses (upper case).
bool is_refused_function(const char* name, Py_ssize_t length);

// The session (session.cpp) -------------------------------------------------------

/// A new engine over the handle's address with the guard's session and
/// listeners. `limits` is (max_rows, max_bytes, seconds).
Ref guarded_engine(PyObject* db, Borrowed own_database, Borrowed limits, unsigned long long max_rows,
                   Borrowed scope);
/// Whether a server error or warning code is the statement time limit's:
/// MariaDB's max_statement_time, MySQL's max_execution_time.
bool is_time_limit(long code);

// The cursor (cursor.cpp) ----------------------------------------------------------

/// Builds the GuardedCursor class.
Ref build_cursor_class(zv::ModuleState& state);
/// PyMySQL's buffered cursor class, for the guard's own statements.
Ref plain_cursor_class();
/// Builds the GuardedConnection class.
Ref build_connection_class(zv::ModuleState& state);

// Messages (messages.cpp) -----------------------------------------------------------

[[noreturn]] void raise_guard_error(Borrowed message);
[[noreturn]] void refuse(const char* reason);
[[noreturn]] void refuse_named(const char* format, Borrowed name);
/// Refuses a table (or database) the handle may not read.
[[noreturn]] void refuse_table(Borrowed database, Borrowed table, Borrowed scope);
/// Refuses a statement the handle may not run at all: "SHOW PROCESSLIST".
[[noreturn]] void refuse_statement(Borrowed what);
/// A name as a message shows it: `name` in backticks, or its repr when it
/// holds characters that would break the message's one line.
Ref display_name(Borrowed name);
Ref stopped_message(PyObject* seconds);
[[noreturn]] void report_stopped(PyObject* seconds);
[[noreturn]] void report_incomplete();
[[noreturn]] void report_cut_rows(PyObject* max_rows);
[[noreturn]] void report_cut_bytes(PyObject* max_bytes);
/// Refuses a statement that reached the guarded engine or its connection
/// without the guard's checks.
[[noreturn]] void refuse_unchecked();
Ref unanswered_message(PyObject* seconds);
Ref temporary_space_message();
extern const char refused_write[];

}  // namespace zarvosdk_guard
