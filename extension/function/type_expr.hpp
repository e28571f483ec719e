// Annotations written as type expressions, the way they read in Python:
//
//     Union<Subscript<Name<"Callable">, ListOf<Name<"str">>, None>, None>
//
// is `Callable[[str], None] | None`. Each expression is evaluated once, when
// the class or function that carries it is made, against the module's
// namespace (resolving a lazy import's placeholder there, as the
// interpreter's global look-up does) and then the built-in names, so the
// annotations hold the real objects that the names are bound to at that
// moment. Each can also write
// itself out as that source text, which is what the string format of
// annotations (help(), for one) shows.
//
// Both run at import or when a tool asks, never on a call: they are marked
// cold, so that the module files that instantiate them, built for speed,
// build these for size.
#pragma once

#include <cstddef>

#include "../core/lookup.hpp"
#include "../core/names.hpp"
#include "../core/ref.hpp"

namespace vx {

using TypeMaker = Owned (*)(const Scope&) noexcept;

// The source text of an expression, written into a fixed buffer: the
// expressions are short and known at compile time.
class TypeText {
public:
    void append(const char* text) noexcept {
        while (*text != '\0' && size_ < sizeof buffer_) {
            buffer_[size_++] = *text++;
        }
    }
    const char* data() const noexcept { return buffer_; }
    std::size_t size() const noexcept { return size_; }

private:
    char buffer_[120] = {};
    std::size_t size_ = 0;
};

using TypeWriter = void (*)(TypeText&) noexcept;

// What an annotation table holds of an expression: how to make its value
// and how to write its text.
struct TypeSpec {
    TypeMaker make;
    TypeWriter write;
};

template <std::size_t N>
struct Identifier {
    char text[N] = {};
    // Implicit, so that a name is written as its literal: Name<"str">.
    // NOLINTNEXTLINE(google-explicit-constructor)
    constexpr Identifier(const char (&literal)[N]) noexcept {
        for (std::size_t i = 0; i < N; ++i) {
            text[i] = literal[i];
        }
    }
};

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
template <Identifier identifier>
struct Name {
    static inline const Text text{identifier.text};
    [[gnu::cold]] static Owned make(const Scope& scope) noexcept {
        return type_expr_detail::lookup(scope, text);
    }
    [[gnu::cold]] static void write(TypeText& out) noexcept { out.append(identifier.text); }
};

struct None {
    [[gnu::cold]] static Owned make(const Scope&) noexcept { return add_ref(Py_None); }
    [[gnu::cold]] static void write(TypeText& out) noexcept { out.append("None"); }
};

namespace type_expr_detail {
// "a, b, c"
template <class First, class... Rest>
[[gnu::cold]] void write_list(TypeText& out) noexcept {
    First::write(out);
    ((out.append(", "), Rest::write(out)), ...);
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
    [[gnu::cold]] static void write(TypeText& out) noexcept {
        Origin::write(out);
        out.append("[");
        type_expr_detail::write_list<Args...>(out);
        out.append("]");
    }
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
    [[gnu::cold]] static void write(TypeText& out) noexcept {
        out.append("[");
        type_expr_detail::write_list<Items...>(out);
        out.append("]");
    }
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
    [[gnu::cold]] static void write(TypeText& out) noexcept {
        Left::write(out);
        out.append(" | ");
        Right::write(out);
    }
};

template <class Expr>
inline constexpr TypeSpec type = {&Expr::make, &Expr::write};

// The names that most annotations use.
using Str = Name<"str">;
using Bool = Name<"bool">;
template <class Item>
using List = Subscript<Name<"list">, Item>;
template <class Key, class Value>
using Dict = Subscript<Name<"dict">, Key, Value>;

}  // namespace vx
