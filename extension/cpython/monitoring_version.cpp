#include "monitoring_version.hpp"

namespace vx::cpython {

bool monitoring_version_holds() noexcept {
    PyMonitoringState state[1] = {};
    const std::uint8_t events[1] = {PY_MONITORING_EVENT_PY_START};
    std::uint64_t version = ~std::uint64_t{0};
    (void)PyMonitoring_EnterScope(state, &version, events, 1);  // cannot fail
    (void)PyMonitoring_ExitScope();
    if (version == monitoring_version(PyThreadState_Get())) {
        return true;
    }
    PyErr_Format(PyExc_ImportError,
                 "vorlix cannot run in CPython %d.%d.%d: its monitoring version is not where "
                 "this build of vorlix reads it",
                 static_cast<int>(Py_Version >> 24 & 0xff), static_cast<int>(Py_Version >> 16 & 0xff),
                 static_cast<int>(Py_Version >> 8 & 0xff));
    return false;
}

}  // namespace vx::cpython
