// Interned names and other constant objects. Each is declared where it is
// used, as a namespace-scope object that only describes the value and takes
// a slot number when the shared object is loaded; every interpreter that
// imports the package makes its own values into its State (state.hpp), since
// objects must not cross interpreters or outlive the one that made them.
//
// Two ways to read one:
// - `call.text(name)` in a function body (function.hpp): one load through
//   the called function's own state, nothing looked up, so the call path
//   pays nothing for per-interpreter values;
// - `name` itself (it converts to PyObject*): through the running
//   interpreter's state, for code that runs at import or on error paths.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string_view>

#include "ref.hpp"

namespace vx {

class Constant {
public:
    Constant(const Constant&) = delete;
    Constant& operator=(const Constant&) = delete;

    std::size_t slot() const noexcept { return slot_; }

    // Borrowed, from the running interpreter's state; lives as long as it.
    PyObject* get() const noexcept;
    operator PyObject*() const noexcept { return get(); }

protected:
    // Makes the value: a new reference, or null with an exception set.
    using Maker = PyObject* (*)(const Constant&) noexcept;
    explicit Constant(Maker maker) noexcept;

private:
    friend class State;
    // Every constant of the shared object, linked as it is loaded.
    static const Constant* first() noexcept;
    static std::size_t count() noexcept;

    Maker maker_;
    std::size_t slot_;
    const Constant* next_;
};

// An interned string.
class Text final : public Constant {
public:
    explicit Text(const char* literal) noexcept : Constant(make), literal_(literal) {}

private:
    static PyObject* make(const Constant& self) noexcept;
    const char* literal_;
};

// A tuple of interned strings, such as the keyword names of a call.
template <std::size_t N>
class Names final : public Constant {
public:
    template <class... Literals>
    explicit Names(Literals... literals) noexcept : Constant(make), literals_{literals...} {}

private:
    static PyObject* make(const Constant& self) noexcept {
        const auto& names = static_cast<const Names&>(self);
        Owned tuple = steal(PyTuple_New(N));
        for (std::size_t i = 0; tuple && i < N; ++i) {
            PyObject* name = PyUnicode_InternFromString(names.literals_[i]);
            if (name == nullptr) {
                return nullptr;
            }
            PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), name);
        }
        return tuple.release();
    }
    const char* literals_[N];
};

template <class... Literals>
Names(Literals...) -> Names<sizeof...(Literals)>;

// A new interned string, for names only known at run time.
Owned intern(std::string_view text) noexcept;

}  // namespace vx
