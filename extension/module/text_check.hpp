// What a module's statement table says, spelt as its Python text spells it,
// at compile time: the build holds each statement and each class member of
// the table against the module's Python text (the `agrees<table>()` that
// tools/bytecode/compile_text.py writes for it), and a difference stops
// the build with the line of the text that the table no longer says.
//
// The spelling is the text's own, normalised: `def name(params) -> result`
// with each parameter's annotation and default, `@property ` before a
// property's getter, `class Name(Base)`, `from .module import name as
// alias`, `name = callable()`, `name = ["item", ...]`.
#pragma once

#include <cstddef>
#include <string_view>

#include "statements.hpp"

namespace vx {

namespace text_check_detail {

// A spelling made at compile time. Longer than any statement needs: one
// that would not fit spells nothing that a text could.
class Spelling {
public:
    constexpr Spelling& operator<<(std::string_view part) noexcept {
        for (const char c : part) {
            if (size_ == sizeof chars_) {
                overflowed_ = true;
                return *this;
            }
            chars_[size_++] = c;
        }
        return *this;
    }
    constexpr bool operator==(std::string_view text) const noexcept {
        return !overflowed_ && std::string_view{chars_, size_} == text;
    }

private:
    char chars_[240] = {};
    std::size_t size_ = 0;
    bool overflowed_ = false;
};

constexpr const Annotation* annotation_of(const FunctionSpec& function,
                                          std::string_view key) noexcept {
    for (const Annotation& annotation : function.annotations) {
        if (annotation.key == key) {
            return &annotation;
        }
    }
    return nullptr;
}

// Whether the annotations stand in the order a definition makes them,
// parameters first, then the result, each on a name the function has.
constexpr bool annotations_in_order(const FunctionSpec& function) noexcept {
    std::size_t next = 0;
    for (const Param& param : function.params) {
        if (next < function.annotations.size() && function.annotations[next].key == param.name) {
            ++next;
        }
    }
    if (next < function.annotations.size() && function.annotations[next].key == "return") {
        ++next;
    }
    return next == function.annotations.size();
}

constexpr void spell(Spelling& out, const FunctionSpec& function) noexcept {
    out << "def " << function.name << "(";
    for (std::size_t i = 0; i < function.params.size(); ++i) {
        const Param& param = function.params[i];
        out << (i > 0 ? ", " : "")
            << (function.varargs && i + 1 == function.params.size() ? "*" : "") << param.name;
        if (const Annotation* annotation = annotation_of(function, param.name)) {
            out << ": " << annotation->type->source;
        }
        if (param.fallback == Default::none) {
            out << " = None";
        } else if (param.fallback == Default::false_) {
            out << " = False";
        }
    }
    out << ")";
    if (const Annotation* result = annotation_of(function, "return")) {
        out << " -> " << result->type->source;
    }
    if (!annotations_in_order(function)) {
        out << " (annotations out of the definition's order)";
    }
}

constexpr Spelling spelling(const Statement& statement) noexcept {
    Spelling out;
    switch (statement.kind) {
        case StatementKind::import_module:
            out << "import " << statement.module;
            break;
        case StatementKind::from_import:
            out << "from " << statement.module << " import " << statement.name;
            if (statement.target != statement.name) {
                out << " as " << statement.target;
            }
            break;
        case StatementKind::define_class:
            out << "class " << statement.cls->name
                << (statement.cls->base == Base::exception ? "(Exception)" : "");
            break;
        case StatementKind::define_function:
            spell(out, *statement.function);
            break;
        case StatementKind::assign_call:
            out << statement.target << " = " << statement.module << "()";
            break;
        case StatementKind::assign_list:
            out << statement.target << " = [";
            for (std::size_t i = 0; i < statement.items.size(); ++i) {
                out << (i > 0 ? ", \"" : "\"") << statement.items[i] << "\"";
            }
            out << "]";
            break;
    }
    return out;
}

}  // namespace text_check_detail

// Whether the table's statement spells `text`.
consteval bool statement_is(const Statement& statement, std::string_view text) {
    return text_check_detail::spelling(statement) == text;
}

// How many members the table's class statement has.
consteval std::size_t member_count(const Statement& statement) {
    return statement.cls != nullptr ? statement.cls->members.size() : 0;
}

// Whether member `index` of the table's class statement spells `text`.
consteval bool member_is(const Statement& statement, std::size_t index, std::string_view text) {
    if (statement.cls == nullptr || index >= statement.cls->members.size()) {
        return false;
    }
    const MemberSpec& member = statement.cls->members[index];
    text_check_detail::Spelling out;
    out << (member.kind == MemberKind::property ? "@property " : "");
    text_check_detail::spell(out, member.function);
    return out == text;
}

}  // namespace vx
