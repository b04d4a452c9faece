// zarvosdk.guard: a read-only guard for the framework's SQL database handle.
//
// `read_only(db)` gives a handle over the same server through which only one
// read statement at a time runs, on the tables of the handle's own database:
//   - the server runs only what the parser understood: the statement is read
//     by a maintained SQL parser (sqlglot, MySQL dialect, imported on the
//     first guarded handle), checked, and written back by the parser; that
//     text, read once more and checked again, is what the server gets;
//   - it must be a single SELECT, SHOW of the handle's tables, DESCRIBE or
//     EXPLAIN, with nothing in it that writes, reads files, sleeps, takes
//     locks, reads variables or the server's state, and no LIMIT above the
//     row limit; it may read only the handle's tables;
//   - the session: every connection of the handle's own engine is read-only,
//     in a pinned sql_mode and character set, with server-side limits on
//     time, rows and temporary tables; the cursor bounds the result in rows
//     and bytes as it reads it;
//   - the server's warnings: a statement the server stopped but finished
//     with a warning is reported as stopped, not as a plain answer.
// Every refusal, stop or cut is a GuardError, an SQLAlchemyError, so the
// framework's query tool hands its one line to the model as the observation.
#include <cmath>
#include "guard.hpp"
#include "../../frame/attributes.hpp"
#include "../../frame/call.hpp"
#include "../../frame/class_builder.hpp"
#include "../../frame/containers.hpp"
#include "../../frame/conversions.hpp"
#include "../../frame/function.hpp"
#include "../../frame/imports.hpp"

namespace zarvosdk_guard {

Names names;
Builtins builtins;

namespace {

const zv::Builtin builtin_table[] = {GUARD_BUILTINS(ZV_BUILTIN_ENTRY)};

void make_constants() { ZV_INTERN_TABLES(GUARD_NAMES, GUARD_TEXTS) }

void run_top_level(zv::ModuleState& state);

// The largest result read_only allows by default, in bytes.
constexpr long long default_max_bytes = 16ll << 20;

// Schemas of the server itself, which a handle's own database may not be.
const char* const system_schemas[] = {"mysql", "information_schema", "performance_schema", "sys"};

}  // namespace

zv::ModuleState module_state = zv::define_module([](zv::ModuleDescription& description) {
    description.qualified_name = "zarvosdk.guard";
    description.source_file = "src/zarvosdk/guard/module.cpp";
    description.uses_builtins(builtin_table);
    description.constants = make_constants;
    description.body = run_top_level;
});

namespace {

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

/// The caller's execution options with the guard's own value added: the
/// listeners of the handle's engine act on the statements that carry it.
Ref guarded_options(PyObject* given, Borrowed guard) {
    Ref options = zv::own(PyDict_New());
    if (given != Py_None) zv::check(PyDict_Merge(options.get(), given, 1));
    zv::check(PyDict_SetItem(options.get(), names.option_key.get(), guard.get()));
    return options;
}

/// The text handed to the framework's execution path. What reaches the
/// server is the parser's text itself, put back by the engine's listener;
/// this copy only has to pass SQLAlchemy's text construct, which takes a
/// colon before a word for a bind parameter, so each colon is escaped.
Ref for_text_construct(Borrowed text) {
    Ref colon = zv::own(PyUnicode_FromString(":"));
    Ref escaped = zv::own(PyUnicode_FromString("\\:"));
    return zv::own(PyUnicode_Replace(text, colon.get(), escaped.get(), -1));
}

/// Whether the scope limits the handle to some of its database's tables.
bool is_restricted(Borrowed scope) {
    return PyTuple_GET_ITEM(scope.get(), 1) != Py_None || PyTuple_GET_SIZE(PyTuple_GET_ITEM(scope.get(), 2)) > 0;
}

/// The text of a command given as text (or a text clause, or one with its
/// columns named, text(...).columns()), else null.
Ref command_text(PyObject* command) {
    if (PyUnicode_Check(command)) return Ref::borrow(command);
    Ref clause = Ref::borrow(command);
    if (is_instance(command, module_state.global(names.TextualSelect))) clause = zv::getattr(command, names.element);
    if (!is_instance(clause, module_state.global(names.TextClause))) return Ref();
    Ref text = zv::getattr(clause, names.text);
    if (!PyUnicode_Check(text.get())) refuse("only text or a SELECT statement object may run");
    return text;
}

Ref guarded_execute(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* command = args[1];
    // The checks run before the handle's own state is looked at: a text is
    // refused for what it is on any handle.
    Ref scope = zv::optional_attr(self, names._guard_scope.get());
    Ref max_rows = zv::optional_attr(self, names._guard_max_rows.get());
    Ref sql = command_text(command);
    Ref guard, sent;
    if (sql) {
        bool restricted = scope && PyTuple_Check(scope.get()) && is_restricted(scope);
        Prepared prepared = prepare(sql.get(), restricted, max_rows);
        guard = zv::tuple({names.sentinel, guard_limit(self, names._guard_max_rows),
                           guard_limit(self, names._guard_max_bytes), guard_limit(self, names._guard_seconds),
                           prepared.text, prepared.references});
        sent = for_text_construct(prepared.text);
    } else {
        // A statement object the application built: a SELECT, run as built.
        Ref is_select = zv::optional_attr(command, names.is_select.get());
        if (!is_select || !zv::truth(is_select)) refuse("only text or a SELECT statement object may run");
        guard = zv::tuple({names.sentinel, guard_limit(self, names._guard_max_rows),
                           guard_limit(self, names._guard_max_bytes), guard_limit(self, names._guard_seconds),
                           Py_None, zv::tuple({})});
        sent = Ref::borrow(command);
    }
    guard_limit(self, names._guard_scope);
    Ref options = guarded_options(args[4], guard);
    Ref base = zv::call(builtins.super, {names.guard_class, self});
    return zv::call_method(base, names._execute, {sent, args[2]},
                           {{names.parameters, args[3]}, {names.execution_options, options}});
}

const char execute_doc[] =
    "Runs one read statement through the guard: refused before the server unless it is a "
    "single SELECT, SHOW, DESCRIBE or EXPLAIN of the handle's tables; the server runs the "
    "statement as the SQL parser wrote it back; stopped by the server after the time limit; cut "
    "when it returns more rows or bytes than the limits. Each ends in GuardError.";

const zv::FunctionDef guarded_execute_def{
    "_execute", "GuardedSQLDatabase._execute", execute_doc, ZV_HERE, guarded_execute,
    {{"self"}, {"command"}, {"fetch"}, {"parameters"}, {"execution_options"}}};

/// get_table_info_no_throw: as the framework's, and a refusal, stop or cut
/// of the sample rows comes back as its "Error: ..." line too, as the
/// framework's does for a table it does not know.
Ref guarded_table_info(PyObject* const* args) {
    Ref base = zv::call(builtins.super, {names.guard_class, args[0]});
    try {
        return zv::call_method(base, names.get_table_info_no_throw, {args[1]});
    } catch (const zv::Error&) {
        if (!PyErr_ExceptionMatches(names.guard_error.get())) throw;
        zv::Handler handler;
        return zv::concat({zv::own(PyUnicode_FromString("Error: ")), zv::str(handler.value())});
    }
}

const char table_info_doc[] =
    "Describes the handle's tables as the framework does; a refusal, stop or cut of the "
    "sample rows comes back as its \"Error: ...\" line.";

const zv::FunctionDef guarded_table_info_def{"get_table_info_no_throw", "GuardedSQLDatabase.get_table_info_no_throw",
                                             table_info_doc, ZV_HERE, guarded_table_info,
                                             {{"self"}, {"table_names"}}};

void guarded_body(zv::ModuleState& state, PyObject* ns) {
    zv::define_method(state, ns, guarded_execute_def, zv::tuple({names.all_text, Py_None, Py_None}));
    zv::define_method(state, ns, guarded_table_info_def, zv::tuple({Py_None}));
}

void error_body(zv::ModuleState&, PyObject*) {}

// read_only ---------------------------------------------------------------------------

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

/// A count limit (`max_rows`, `max_bytes`) as a whole number from 1 on; one
/// more must still fit the server's 64-bit limits.
unsigned long long checked_count(PyObject* value, const char* name) {
    if (PyBool_Check(value) || !PyLong_Check(value))
        zv::raise(builtins.TypeError.get(), "%s must be an int, not %.200s", name, Py_TYPE(value)->tp_name);
    int overflow = 0;
    long long count = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (count == -1 && PyErr_Occurred()) zv::raise();
    if (overflow || count < 1)
        zv::raise(builtins.ValueError.get(), "%s must be at least 1 and below 2**63, not %R", name, value);
    return static_cast<unsigned long long>(count);
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

/// The handle's driver, refused unless it is PyMySQL: the guard's cursor and
/// connection are PyMySQL's own.
void check_driver(PyObject* db) {
    Ref url = zv::getattr(zv::getattr(db, names._engine), names.url);
    Ref driver = zv::call_method(url, names.get_driver_name);
    if (PyUnicode_Check(driver.get()) && PyUnicode_CompareWithASCIIString(driver.get(), "pymysql") == 0) return;
    zv::raise(builtins.ValueError.get(),
              "read_only guards handles on the PyMySQL driver (mysql+pymysql://...); this handle's "
              "driver is %R",
              driver.get());
}

/// The database whose tables the handle reads: its schema if it was made
/// with one, else its address's. The server's own schemas are refused.
Ref own_database(PyObject* db) {
    Ref schema = zv::optional_attr(db, names._schema.get());
    Ref database = schema && schema.get() != Py_None
                       ? std::move(schema)
                       : zv::getattr(zv::getattr(zv::getattr(db, names._engine), names.url), names.database);
    if (!PyUnicode_Check(database.get()) || PyUnicode_GET_LENGTH(database.get()) == 0)
        zv::raise(builtins.ValueError.get(),
                  "read_only guards a handle on one database; this handle's address names none");
    Ref lowered = zv::call_method(database, names.lower);
    for (const char* schema_name : system_schemas)
        if (PyUnicode_CompareWithASCIIString(lowered.get(), schema_name) == 0)
            zv::raise(builtins.ValueError.get(),
                      "read_only does not guard a handle on the server's own schema %R", database.get());
    return database;
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

/// A handle of class `cls` holding what `db` holds (tables, schema, sample
/// rows and the other settings), without reflecting the tables again.
Ref copy_of_handle(PyObject* db, Borrowed cls) {
    Ref handle = zv::call_method(builtins.object, names.dunder_new, {cls});
    Ref state = zv::getattr(handle, names.dunder_dict);
    zv::call_method(state, names.update, {zv::getattr(db, names.dunder_dict)});
    return handle;
}

/// Reflects, through the handle's own engine, the tables it reads that its
/// schema does not hold yet (a handle made with lazy_table_reflection): the
/// guarded engine runs the framework's own statements only for its sample
/// rows.
void reflect_missing_tables(PyObject* db, Borrowed handle) {
    Ref metadata = zv::optional_attr(handle, names._metadata.get());
    if (!metadata || !zv::optional_attr(handle, names._all_tables.get())) return;
    Ref usable = zv::own(PySet_New(zv::call_method(handle, names.get_usable_table_names).get()));
    Ref iterator = zv::own(PyObject_GetIter(zv::getattr(metadata, names.sorted_tables).get()));
    while (Ref table = Ref::steal(PyIter_Next(iterator.get())))
        zv::check(PySet_Discard(usable.get(), zv::getattr(table, names.name).get()));
    if (PyErr_Occurred()) zv::raise();
    if (PySet_GET_SIZE(usable.get()) == 0) return;
    zv::call(zv::getattr(metadata, names.reflect), {},
             {{names.views, zv::getattr(handle, names._view_support)},
              {names.bind, zv::getattr(db, names._engine)},
              {names.only, zv::own(PySequence_List(usable.get()))},
              {names.schema, zv::getattr(handle, names._schema)}});
}

Ref read_only(PyObject* const* args) {
    PyObject* db = args[0];
    if (!is_instance(db, module_state.global(names.SQLDatabase)))
        zv::raise(builtins.TypeError.get(),
                  "read_only takes the framework's SQLDatabase handle, not %.200s",
                  Py_TYPE(db)->tp_name);
    double seconds = checked_seconds(args[1]);
    unsigned long long max_rows = checked_count(args[2], "max_rows");
    checked_count(args[3], "max_bytes");
    check_dialect(db);
    check_driver(db);
    Ref database = own_database(db);
    Ref scope = handle_scope(db, database, args[4]);
    load_parser();
    Ref cls = guarded_class_for(reinterpret_cast<PyObject*>(Py_TYPE(db)));
    Ref handle = copy_of_handle(db, cls);
    // The tables named to read_only are the handle's tables: the framework's
    // table list and schema tools show only those.
    if (args[4] != Py_None && zv::optional_attr(handle, names._include_tables.get()))
        zv::setattr(handle, names._include_tables, zv::own(PySet_New(PyTuple_GET_ITEM(scope.get(), 1))));
    reflect_missing_tables(db, handle);
    Ref seconds_value = zv::own(PyFloat_FromDouble(seconds));
    Ref limits = zv::tuple({args[2], args[3], seconds_value});
    zv::setattr(handle, names._engine, guarded_engine(db, database, limits, max_rows, scope));
    zv::setattr(handle, names._guard_seconds, seconds_value);
    zv::setattr(handle, names._guard_max_rows, args[2]);
    zv::setattr(handle, names._guard_max_bytes, args[3]);
    zv::setattr(handle, names._guard_scope, scope);
    return handle;
}

const char read_only_doc[] =
    "Returns a handle over the same server through which only one read statement at a time "
    "runs, on the handle's own tables (or the ones `tables` names), for at most `seconds` and "
    "returning at most `max_rows` rows and `max_bytes` bytes.";

const zv::FunctionDef read_only_def{"read_only", "read_only", read_only_doc, ZV_HERE, read_only,
                                    {{"db"},
                                     {"seconds", zv::Exact::any, zv::KeywordOnly},
                                     {"max_rows", zv::Exact::any, zv::KeywordOnly},
                                     {"max_bytes", zv::Exact::any, zv::KeywordOnly},
                                     {"tables", zv::Exact::any, zv::KeywordOnly}}};

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
    ZV_LINE(state), zv::import_from(state, "sqlalchemy.sql.selectable", {"Select", "TextualSelect"});
    ZV_LINE(state), zv::import_from(state, "sqlalchemy.sql.schema", {"Table"});
    ZV_LINE(state), zv::import_from(state, "langchain_community.utilities.sql_database", {"SQLDatabase"});
    names.combined.set(zv::own(PyDict_New()));
    names.sentinel.set(zv::call(builtins.object));

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

    ZV_LINE(state);
    Ref cursor = build_cursor_class(state);
    state.set(names.GuardedCursor, cursor.get());
    names.cursor_class.set(std::move(cursor));

    ZV_LINE(state);
    Ref connection = build_connection_class(state);
    state.set(names.GuardedConnection, connection.get());
    names.connection_class.set(std::move(connection));

    ZV_LINE(state);
    Ref defaults = zv::tuple({zv::own(PyFloat_FromDouble(10.0)), zv::integer(1000),
                              zv::own(PyLong_FromLongLong(default_max_bytes)), Py_None});
    state.set(names.read_only, zv::make_function(read_only_def, state, defaults).get());
}

}  // namespace

}  // namespace zarvosdk_guard

PyMODINIT_FUNC PyInit_guard() { return zv::init_module(zarvosdk_guard::module_state); }
