// zarvosdk.guard: refusals, stops and cuts. Each is a GuardError whose text
// is one line: the framework's query tool hands it to the model as the
// observation, so the model can correct itself.
#include <cstdio>
#include "guard.hpp"
#include "../../frame/attributes.hpp"
#include "../../frame/call.hpp"
#include "../../frame/containers.hpp"
#include "../../frame/conversions.hpp"

namespace zarvosdk_guard {

namespace {

const char only_reads[] =
    " Only one read statement (SELECT, WITH ... SELECT, SHOW, DESCRIBE or EXPLAIN) may run.";

/// "%g" of a number, as the messages show it, in no locale's form.
Ref number_text(PyObject* number) {
    double value = PyFloat_AsDouble(number);
    if (value == -1.0 && PyErr_Occurred()) zv::raise();
    char* text = PyOS_double_to_string(value, 'g', 6, 0, nullptr);
    if (!text) zv::raise();
    Ref shown = Ref::steal(PyUnicode_FromString(text));
    PyMem_Free(text);
    if (!shown) zv::raise();
    return shown;
}

/// What the handle may read, for a refusal: "the tables of the database
/// `shop`", "the tables `sales`, `items`", "... except `audit`".
Ref scope_text(Borrowed scope) {
    PyObject* own = PyTuple_GET_ITEM(scope.get(), 0);
    PyObject* allowed = PyTuple_GET_ITEM(scope.get(), 1);
    PyObject* ignored = PyTuple_GET_ITEM(scope.get(), 2);
    Ref separator = zv::own(PyUnicode_FromString(", "));
    auto listed = [&](PyObject* names) {
        Ref shown = zv::own(PyList_New(0));
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i)
            zv::check(PyList_Append(shown.get(), display_name(PyTuple_GET_ITEM(names, i)).get()));
        return zv::own(PyUnicode_Join(separator.get(), shown.get()));
    };
    if (allowed != Py_None)
        return zv::own(PyUnicode_FromFormat("the tables %U of the database %U", listed(allowed).get(),
                                            display_name(own).get()));
    if (PyTuple_GET_SIZE(ignored) > 0)
        return zv::own(PyUnicode_FromFormat("the tables of the database %U except %U",
                                            display_name(own).get(), listed(ignored).get()));
    return zv::own(PyUnicode_FromFormat("the tables of the database %U", display_name(own).get()));
}

}  // namespace

const char refused_write[] =
    "Query refused by the server: it tried to write (through a function or view it uses) in "
    "the read-only guard's read-only session. Only reads may run.";

void raise_guard_error(Borrowed message) {
    PyErr_SetObject(names.guard_error.get(), message);
    zv::raise();
}

void refuse(const char* reason) {
    raise_guard_error(zv::own(PyUnicode_FromFormat(
        "Query refused by the read-only guard: %s.%s", reason, only_reads)));
}

void refuse_named(const char* format, Borrowed name) {
    Ref reason = zv::own(PyUnicode_FromFormat(format, name.get()));
    raise_guard_error(zv::own(PyUnicode_FromFormat(
        "Query refused by the read-only guard: %U.%s", reason.get(), only_reads)));
}

Ref display_name(Borrowed name) {
    if (!PyUnicode_Check(name.get())) return zv::own(PyObject_Repr(name));
    bool plain = true;
    Py_ssize_t length = PyUnicode_GET_LENGTH(name.get());
    int kind = PyUnicode_KIND(name.get());
    const void* data = PyUnicode_DATA(name.get());
    for (Py_ssize_t i = 0; i < length && plain; ++i) {
        Py_UCS4 character = PyUnicode_READ(kind, data, i);
        plain = character != '`' && Py_UNICODE_ISPRINTABLE(character);
    }
    if (!plain) return zv::own(PyObject_Repr(name));
    return zv::own(PyUnicode_FromFormat("`%U`", name.get()));
}

void refuse_table(Borrowed database, Borrowed table, Borrowed scope) {
    Ref shown;
    if (database.get() != Py_None && table.get() != Py_None)
        shown = zv::own(PyUnicode_FromFormat("the table %U.%U", display_name(database).get(),
                                             display_name(table).get()));
    else if (table.get() != Py_None)
        shown = zv::own(PyUnicode_FromFormat("the table %U", display_name(table).get()));
    else
        shown = zv::own(PyUnicode_FromFormat("the database %U", display_name(database).get()));
    raise_guard_error(zv::own(PyUnicode_FromFormat(
        "Query refused by the read-only guard: it reads %U, which is not permitted. This handle "
        "may read only %U.",
        shown.get(), scope_text(scope).get())));
}

void refuse_statement(Borrowed what) {
    raise_guard_error(zv::own(PyUnicode_FromFormat(
        "Query refused by the read-only guard: %U is not permitted. Of the SHOW statements only "
        "SHOW TABLES, SHOW COLUMNS, SHOW INDEX and SHOW CREATE TABLE or VIEW of this handle's "
        "tables may run.",
        what.get())));
}

Ref stopped_message(PyObject* seconds) {
    return zv::own(PyUnicode_FromFormat(
        "Query stopped by the server: it ran longer than the read-only guard's limit of %U s. "
        "Ask for less work: filter, aggregate or add a LIMIT.",
        number_text(seconds).get()));
}

void report_stopped(PyObject* seconds) { raise_guard_error(stopped_message(seconds)); }

void report_incomplete() {
    raise_guard_error(zv::own(PyUnicode_FromString(
        "Query stopped by the server: the recursive query reached the server's limit on "
        "iterations (max_recursive_iterations), so its result is incomplete. Bound the "
        "recursion with a condition that ends it.")));
}

namespace {

// "Query result cut": more rows or bytes than the handle's limit.
[[noreturn]] void report_cut(PyObject* limit, const char* unit, const char* advice) {
    raise_guard_error(zv::own(PyUnicode_FromFormat(
        "Query result cut: it returns more than %S %s, the read-only guard's limit. %s", limit, unit,
        advice)));
}

}  // namespace

void report_cut_rows(PyObject* max_rows) {
    report_cut(max_rows, "rows", "Ask for fewer rows: aggregate, filter or add a LIMIT.");
}

void report_cut_bytes(PyObject* max_bytes) {
    report_cut(max_bytes, "bytes", "Ask for less: fewer or shorter columns, fewer rows, or a LIMIT.");
}

void refuse_unchecked() {
    raise_guard_error(zv::own(PyUnicode_FromString(
        "Query refused by the read-only guard: it reached the guarded engine without the "
        "guard's checks; only statements through the handle's run (and the framework's own "
        "sample rows of the handle's tables) run there. It did not run.")));
}

Ref unanswered_message(PyObject* seconds) {
    return zv::own(PyUnicode_FromFormat(
        "Query stopped: the server did not answer within the read-only guard's limit of %U s, "
        "so the guard closed the connection. Ask for less work: filter, aggregate or add a "
        "LIMIT.",
        number_text(seconds).get()));
}

Ref temporary_space_message() {
    return zv::own(PyUnicode_FromString(
        "Query stopped by the server: its temporary tables outgrew the read-only guard's limit. "
        "Ask for less work: filter before grouping, sorting or joining."));
}

}  // namespace zarvosdk_guard
