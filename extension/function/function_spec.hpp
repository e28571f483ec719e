// What a module file writes of a function: its name, parameters and
// annotations, and the body, a C++ function that receives the call. The
// rest of what a Python function's code says of it (its first line, its
// locals and the names it reads) comes from the module's Python text as it
// was compiled when the extension was built. The function type that runs
// them is function.hpp's.
#pragma once

#include <span>
#include <string_view>

#include "../core/fixed_list.hpp"
#include "../core/names.hpp"
#include "../core/ref.hpp"
#include "type_expr.hpp"

namespace vx {

enum class Default : unsigned char { required, none, false_ };

struct Param {
    std::string_view name;
    Default fallback = Default::required;

    constexpr Param() noexcept = default;
    // Implicit, so that a table writes a parameter as its name: {"self", "key"}.
    // NOLINTNEXTLINE(google-explicit-constructor)
    constexpr Param(const char* param_name) noexcept : name(param_name) {}
    constexpr Param(const char* param_name, Default value) noexcept
        : name(param_name), fallback(value) {}
};

struct Annotation {
    std::string_view key;  // a parameter's name, or "return"
    const TypeSpec* type;
};

class Call;
// A function body: returns a new reference, or null with an exception set.
using Body = PyObject* (*)(const Call&) noexcept;

inline constexpr std::size_t max_params = 4;

struct FunctionSpec {
    std::string_view name;
    FixedList<Param, max_params> params;
    // The last parameter collects the remaining positional arguments (*args).
    bool varargs = false;
    FixedList<Annotation, 4> annotations = {};
    Body body = nullptr;
};

// What a body receives: the arguments bound to the parameters, the
// function's globals for its name look-ups, and the constants of the
// interpreter that made it.
class Call {
public:
    Call(PyObject* function, PyObject* const* params, std::span<PyObject* const> rest,
         PyObject* const* constants) noexcept
        : function_(function), constants_(constants), params_(params), rest_(rest) {}
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;
    Call(Call&&) = delete;
    Call& operator=(Call&&) = delete;
    ~Call() { Py_XDECREF(kept_); }

    // The argument bound to parameter i (borrowed).
    PyObject* arg(std::size_t i) const noexcept { return params_[i]; }
    // The positional arguments collected by a *args parameter (borrowed).
    std::span<PyObject* const> rest() const noexcept { return rest_; }
    // A constant's value in the interpreter that made the function
    // (borrowed): an indexed load, no look-up on the call path.
    PyObject* operator[](const Constant& constant) const noexcept {
        return constants_[constant.slot()];
    }
    // A global name of the function's module, then the built-in names.
    Owned global(PyObject* name) const noexcept;
    Owned global(const Constant& name) const noexcept { return global((*this)[name]); }

    // For the traceback entry, should the body fail: a local that a Python
    // function would hold at this point besides its arguments (the runner's
    // `proc`), or an argument it has rebound (`launcher` in switch), by its
    // index in co_varnames. Bodies keep one on their failure paths only;
    // one is all any body needs, and a second replaces it.
    void keep_local(std::size_t index, PyObject* value) const noexcept {
        kept_index_ = index;
        Py_XSETREF(kept_, Py_NewRef(value));
    }
    // The kept local (borrowed) and its index; null when none was kept.
    PyObject* kept_local(std::size_t& index) const noexcept {
        index = kept_index_;
        return kept_;
    }

private:
    PyObject* function_;
    PyObject* const* constants_;
    PyObject* const* params_;
    std::span<PyObject* const> rest_;
    mutable PyObject* kept_ = nullptr;
    mutable std::size_t kept_index_ = 0;
};

}  // namespace vx
