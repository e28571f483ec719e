#include "loaded_path.hpp"

#include <link.h>

#include <cstdint>

namespace vx {

namespace {

struct Search {
    std::uintptr_t address;
    const char* path;
};

// Stops the walk (by returning non-zero) at the object one of whose
// loadable segments covers the address.  Segment addresses are relative to
// the object's load base.
int find_containing(dl_phdr_info* info, std::size_t, void* data) noexcept {
    auto* search = static_cast<Search*>(data);
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_LOAD) {
            continue;
        }
        const std::uintptr_t start = info->dlpi_addr + segment.p_vaddr;
        if (search->address >= start && search->address - start < segment.p_memsz) {
            search->path = info->dlpi_name;
            return 1;
        }
    }
    return 0;
}

}  // namespace

const char* loaded_path(const void* address) noexcept {
    Search search{reinterpret_cast<std::uintptr_t>(address), nullptr};
    if (dl_iterate_phdr(find_containing, &search) == 0) {
        return nullptr;
    }
    // The main program is reported with an empty name.
    return search.path != nullptr && search.path[0] != '\0' ? search.path : nullptr;
}

}  // namespace vx
