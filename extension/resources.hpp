// What importlib.resources reads of the package. The package ships no
// resource files and its directory, `__path__[0]`, need not exist; it is
// read as a directory that exists and holds nothing, so that every question
// has the answer a Python package without resources gives: `files()` is a
// directory with no entries, `as_file()` gives an empty directory, and
// reading a resource raises FileNotFoundError naming it below the package
// directory. The objects are importlib.resources' Traversables: `name`,
// `is_dir()`, `is_file()`, `iterdir()`, `joinpath()` and `/`, `open()`,
// `read_bytes()` and `read_text()`.
#pragma once

#include "ref.hpp"
#include "state.hpp"

namespace vx {

// The package directory, as the package loaders' `files()` gives it. The
// type is made on the first call: most processes never ask.
Owned package_directory(State& state) noexcept;

}  // namespace vx
