// The state of one tool object, and the host's exit.
#include <signal.h>

#include "../../frame/attributes.hpp"
#include "../../frame/call.hpp"
#include "../../frame/containers.hpp"
#include "../../frame/conversions.hpp"
#include "sandbox.hpp"

namespace zarvosdk_sandbox {

Registry& registry() {
    static Registry* the_registry = new Registry;  // never destroyed: threads may still use it at exit
    return *the_registry;
}

void destroy_session(PyObject* capsule) noexcept {
    auto* session = static_cast<SharedSession*>(PyCapsule_GetPointer(capsule, "zarvosdk.sandbox.Session"));
    if (!session) {
        PyErr_Clear();
        return;
    }
    {
        std::lock_guard<std::mutex> hold(registry().lock);
        registry().sessions.erase(session->get());
    }
    (*session)->end_from_outside();
    Py_BEGIN_ALLOW_THREADS
    delete session;
    Py_END_ALLOW_THREADS
}

/// The session of `tool`, made on its first run; it ends (and its sandbox
/// with it) when the tool is collected or the host exits.
SharedSession session_of(PyObject* tool) {
    Ref key = zv::own(PyLong_FromVoidPtr(tool));
    PyObject* found = PyDict_GetItemWithError(names.sessions.get(), key.get());
    if (!found && PyErr_Occurred()) zv::raise();
    if (!found) {
        auto session = std::make_unique<SharedSession>(std::make_shared<Session>());
        Session* raw = session->get();
        Ref capsule = zv::own(PyCapsule_New(session.get(), "zarvosdk.sandbox.Session", destroy_session));
        session.release();
        {
            std::lock_guard<std::mutex> hold(registry().lock);
            registry().sessions.insert(raw);
        }
        zv::check(PyDict_SetItem(names.sessions.get(), key.get(), capsule.get()));
        Ref pop = zv::getattr(names.sessions, names.pop);
        zv::call(zv::getattr(module_state.global(names.weakref), names.finalize), {tool, pop, key, Py_None});
        found = capsule.get();
    }
    auto* session = static_cast<SharedSession*>(PyCapsule_GetPointer(found, "zarvosdk.sandbox.Session"));
    if (!session) zv::raise();
    return *session;
}

/// Called as the host exits (registered with atexit, so before the
/// interpreter finalises): ends every sandbox, refuses new runs, and waits
/// (five seconds at most) for the threads in a run to leave it, so that none
/// comes back into an interpreter that is going.
Ref end_all_sandboxes(PyObject* const*) {
    Py_BEGIN_ALLOW_THREADS
    {
        std::unique_lock<std::mutex> hold(registry().lock);
        registry().exiting = true;
        for (Session* session : registry().sessions) session->end_from_outside();
        registry().idle.wait_for(hold, std::chrono::seconds(5), [] { return registry().runs == 0; });
    }
    Py_END_ALLOW_THREADS
    return Ref::borrow(Py_None);
}

}  // namespace zarvosdk_sandbox
