// The package the shared object serves, as its entry point handed it over
// (module_table.hpp): the runtime names no package of its own, and speaks
// for this one wherever a user sees it. Its name makes the package
// directory and its files (module/module_frame.hpp), the state's key
// (state.cpp), the `__module__` and dotted name of each type made here,
// and the first word of the runtime's messages.
#pragma once

#include <Python.h>

#include <string_view>

#include "module_table.hpp"

namespace vx {

// Takes the package to serve: the entry point's, the same one whenever any
// interpreter imports it, and before anything reads it.
void serve(const Package& package) noexcept;

// The package served; everything that reads it runs within or after an
// import of the package, so it has been served.
const Package& served_package() noexcept;

// `<package><separator><word>` as a C string, the word one of the
// runtime's own (a type's name, an address in hexadecimal).
struct QualifiedName {
    char text[Package::longest_name + 32];
};
QualifiedName qualified(char separator, std::string_view word) noexcept;

// A new type made from `spec` (based on `base` unless null), whose name is
// the type's own: it is named `<package>.<name>`, so its `__module__` is
// the package's, and so is the name the interpreter's messages give it.
PyObject* package_type(const PyType_Spec& spec, PyObject* base = nullptr) noexcept;

}  // namespace vx
