#include "built_code.hpp"

#include "names.hpp"
#include "package.hpp"

namespace vx::built {

namespace {

Owned bytes(std::string_view part) noexcept {
    return steal(PyBytes_FromStringAndSize(part.data(), static_cast<Py_ssize_t>(part.size())));
}

// Reads the tagged constants that compile_text.py writes: N, T, F for None,
// True, False; i<digits>; for an int; s<length>;<UTF-8> for a str; X for
// the native body; and t<count>; then the items for a tuple, which holds
// none of its own.
class ConstantReader {
public:
    ConstantReader(std::string_view text, PyObject* native_body) noexcept
        : text_(text), native_body_(native_body) {}

    // The code's constants, `count` of them.
    Owned constants(std::size_t count) noexcept {
        return items(count, [this]() noexcept { return constant(); });
    }

private:
    Owned constant() noexcept {
        if (at_ < text_.size() && text_[at_] == 't') {
            ++at_;
            return items(static_cast<std::size_t>(number()),
                         [this]() noexcept { return scalar(); });
        }
        return scalar();
    }

    Owned scalar() noexcept {
        switch (take()) {
            case 'X':
                if (native_body_ != nullptr) {
                    return add_ref(native_body_);
                }
                break;
            case 'N':
                return add_ref(Py_None);
            case 'T':
                return add_ref(Py_True);
            case 'F':
                return add_ref(Py_False);
            case 'i':
                return steal(PyLong_FromLongLong(number()));
            case 's': {
                const auto size = static_cast<std::size_t>(number());
                const std::string_view utf8 = take(size);
                return steal(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()),
                                                  "surrogatepass"));
            }
            default:
                break;
        }
        PyErr_Format(PyExc_SystemError, "%s: the built code's constants are damaged",
                     served_package().name);
        return {};
    }

    template <typename Read>
    static Owned items(std::size_t count, Read read) noexcept {
        Owned tuple = steal(PyTuple_New(static_cast<Py_ssize_t>(count)));
        for (std::size_t i = 0; tuple && i < count; ++i) {
            Owned item = read();
            if (!item) {
                return {};
            }
            PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item.release());
        }
        return tuple;
    }

    char take() noexcept { return at_ < text_.size() ? text_[at_++] : '\0'; }

    std::string_view take(std::size_t size) noexcept {
        const std::size_t start = at_;
        at_ = start + size < text_.size() ? start + size : text_.size();
        return {text_.data() + start, at_ - start};
    }

    // Digits, maybe after a minus sign, up to a semicolon.
    long long number() noexcept {
        const bool negative = at_ < text_.size() && text_[at_] == '-';
        at_ += negative ? 1 : 0;
        long long value = 0;
        for (char digit = take(); digit >= '0' && digit <= '9'; digit = take()) {
            value = (value * 10) + (digit - '0');
        }
        return negative ? -value : value;
    }

    std::string_view text_;
    PyObject* native_body_;
    std::size_t at_ = 0;
};

}  // namespace

Owned name_tuple(const Module& text, Part part) noexcept {
    const std::string_view names = text[part];
    std::size_t count = names.empty() ? 0 : 1;
    for (const char c : names) {
        count += c == ' ' ? 1 : 0;
    }
    Owned tuple = steal(PyTuple_New(static_cast<Py_ssize_t>(count)));
    std::size_t start = 0;
    for (std::size_t i = 0; tuple && i < count; ++i) {
        std::size_t end = start;
        while (end < names.size() && names[end] != ' ') {
            ++end;
        }
        Owned name = intern({names.data() + start, end - start});
        if (!name) {
            return {};
        }
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), name.release());
        start = end + 1;
    }
    return tuple;
}

// The file, then what stands for the native body, as the header says.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
Owned code_object(const Module& text, const Code& code, PyObject* filename,
                  PyObject* native_body) noexcept {
    const Owned name = intern(text[code.name]);
    const Owned qualname = name ? intern(text[code.qualname]) : Owned{};
    const Owned bytecode = qualname ? bytes(text[code.bytecode]) : Owned{};
    const Owned consts =
        bytecode ? ConstantReader(text[code.consts], native_body).constants(code.const_count)
                 : Owned{};
    const Owned names = consts ? name_tuple(text, code.names) : Owned{};
    const Owned varnames = names ? name_tuple(text, code.varnames) : Owned{};
    const Owned freevars = varnames ? name_tuple(text, code.freevars) : Owned{};
    const Owned linetable = freevars ? bytes(text[code.linetable]) : Owned{};
    const Owned exceptiontable = linetable ? bytes(text[code.exceptiontable]) : Owned{};
    if (!exceptiontable) {
        return {};
    }
    PyObject* none = Py_GetConstantBorrowed(Py_CONSTANT_EMPTY_TUPLE);
    const auto nlocals = static_cast<int>(PyTuple_GET_SIZE(varnames.get()));
    return steal(reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
        code.argcount, code.posonlyargcount, 0, nlocals, code.stacksize,
        static_cast<int>(code.flags), bytecode.get(), consts.get(), names.get(), varnames.get(),
        freevars.get(), none, filename, name.get(), qualname.get(), code.firstlineno,
        linetable.get(), exceptiontable.get())));
}

}  // namespace vx::built
