// zarvosdk.guard: text read as the server reads it.
//
// Two readers. The first looks at the model's own text for comments the
// server would run or read and the parser drops, so that the model is told
// instead of getting the answer to a statement it did not write. The second
// is the last check of the text that is to run, which the parser wrote: read
// by the server's lexical rules in the session's pinned mode (backslash
// escapes in strings, backticks for names, no ANSI quotes), it may hold no
// comment, separator, variable, escape outside strings or ODBC brace, and no
// word of a write, a lock or a refused function outside quoted text. The
// parser's writer quotes every name, so an unquoted word there is a keyword
// or a function, never a name that happens to be spelt like one.
#include <cstring>
#include "guard.hpp"
#include "../../frame/error.hpp"

namespace zarvosdk_guard {

// Functions that read, write or wait outside the statement's own rows, or
// show the server's state and other sessions: files, sleeps and busy loops,
// named locks, replication waits, sequences, the one form of LAST_INSERT_ID
// that sets the session's value, the account and the server (UUID() holds
// its network address), key files, and the functions whose one call the
// server cannot stop at the time limit (ENCRYPT hands a salt's rounds to the
// system's crypt(), KDF its iterations).
const char* const refused_function_names[] = {
    "LOAD_FILE", "SLEEP", "BENCHMARK", "GET_LOCK", "RELEASE_LOCK", "RELEASE_ALL_LOCKS",
    "IS_FREE_LOCK", "IS_USED_LOCK", "MASTER_POS_WAIT", "MASTER_GTID_WAIT", "SOURCE_POS_WAIT",
    "WAIT_FOR_EXECUTED_GTID_SET", "WAIT_UNTIL_SQL_THREAD_AFTER_GTIDS", "WSREP_SYNC_WAIT_UPTO_GTID",
    "WSREP_LAST_WRITTEN_GTID", "WSREP_LAST_SEEN_GTID", "BINLOG_GTID_POS", "NEXTVAL", "SETVAL",
    "LASTVAL", "LAST_INSERT_ID", "SYS_EXEC", "SYS_EVAL", "USER", "CURRENT_USER", "SESSION_USER",
    "SYSTEM_USER", "CURRENT_ROLE", "VERSION", "CONNECTION_ID", "FOUND_ROWS", "ROW_COUNT",
    "DES_ENCRYPT", "DES_DECRYPT", "PS_CURRENT_THREAD_ID", "PS_THREAD_ID", "UUID", "UUID_SHORT",
    "SYS_GUID", "ENCRYPT", "KDF"};

namespace {

// Keywords of writes, locks, administration and other statements, which a
// read statement as the parser writes it never holds outside quotes.
const char* const refused_keywords[] = {
    "INTO", "OUTFILE", "DUMPFILE", "UPDATE", "DELETE", "INSERT", "DROP", "ALTER", "GRANT",
    "REVOKE", "TRUNCATE", "LOCK", "LOCKED", "SHARE", "NOWAIT", "CALL", "HANDLER", "RENAME",
    "KILL", "SHUTDOWN", "INSTALL", "UNINSTALL", "FLUSH", "PURGE", "RESET", "OPTIMIZE", "REPAIR",
    "BACKUP", "XA", "PREPARE", "EXECUTE", "DEALLOCATE", "LOAD", "DO", "PROCEDURE",
    "NEXT", "PREVIOUS"};

template <std::size_t N>
bool listed(const char* const (&list)[N], const char* word, Py_ssize_t length) {
    for (const char* entry : list)
        if (static_cast<Py_ssize_t>(std::strlen(entry)) == length && strncasecmp(entry, word, length) == 0)
            return true;
    return false;
}

/// Index just past the quoted text that starts at `i` with `quote`; with
/// `escapes`, a backslash takes the next character as it is. A doubled quote
/// stands for one quote in every mode. -1 when the text ends first.
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
    return -1;
}

Py_ssize_t skip_line(const char* text, Py_ssize_t length, Py_ssize_t i) {
    while (i < length && text[i] != '\n') ++i;
    return i;
}

/// Whether `--` at `i` opens a comment for the server: it needs a blank or a
/// control character (DEL included), or the end of the text, after it.
bool dash_comment_at(const char* text, Py_ssize_t length, Py_ssize_t i) {
    if (i + 1 >= length || text[i] != '-' || text[i + 1] != '-') return false;
    if (i + 2 >= length) return true;
    unsigned char next = static_cast<unsigned char>(text[i + 2]);
    return next <= ' ' || next == 0x7f;
}

/// Whether the `/*` at `i` is one the server reads: `/*!` and `/*M!` hold SQL
/// it runs, `/*+` holds optimizer hints, which can set session variables.
bool server_comment_at(const char* text, Py_ssize_t length, Py_ssize_t i) {
    if (i + 2 >= length) return false;
    char opener = text[i + 2];
    return opener == '!' || opener == '+' || (opener == 'M' && i + 3 < length && text[i + 3] == '!');
}

/// Whether the text holds a comment the server reads, outside quoted text,
/// with backslash escapes inside quotes taken as `escapes` says.
bool has_server_comment(const char* text, Py_ssize_t length, bool escapes) {
    Py_ssize_t i = 0;
    while (i < length) {
        char character = text[i];
        if (character == '\'' || character == '"' || character == '`') {
            i = skip_quoted(text, length, i, escapes);
            if (i < 0) return false;
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

bool is_word_character(unsigned char character) {
    return (character >= 'A' && character <= 'Z') || (character >= 'a' && character <= 'z') ||
           (character >= '0' && character <= '9') || character == '_' || character == '$' ||
           character >= 0x80;
}

[[noreturn]] void refuse_word(const char* word, Py_ssize_t length) {
    Ref shown = zv::own(PyUnicode_DecodeUTF8(word, length, "replace"));
    Ref upper = zv::own(PyObject_CallMethod(shown.get(), "upper", nullptr));
    if (is_refused_function(word, length))
        refuse_named("it calls %S, which the read-only guard does not allow", upper);
    refuse_named("it holds %S, which a read statement does not", upper);
}

[[noreturn]] void refuse_written(const char* what) {
    Ref reason = zv::own(PyUnicode_FromFormat("as the server reads it, it holds %s", what));
    refuse_named("%U", reason);
}

/// The end of a quoted name at `i`, refused when it names a refused
/// function it calls: `LOAD_FILE`(...).
Py_ssize_t check_quoted_name(const char* text, Py_ssize_t length, Py_ssize_t i) {
    Py_ssize_t end = skip_quoted(text, length, i, false);
    if (end < 0) refuse_written("an unterminated name");
    Py_ssize_t after = end;
    while (after < length && (text[after] == ' ' || text[after] == '\t' || text[after] == '\n')) ++after;
    if (after < length && text[after] == '(' && is_refused_function(text + i + 1, end - i - 2))
        refuse_word(text + i + 1, end - i - 2);
    return end;
}

}  // namespace

bool is_refused_function(const char* name, Py_ssize_t length) {
    return listed(refused_function_names, name, length);
}

void refuse_server_comments(PyObject* sql) {
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(sql, &length);
    if (!text) zv::raise();
    if (has_server_comment(text, length, true) || has_server_comment(text, length, false))
        refuse("it holds a comment the server executes or reads (/*! ... */, /*M! ... */ or "
               "/*+ ... */), which a parser takes for a plain comment");
}

void check_server_text(PyObject* sql) {
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(sql, &length);
    if (!text) zv::raise();
    Py_ssize_t i = 0;
    while (i < length) {
        unsigned char character = static_cast<unsigned char>(text[i]);
        if (character == '\'' || character == '"') {
            i = skip_quoted(text, length, i, true);
            if (i < 0) refuse_written("an unterminated string");
        } else if (character == '`') {
            i = check_quoted_name(text, length, i);
        } else if (character == '#' || (character == '-' && i + 1 < length && text[i + 1] == '-') ||
                   (character == '/' && i + 1 < length && text[i + 1] == '*')) {
            refuse_written("a comment");
        } else if (character == ';') {
            refuse("it holds several statements");
        } else if (character == '@') {
            refuse("it reads a server or session variable (@name or @@name), which is not permitted");
        } else if (character == '\\' || character == '{' || character == '}') {
            refuse_written("an escape or an ODBC brace outside quoted text");
        } else if (is_word_character(character)) {
            Py_ssize_t start = i;
            while (i < length && is_word_character(static_cast<unsigned char>(text[i]))) ++i;
            if (listed(refused_keywords, text + start, i - start) ||
                is_refused_function(text + start, i - start))
                refuse_word(text + start, i - start);
        } else {
            ++i;
        }
    }
}

}  // namespace zarvosdk_guard
