// Classes made the way a class statement makes them: an ordered namespace
// (`__module__`, `__qualname__`, `__firstlineno__`, the members in source
// order, `__static_attributes__`) handed to `type` with the bases.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "../core/built_code.hpp"
#include "../function/function_spec.hpp"

namespace vx {

enum class MemberKind : unsigned char { method, property };

struct MemberSpec {
    MemberKind kind = MemberKind::method;
    FunctionSpec function;
};

constexpr MemberSpec method(const FunctionSpec& function) noexcept {
    return {MemberKind::method, function};
}

// A read-only property whose getter is the function.
constexpr MemberSpec property(const FunctionSpec& function) noexcept {
    return {MemberKind::property, function};
}

enum class Base : unsigned char { object, exception };

// The most members a class has.
inline constexpr std::size_t max_members = 12;

struct ClassSpec {
    std::string_view name;
    Base base = Base::object;
    std::span<const MemberSpec> members = {};
};

// What the module's compiled text says of a class: its first line and
// static attributes, and of each member's function, in the members' order.
struct ClassText {
    const built::Module& text;
    const built::Class& cls;
    const built::Function* members;
};

class State;

// The new class, defined in the module whose namespace is `globals`, made
// in the interpreter whose state is `state`; `name` is spec.name as the
// interned str that the module binds it under.
Owned make_class(State& state, const ClassSpec& spec, const ClassText& text, PyObject* name,
                 PyObject* globals) noexcept;

}  // namespace vx
