// Annotations written as type expressions, the way they read in Python:
//
//     Union<Subscript<Name<"Callable">, ListOf<Name<"str">>, None>, None>
//
// is `Callable[[str], None] | None`. Each expression is evaluated once, when
// the class or function that carries it is made, against the module's
// namespace (resolving a lazy import's placeholder there, as the
// interpreter's global look-up does) and then the built-in names, so the
// annotations hold the real objects that the names are bound to at that
// moment. Each also spells its source text at compile time, which the
// build holds against the module's Python text.
//
// Evaluation runs at import, never on a call: marked cold, so that the
// module files that instantiate it, built for speed, build it for size.
#pragma once

#include <cstddef>
#include <string_view>

#include "../core/lookup.hpp"
#include "../core/names.hpp"
#include "../core/ref.hpp"

namespace vx {

using TypeMaker = Owned (*)(const Scope&) noexcept;

// What an annotation table points to for an expression: how to make its
// value, and its source text. One for each expression, however many
// annotations name it.
struct TypeSpec {
    TypeMaker make;
    std::string_view source;
};

// Text fixed at compile time: an expression's source, joined from its
// parts'. A literal type, so that a name is a template argument:
// Name<"str">.
template <std::size_t N>
struct FixedText {
    char chars[N + 1] = {};

    constexpr FixedText() noexcept = default;
    // Implicit, so that a name is written as its literal.
    // NOLINTNEXTLINE(google-explicit-constructor)
    constexpr FixedText(const char (&literal)[N + 1]) noexcept {
        for (std::size_t i = 0; i < N; ++i) {
            chars[i] = literal[i];
        }
    }
    constexpr std::string_view view() const noexcept { return {chars, N}; }
};

template <std::size_t N>
FixedText(const char (&)[N]) -> FixedText<N - 1>;

template <std::size_t... N>
constexpr FixedText<(N + ... + 0)> join(const FixedText<N>&... parts) noexcept {
    FixedText<(N + ... + 0)> joined;
    std::size_t at = 0;
    ((std::char_traits<char>::copy(joined.chars + at, parts.chars, N), at += N), ...);
    return joined;
}

namespace type_expr_detail {
Owned lookup(const Scope& scope, const Constant& name) noexcept;
Owned subscript(Owned origin, Owned key) noexcept;
Owned pack_tuple(Owned* items, std::size_t count) noexcept;
Owned pack_list(Owned* items, std::size_t count) noexcept;
Owned union_of(Owned left, Owned right) noexcept;
}  // namespace type_expr_detail

// A name, as `str` or `App` in an annotation. Each is interned once per
// interpreter, with the other constants, rather than at every annotation
// that names it.
template <FixedText identifier>
struct Name {
    static constexpr auto source = identifier;
    static inline const Text text{identifier.chars};
    [[gnu::cold]] static Owned make(const Scope& scope) noexcept {
        return type_expr_detail::lookup(scope, text);
    }
};

struct None {
    static constexpr FixedText source = "None";
    [[gnu::cold]] static Owned make(const Scope&) noexcept { return add_ref(Py_None); }
};

namespace type_expr_detail {
// "a, b, c"
template <class First, class... Rest>
constexpr auto list_source() noexcept {
    return join(First::source, join(FixedText(", "), Rest::source)...);
}

// Makes the items into `items` as Python evaluates those of a subscript or
// a display: left to right, and none after the first that fails, so that
// no look-up runs with an exception set. False with it set.
template <class... Items>
[[gnu::cold]] bool make_items(const Scope& scope, Owned* items) noexcept {
    Owned* next = items;
    return ((*next = Items::make(scope), static_cast<bool>(*next++)) && ...);
}
}  // namespace type_expr_detail

// origin[arg] or origin[arg, ...]
template <class Origin, class... Args>
struct Subscript {
    static_assert(sizeof...(Args) > 0);
    [[gnu::cold]] static Owned make(const Scope& scope) noexcept {
        Owned origin = Origin::make(scope);
        if (!origin) {
            return {};
        }
        if constexpr (sizeof...(Args) == 1) {
            return type_expr_detail::subscript(std::move(origin), (Args::make(scope), ...));
        } else {
            Owned items[sizeof...(Args)];
            if (!type_expr_detail::make_items<Args...>(scope, items)) {
                return {};
            }
            return type_expr_detail::subscript(std::move(origin),
                                               type_expr_detail::pack_tuple(items,
                                                                            sizeof...(Args)));
        }
    }
    static constexpr auto source = join(Origin::source, FixedText("["),
                                        type_expr_detail::list_source<Args...>(), FixedText("]"));
};

// A list display, as the `[str]` of `Callable[[str], None]`.
template <class... Items>
struct ListOf {
    [[gnu::cold]] static Owned make(const Scope& scope) noexcept {
        Owned items[sizeof...(Items)];
        if (!type_expr_detail::make_items<Items...>(scope, items)) {
            return {};
        }
        return type_expr_detail::pack_list(items, sizeof...(Items));
    }
    static constexpr auto source = join(FixedText("["), type_expr_detail::list_source<Items...>(),
                                        FixedText("]"));
};

// left | right
template <class Left, class Right>
struct Union {
    [[gnu::cold]] static Owned make(const Scope& scope) noexcept {
        Owned left = Left::make(scope);
        if (!left) {
            return {};
        }
        return type_expr_detail::union_of(std::move(left), Right::make(scope));
    }
    static constexpr auto source = join(Left::source, FixedText(" | "), Right::source);
};

template <class Expr>
inline constexpr TypeSpec type_spec = {&Expr::make, Expr::source.view()};

template <class Expr>
inline constexpr const TypeSpec* type = &type_spec<Expr>;

// The names that most annotations use.
using Str = Name<"str">;
using Bool = Name<"bool">;
template <class Item>
using List = Subscript<Name<"list">, Item>;
template <class Key, class Value>
using Dict = Subscript<Name<"dict">, Key, Value>;

}  // namespace vx
