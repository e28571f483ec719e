#include "monitoring_version.hpp"

#include "refusal.hpp"

namespace vx::cpython {

std::uint64_t monitoring_version_unconfirmed = 0;

bool confirm_monitoring_version(PyThreadState* thread, std::uint64_t version) noexcept {
    if (monitoring_version(thread) == version) {
        return true;
    }
    monitoring_version_unconfirmed = 1;
    return false;
}

bool monitoring_version_holds() noexcept {
    PyMonitoringState state[1] = {};
    const std::uint8_t events[1] = {PY_MONITORING_EVENT_PY_START};
    std::uint64_t version = ~std::uint64_t{0};
    (void)PyMonitoring_EnterScope(state, &version, events, 1);  // cannot fail
    (void)PyMonitoring_ExitScope();
    return confirm_monitoring_version(PyThreadState_Get(), version) ||
           refuse("its monitoring version is not where this build reads it");
}

}  // namespace vx::cpython
