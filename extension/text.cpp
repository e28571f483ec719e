#include "text.hpp"

namespace vx {

namespace {
// Every Text links itself in here while the shared object is loaded.
constinit Text* all_texts = nullptr;
}  // namespace

Text::Text(const char* literal) noexcept : literal_(literal), next_(all_texts) {
    all_texts = this;
}

Owned intern(std::string_view text) noexcept {
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
