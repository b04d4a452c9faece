// zarvosdk.guard: the guarded engine's cursor.
//
// A driver's buffered cursor reads a whole result into memory before it can
// be counted, so a statement with a few huge rows fills the client. The
// guarded engine's cursor reads the result row by row from the connection
// (PyMySQL's unbuffered cursor) and keeps it, as a buffered cursor does,
// before the statement returns; for a statement the guard runs, it counts
// rows and bytes as it reads and stops at the first row past either limit.
// Its connection counts the bytes it reads from the server as well, so that
// one row wider than the limit is stopped while it arrives, not after. Either
// then closes the connection without reading the rest, which the server
// would otherwise go on sending, and the engine drops that connection. After
// the last row the cursor asks the server for the warnings that tell of a
// statement it stopped but answered.
#include "guard.hpp"
#include "../../frame/attributes.hpp"
#include "../../frame/call.hpp"
#include "../../frame/class_builder.hpp"
#include "../../frame/containers.hpp"
#include "../../frame/conversions.hpp"
#include "../../frame/function.hpp"

namespace zarvosdk_guard {

namespace {

zv::Persistent stream_query;  // SSCursor._query: starts an unbuffered result
zv::Persistent plain_cursor;  // PyMySQL's buffered Cursor class
zv::Persistent read_bytes;    // Connection._read_bytes: reads from the server
zv::Persistent send_query;    // Connection.query: sends a statement
zv::Persistent open_socket;   // Connection.connect: opens the connection
zv::Persistent driver_error;  // the driver's own errors (pymysql.err.Error)

// What every value counts at the least.
constexpr unsigned long long per_value = 32;
// What the connection may read past max_bytes for one result: the column
// descriptions and the framing of the rows.
constexpr long long wire_slack = 1ll << 20;

/// The bytes a text takes in UTF-8, as the server sends it.
unsigned long long text_bytes(PyObject* text) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    if (PyUnicode_IS_ASCII(text)) return static_cast<unsigned long long>(length);
    int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    unsigned long long bytes = 0;
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        bytes += c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    }
    return bytes;
}

/// What one value of a row counts: about what the host holds for it, its
/// object and its place in the row; for text, its characters at the width
/// the host stores them in, or their UTF-8 bytes if more.
unsigned long long value_bytes(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    unsigned long long held = 8 + static_cast<unsigned long long>(type->tp_basicsize);
    if (PyUnicode_Check(value)) {
        unsigned long long stored = static_cast<unsigned long long>(PyUnicode_KIND(value)) *
                                    static_cast<unsigned long long>(PyUnicode_GET_LENGTH(value));
        unsigned long long encoded = text_bytes(value);
        return held + (stored > encoded ? stored : encoded);
    }
    if (PyBytes_Check(value)) return held + static_cast<unsigned long long>(PyBytes_GET_SIZE(value));
    if (PyByteArray_Check(value)) return held + static_cast<unsigned long long>(PyByteArray_GET_SIZE(value));
    if (type->tp_itemsize > 0) {
        Py_ssize_t items = Py_SIZE(value);
        held += static_cast<unsigned long long>(type->tp_itemsize) * static_cast<unsigned long long>(items < 0 ? -items : items);
    }
    return held < per_value ? per_value : held;
}

unsigned long long row_bytes(PyObject* row) {
    if (!PyTuple_Check(row)) return per_value;
    unsigned long long bytes = 0;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(row); ++i) bytes += value_bytes(PyTuple_GET_ITEM(row, i));
    return bytes;
}

/// Leaves the rest of the connection's result unread: the connection is
/// closed at once, and marked, so that the engine drops it.
void cut(PyObject* connection) {
    zv::setattr(connection, names._zarvosdk_cut, Py_True);
    Ref result = zv::optional_attr(connection, names._result.get());
    if (result && result.get() != Py_None) zv::setattr(result, names.unbuffered_active, Py_False);
    if (Ref close_now = zv::optional_attr(connection, names._force_close.get())) zv::call(close_now);
}

void cut_connection(PyObject* self) {
    Ref connection = zv::optional_attr(self, names.connection.get());
    if (connection && connection.get() != Py_None) cut(connection.get());
}

/// The connection's count of the bytes it may still read for the result
/// being read: [bytes left, max_bytes], or None.
void set_budget(PyObject* self, PyObject* limits) {
    Ref connection = zv::getattr(self, names.connection);
    if (!limits) {
        zv::setattr(connection, names._zarvosdk_budget, Py_None);
        return;
    }
    PyObject* max_bytes = PyTuple_GET_ITEM(limits, 1);
    Ref left = zv::own(PyNumber_Add(max_bytes, zv::own(PyLong_FromLongLong(wire_slack)).get()));
    zv::setattr(connection, names._zarvosdk_budget, zv::list({left, max_bytes}));
}

/// The server's warning code of a statement stopped by its time limit:
/// MariaDB's max_statement_time, MySQL's max_execution_time; and of a
/// recursive query stopped at max_recursive_iterations.
constexpr long recursion_limit = 1931;

/// Reports a warning that tells of a stopped statement: the server stopped
/// BENCHMARK or DO SLEEP at the time limit, or a recursive CTE at its
/// iteration limit, and still answered with a result.
void check_warnings(PyObject* self, PyObject* seconds) {
    Ref result = zv::optional_attr(self, names._result.get());
    Ref count = result && result.get() != Py_None ? zv::optional_attr(result, names.warning_count.get()) : Ref();
    if (count && PyLong_Check(count.get()) && PyLong_AsLong(count.get()) == 0) return;
    if (PyErr_Occurred()) zv::raise();
    Ref connection = zv::getattr(self, names.connection);
    Ref reader = zv::call(plain_cursor, {connection});
    zv::setattr(connection, names._zarvosdk_pass, Py_True);
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

/// The next row of the result. For a statement the guard runs, a value the
/// driver cannot read (bytes the server sent that are not valid in their
/// character set) cuts the result and is reported as the guard's, so the
/// model reads what happened instead of the run ending.
Ref read_row(PyObject* self, bool limited) {
    try {
        return zv::call_method(self, names.read_next);
    } catch (const zv::Error&) {
        if (!limited || !PyErr_ExceptionMatches(PyExc_Exception) ||
            PyErr_ExceptionMatches(names.guard_error.get()) || PyErr_ExceptionMatches(driver_error.get()))
            throw;
        Ref reason;
        {
            zv::Handler handler;
            reason = zv::concat({zv::getattr(reinterpret_cast<PyObject*>(Py_TYPE(handler.value())), names.dunder_name),
                                 zv::own(PyUnicode_FromString(": ")), zv::str(handler.value())});
        }
        cut_connection(self);
        raise_guard_error(zv::own(PyUnicode_FromFormat(
            "Query result unreadable: the server sent a value the driver cannot read (%U). Ask for "
            "other columns, or CONVERT the column to a character set that holds it.",
            reason.get())));
    }
}

unsigned long long limit_value(PyObject* value) {
    unsigned long long limit = PyLong_AsUnsignedLongLong(value);
    if (limit == static_cast<unsigned long long>(-1) && PyErr_Occurred()) zv::raise();
    return limit;
}

/// _query: runs the statement, then reads its whole result within the
/// limits the guard gave this cursor, if any (max_rows, max_bytes, seconds).
Ref cursor_query(PyObject* const* args) {
    PyObject* self = args[0];
    // The limits are this statement's alone: a cursor handed on (a result
    // fetched as a cursor) runs nothing more on them.
    Ref limits = zv::getattr(self, names._zarvosdk_limits);
    zv::setattr(self, names._zarvosdk_limits, Py_None);
    bool limited = PyTuple_Check(limits.get()) && PyTuple_GET_SIZE(limits.get()) == 3;
    set_budget(self, limited ? limits.get() : nullptr);
    if (limited) zv::setattr(zv::getattr(self, names.connection), names._zarvosdk_pass, Py_True);
    zv::call(stream_query, {self, args[1]});
    unsigned long long max_rows = limited ? limit_value(PyTuple_GET_ITEM(limits.get(), 0)) : 0;
    unsigned long long max_bytes = limited ? limit_value(PyTuple_GET_ITEM(limits.get(), 1)) : 0;
    Ref rows = zv::own(PyList_New(0));
    unsigned long long count = 0, bytes = 0;
    bool over = false;  // one row past the limit came; the server's own limit may end it there
    while (true) {
        Ref row = read_row(self, limited);
        if (row.get() == Py_None) break;
        if (over) {
            cut_connection(self);
            report_cut_rows(PyTuple_GET_ITEM(limits.get(), 0));
        }
        if (limited) {
            bytes += row_bytes(row.get());
            if (bytes > max_bytes) {
                cut_connection(self);
                report_cut_bytes(PyTuple_GET_ITEM(limits.get(), 1));
            }
            if (++count > max_rows) {
                over = true;
                continue;
            }
        }
        zv::check(PyList_Append(rows.get(), row.get()));
    }
    // A result the server's row limit ended one row past the guard's is
    // complete: its warnings tell whether the server stopped it first.
    if (limited) check_warnings(self, PyTuple_GET_ITEM(limits.get(), 2));
    if (over) report_cut_rows(PyTuple_GET_ITEM(limits.get(), 0));
    set_budget(self, nullptr);
    zv::setattr(self, names._rows, zv::own(PyList_AsTuple(rows.get())));
    zv::setattr(self, names.rownumber, zv::integer(0));
    if (zv::getattr(self, names.description).get() != Py_None)
        zv::setattr(self, names.rowcount, zv::own(PyLong_FromSsize_t(PyList_GET_SIZE(rows.get()))));
    return zv::getattr(self, names.rowcount);
}

const zv::FunctionDef cursor_query_def{"_query", "GuardedCursor._query", nullptr, ZV_HERE, cursor_query,
                                       {{"self"}, {"q"}}};

void cursor_body(zv::ModuleState& state, PyObject* ns) {
    zv::define_method(state, ns, cursor_query_def);
    zv::set_entry(ns, names._zarvosdk_limits, Py_None);
    // The result is held whole: it is served as the buffered cursor serves its own.
    for (const zv::Name* method : {&names.fetchone, &names.fetchmany, &names.fetchall, &names.scroll})
        zv::set_entry(ns, *method, zv::getattr(plain_cursor, *method));
}

/// _read_bytes: reads from the server, counting against the result's budget.
Ref connection_read_bytes(PyObject* const* args) {
    PyObject* self = args[0];
    Ref data = zv::call(read_bytes, {self, args[1]});
    Ref budget = zv::getattr(self, names._zarvosdk_budget);
    if (!PyList_Check(budget.get()) || PyList_GET_SIZE(budget.get()) != 2) return data;
    Py_ssize_t size = PyObject_Length(data.get());
    if (size < 0) zv::raise();
    Ref left = zv::own(PyNumber_Subtract(PyList_GET_ITEM(budget.get(), 0), zv::own(PyLong_FromSsize_t(size)).get()));
    if (zv::check(PyObject_RichCompareBool(left.get(), zv::integer(0).get(), Py_LT))) {
        Ref max_bytes = Ref::borrow(PyList_GET_ITEM(budget.get(), 1));
        zv::setattr(self, names._zarvosdk_budget, Py_None);
        cut(self);
        report_cut_bytes(max_bytes.get());
    }
    zv::check(PyList_SetItem(budget.get(), 0, left.release()));
    return data;
}

/// query: sends a statement only when the guard handed it over (the cursor
/// it gave its limits, the guard's own statements) or while the connection
/// is being set up; anything else, a raw cursor's say, is refused.
Ref connection_query(PyObject* const* args) {
    PyObject* self = args[0];
    Ref handed = zv::getattr(self, names._zarvosdk_pass);
    if (handed.get() == Py_True) {
        zv::setattr(self, names._zarvosdk_pass, Py_False);
    } else if (zv::getattr(self, names._zarvosdk_setting_up).get() != Py_True) {
        refuse_unchecked();
    }
    return zv::call(send_query, {self, args[1], args[2]});
}

/// connect: opens the connection once. Opened again (ping(reconnect=True)),
/// it would be a session the guard never set up: refused, so the engine
/// makes a new connection instead.
Ref connection_connect(PyObject* const* args) {
    PyObject* self = args[0];
    if (zv::getattr(self, names._zarvosdk_opened).get() == Py_True)
        raise_guard_error(zv::own(PyUnicode_FromString(
            "The read-only guard's connection does not open again: its session would not be the "
            "guard's. The engine opens a new connection instead.")));
    zv::setattr(self, names._zarvosdk_opened, Py_True);
    return zv::call(open_socket, {self, args[1]});
}

const zv::FunctionDef connection_connect_def{"connect", "GuardedConnection.connect", nullptr, ZV_HERE,
                                             connection_connect, {{"self"}, {"sock"}}};

const zv::FunctionDef connection_query_def{"query", "GuardedConnection.query", nullptr, ZV_HERE, connection_query,
                                           {{"self"}, {"sql"}, {"unbuffered"}}};

const zv::FunctionDef connection_read_bytes_def{"_read_bytes", "GuardedConnection._read_bytes", nullptr, ZV_HERE,
                                                connection_read_bytes, {{"self"}, {"num_bytes"}}};

void connection_body(zv::ModuleState& state, PyObject* ns) {
    zv::define_method(state, ns, connection_read_bytes_def);
    zv::define_method(state, ns, connection_query_def, zv::tuple({Py_False}));
    zv::define_method(state, ns, connection_connect_def, zv::tuple({Py_None}));
    zv::set_entry(ns, names._zarvosdk_opened, Py_False);
    zv::set_entry(ns, names._zarvosdk_budget, Py_None);
    zv::set_entry(ns, names._zarvosdk_pass, Py_False);
    zv::set_entry(ns, names._zarvosdk_setting_up, Py_False);
    zv::set_entry(ns, names._zarvosdk_cut, Py_False);
}

const char connection_doc[] =
    "The read-only guard's connection: it counts what it reads of a result the guard runs "
    "against the guard's byte limit.";

const char cursor_doc[] =
    "The read-only guard's cursor: it reads a result whole before the statement returns, within "
    "the guard's row and byte limits for a statement the guard runs.";

}  // namespace

Ref build_cursor_class(zv::ModuleState& state) {
    Ref cursors = zv::own(PyImport_Import(names.cursors_module.get()));
    Ref stream = zv::getattr(cursors, names.SSCursor);
    plain_cursor.set(zv::getattr(cursors, names.Cursor));
    stream_query.set(zv::getattr(stream, names._query));
    return zv::build_class(state, "GuardedCursor", "GuardedCursor", zv::tuple({stream}).get(), cursor_doc,
                           cursor_body);
}

Ref plain_cursor_class() { return Ref::borrow(plain_cursor.get()); }

Ref build_connection_class(zv::ModuleState& state) {
    Ref connections = zv::own(PyImport_Import(names.connections_module.get()));
    Ref base = zv::getattr(connections, "Connection");
    read_bytes.set(zv::getattr(base, names._read_bytes));
    send_query.set(zv::getattr(base, names.query));
    open_socket.set(zv::getattr(base, names.connect));
    driver_error.set(zv::getattr(zv::own(PyImport_ImportModule("pymysql.err")), "Error"));
    return zv::build_class(state, "GuardedConnection", "GuardedConnection", zv::tuple({base}).get(),
                           connection_doc, connection_body);
}

}  // namespace zarvosdk_guard
