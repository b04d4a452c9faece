// zarvosdk.guard: the guarded engine, its pinned session and its listeners.
//
// Every connection of the engine is set up before its first statement: a
// read-only transaction mode; a fixed sql_mode, so that quotes, backslashes
// and || mean what the parser took them for whatever the server's global
// mode; UTF-8 (utf8mb4) both ways, the character set the parser's text is
// encoded in; the statement time limit, the row limit and limits on the
// temporary tables a statement may build. The settings are read back and a
// connection that does not hold them fails. Then, for each statement the
// guard runs, a listener checks the tables it reads against the handle's
// scope with the server's own rule for the case of names, hands the cursor
// its limits, and puts the text the parser wrote in place of whatever the
// layers below made of it; another turns the server's errors of a stopped
// or refused statement into the guard's one-line reports.
#include <cmath>
#include <cstdio>
#include "guard.hpp"
#include "../../frame/attributes.hpp"
#include "../../frame/call.hpp"
#include "../../frame/containers.hpp"
#include "../../frame/conversions.hpp"
#include "../../frame/function.hpp"

namespace zarvosdk_guard {

namespace {

// The session's sql_mode: no ANSI_QUOTES, NO_BACKSLASH_ESCAPES,
// PIPES_AS_CONCAT or IGNORE_SPACE, no ORACLE or other emulation mode.
const char pinned_mode[] = "STRICT_TRANS_TABLES,ERROR_FOR_DIVISION_BY_ZERO,NO_ENGINE_SUBSTITUTION";
// Internal temporary tables: at most this much in memory, and on disk, each;
// and, on a MariaDB that counts it (11.5 on), all of a session's together.
constexpr unsigned long long memory_temporary_bytes = 16ull << 20;
constexpr unsigned long long disk_temporary_bytes = 64ull << 20;
constexpr unsigned long long session_temporary_bytes = 256ull << 20;
// PyMySQL's capability flag for found rows, which SQLAlchemy asks for; the
// guarded engine asks for nothing else (no multiple statements).
constexpr long found_rows_flag = 2;
// The server's error codes: a write in a read-only transaction, a full
// (temporary) table.
constexpr long read_only_write = 1792;
constexpr long table_full = 1114;
// The driver's error of a connection lost during a query, as its read
// timeout also reports it.
constexpr long server_lost = 2013;
// How long past the statement time limit the driver waits for an answer: a
// server busy in a function that does not heed the limit is left alone.
constexpr double answer_margin = 5.0;


Ref text_of(const char* text) { return zv::own(PyUnicode_FromString(text)); }

/// Whether a driver's error of a lost connection is its read timeout's.
bool timed_out(Borrowed error) {
    Ref text = zv::str(error);
    Ref phrase = text_of("timed out");
    return zv::check(PySequence_Contains(text.get(), phrase.get())) != 0;
}

Ref formatted_count(const char* format, unsigned long long value) {
    char text[160];
    std::snprintf(text, sizeof text, format, value);
    return text_of(text);
}

/// The session statements for MariaDB and for MySQL, in order, then the time
/// limit of each, which is set last, after the settings are read back. It
/// is rounded up to the server's unit (a microsecond, a millisecond), so
/// that it is never 0, which would mean none; numbers are written as
/// integers, in no locale's form.
Ref session_settings(double seconds, unsigned long long select_limit) {
    char mode[160];
    std::snprintf(mode, sizeof mode, "SET SESSION sql_mode = '%s'", pinned_mode);
    Ref sql_mode = text_of(mode);
    auto micros = static_cast<unsigned long long>(std::ceil(seconds * 1e6));
    auto millis = static_cast<unsigned long long>(std::ceil(seconds * 1e3));
    auto whole = static_cast<unsigned long long>(std::ceil(seconds));
    char mariadb_time[96];
    std::snprintf(mariadb_time, sizeof mariadb_time, "SET SESSION max_statement_time = %llu.%06llu",
                  micros / 1000000, micros % 1000000);
    Ref rows = formatted_count("SET SESSION sql_select_limit = %llu", select_limit);
    Ref memory = formatted_count("SET SESSION max_heap_table_size = %llu", memory_temporary_bytes);
    Ref temporary = formatted_count("SET SESSION tmp_table_size = %llu", memory_temporary_bytes);
    Ref waits = formatted_count("SET SESSION lock_wait_timeout = %llu", whole < 1 ? 1 : whole);
    Ref for_mariadb = zv::tuple({sql_mode, rows, memory, temporary,
                                 formatted_count("SET SESSION tmp_disk_table_size = %llu", disk_temporary_bytes),
                                 waits});
    Ref for_mysql = zv::tuple({sql_mode, rows, memory, temporary, waits});
    Ref mariadb_limit = text_of(mariadb_time);
    Ref mysql_limit = formatted_count("SET SESSION max_execution_time = %llu", millis < 1 ? 1 : millis);
    return zv::tuple({for_mariadb, for_mysql, mariadb_limit, mysql_limit});
}

const char verify_query[] =
    "SELECT @@session.sql_mode, @@session.character_set_client, @@session.character_set_connection, "
    "@@session.character_set_results, @@lower_case_table_names";

[[noreturn]] void refuse_session(Borrowed what) {
    raise_guard_error(zv::own(PyUnicode_FromFormat(
        "The read-only guard could not pin its session: the server kept %U. No statement runs on "
        "this connection.",
        what.get())));
}

/// Whether a comma-separated list of modes holds just the pinned ones.
bool is_pinned_mode(Borrowed mode) {
    Ref comma = text_of(",");
    Ref given = zv::own(PySet_New(zv::own(PyUnicode_Split(mode, comma.get(), -1)).get()));
    Ref pinned = zv::own(PySet_New(zv::own(PyUnicode_Split(text_of(pinned_mode).get(), comma.get(), -1)).get()));
    return zv::check(PyObject_RichCompareBool(given.get(), pinned.get(), Py_EQ)) != 0;
}

/// Reads the settings back; returns whether the server compares table names
/// without regard to case (lower_case_table_names 1 or 2).
bool verify_session(Borrowed cursor) {
    zv::call_method(cursor, names.execute, {text_of(verify_query)});
    Ref row = zv::call_method(cursor, names.fetchone);
    Ref mode = zv::text(zv::getitem(row, zv::integer(0)));
    if (!is_pinned_mode(mode)) refuse_session(zv::concat({text_of("sql_mode "), mode}));
    for (long column = 1; column <= 3; ++column) {
        Ref charset = zv::text(zv::getitem(row, zv::integer(column)));
        if (PyUnicode_Compare(charset.get(), names.utf8mb4.get()) != 0) {
            if (PyErr_Occurred()) zv::raise();
            refuse_session(zv::concat({text_of("the character set "), charset}));
        }
    }
    Ref case_rule = zv::getitem(row, zv::integer(4));
    long rule = PyLong_AsLong(case_rule.get());
    if (rule == -1 && PyErr_Occurred()) zv::raise();
    return rule != 0;
}

/// Whether a MariaDB version text ("11.8.2-MariaDB") is 11.5 or later, which
/// bounds a session's temporary space as a whole.
bool counts_session_temporary_space(Borrowed version) {
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(version, &length);
    if (!text) zv::raise();
    unsigned major = 0, minor = 0;
    if (std::sscanf(text, "%u.%u", &major, &minor) != 2) return false;
    return major > 11 || (major == 11 && minor >= 5);
}

/// connect: makes every new connection read-only, pinned and limited, then
/// ends the transaction the settings ran in, so the first statement starts a
/// new one. A connection that cannot be set up fails, and the handle with it.
Ref apply_session(PyObject* const* args) {
    PyObject* settings = args[0];  // (MariaDB statements, MySQL statements, their time limits)
    PyObject* connection = args[1];
    PyObject* record = args[2];
    // The session's statements, then the dialect's first look at the server,
    // run while the connection is being set up; end_setup closes that.
    zv::setattr(connection, names._zarvosdk_setting_up, Py_True);
    Ref cursor = zv::call_method(connection, names.cursor, {plain_cursor_class()});
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
    if (mariadb && counts_session_temporary_space(lowered))
        zv::call_method(cursor, names.execute,
                        {formatted_count("SET SESSION max_tmp_session_space_usage = %llu", session_temporary_bytes)});
    bool case_insensitive = verify_session(cursor);
    zv::call_method(cursor, names.execute, {zv::getitem(settings, zv::integer(mariadb ? 2 : 3))});
    zv::call_method(cursor, names.close);
    zv::call_method(connection, names.rollback);
    zv::setitem(zv::getattr(record, names.info), names.option_key, case_insensitive ? Py_True : Py_False);
    return Ref::borrow(Py_None);
}

/// The guard's value of a statement's execution options, or null for a
/// statement the guard does not run: (sentinel, max_rows, max_bytes,
/// seconds, text or None, references).
Ref guard_options(PyObject* context) {
    Ref options = zv::getattr(context, names.execution_options);
    Ref value = zv::call_method(options, names.get, {names.option_key});
    if (!PyTuple_CheckExact(value.get()) || PyTuple_GET_SIZE(value.get()) != 6 ||
        PyTuple_GET_ITEM(value.get(), 0) != names.sentinel.get())
        return Ref();
    return value;
}

/// `name` in backticks, a backtick in it doubled, appended to `out`.
void append_quoted(Borrowed out, Borrowed name) {
    if (!PyUnicode_Check(name.get())) refuse_unchecked();
    Ref tick = text_of("`");
    Ref doubled = zv::own(PyUnicode_Replace(name, tick.get(), text_of("``").get(), -1));
    zv::check(PyList_Append(out, zv::concat({tick, doubled, tick}).get()));
}

/// For the framework's own sample rows of one of the handle's tables,
/// select(table).limit(n), the text to run in its place, written here from
/// the table's name and columns and n (at most the row limit): whatever
/// else the statement object holds never reaches the server. Null for any
/// other statement; a table out of the handle's scope is refused.
Ref sample_rows_text(PyObject* context, Borrowed scope, bool case_insensitive, PyObject* max_rows) {
    Ref compiled = zv::optional_attr(context, names.compiled.get());
    if (!compiled || compiled.get() == Py_None) return Ref();
    Ref statement = zv::getattr(compiled, names.statement);
    if (!is_instance(statement, module_state.global(names.Select))) return Ref();
    Ref froms = zv::own(PySequence_List(zv::call_method(statement, names.get_final_froms).get()));
    if (PyList_GET_SIZE(froms.get()) != 1) return Ref();
    PyObject* table = PyList_GET_ITEM(froms.get(), 0);
    if (!is_instance(table, module_state.global(names.Table))) return Ref();
    Ref limit = zv::optional_attr(statement, names._limit.get());
    if (!limit || !PyLong_CheckExact(limit.get()) || zv::check(PyObject_RichCompareBool(limit.get(), zv::integer(0).get(), Py_LT)))
        return Ref();
    Ref schema = zv::getattr(table, names.schema);
    Ref name = zv::getattr(table, names.name);
    check_references(zv::tuple({zv::tuple({schema, name})}), scope, case_insensitive);
    Ref columns = zv::own(PyList_New(0));
    Ref iterator = zv::own(PyObject_GetIter(zv::getattr(table, names.columns).get()));
    while (Ref column = Ref::steal(PyIter_Next(iterator.get()))) append_quoted(columns, zv::getattr(column, names.name));
    if (PyErr_Occurred()) zv::raise();
    if (PyList_GET_SIZE(columns.get()) == 0) return Ref();
    Ref source = zv::own(PyList_New(0));
    if (schema.get() != Py_None) append_quoted(source, schema);
    append_quoted(source, name);
    Ref rows = zv::check(PyObject_RichCompareBool(limit.get(), max_rows, Py_GT)) ? Ref::borrow(max_rows) : std::move(limit);
    return zv::own(PyUnicode_FromFormat("SELECT %U FROM %U LIMIT %S",
                                        zv::own(PyUnicode_Join(text_of(", ").get(), columns.get())).get(),
                                        zv::own(PyUnicode_Join(text_of(".").get(), source.get())).get(), rows.get()));
}

/// before_cursor_execute: for a statement the guard runs, checks the tables
/// it reads, gives the cursor its limits, and sends the text the parser
/// wrote, with no parameters to format into it. Every other statement is
/// refused, but for the framework's own sample rows of the handle's tables,
/// which run as the guard writes them, within the same limits.
Ref before_execute(PyObject* const* args) {
    PyObject* scope = args[0];
    PyObject* limits = args[1];
    PyObject* connection = args[2];
    PyObject* cursor = args[3];
    Ref unchanged = zv::tuple({args[4], args[5]});
    if (!is_instance(cursor, names.cursor_class))
        raise_guard_error(text_of(
            "Query refused by the read-only guard: it runs statements on its own cursor only, "
            "which reads the result whole within its limits (stream_results is not supported)."));
    Ref case_rule = zv::call_method(zv::getattr(connection, names.info), names.get, {names.option_key});
    if (case_rule.get() != Py_True && case_rule.get() != Py_False)
        raise_guard_error(text_of(
            "Query refused by the read-only guard: its connection was not set up by the guard."));
    bool case_insensitive = case_rule.get() == Py_True;
    Ref guard = guard_options(args[6]);
    if (!guard) {
        Ref sample = sample_rows_text(args[6], scope, case_insensitive, PyTuple_GET_ITEM(limits, 0));
        if (!sample) refuse_unchecked();
        zv::setattr(cursor, names._zarvosdk_limits, limits);
        return zv::tuple({sample, Py_None});
    }
    check_references(PyTuple_GET_ITEM(guard.get(), 5), scope, case_insensitive);
    zv::setattr(cursor, names._zarvosdk_limits,
                zv::tuple({PyTuple_GET_ITEM(guard.get(), 1), PyTuple_GET_ITEM(guard.get(), 2),
                           PyTuple_GET_ITEM(guard.get(), 3)}));
    PyObject* text = PyTuple_GET_ITEM(guard.get(), 4);
    if (text == Py_None) return unchanged;
    return zv::tuple({text, Py_None});
}

/// handle_error: a result cut at the limits drops its connection (the rest
/// of it was never read); a statement the server stopped at the time limit
/// or on its temporary space, or whose hidden write the read-only session
/// refused, becomes the guard's one-line report instead of the driver's
/// error.
Ref on_error(PyObject* const* args) {
    PyObject* seconds = args[0];
    PyObject* context = args[1];
    Ref execution = zv::optional_attr(context, names.execution_context.get());
    Ref cursor = execution && execution.get() != Py_None ? zv::optional_attr(execution, names.cursor.get()) : Ref();
    Ref connection = cursor && cursor.get() != Py_None ? zv::optional_attr(cursor, names.connection.get()) : Ref();
    if (connection && connection.get() != Py_None) {
        Ref cut = zv::optional_attr(connection, names._zarvosdk_cut.get());
        if (cut && cut.get() == Py_True) {
            zv::setattr(context, names.is_disconnect, Py_True);
            zv::setattr(context, names.invalidate_pool_on_disconnect, Py_False);
            return Ref::borrow(Py_None);
        }
    }
    Ref original = zv::getattr(context, names.original_exception);
    Ref error_args = zv::optional_attr(original, names.args.get());
    if (!error_args || !PyTuple_Check(error_args.get()) || PyTuple_GET_SIZE(error_args.get()) == 0)
        return Ref::borrow(Py_None);
    PyObject* code_object = PyTuple_GET_ITEM(error_args.get(), 0);
    if (!PyLong_CheckExact(code_object)) return Ref::borrow(Py_None);
    long code = PyLong_AsLong(code_object);
    if (code == -1 && PyErr_Occurred()) {
        PyErr_Clear();  // a code beyond a C long is none of the guard's
        return Ref::borrow(Py_None);
    }
    if (is_time_limit(code)) return zv::call(names.guard_error, {stopped_message(seconds)});
    if (code == server_lost && timed_out(original)) return zv::call(names.guard_error, {unanswered_message(seconds)});
    if (code == table_full) return zv::call(names.guard_error, {temporary_space_message()});
    if (code == read_only_write) return zv::call(names.guard_error, {text_of(refused_write)});
    return Ref::borrow(Py_None);
}

/// do_connect: the engine's connections are the guard's own, which count
/// the bytes of a result as they read them.
Ref open_connection(PyObject* const* args) {
    Ref positional = zv::own(PySequence_Tuple(args[2]));
    return zv::own(PyObject_Call(names.connection_class.get(), positional.get(), args[3]));
}

const zv::FunctionDef open_connection_def{"open_connection", "open_connection", nullptr, ZV_HERE, open_connection,
                                          {{"dialect"}, {"conn_rec"}, {"cargs"}, {"cparams"}}};

/// connect, after the engine's own listeners: the connection is set up, and
/// from now on runs only what the guard hands it.
Ref end_setup(PyObject* const* args) {
    zv::setattr(args[0], names._zarvosdk_setting_up, Py_False);
    return Ref::borrow(Py_None);
}

const zv::FunctionDef end_setup_def{"end_setup", "end_setup", nullptr, ZV_HERE, end_setup,
                                    {{"dbapi_connection"}, {"record"}}};

const zv::FunctionDef before_execute_def{
    "before_execute", "before_execute", nullptr, ZV_HERE, before_execute,
    {{"scope"}, {"limits"}, {"conn"}, {"cursor"}, {"statement"}, {"parameters"}, {"context"}, {"executemany"}}};
const zv::FunctionDef on_error_def{"on_error", "on_error", nullptr, ZV_HERE, on_error,
                                   {{"seconds"}, {"context"}}};
const zv::FunctionDef apply_session_def{"apply_session", "apply_session", nullptr, ZV_HERE,
                                        apply_session,
                                        {{"settings"}, {"dbapi_connection"}, {"record"}}};

}  // namespace

bool is_time_limit(long code) { return code == 1969 || code == 3024; }

Ref guarded_engine(PyObject* db, Borrowed own_database, Borrowed limits, unsigned long long max_rows,
                   Borrowed scope) {
    PyObject* seconds = PyTuple_GET_ITEM(limits.get(), 2);
    Ref address = zv::getattr(zv::getattr(db, names._engine), names.url);
    Ref url = zv::call(zv::getattr(address, names.set), {}, {{names.database, own_database}});
    Ref connect_args = zv::dict({{names.charset, names.utf8mb4},
                                 {names.cursorclass, names.cursor_class},
                                 {names.client_flag, zv::integer(found_rows_flag)},
                                 {names.read_timeout, zv::own(PyFloat_FromDouble(PyFloat_AS_DOUBLE(seconds) + answer_margin))}});
    Ref engine = zv::call(module_state.global(names.create_engine), {url}, {{names.connect_args, connect_args}});
    Ref listen = zv::getattr(module_state.global(names.event), names.listen);
    Ref partial = module_state.global(names.partial);
    Ref settings = session_settings(PyFloat_AS_DOUBLE(seconds), max_rows + 1);
    Ref connect = zv::call(partial, {zv::make_function(apply_session_def, module_state), settings});
    // First among the engine's own listeners: the dialect then learns the
    // session's pinned mode, not the server's, when it first connects.
    zv::call(listen, {engine, names.connect, connect}, {{names.insert, Py_True}});
    zv::call(listen, {engine, names.connect, zv::make_function(end_setup_def, module_state)});
    Ref before = zv::call(partial, {zv::make_function(before_execute_def, module_state), scope, limits});
    zv::call(listen, {engine, names.before_cursor_execute, before}, {{names.retval, Py_True}});
    Ref error = zv::call(partial, {zv::make_function(on_error_def, module_state), seconds});
    zv::call(listen, {engine, names.handle_error, error});
    zv::call(listen, {engine, names.do_connect, zv::make_function(open_connection_def, module_state)});
    return engine;
}

}  // namespace zarvosdk_guard
