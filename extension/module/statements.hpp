// A module's body as a table of statements, one row a statement, so that
// each module of the package reads like its Python text:
//
//     constexpr Statement statements[] = {
//         import_module("subprocess"),
//         define(vorlix_exception_class),
//         define(runner_function),
//     };
//
// Being data, the table is held against the module's Python text when the
// extension is built (text_check.hpp), and run in order by ModuleBody.
#pragma once

#include <span>
#include <string_view>

#include "../core/built_code.hpp"
#include "../function/function_spec.hpp"
#include "class_builder.hpp"

namespace vx {

enum class StatementKind : unsigned char {
    import_module,    // import <module>
    from_import,      // from <module> import <name> [as <target>]
    define_class,     // class ...
    define_function,  // def ...
    assign_call,      // <target> = <module>()
    assign_list,      // <target> = ["<item>", ...]
};

struct Statement {
    StatementKind kind;
    std::string_view target = {};  // the name the statement binds
    std::string_view module = {};  // the module imported (leading dots: relative), or the callable
    std::string_view name = {};  // the name imported from it
    const ClassSpec* cls = nullptr;
    const FunctionSpec* function = nullptr;
    std::span<const char* const> items = {};
};

constexpr Statement import_module(const char* module) noexcept {
    return {.kind = StatementKind::import_module, .target = module, .module = module};
}

constexpr Statement from_import(const char* module, const char* name,
                                const char* alias = nullptr) noexcept {
    return {.kind = StatementKind::from_import,
            .target = alias != nullptr ? alias : name,
            .module = module,
            .name = name};
}

constexpr Statement define(const ClassSpec& cls) noexcept {
    return {.kind = StatementKind::define_class, .target = cls.name, .cls = &cls};
}

constexpr Statement define(const FunctionSpec& function) noexcept {
    return {.kind = StatementKind::define_function, .target = function.name, .function = &function};
}

// <name> = <callable>()
constexpr Statement call(const char* name, const char* callable) noexcept {
    return {.kind = StatementKind::assign_call, .target = name, .module = callable};
}

// <name> = ["<item>", ...], a new list each time the body runs
constexpr Statement bind_list(const char* name, std::span<const char* const> items) noexcept {
    return {.kind = StatementKind::assign_list, .target = name, .items = items};
}

// A module of the shared object: its statements, and its Python text as
// the compiler made it when the extension was built.
struct ModuleCode {
    std::span<const Statement> statements;
    const built::Module& text;
};

}  // namespace vx
