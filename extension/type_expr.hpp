// Annotations written as type expressions, the way they read in Python:
//
//     Union<Subscript<Name<"Callable">, ListOf<Name<"str">>, None>, None>
//
// is `Callable[[str], None] | None`. Each expression is evaluated once, when
// the class or function that carries it is made, against the module's
// namespace and then the built-in names, so the annotations hold the real
// objects that the names are bound to at that moment.
#pragma once

#include <cstddef>

#include "lookup.hpp"
#include "ref.hpp"

namespace vx {

// Where the names of an expression are looked up.
struct Scope {
    PyObject* globals;
    PyObject* builtins;
};

using TypeMaker = Owned (*)(const Scope&) noexcept;

template <std::size_t N>
struct Identifier {
    char text[N];
    constexpr Identifier(const char (&literal)[N]) noexcept {
        for (std::size_t i = 0; i < N; ++i) {
            text[i] = literal[i];
        }
    }
};

namespace type_expr_detail {
Owned lookup(const Scope& scope, const char* identifier) noexcept;
Owned subscript(Owned origin, Owned key) noexcept;
Owned pack_tuple(Owned* items, std::size_t count) noexcept;
Owned pack_list(Owned* items, std::size_t count) noexcept;
Owned union_of(Owned left, Owned right) noexcept;
}  // namespace type_expr_detail

// A name, as `str` or `App` in an annotation.
template <Identifier identifier>
struct Name {
    static Owned make(const Scope& scope) noexcept {
        return type_expr_detail::lookup(scope, identifier.text);
    }
};

struct None {
    static Owned make(const Scope&) noexcept { return add_ref(Py_None); }
};

// origin[arg] or origin[arg, ...]
template <class Origin, class... Args>
struct Subscript {
    static_assert(sizeof...(Args) > 0);
    static Owned make(const Scope& scope) noexcept {
        Owned origin = Origin::make(scope);
        if (!origin) {
            return {};
        }
        if constexpr (sizeof...(Args) == 1) {
            return type_expr_detail::subscript(std::move(origin), (Args::make(scope), ...));
        } else {
            Owned items[] = {Args::make(scope)...};
            return type_expr_detail::subscript(std::move(origin),
                                               type_expr_detail::pack_tuple(items, sizeof...(Args)));
        }
    }
};

// A list display, as the `[str]` of `Callable[[str], None]`.
template <class... Items>
struct ListOf {
    static Owned make(const Scope& scope) noexcept {
        Owned items[] = {Items::make(scope)...};
        return type_expr_detail::pack_list(items, sizeof...(Items));
    }
};

// left | right
template <class Left, class Right>
struct Union {
    static Owned make(const Scope& scope) noexcept {
        Owned left = Left::make(scope);
        if (!left) {
            return {};
        }
        return type_expr_detail::union_of(std::move(left), Right::make(scope));
    }
};

template <class Expr>
inline constexpr TypeMaker type = &Expr::make;

// The names that most annotations use.
using Str = Name<"str">;
using Bool = Name<"bool">;
template <class Item>
using List = Subscript<Name<"list">, Item>;
template <class Key, class Value>
using Dict = Subscript<Name<"dict">, Key, Value>;

}  // namespace vx
