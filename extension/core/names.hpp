// Interned names and other constant objects. Each is a namespace-scope
// object that only describes the value and takes a slot number when the
// shared object is loaded; every interpreter that imports the package makes
// its own values into its State (state.hpp), since objects must not cross
// interpreters or outlive the one that made them. A name that one file
// reads is declared there; those that several files read are declared once,
// at the end of this header.
//
// A value is read through the state that the caller holds, never through
// the running interpreter:
// - `call[name]` in a function body (function_spec.hpp): one load through
//   the called function's own state, nothing looked up, so the call path
//   pays nothing for per-interpreter values; a function holds its state, so
//   its error paths read names too, even while its interpreter winds down;
// - `state[name]` everywhere else.
#pragma once

#include <Python.h>

#include <cassert>
#include <cstddef>
#include <string_view>

#include "ref.hpp"

namespace vx {

class Constant {
public:
    Constant(const Constant&) = delete;
    Constant& operator=(const Constant&) = delete;
    Constant(Constant&&) = delete;
    Constant& operator=(Constant&&) = delete;
    ~Constant() = default;

    // The constant's index among each state's values. A debug build checks
    // every read against how many values the states were made with: a
    // constant made later (a function-local static, say) has none there.
    std::size_t slot() const noexcept {
        assert(slot_ < made_count());
        return slot_;
    }

protected:
    // Makes the value: a new reference, or null with an exception set.
    using Maker = PyObject* (*)(const Constant&) noexcept;
    explicit Constant(Maker maker) noexcept;

private:
    friend class State;
    // Every constant of the shared object, linked as it is loaded.
    static const Constant* first() noexcept;
    // How many values a state makes: one for each constant linked so far,
    // which is then the count that slots are checked against.
    static std::size_t count_for_state() noexcept;
    // That count; 0 before the first state is made.
    static std::size_t made_count() noexcept;

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
// (Its one constructor makes the base; the check misreads the variadic one.)
template <std::size_t N>
// NOLINTNEXTLINE(cppcoreguidelines-pro-type-member-init)
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
    const char* literals_[N] = {};
};

template <class... Literals>
Names(Literals...) -> Names<sizeof...(Literals)>;

// A new interned string, for names only known at run time.
Owned intern(std::string_view text) noexcept;

// The names that several files read (names.cpp). Hidden, as everything but
// the entry point is: bodies read their slots directly, not through the
// global offset table.
#pragma GCC visibility push(hidden)
// Of modules and classes:
extern const Text dunder_builtins;  // "__builtins__"
extern const Text dunder_file;      // "__file__"
extern const Text dunder_module;    // "__module__"
extern const Text dunder_name;      // "__name__"
extern const Text dunder_spec;      // "__spec__"
// Of a ModuleSpec:
extern const Text has_location;      // "has_location"
extern const Text origin_attribute;  // "origin"
extern const Text search_locations;  // "submodule_search_locations"
// "name": of a ModuleSpec and a NameError.
extern const Text name_attribute;
// Of a code object:
extern const Text co_consts_attribute;  // "co_consts"
// Of the import system:
extern const Text importlib_bootstrap;   // "_frozen_importlib"
#pragma GCC visibility pop

}  // namespace vx
