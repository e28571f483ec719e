#include "text.hpp"

#include "state.hpp"

namespace vx {

namespace {
// Every Constant links itself in here while the shared object is loaded,
// before any interpreter can call into it.
constinit const Constant* all_constants = nullptr;
constinit std::size_t constant_count = 0;
}  // namespace

Constant::Constant(Maker maker) noexcept
    : maker_(maker), slot_(constant_count++), next_(all_constants) {
    all_constants = this;
}

const Constant* Constant::first() noexcept { return all_constants; }

std::size_t Constant::count() noexcept { return constant_count; }

PyObject* Constant::get() const noexcept { return (*State::current())[*this]; }

PyObject* Text::make(const Constant& self) noexcept {
    return PyUnicode_InternFromString(static_cast<const Text&>(self).literal_);
}

// Names are made while the module is imported, and each C API function that
// the interpreter's own start-up never runs pages in another stretch of the
// interpreter's code (the kernel maps 64 KiB around a first touch). So names
// go through PyUnicode_InternFromString, like every Text, rather than
// PyUnicode_InternInPlace, which only a long name still needs.
Owned intern(std::string_view text) noexcept {
    char terminated[64];
    if (text.size() < sizeof terminated) {
        for (std::size_t i = 0; i < text.size(); ++i) {
            terminated[i] = text[i];
        }
        terminated[text.size()] = '\0';
        return steal(PyUnicode_InternFromString(terminated));
    }
    PyObject* string = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (string != nullptr) {
        PyUnicode_InternInPlace(&string);
    }
    return steal(string);
}

}  // namespace vx
