#include "monitoring_version.hpp"

namespace vx::cpython {

std::atomic<std::uint64_t> monitoring_version_unconfirmed{0};

bool confirm_monitoring_version(PyThreadState* thread, std::uint64_t version) noexcept {
    if (monitoring_version(thread) == version) {
        return true;
    }
    monitoring_version_unconfirmed.store(1, std::memory_order_relaxed);
    return false;
}

}  // namespace vx::cpython
