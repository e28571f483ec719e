#include "internals.hpp"

#include <atomic>

#include "bytecode_magic.hpp"
#include "lazy_import_type.hpp"
#include "traceback_line.hpp"

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
    const bool fits = bytecode_is_the_builds() && frame_layout_fits(&PyFrame_Type)
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
