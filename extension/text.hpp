// Interned string constants. Each `Text` is declared where it is used, as a
// namespace-scope object; all of them are made into interned Python strings
// once per process, before any module body runs, so that hot paths use them
// without a check and without a way to fail.
#pragma once

#include <Python.h>

#include <string_view>

#include "ref.hpp"

namespace vx {

class Text {
public:
    explicit Text(const char* literal) noexcept;

    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;

    // Borrowed; lives for the rest of the process.
    PyObject* get() const noexcept { return object_; }
    operator PyObject*() const noexcept { return object_; }
    const char* c_str() const noexcept { return literal_; }

private:
    friend bool intern_all_texts() noexcept;

    const char* literal_;
    PyObject* object_ = nullptr;
    Text* next_;
};

// A new interned string, for names only known at run time.
Owned intern(std::string_view text) noexcept;

// Interns every Text of the module. Returns false with an exception set.
bool intern_all_texts() noexcept;

}  // namespace vx
