// Keeping the framework's deprecation notices about the package's own imports
// out of the application's sight, and nothing else.
#pragma once
#include <Python.h>

namespace zv {

/// While alive, drops each deprecation notice that the framework or pydantic
/// raises on behalf of the module top level whose code is `top_level_code`:
/// the code that called `warn` belongs to one of those libraries, and the
/// first frame outside them and the import machinery runs that code. Every
/// other warning, from any thread, reaches the host's display step unchanged
/// (catch_warnings(record=True), pytest.warns and a replaced showwarning
/// included). A dropped notice leaves no record in the warnings registries.
///
/// Once-per-process notices are the exception: the framework remembers
/// itself that it gave them, so dropping them here uses them up. The
/// package's imports set off one of those on the framework's 0.3 and 1.x lines: the
/// migration notice of ConversationBufferWindowMemory, which the agent
/// module instantiates for its shared memory.
class QuietNotices {
public:
    explicit QuietNotices(PyObject* top_level_code);
    ~QuietNotices();
    QuietNotices(const QuietNotices&) = delete;
    QuietNotices& operator=(const QuietNotices&) = delete;

private:
    PyObject* code_;
};

}  // namespace zv
