#include "internals.hpp"

#include <atomic>

#include "empty_body.hpp"
#include "lazy_import_type.hpp"
#include "line_table.hpp"
#include "monitoring_version.hpp"

namespace vx::cpython {

namespace {
// 0 until checked, then 1; a failed check is made again at the next import,
// which fails the same way.
std::atomic<int> checked{0};
}  // namespace

bool check_internals() noexcept {
    if (checked.load(std::memory_order_relaxed) != 0) {
        return true;
    }
    const bool fits = check_empty_body() && check_line_table() && monitoring_version_holds()
#if PY_VERSION_HEX >= 0x030F0000
                      && find_lazy_import_type()
#endif
        ;
    if (fits) {
        checked.store(1, std::memory_order_relaxed);
    }
    return fits;
}

}  // namespace vx::cpython
