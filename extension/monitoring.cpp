#include "monitoring.hpp"

namespace vx {

namespace {

// The event's state as the told tools see it. A copy: a tool that answers
// DISABLE is told again at the next call, as a code object that the
// interpreter does not run cannot be instrumented.
PyMonitoringState told(const Monitoring& monitoring, std::size_t event) noexcept {
    PyMonitoringState state = monitoring.events[event];
    state.active &= monitoring_detail::told_tools;
    return state;
}

}  // namespace

bool fire_start(Monitoring& monitoring, PyObject* code) noexcept {
    PyMonitoringState state = told(monitoring, Monitoring::start);
    return PyMonitoring_FirePyStartEvent(&state, code, 0) == 0;
}

PyObject* fire_end(Monitoring& monitoring, PyObject* code, PyObject* result) noexcept {
    if (result != nullptr) {
        PyMonitoringState state = told(monitoring, Monitoring::returned);
        if (PyMonitoring_FirePyReturnEvent(&state, code, 0, result) < 0) {
            Py_CLEAR(result);
        }
        return result;
    }
    PyMonitoringState raised = told(monitoring, Monitoring::raised);
    PyMonitoringState unwound = told(monitoring, Monitoring::unwound);
    // Each leaves the error set: the body's, or a callback's instead.
    PyMonitoring_FireRaiseEvent(&raised, code, 0);
    PyMonitoring_FirePyUnwindEvent(&unwound, code, 0);
    return nullptr;
}

}  // namespace vx
