#include "text.hpp"

namespace vx {

namespace {
// Every Text links itself in here while the shared object is loaded.
constinit Text* all_texts = nullptr;
}  // namespace

Text::Text(const char* literal) noexcept : literal_(literal), next_(all_texts) {
    all_texts = this;
}

// Names are made while the module is imported, and each C API function that
// the interpreter's own start-up never runs pages in another stretch of the
// interpreter's code (the kernel maps 64 KiB around a first touch). So names
// go through PyUnicode_InternFromString, like every Text, rather than
// PyUnicode_InternInPlace, which only a long name still needs.
Owned intern(std::string_view text) noexcept {
    char terminated[64];
    if (text.size() < sizeof terminated) {
        for (std::size_t i = 0; i < text.size(); ++i) {
            terminated[i] = text[i];
        }
        terminated[text.size()] = '\0';
        return steal(PyUnicode_InternFromString(terminated));
    }
    PyObject* string = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (string != nullptr) {
        PyUnicode_InternInPlace(&string);
    }
    return steal(string);
}

bool intern_all_texts() noexcept {
    for (Text* text = all_texts; text != nullptr; text = text->next_) {
        if (text->object_ == nullptr) {
            text->object_ = PyUnicode_InternFromString(text->literal_);
            if (text->object_ == nullptr) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace vx
