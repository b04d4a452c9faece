// zarvosdk.guard: the SQL parser (sqlglot) and the one text.
//
// The server runs only what the parser understood: the model's text is read
// into a tree, the tree is written back as MySQL (every name quoted, no
// comments), and that text is read once more. The checks look at the tree
// read from the text that runs, and the text must come out of the parser's
// writer unchanged from that tree as well. A comment, a quote or a word the
// parser and the server read differently in the model's text therefore never
// reaches the server: the server gets the parser's own rendering of what the
// parser saw.
#include <cstddef>
#include "guard.hpp"
#include "../../frame/attributes.hpp"
#include "../../frame/call.hpp"
#include "../../frame/class_builder.hpp"
#include "../../frame/containers.hpp"
#include "../../frame/conversions.hpp"
#include "../../frame/function.hpp"

namespace zarvosdk_guard {

Parser sql_parser;

namespace {

// Statement kinds that write, administer or change the session or the
// transaction, refused wherever they appear (a write inside a CTE included);
// the clauses of a SELECT that write (INTO), lock (FOR UPDATE, FOR SHARE) or
// assign a variable (:=); bind parameters, variables and sequences.
const char* const refused_node_names[] = {
    "Insert", "Update", "Delete", "Merge", "Drop", "Create", "Alter", "TruncateTable",
    "Command", "Set", "Transaction", "Commit", "Rollback", "Use", "Kill", "LoadData",
    "Grant", "Revoke", "Cache", "Uncache", "Pragma", "Into", "Lock", "PropertyEQ",
    "Placeholder", "Parameter", "SessionParameter", "NextValueFor"};

// The arguments of the parser's nodes that the checks read, by node: a
// release that renames one would switch a check off, so each must exist.
struct UsedArgument {
    const char* node;
    const char* argument;
};
const UsedArgument used_arguments[] = {
    {"Select", "with_"},  {"Select", "from_"},    {"Select", "limit"},     {"Select", "joins"},
    {"Subquery", "this"}, {"Subquery", "with_"},  {"Subquery", "limit"},   {"Union", "with_"},
    {"Union", "limit"},   {"Table", "this"},      {"Table", "db"},         {"Table", "catalog"},
    {"Table", "alias"},   {"CTE", "this"},        {"CTE", "alias"},        {"With", "expressions"},
    {"With", "recursive"}, {"Show", "this"},      {"Show", "db"},          {"Show", "target"},
    {"Describe", "this"}, {"Limit", "expression"}, {"Introducer", "this"}, {"Dot", "this"},
    {"Dot", "expression"}, {"Identifier", "this"}, {"Identifier", "quoted"}, {"From", "this"},
    {"Anonymous", "this"}, {"Var", "this"}};

[[noreturn]] void raise_missing(const char* what) {
    Ref version = zv::optional_attr(zv::own(PyImport_Import(names.sqlglot_module.get())),
                                    names.dunder_version.get());
    PyObject* shown = version ? version.get() : Py_None;
    zv::raise(builtins.ImportError.get(),
              "the read-only guard needs %s, which the installed sqlglot (%S) lacks; install the "
              "sqlglot release zarvosdk's requirements name",
              what, shown);
}

/// `module.name`, which must exist.
Ref required(Borrowed module, const char* module_name, const char* name) {
    if (Ref value = zv::optional_attr(module, name)) return value;
    char what[160];
    PyOS_snprintf(what, sizeof what, "%s.%s", module_name, name);
    raise_missing(what);
}

/// A tuple of the attributes `names` of `module`, every one of which must exist.
template <std::size_t N>
Ref required_all(Borrowed module, const char* module_name, const char* const (&list)[N]) {
    Ref found = zv::own(PyTuple_New(N));
    for (std::size_t i = 0; i < N; ++i)
        PyTuple_SET_ITEM(found.get(), i, required(module, module_name, list[i]).release());
    return found;
}

void check_used_arguments(Borrowed expressions) {
    for (const UsedArgument& used : used_arguments) {
        Ref node = required(expressions, "sqlglot.expressions", used.node);
        Ref arguments = zv::getattr(node, names.arg_types);
        if (zv::check(PySequence_Contains(arguments.get(), zv::own(PyUnicode_FromString(used.argument)).get())))
            continue;
        char what[160];
        PyOS_snprintf(what, sizeof what, "the argument '%s' of sqlglot.expressions.%s", used.argument,
                      used.node);
        raise_missing(what);
    }
}

/// regexplike_sql: the server reads `a REGEXP b`; the MySQL writer's
/// REGEXP_LIKE(a, b) is a function MariaDB does not have.
Ref write_regexp(PyObject* const* args) {
    return zv::call_method(args[0], names.binary, {args[1], names.regexp_operator});
}

const zv::FunctionDef write_regexp_def{"regexplike_sql", "GuardGenerator.regexplike_sql", nullptr,
                                       ZV_HERE, write_regexp, {{"self"}, {"expression"}}};

void generator_body(zv::ModuleState& state, PyObject* ns) {
    zv::define_method(state, ns, write_regexp_def, nullptr);
}

/// The dialect's writer, as a subclass that writes REGEXP as an operator.
Ref make_generator(Borrowed dialect) {
    Ref base = zv::getattr(dialect, names.generator_class);
    return zv::build_class(module_state, "GuardGenerator", "GuardGenerator", zv::tuple({base}).get(),
                           nullptr, generator_body);
}

/// Refuses text the parser cannot read; anything it raises counts.
[[noreturn]] void refuse_unreadable(const char* format) {
    Ref reason;
    {
        zv::Handler handler;
        Ref text = zv::str(handler.value());
        Py_ssize_t end = PyUnicode_FindChar(text.get(), '\n', 0, PyUnicode_GET_LENGTH(text.get()), 1);
        if (end == -2) zv::raise();
        reason = end < 0 ? std::move(text) : zv::own(PyUnicode_Substring(text.get(), 0, end));
    }
    refuse_named(format, reason);
}

const char unreadable[] = "the SQL parser cannot read it as one MySQL statement (%S)";
const char unwritable[] = "the SQL parser cannot write it back as one plain MySQL statement (%S)";

/// The one statement the parser reads from the tokens.
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

/// Reads `sql` as one statement; `failure` words a text the parser cannot read.
Ref read_statement(PyObject* sql, const char* failure) {
    Ref tokens;
    try {
        tokens = zv::own(PySequence_List(zv::call_method(sql_parser.dialect, names.tokenize, {sql}).get()));
    } catch (const zv::Error&) {
        refuse_unreadable(failure);
    }
    check_tokens(tokens, sql);
    try {
        return parse_one(sql, tokens);
    } catch (const zv::Error&) {
        if (PyErr_ExceptionMatches(names.guard_error.get())) throw;
        refuse_unreadable(failure);
    }
}

/// The statement as MySQL text: every name quoted, no comments, and a
/// refusal for anything the writer cannot express. Writing may change the
/// tree, which is not read afterwards.
Ref write_statement(Borrowed tree) {
    try {
        Ref writer = zv::call(sql_parser.generator, {},
                              {{names.identify, Py_True},
                               {names.comments, Py_False},
                               {names.dialect, sql_parser.dialect}});
        return zv::call_method(writer, names.generate, {tree}, {{names.copy, Py_False}});
    } catch (const zv::Error&) {
        refuse_unreadable(unwritable);
    }
}

bool is_unquoted(Borrowed identifier, const char* name) {
    if (!is_instance(identifier, sql_parser.identifier_type)) return false;
    if (zv::truth(zv::getattr(identifier, names.quoted))) return false;
    Ref text = zv::getattr(identifier, names.this_attribute);
    return PyUnicode_Check(text.get()) && PyUnicode_CompareWithASCIIString(text.get(), name) == 0;
}

/// `FROM DUAL` names no table; written with its name quoted it would name
/// one, so it is left out.
void drop_dual(Borrowed tree) {
    Ref nodes = zv::own(PyObject_GetIter(zv::call_method(tree, names.walk).get()));
    while (Ref node = Ref::steal(PyIter_Next(nodes.get()))) {
        if (!is_instance(node, sql_parser.select_type)) continue;
        Ref arguments = zv::getattr(node, names.args);
        PyObject* from = PyDict_GetItemWithError(arguments.get(), names.from_key.get());
        if (!from || from == Py_None) continue;
        Ref table = zv::getattr(from, names.this_attribute);
        if (!is_instance(table, sql_parser.table_type)) continue;
        Ref table_arguments = zv::getattr(table, names.args);
        PyObject* db = PyDict_GetItemString(table_arguments.get(), "db");
        PyObject* alias = PyDict_GetItemString(table_arguments.get(), "alias");
        PyObject* joins = PyDict_GetItemString(arguments.get(), "joins");
        if ((db && db != Py_None) || (alias && alias != Py_None) ||
            (joins && joins != Py_None && PyObject_Length(joins) > 0))
            continue;
        if (!is_unquoted(zv::getattr(table, names.this_attribute), "DUAL") &&
            !is_unquoted(zv::getattr(table, names.this_attribute), "dual"))
            continue;
        zv::call_method(node, names.set, {names.from_key, Py_None});
    }
    if (PyErr_Occurred()) zv::raise();
}

}  // namespace

bool is_instance(Borrowed value, Borrowed types) {
    return zv::check(PyObject_IsInstance(value, types)) != 0;
}

void load_parser() {
    if (sql_parser.dialect) return;
    Ref exp = zv::own(PyImport_Import(names.expressions_module.get()));
    Ref tokens = zv::own(PyImport_Import(names.tokens_module.get()));
    Ref dialects = zv::own(PyImport_Import(names.dialects_module.get()));
    const char* const expressions_name = "sqlglot.expressions";
    const char* const token_name = "sqlglot.tokens.TokenType";
    Ref token_type = required(tokens, "sqlglot.tokens", "TokenType");
    const char* const first[] = {"SELECT", "WITH", "SHOW", "DESCRIBE", "DESC", "L_PAREN"};
    const char* const statements[] = {"Select", "SetOperation", "Subquery", "Show", "Describe"};
    const char* const described[] = {"Select", "SetOperation", "Subquery", "Table"};
    check_used_arguments(exp);
    sql_parser.first_tokens.set(required_all(token_type, token_name, first));
    sql_parser.show_token.set(required(token_type, token_name, "SHOW"));
    sql_parser.semicolon.set(required(token_type, token_name, "SEMICOLON"));
    sql_parser.statements.set(required_all(exp, expressions_name, statements));
    sql_parser.described.set(required_all(exp, expressions_name, described));
    sql_parser.refused_nodes.set(required_all(exp, expressions_name, refused_node_names));
    sql_parser.function_type.set(required(exp, expressions_name, "Func"));
    sql_parser.anonymous_type.set(required(exp, expressions_name, "Anonymous"));
    sql_parser.literal_type.set(required(exp, expressions_name, "Literal"));
    sql_parser.subquery_type.set(required(exp, expressions_name, "Subquery"));
    sql_parser.select_type.set(required(exp, expressions_name, "Select"));
    sql_parser.table_type.set(required(exp, expressions_name, "Table"));
    sql_parser.identifier_type.set(required(exp, expressions_name, "Identifier"));
    sql_parser.cte_type.set(required(exp, expressions_name, "CTE"));
    sql_parser.with_type.set(required(exp, expressions_name, "With"));
    sql_parser.dot_type.set(required(exp, expressions_name, "Dot"));
    sql_parser.show_type.set(required(exp, expressions_name, "Show"));
    sql_parser.introducer_type.set(required(exp, expressions_name, "Introducer"));
    sql_parser.json_table_type.set(required(exp, expressions_name, "JSONTable"));
    sql_parser.var_type.set(required(exp, expressions_name, "Var"));
    Ref dialect_class = required(dialects, "sqlglot.dialects.dialect", "Dialect");
    Ref dialect = zv::call_method(dialect_class, names.get_or_raise, {names.mysql_text});
    if (!zv::optional_attr(dialect, names.generator_class.get()))
        raise_missing("the dialect's generator_class");
    sql_parser.generator.set(make_generator(dialect));
    // The dialect last: it marks the parser as loaded.
    sql_parser.dialect.set(std::move(dialect));
}

namespace {

// The longest text the guard reads: the parser's time grows faster than the
// text's length, and it holds the interpreter while it reads.
constexpr Py_ssize_t longest_text = 20000;

/// Refuses text the server could not be sent (a lone surrogate has no UTF-8
/// form) and text longer than the guard reads.
void check_text(PyObject* sql) {
    if (PyUnicode_GET_LENGTH(sql) > longest_text)
        raise_guard_error(zv::own(PyUnicode_FromFormat(
            "Query refused by the read-only guard: it is longer than the guard reads (%zd "
            "characters). Ask for less in one statement.",
            longest_text)));
    Py_ssize_t length = 0;
    if (PyUnicode_AsUTF8AndSize(sql, &length)) return;
    if (!PyErr_ExceptionMatches(PyExc_UnicodeError)) zv::raise();
    PyErr_Clear();
    refuse("it holds text that is not valid Unicode (a lone surrogate)");
}

}  // namespace

Prepared prepare(PyObject* sql, bool restricted, Borrowed max_rows) {
    check_text(sql);
    load_parser();
    refuse_server_comments(sql);
    Ref first = read_statement(sql, unreadable);
    drop_dual(first);
    Ref text = write_statement(first);
    Ref tree = read_statement(text.get(), unwritable);
    check_statement(tree, restricted);
    check_row_request(tree, max_rows);
    Ref references = table_references(tree);
    Ref again = write_statement(tree);
    if (zv::check(PyObject_RichCompareBool(again.get(), text.get(), Py_EQ)) == 0)
        refuse("the SQL parser does not read back the statement it wrote from it the same way; "
               "write it more plainly");
    check_server_text(text.get());
    return {std::move(text), std::move(tree), std::move(references)};
}

}  // namespace zarvosdk_guard
