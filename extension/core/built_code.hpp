// What CPython's compiler made of a module's Python text when the extension
// was built (tools/bytecode/compile_text.py writes one header of these per
// module): the parts of the code objects that the run time needs, and what
// each function's and class's code says of it. Code objects are assembled
// from the parts with the C API on first use: nothing is compiled or
// unmarshalled while the package runs, so no audit event is raised that a
// Python module's own code would not raise.
//
// Every part is a slice of the module's one string, found by its offset,
// so the tables hold no pointer for the loader to relocate.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <string_view>

#include "ref.hpp"

namespace vx::built {

struct Part {
    std::uint16_t offset;
    std::uint16_t size;
};

// A code object as the compiler made it, but for its file name, which is
// the module's `__file__` where it runs. Names are separated by spaces;
// the constants are tagged (compile_text.py's encode_constant), one of
// them perhaps the interpreter's NativeBody, which a function's `__code__`
// raises.
struct Code {
    Part name, qualname, bytecode, consts, names, varnames, freevars, linetable, exceptiontable;
    std::uint16_t const_count, argcount, posonlyargcount, stacksize;
    std::uint32_t flags;
    std::uint16_t firstlineno;
};

// A function of the text: its code, which the compiler made and the build
// gave a body that raises NativeBody (compile_text.py's native_code), and
// its annotate function's code (an index in Module::codes; -1 for none).
struct Function {
    Code code;
    std::int16_t annotate;
};

// A class of the text: the first line of its body and the attributes its
// methods assign on `self`.
struct Class {
    std::uint16_t firstlineno;
    Part static_attributes;
};

// A module's text: its functions and classes in the order the text defines
// them (a class's methods after it), and on CPython 3.15 the code of each
// run of its import statements (indices in `codes`).
struct Module {
    const char* data;
    std::span<const Code> codes;
    std::span<const Function> functions;
    std::span<const Class> classes;
    std::span<const std::uint16_t> import_runs;

    std::string_view operator[](Part part) const noexcept {
        return {data + part.offset, part.size};
    }
};

// The space-separated names of `part` as a tuple of interned str.
Owned name_tuple(const Module& text, Part part) noexcept;

// The code object of `code`, in the file `filename`, with `native_body`
// for the constant that stands for it (null when the code has none); null
// with an exception set.
Owned code_object(const Module& text, const Code& code, PyObject* filename,
                  PyObject* native_body = nullptr) noexcept;

}  // namespace vx::built
