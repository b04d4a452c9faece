// Process-wide state of one module and its create / exec steps.
#pragma once
#include <Python.h>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include "compat.hpp"
#include "ref.hpp"
#include "error.hpp"

namespace zv {

struct ModuleState;

/// Runs the module's top level, statement by statement. Throws `Error` on failure.
using ModuleBody = void (*)(ModuleState&);
/// Makes the module's interned names and constants. Throws `Error` on failure.
using ModuleConstants = void (*)();

/// An interned name of a module's table. Looked up as a module-global name,
/// it keeps what it found in the module's namespace for as long as the
/// namespace is unchanged, so a rebinding is seen by the next lookup.
class Name : public Persistent {
private:
    friend struct ModuleState;
    mutable std::uint64_t version_ = 0;  // the namespace's version when cached
    mutable PyObject* value_ = nullptr;  // borrowed: the namespace holds it
};

/// A host builtin a module resolves once at exec, into the named slot.
struct Builtin {
    const char* name;
    Persistent* slot;
};

/// Another module that a name of a `from module import name` statement may be
/// found in, when a later release of the library moved it there: the
/// statement tries its own module first, then each home listed for the name,
/// in order.
struct NameHome {
    const char* name;
    const char* home;
};

/// What a module is, filled field by field where the module is defined.
struct ModuleDescription {
    const char* qualified_name = nullptr;  // "zarvosdk.base"; the short name is its last part
    const char* version_name = nullptr;    // in the version warning; the qualified name if null
    const char* source_file = nullptr;     // named in traceback entries and code objects
    ModuleConstants constants = nullptr;
    ModuleBody body = nullptr;
    bool registers_coroutine_type = false;
    const Builtin* builtins = nullptr;
    std::size_t builtin_count = 0;

    const NameHome* name_homes = nullptr;
    std::size_t name_home_count = 0;

    /// The builtins the module's code uses.
    template <std::size_t N>
    void uses_builtins(const Builtin (&list)[N]) noexcept {
        builtins = list;
        builtin_count = N;
    }
    /// Where the module's from-imports look for a name their own module lacks.
    template <std::size_t N>
    void finds_moved_names(const NameHome (&table)[N]) noexcept {
        name_homes = table;
        name_home_count = N;
    }
};

struct ModuleState {
    PyModuleDef def;  // first member: the host hands it back to create / exec

    // What the module is.
    const char* short_name;      // "base"
    const char* qualified_name;  // "zarvosdk.base"
    const char* version_name;    // "zarvosdk.base" ("zarvosdk.__init__" for the package)
    char init_name[64];          // "init zarvosdk.base": traceback entry of a failed exec
    const char* source_file;
    const Builtin* builtins;
    std::size_t builtin_count;
    const NameHome* name_homes;
    std::size_t name_home_count;
    ModuleConstants constants;
    ModuleBody body;
    bool registers_coroutine_type;

    // Process-wide state.
    int64_t interpreter = -1;  // the interpreter that first created the module
    Persistent module;         // set while exec runs and after it succeeded
    PyObject* globals = nullptr;  // the module's namespace (borrowed from `module`)
    Persistent name;              // the qualified name, interned
    int line = 0;                 // source line of the top-level statement being run

    /// Looks a module-global name up: the namespace, then the builtins.
    Ref global(PyObject* name) const;
    /// The same for a name of the module's table, which keeps what it found
    /// in the namespace while the namespace is unchanged.
    Ref global(const Name& name) const {
        std::uint64_t version;
        if (name.value_ && globals && compat::dict_version(globals, version) &&
            name.version_ == version)
            return Ref::borrow(name.value_);
        return lookup_and_keep(name);
    }
    /// Adds a traceback entry "module.qualname" for an exception caught inside a
    /// function, as the host does for a frame that handles its own exception.
    /// `cache` keeps the entry's frame for later failures.
    void add_traceback(Persistent& cache, const char* qualname, int line) const noexcept;
    Ref lookup_and_keep(const Name& name) const;
    /// Binds a module-global name.
    void set(Borrowed name, Borrowed value) const;
    void set(const char* name, Borrowed value) const;
};

static_assert(std::is_standard_layout<ModuleState>::value, "def must be reachable from the module state");

/// A module as `describe` fills in its description; the process-wide state starts empty.
ModuleState define_module(void (*describe)(ModuleDescription&));

/// Fills in the module definition and returns it through PyModuleDef_Init
/// (the body of every exported init entry).
PyObject* init_module(ModuleState& state) noexcept;

/// Interns a text into `slot` for the life of the process; returns it (owned by `slot`).
PyObject* intern(Persistent& slot, const char* text);

/// The host's builtins module (borrowed).
PyObject* builtins_module();

}  // namespace zv

/// Marks the top-level statement that starts on this line (for the init traceback entry).
#define ZV_LINE(state) ((state).line = __LINE__)

/// X-macro helpers for a module's tables. Names are their own text, texts
/// carry theirs, builtins are resolved by their name:
///   #define NAMES(X) X(llm) X(toolkit)
///   #define TEXTS(X) X(colon, ":")
///   #define BUILTINS(X) X(print)
///   struct { NAMES(ZV_DECLARE_NAME) TEXTS(ZV_DECLARE_TEXT) } names;
///   ZV_BUILTINS(BUILTINS);      // `builtins.print`, and `builtin_table` for uses_builtins
///   ...   ZV_INTERN_TABLES(NAMES, TEXTS)    // in the module's constants function
#define ZV_DECLARE_NAME(id) ::zv::Name id;
#define ZV_DECLARE_TEXT(id, text) ::zv::Persistent id;
#define ZV_DECLARE_BUILTIN(id) ::zv::Persistent id;
#define ZV_INTERN_NAME(id) ::zv::intern(names.id, #id);
#define ZV_INTERN_TEXT(id, text) ::zv::intern(names.id, text);
#define ZV_BUILTIN_ENTRY(id) {#id, &builtins.id},

/// The module's builtins: a struct `builtins` of their slots, and
/// `builtin_table`, which names them for `ModuleDescription::uses_builtins`.
#define ZV_BUILTINS(LIST)                       \
    struct {                                    \
        LIST(ZV_DECLARE_BUILTIN)                \
    } builtins;                                 \
    const ::zv::Builtin builtin_table[] = {LIST(ZV_BUILTIN_ENTRY)}

/// Interns every name and text of the module's tables into `names`.
#define ZV_INTERN_TABLES(NAMES, TEXTS) NAMES(ZV_INTERN_NAME) TEXTS(ZV_INTERN_TEXT)
