// zarvosdk.guard: the tables a statement reads, and whether the handle may
// read them.
//
// A handle reads the tables of its own database: all of them (less the
// handle's ignore_tables), or only the ones its include_tables or
// read_only(..., tables=[...]) name. The system schemas and other databases
// are other databases. A name a common table expression of the statement
// defines is not a table where the statement can see it; a name is taken for
// one only where both MySQL and MariaDB would (in the query it belongs to
// and the queries nested in it, in later entries of its WITH, and in its own
// body only when RECURSIVE; from inside an entry, in no WITH further out),
// and compared exactly, so a name the server reads as a table is always
// checked as one. Derived tables and aliases are not tables; a view is one (its body
// runs with its definer's rights).
//
// Names of tables compare as the server compares them: exactly, or ignoring
// ASCII case when the server's lower_case_table_names says so. A name with
// other characters then still compares exactly, which is safe for the names
// a handle may read (the server's folding of those may differ from the
// host's, so a name either matches exactly or is refused); against the
// names it may not read, such a name is refused outright, since the server
// may fold it into one of them.
#include "guard.hpp"
#include "../../frame/attributes.hpp"
#include "../../frame/call.hpp"
#include "../../frame/containers.hpp"
#include "../../frame/conversions.hpp"

namespace zarvosdk_guard {

namespace {

/// The text of a name node (an Identifier), or of a plain text.
Ref name_text(Borrowed node) {
    if (PyUnicode_Check(node.get())) return Ref::borrow(node.get());
    return zv::getattr(node, names.this_attribute);
}

/// `node.args[key]`, or null when absent or None.
Ref argument(Borrowed node, const char* key) {
    Ref arguments = zv::getattr(node, names.args);
    PyObject* value = PyDict_GetItemString(arguments.get(), key);
    if (!value || value == Py_None) return Ref();
    return Ref::borrow(value);
}

/// Whether the WITH clause `with` defines `name` among its first `visible`
/// entries.
bool defines(Borrowed with, Borrowed name, Py_ssize_t visible) {
    Ref entries = zv::own(PySequence_List(zv::getattr(with, names.expressions).get()));
    Py_ssize_t count = PyList_GET_SIZE(entries.get());
    if (visible < 0 || visible > count) visible = count;
    for (Py_ssize_t i = 0; i < visible; ++i) {
        Ref alias = zv::getattr(PyList_GET_ITEM(entries.get(), i), names.alias);
        if (PyUnicode_Check(alias.get()) && zv::check(PyObject_RichCompareBool(alias.get(), name, Py_EQ))) return true;
    }
    return false;
}

/// The position of `entry` among the entries of `with`.
Py_ssize_t position_in(Borrowed with, Borrowed entry) {
    Ref entries = zv::own(PySequence_List(zv::getattr(with, names.expressions).get()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i)
        if (PyList_GET_ITEM(entries.get(), i) == entry.get()) return i;
    return -1;
}

/// Whether the unqualified table name of `table` is a common table
/// expression the statement can see there.
bool is_visible_cte(Borrowed table, Borrowed name) {
    Ref child = Ref::borrow(table.get());
    Ref node = zv::getattr(table, names.parent);
    PyObject* entered = nullptr;  // the WITH whose entry the walk came up through
    while (node.get() != Py_None) {
        if (is_instance(node, sql_parser.with_type)) {
            // Inside one entry: the entries before it, and itself when
            // RECURSIVE; no WITH further out (MariaDB does not look there from
            // an entry nested in a derived table or a subquery).
            Py_ssize_t index = position_in(node, child);
            if (index >= 0) {
                Ref recursive_flag = argument(node, "recursive");
                bool recursive = recursive_flag && zv::truth(recursive_flag);
                return defines(node, name, index + (recursive ? 1 : 0));
            }
            entered = node.get();
        } else if (Ref with = argument(node, "with_")) {
            if (with.get() != entered && defines(with, name, -1)) return true;
        }
        child = std::move(node);
        node = zv::getattr(child, names.parent);
    }
    return false;
}

void add_reference(Borrowed references, Borrowed database, Borrowed table) {
    zv::check(PyList_Append(references, zv::tuple({database, table}).get()));
}

void add_table(Borrowed references, Borrowed table) {
    Ref named = zv::getattr(table, names.this_attribute);
    if (is_instance(named, sql_parser.json_table_type)) return;  // reads its text argument only
    if (!is_instance(named, sql_parser.identifier_type))
        refuse_named("it reads from %S, which the read-only guard cannot check as a table",
                     zv::call_method(zv::getattr(named, names.key), names.upper));
    Ref name = name_text(named);
    if (argument(table, "catalog")) refuse("it names a table by catalog, database and name");
    Ref database = argument(table, "db");
    if (!database && is_visible_cte(table, name)) return;
    add_reference(references, database ? name_text(database) : Ref::borrow(Py_None), name);
}

/// A function called by a qualified name (db.function(...)) is looked up in
/// that database.
void add_qualified_call(Borrowed references, Borrowed dot) {
    Ref called = zv::getattr(dot, names.expression);
    if (!is_instance(called, sql_parser.function_type)) return;
    Ref owner = zv::getattr(dot, names.this_attribute);
    if (!is_instance(owner, sql_parser.identifier_type))
        refuse("it calls a function by a qualified name the read-only guard cannot check");
    add_reference(references, name_text(owner), Py_None);
}

/// The tables (or database) a SHOW describes.
void add_show(Borrowed references, Borrowed show) {
    Ref database = argument(show, "db");
    Ref target = argument(show, "target");
    if (!database && !target) return;
    add_reference(references, database ? name_text(database) : Ref::borrow(Py_None),
                  target ? name_text(target) : Ref::borrow(Py_None));
}

bool is_ascii_text(PyObject* text) { return PyUnicode_Check(text) && PyUnicode_IS_ASCII(text); }

/// Whether two names are one name to the server.
bool same_name(PyObject* a, PyObject* b, bool case_insensitive) {
    if (!PyUnicode_Check(a) || !PyUnicode_Check(b)) return false;
    if (case_insensitive && is_ascii_text(a) && is_ascii_text(b)) {
        Py_ssize_t length = PyUnicode_GET_LENGTH(a);
        if (length != PyUnicode_GET_LENGTH(b)) return false;
        const char* x = reinterpret_cast<const char*>(PyUnicode_DATA(a));
        const char* y = reinterpret_cast<const char*>(PyUnicode_DATA(b));
        for (Py_ssize_t i = 0; i < length; ++i) {
            char p = x[i] >= 'A' && x[i] <= 'Z' ? x[i] + 32 : x[i];
            char q = y[i] >= 'A' && y[i] <= 'Z' ? y[i] + 32 : y[i];
            if (p != q) return false;
        }
        return true;
    }
    return PyUnicode_Compare(a, b) == 0;
}

bool among(PyObject* name, PyObject* list, bool case_insensitive) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(list); ++i)
        if (same_name(name, PyTuple_GET_ITEM(list, i), case_insensitive)) return true;
    return false;
}

/// The names of `value` (a collection of str) as a sorted tuple.
Ref sorted_names(Borrowed value) {
    Ref list = zv::own(PySequence_List(value));
    zv::check(PyList_Sort(list.get()));
    return zv::own(PyList_AsTuple(list.get()));
}

/// read_only's `tables`: a collection of table names, none of them empty.
Ref checked_tables(PyObject* tables) {
    if (PyUnicode_Check(tables) || PyBytes_Check(tables) ||
        !(PyList_Check(tables) || PyTuple_Check(tables) || PyAnySet_Check(tables)))
        zv::raise(builtins.TypeError.get(), "tables must be a list, tuple or set of table names, not %.200s",
                  Py_TYPE(tables)->tp_name);
    Ref list = zv::own(PySequence_List(tables));
    if (PyList_GET_SIZE(list.get()) == 0) zv::raise(builtins.ValueError.get(), "tables must name at least one table");
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        PyObject* name = PyList_GET_ITEM(list.get(), i);
        if (!PyUnicode_Check(name))
            zv::raise(builtins.TypeError.get(), "tables must hold table names (str), not %.200s",
                      Py_TYPE(name)->tp_name);
        if (PyUnicode_GET_LENGTH(name) == 0) zv::raise(builtins.ValueError.get(), "tables holds an empty name");
    }
    Ref unique = zv::own(PySet_New(list.get()));
    return sorted_names(unique);
}

/// A collection attribute of the handle as a set, or null when it has none
/// or it is empty.
Ref handle_set(PyObject* db, const zv::Name& name) {
    Ref value = zv::optional_attr(db, name.get());
    if (!value || value.get() == Py_None || zv::check(PyObject_Length(value.get())) == 0) return Ref();
    return zv::own(PySet_New(value.get()));
}

}  // namespace

Ref table_references(Borrowed statement) {
    Ref references = zv::own(PyList_New(0));
    Ref nodes = zv::own(PyObject_GetIter(zv::call_method(statement, names.walk).get()));
    while (Ref node = Ref::steal(PyIter_Next(nodes.get()))) {
        if (is_instance(node, sql_parser.table_type)) add_table(references, node);
        else if (is_instance(node, sql_parser.dot_type)) add_qualified_call(references, node);
        else if (is_instance(node, sql_parser.show_type)) add_show(references, node);
    }
    if (PyErr_Occurred()) zv::raise();
    return zv::own(PyList_AsTuple(references.get()));
}

void check_references(Borrowed references, Borrowed scope, bool case_insensitive) {
    PyObject* own = PyTuple_GET_ITEM(scope.get(), 0);
    PyObject* allowed = PyTuple_GET_ITEM(scope.get(), 1);
    PyObject* ignored = PyTuple_GET_ITEM(scope.get(), 2);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(references.get()); ++i) {
        PyObject* reference = PyTuple_GET_ITEM(references.get(), i);
        PyObject* database = PyTuple_GET_ITEM(reference, 0);
        PyObject* table = PyTuple_GET_ITEM(reference, 1);
        if (database != Py_None && !same_name(database, own, case_insensitive))
            refuse_table(database, table, scope);
        if (table == Py_None) continue;
        bool folds_unknown = case_insensitive && !is_ascii_text(table) && PyTuple_GET_SIZE(ignored) > 0;
        if ((allowed != Py_None && !among(table, allowed, case_insensitive)) ||
            among(table, ignored, case_insensitive) || folds_unknown)
            refuse_table(database, table, scope);
    }
}

Ref handle_scope(PyObject* db, Borrowed own_database, PyObject* tables) {
    Ref ignored_set = handle_set(db, names._ignore_tables);
    Ref ignored = ignored_set ? sorted_names(ignored_set) : zv::tuple({});
    Ref included = handle_set(db, names._include_tables);
    if (tables == Py_None)
        return zv::tuple({own_database, included ? sorted_names(included) : Ref::borrow(Py_None), ignored});
    Ref allowed = checked_tables(tables);
    // Only tables the handle itself reads: those it includes, else those it
    // knows less those it ignores.
    Ref usable = included ? std::move(included) : handle_set(db, names._all_tables);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(allowed.get()); ++i) {
        PyObject* name = PyTuple_GET_ITEM(allowed.get(), i);
        bool known = !usable || zv::check(PySet_Contains(usable.get(), name));
        if (!known || among(name, ignored.get(), false))
            zv::raise(builtins.ValueError.get(), "tables names %R, which is not among the handle's tables",
                      name);
    }
    return zv::tuple({own_database, allowed, ignored});
}

}  // namespace zarvosdk_guard
