// zarvosdk.guard: what a statement may be and hold, read from the parser's
// tree: one SELECT (with WITH, set operations, parentheses), one of the SHOW
// statements that describe the handle's own tables, or DESCRIBE / EXPLAIN of
// a table or such a SELECT; nothing in it that writes, reads files, waits,
// locks, assigns, binds parameters or reads variables; no LIMIT above the
// row limit.
#include <cstring>
#include "guard.hpp"
#include "../../frame/attributes.hpp"
#include "../../frame/call.hpp"
#include "../../frame/containers.hpp"
#include "../../frame/conversions.hpp"

namespace zarvosdk_guard {

namespace {

// The SHOW statements that may run: they describe tables of the handle's
// own database. Each is the words after SHOW (FULL left out), then whether
// it lists the whole database (refused on a handle limited to some tables).
struct ShowKind {
    const char* words;
    bool lists_database;
};
const ShowKind show_kinds[] = {{"TABLES", true},       {"TABLE STATUS", true}, {"COLUMNS", false},
                               {"INDEX", false},       {"CREATE TABLE", false}, {"CREATE VIEW", false}};

// The character sets a text may be introduced with (_utf8mb4'...'): single
// byte sets and UTF-8, in which a backslash is never part of a character.
const char* const introducers[] = {"_utf8mb4", "_utf8mb3", "_utf8", "_binary", "_latin1", "_ascii"};

Ref token_text_upper(PyObject* token) {
    return zv::call_method(zv::getattr(token, names.text), names.upper);
}

/// "SHOW" and the words after it up to the first that is not a word, at most
/// four: what a refusal names.
Ref show_words(Borrowed tokens) {
    Ref words = zv::own(PyList_New(0));
    Py_ssize_t count = PyList_GET_SIZE(tokens.get());
    for (Py_ssize_t i = 0; i < count && i < 5; ++i) {
        Ref word = token_text_upper(PyList_GET_ITEM(tokens.get(), i));
        Py_ssize_t length = PyUnicode_GET_LENGTH(word.get());
        bool plain = length > 0;
        for (Py_ssize_t j = 0; j < length && plain; ++j) {
            Py_UCS4 c = PyUnicode_READ_CHAR(word.get(), j);
            plain = (c >= 'A' && c <= 'Z') || c == '_';
        }
        if (!plain) break;
        zv::check(PyList_Append(words.get(), word.get()));
    }
    return zv::own(PyUnicode_Join(zv::own(PyUnicode_FromString(" ")).get(), words.get()));
}

/// The words after SHOW and FULL, joined by one space, up to as many as the
/// longest kind has.
bool show_kind_allowed(Borrowed tokens) {
    Py_ssize_t count = PyList_GET_SIZE(tokens.get());
    Py_ssize_t i = 1;
    if (i < count && PyUnicode_CompareWithASCIIString(token_text_upper(PyList_GET_ITEM(tokens.get(), i)).get(), "FULL") == 0)
        ++i;
    for (const ShowKind& kind : show_kinds) {
        bool matches = true;
        const char* cursor = kind.words;
        Py_ssize_t j = i;
        while (*cursor && matches) {
            const char* end = std::strchr(cursor, ' ');
            std::size_t length = end ? static_cast<std::size_t>(end - cursor) : std::strlen(cursor);
            if (j >= count) {
                matches = false;
                break;
            }
            Ref word = token_text_upper(PyList_GET_ITEM(tokens.get(), j));
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(word.get(), &size);
            if (!text) zv::raise();
            matches = static_cast<std::size_t>(size) == length && std::strncmp(text, cursor, length) == 0;
            cursor = end ? end + 1 : cursor + length;
            ++j;
        }
        if (matches) return true;
    }
    return false;
}

/// The kind of a parsed SHOW: its `this` ("TABLES", "CREATE TABLE", ...).
const ShowKind* show_kind_of(Borrowed show) {
    Ref kind = zv::getattr(show, names.this_attribute);
    if (!PyUnicode_Check(kind.get())) return nullptr;
    for (const ShowKind& entry : show_kinds)
        if (PyUnicode_CompareWithASCIIString(kind.get(), entry.words) == 0) return &entry;
    return nullptr;
}

void check_show(Borrowed show, bool restricted) {
    const ShowKind* kind = show_kind_of(show);
    if (!kind) refuse_statement(zv::concat({zv::own(PyUnicode_FromString("SHOW ")),
                                            zv::text(zv::getattr(show, names.this_attribute))}));
    if (kind->lists_database && restricted)
        raise_guard_error(zv::own(PyUnicode_FromFormat(
            "Query refused by the read-only guard: SHOW %s is not permitted on this handle, which "
            "may read only some of the database's tables; ask for a table's columns instead.",
            kind->words)));
}

/// Whether a DESCRIBE holds anything besides what it describes.
bool has_options(Borrowed statement) {
    Ref arguments = zv::getattr(statement, names.args);
    PyObject *key, *value;
    Py_ssize_t position = 0;
    while (PyDict_Next(arguments.get(), &position, &key, &value)) {
        if (PyUnicode_CompareWithASCIIString(key, "this") == 0 || value == Py_None || value == Py_False) continue;
        if (PyList_Check(value) && PyList_GET_SIZE(value) == 0) continue;
        return true;
    }
    return false;
}

void check_statement_kind(Borrowed statement, bool restricted) {
    Ref kind = zv::getattr(statement, names.key);
    if (!is_instance(statement, sql_parser.statements))
        refuse_named("it is not a read statement (%S)", zv::call_method(kind, names.upper));
    if (is_instance(statement, sql_parser.show_type)) check_show(statement, restricted);
    if (PyUnicode_CompareWithASCIIString(kind.get(), "describe") != 0) return;
    Ref inner = zv::getattr(statement, names.this_attribute);
    if (!is_instance(inner, sql_parser.described))
        refuse_named("EXPLAIN / DESCRIBE may only look at a read statement, not %S",
                     zv::call_method(zv::getattr(inner, names.key), names.upper));
    // Of a table, the name alone: the server reads a word such as EXTENDED
    // before it as the table, and the name after it as a column pattern.
    if (is_instance(inner, sql_parser.table_type) && has_options(statement))
        refuse("DESCRIBE / EXPLAIN of a table takes the table's name alone");
}

/// The function's name in upper case, as the server matches it.
Ref call_name(Borrowed node) {
    Ref name = is_instance(node, sql_parser.anonymous_type) ? zv::getattr(node, names.name)
                                                            : zv::call_method(node, names.sql_name);
    return zv::call_method(name, names.upper);
}

[[noreturn]] void refuse_node(Borrowed node) {
    Ref key = zv::getattr(node, names.key);
    auto is = [&](const char* name) { return PyUnicode_CompareWithASCIIString(key.get(), name) == 0; };
    if (is("into")) refuse("it writes its result into a file or a variable (INTO)");
    if (is("lock")) refuse("it is a locking read (FOR UPDATE, FOR SHARE or LOCK IN SHARE MODE)");
    if (is("propertyeq")) refuse("it assigns a variable (:=)");
    if (is("placeholder"))
        refuse("it holds a bind parameter (? or :name); the read-only guard runs statements "
               "with their values written out");
    if (is("parameter") || is("sessionparameter"))
        refuse("it reads a server or session variable (@name or @@name), which is not permitted");
    if (is("nextvaluefor")) refuse("it reads a sequence (NEXT VALUE FOR), which changes it");
    refuse_named("it holds a %S statement", zv::call_method(key, names.upper));
}

void check_function(Borrowed node) {
    Ref name = call_name(node);
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), &length);
    if (!text) zv::raise();
    if (is_refused_function(text, length))
        refuse_named("it calls %S, which the read-only guard does not allow", name);
}

void check_introducer(Borrowed node) {
    Ref charset = zv::getattr(node, names.this_attribute);
    Ref name = PyUnicode_Check(charset.get()) ? std::move(charset) : zv::getattr(charset, names.name);
    Ref lowered = zv::call_method(name, names.lower);
    for (const char* allowed : introducers)
        if (PyUnicode_CompareWithASCIIString(lowered.get(), allowed) == 0) return;
    refuse_named("it reads a text in the character set %R, in which the guard cannot tell where "
                 "a text ends; use _utf8mb4 or CONVERT(... USING ...)",
                 lowered);
}

/// A word the writer puts out as it stands (a unit, a character set, a type's
/// parameter) must be one plain word: the server would read anything else
/// as more than one token.
void check_word(Borrowed node) {
    Ref word = zv::getattr(node, names.this_attribute);
    bool plain = PyUnicode_Check(word.get()) && PyUnicode_IS_ASCII(word.get()) && PyUnicode_GET_LENGTH(word.get()) > 0;
    for (Py_ssize_t i = 0; plain && i < PyUnicode_GET_LENGTH(word.get()); ++i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(word.get(), i);
        plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
    }
    if (!plain)
        refuse_named("it holds %R where the server reads one keyword, such as a unit or a character set", word);
}

/// Walks every part of the statement for writes, clauses that write, lock or
/// assign, variables, refused functions and character sets.
void check_parts(Borrowed statement) {
    Ref nodes = zv::own(PyObject_GetIter(zv::call_method(statement, names.walk).get()));
    while (Ref node = Ref::steal(PyIter_Next(nodes.get()))) {
        if (is_instance(node, sql_parser.refused_nodes)) refuse_node(node);
        if (is_instance(node, sql_parser.function_type)) check_function(node);
        else if (is_instance(node, sql_parser.introducer_type)) check_introducer(node);
        else if (is_instance(node, sql_parser.var_type)) check_word(node);
    }
    if (PyErr_Occurred()) zv::raise();
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

}  // namespace

void check_tokens(Borrowed tokens, PyObject*) {
    Py_ssize_t count = PyList_GET_SIZE(tokens.get());
    if (count == 0) refuse("it holds no statement");
    PyObject* first = PyList_GET_ITEM(tokens.get(), 0);
    Ref first_type = zv::getattr(first, names.token_type);
    if (!zv::check(PySequence_Contains(sql_parser.first_tokens.get(), first_type.get())))
        refuse_named("it is not a read statement (it starts with %R)", zv::getattr(first, names.text));
    // A SHOW the parser only half knows would be logged and read as a
    // command: the kinds are told apart here, before the parser sees it.
    if (first_type.get() == sql_parser.show_token.get() && !show_kind_allowed(tokens))
        refuse_statement(show_words(tokens));
    bool ended = false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref type = zv::getattr(PyList_GET_ITEM(tokens.get(), i), names.token_type);
        bool separator = type.get() == sql_parser.semicolon.get();
        if (ended && !separator) refuse("it holds several statements");
        ended = ended || separator;
    }
}

void check_statement(Borrowed statement, bool restricted) {
    check_statement_kind(statement, restricted);
    check_parts(statement);
}

/// An explicit LIMIT (or FETCH FIRST) of the result overrides the session's
/// row limit: one that asks for more rows than the limit is refused. The
/// result's own clauses are those of the statement and of the parenthesised
/// queries it consists of.
void check_row_request(Borrowed statement, Borrowed max_rows) {
    if (!max_rows.get()) return;
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

}  // namespace zarvosdk_guard
