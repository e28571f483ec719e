#include "package.hpp"

#include <atomic>
#include <cassert>
#include <cstddef>

namespace vx {

namespace {
// Written by every interpreter's import, always with the same package,
// which is constant data: nothing else needs ordering.
constinit std::atomic<const Package*> served{nullptr};
}  // namespace

void serve(const Package& package) noexcept { served.store(&package, std::memory_order_relaxed); }

const Package& served_package() noexcept {
    const Package* package = served.load(std::memory_order_relaxed);
    assert(package != nullptr);
    return *package;
}

QualifiedName qualified(char separator, std::string_view word) noexcept {
    QualifiedName name = {};
    std::size_t end = 0;
    for (const char* c = served_package().name; *c != '\0'; ++c) {
        name.text[end++] = *c;
    }
    name.text[end++] = separator;
    assert(word.size() < sizeof name.text - end);
    for (std::size_t i = 0; i < word.size() && end + 1 < sizeof name.text; ++i) {
        name.text[end++] = word[i];
    }
    return name;
}

PyObject* package_type(const PyType_Spec& spec, PyObject* base) noexcept {
    // The interpreter copies the name into the type it makes: the spelling
    // need only last the call.
    const QualifiedName name = qualified('.', spec.name);
    PyType_Spec named = spec;
    named.name = name.text;
    return PyType_FromSpecWithBases(&named, base);
}

}  // namespace vx
