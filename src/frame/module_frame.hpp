// Process-wide state of one module and its create / exec steps.
#pragma once
#include <Python.h>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include "ref.hpp"
#include "error.hpp"

namespace zv {

struct ModuleFrame;

/// Runs the module's top level, statement by statement. Throws `Error` on failure.
using ModuleBody = void (*)(ModuleFrame&);
/// Makes the module's interned names and constants. Throws `Error` on failure.
using ModuleConstants = void (*)();

/// The most host builtins a module resolves at exec.
constexpr std::size_t max_builtins = 4;

/// The names of the host builtins a module resolves at exec: none, or a list
/// whose length is checked against `max_builtins` when the module is compiled.
struct BuiltinNames {
    const char* const* names = nullptr;
    std::size_t count = 0;

    constexpr BuiltinNames() noexcept = default;
    constexpr BuiltinNames(std::nullptr_t) noexcept {}
    template <std::size_t N>
    constexpr BuiltinNames(const char* const (&list)[N]) noexcept : names(list), count(N) {
        static_assert(N <= max_builtins, "more builtins than ModuleFrame::builtins holds");
    }
};

struct ModuleFrame {
    PyModuleDef def;  // first member: the host hands it back to create / exec

    // What the module is.
    const char* short_name;      // "base"
    const char* qualified_name;  // "zarvosdk.base"
    const char* version_name;    // "zarvosdk.base" ("zarvosdk.__init__" for the package)
    const char* init_name;       // "init zarvosdk.base": traceback entry of a failed exec
    const char* source_file;     // file named in traceback entries and code objects
    BuiltinNames builtin_names;  // builtins resolved once at exec
    ModuleConstants constants;
    ModuleBody body;
    bool registers_coroutine_type;

    // Process-wide state.
    int64_t interpreter = -1;  // the interpreter that first created the module
    Persistent module;         // set while exec runs and after it succeeded
    PyObject* globals = nullptr;  // the module's namespace (borrowed from `module`)
    Persistent name;              // the qualified name, interned
    Persistent builtins[max_builtins];  // resolved builtins, in the order of builtin_names
    int line = 0;                 // source line of the top-level statement being run

    /// Looks a module-global name up: the namespace, then the builtins (new reference).
    Ref global(PyObject* name) const;
    /// Adds a traceback entry "module.qualname" for an exception caught inside a
    /// function, as the host does for a frame that handles its own exception.
    /// `cache` keeps the entry's code object for later failures.
    void add_traceback(Persistent& cache, const char* qualname, int line) const noexcept;
    /// Binds a module-global name.
    void set(PyObject* name, PyObject* value) const;
    void set(const char* name, PyObject* value) const;
};

static_assert(std::is_standard_layout<ModuleFrame>::value, "def must be reachable from the frame");

/// Describes a module; the process-wide state starts empty.
ModuleFrame module_frame(const char* short_name, const char* qualified_name,
                         const char* version_name, const char* init_name,
                         const char* source_file, BuiltinNames builtin_names,
                         ModuleConstants constants, ModuleBody body,
                         bool registers_coroutine_type = false);

/// Fills in the module definition and returns it through PyModuleDef_Init
/// (the body of every exported init entry).
PyObject* init_module(ModuleFrame& frame) noexcept;

/// Interns a text for the life of the process (new reference semantics hidden: the
/// returned object is owned by `slot`).
PyObject* intern(Persistent& slot, const char* text);

/// The host's builtins module (borrowed).
PyObject* builtins_module();

}  // namespace zv

/// Marks the top-level statement that starts on this line (for the init traceback entry).
#define ZV_LINE(frame) ((frame).line = __LINE__)

/// X-macro helpers for a module's table of interned names:
///   #define NAMES(X) X(llm) X(toolkit)
///   struct { NAMES(ZV_DECLARE_NAME) } n;   ...   NAMES(ZV_INTERN_NAME)
#define ZV_DECLARE_NAME(id) ::zv::Persistent id;
#define ZV_INTERN_NAME(id) ::zv::intern(n.id, #id);
