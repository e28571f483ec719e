// The modules that the shared object provides, one row each, in the order
// the package frame lists them, ended by an empty row. The package writes
// the table and hands it to the runtime (entry.hpp), which serves every
// interpreter from it and names none of the package's files. The rows are
// data only: module/run_module.hpp runs one.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <string_view>

namespace vx {

// A module's statements and its compiled Python text
// (module/statements.hpp), run after its standard attributes are set.
struct ModuleCode;

struct ModuleRow {
    std::string_view name;  // full dotted name
    bool package;
    const ModuleCode* code;
};

// The rows before the empty one, the package's own first.
using ModuleTable = std::span<const ModuleRow>;

// Not defined: a table that a Package refuses stops the build here.
void the_first_row_is_the_package_and_its_name_a_short_literal();
void every_other_row_is_a_module_below_the_package();
void the_table_ends_with_its_one_empty_row();

// A package as its entry point hands it over: its table, checked when the
// package is built, and the name of its own row, which the runtime spells
// wherever it speaks for the package (core/package.hpp).
struct Package {
    // The runtime spells names made of the package's (its types', its
    // state's key) in buffers of a fixed size.
    static constexpr std::size_t longest_name = 32;

    // (A row's code is the address of another file's object, which a
    // sanitized build cannot compare with null at compile time; the names
    // are checked instead.)
    template <std::size_t N>
    consteval explicit Package(const ModuleRow (&rows)[N]) noexcept
        : name(rows[0].name.data()), modules(rows, N - 1) {
        const std::string_view own = rows[0].name;
        // A C string too: the literal's own terminator follows it.
        const std::string_view terminated{own.data(), own.size() + 1};
        if (!rows[0].package || own.empty() || own.size() > longest_name ||
            terminated.back() != '\0') {
            the_first_row_is_the_package_and_its_name_a_short_literal();
        }
        for (const ModuleRow& row : modules.subspan(1)) {
            if (row.package || !row.name.starts_with(own) || row.name.size() <= own.size() + 1 ||
                row.name[own.size()] != '.') {
                every_other_row_is_a_module_below_the_package();
            }
        }
        if (rows[N - 1].code != nullptr || !rows[N - 1].name.empty()) {
            the_table_ends_with_its_one_empty_row();
        }
    }

    // The package's import name, which its module row gives: a C string,
    // since the version guard formats it for any CPython 3.
    const char* name;
    ModuleTable modules;
};

}  // namespace vx
