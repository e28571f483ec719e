#include "names.hpp"

#include <atomic>
#include <cassert>

namespace vx {

namespace {
// Every Constant links itself in here while the shared object is loaded,
// before any interpreter can call into it.
constinit const Constant* all_constants = nullptr;
constinit std::size_t constant_count = 0;
// Written by each state made, always with the same count; atomic because
// states of several interpreters may be made at once.
constinit std::atomic<std::size_t> values_made = 0;
}  // namespace

Constant::Constant(Maker maker) noexcept
    : maker_(maker), slot_(constant_count++), next_(all_constants) {
    // Constants are made as the shared object loads, before any state: one
    // made later has no value in the states made already.
    assert(values_made.load(std::memory_order_relaxed) == 0);
    all_constants = this;
}

const Constant* Constant::first() noexcept { return all_constants; }

std::size_t Constant::count_for_state() noexcept {
    values_made.store(constant_count, std::memory_order_relaxed);
    return constant_count;
}

std::size_t Constant::made_count() noexcept { return values_made.load(std::memory_order_relaxed); }

PyObject* Text::make(const Constant& self) noexcept {
    return PyUnicode_InternFromString(static_cast<const Text&>(self).literal_);
}

Owned intern(std::string_view text) noexcept {
    PyObject* string = PyUnicode_FromStringAndSize(text.data(),
                                                   static_cast<Py_ssize_t>(text.size()));
    if (string != nullptr) {
        PyUnicode_InternInPlace(&string);
    }
    return steal(string);
}

const Text dunder_builtins{"__builtins__"};
const Text dunder_file{"__file__"};
const Text dunder_module{"__module__"};
const Text dunder_name{"__name__"};
const Text dunder_spec{"__spec__"};
const Text has_location{"has_location"};
const Text origin_attribute{"origin"};
const Text search_locations{"submodule_search_locations"};
const Text name_attribute{"name"};
const Text co_consts_attribute{"co_consts"};
const Text importlib_bootstrap{"_frozen_importlib"};

}  // namespace vx
