#include "import_statements.hpp"

#if PY_VERSION_HEX >= 0x030F0000

#include <atomic>
#include <cstdint>
#include <string_view>

#include "../core/lookup.hpp"
#include "../core/names.hpp"
#include "../core/state.hpp"

namespace vx {

namespace {

// Where a part of built code stands in built_data.
struct Part {
    std::uint16_t offset;
    std::uint16_t size;
};

// A run of import statements as the build compiled it
// (tools/bytecode/import_code.py): its source text, and the parts of its
// code object but the file name. The names are separated by spaces; so are
// the constants, each an int or the one name of an import's from-list.
struct BuiltCode {
    Part text;
    Part code;
    Part names;
    Part consts;
    Part linetable;
    Part exception_table;
    std::uint16_t name_count;
    std::uint16_t const_count;
    int stacksize;
    int flags;
    int first_line;
};

// built_magic, the magic number of the byte code the build compiled to;
// built_data, the parts; built_code[], an entry for each run of each
// module.
#include "import_code.inc"

std::string_view part(Part where) noexcept { return {built_data + where.offset, where.size}; }

// Whether the running interpreter's byte code is the build's: 0 until
// asked, then 1 or -1. The same for every interpreter of the process.
std::atomic<int> same_byte_code{0};

bool runs_built_byte_code() noexcept {
    int same = same_byte_code.load(std::memory_order_relaxed);
    if (same == 0) {
        same = PyImport_GetMagicNumber() == built_magic ? 1 : -1;
        PyErr_Clear();  // no magic number to compare: compile, as before
        same_byte_code.store(same, std::memory_order_relaxed);
    }
    return same > 0;
}

Owned bytes(Part where) noexcept {
    return steal(PyBytes_FromStringAndSize(built_data + where.offset, where.size));
}

// The space-separated words of `where`, each made an object by `make`.
template <typename Make>
Owned tuple_of(Part where, std::size_t count, Make make) noexcept {
    Owned tuple = steal(PyTuple_New(static_cast<Py_ssize_t>(count)));
    const char* next = built_data + where.offset;
    const char* const end = next + where.size;
    for (std::size_t i = 0; tuple && i < count; ++i) {
        const char* word_end = next;
        while (word_end != end && *word_end != ' ') {
            ++word_end;
        }
        Owned item = make(std::string_view{next, static_cast<std::size_t>(word_end - next)});
        if (!item) {
            return {};
        }
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item.release());
        next = word_end == end ? end : word_end + 1;
    }
    return tuple;
}

// A constant: digits are an int, a name the from-list that holds it.
Owned built_const(std::string_view word) noexcept {
    if (word.empty() || word[0] < '0' || word[0] > '9') {
        const Owned name = intern(word);
        return name ? steal(PyTuple_Pack(1, name.get())) : Owned{};
    }
    long number = 0;
    for (const char digit : word) {
        number = (number * 10) + (digit - '0');
    }
    return steal(PyLong_FromLong(number));
}

// The code for `text`, in `file`, as compiling it makes it, when the build
// compiled the same text for this byte code: putting its parts together
// costs a fraction of what the parser and the compiler cost at every
// start. Null without an error when the build has no such code.
Owned built_code_for(const char* text, PyObject* file) noexcept {
    const BuiltCode* found = nullptr;
    for (const BuiltCode& entry : built_code) {
        if (part(entry.text) == text) {
            found = &entry;
        }
    }
    if (found == nullptr || !runs_built_byte_code()) {
        return {};
    }
    // Audit hooks learn of the source that becomes code, as when it is
    // compiled here.
    if (PySys_Audit("compile", "yO", text, file) < 0) {
        return {};
    }
    const Owned code = bytes(found->code);
    const Owned names = code ? tuple_of(found->names, found->name_count, intern) : Owned{};
    const Owned consts = names ? tuple_of(found->consts, found->const_count, built_const) : Owned{};
    const Owned linetable = consts ? bytes(found->linetable) : Owned{};
    const Owned exception_table = linetable ? bytes(found->exception_table) : Owned{};
    const Owned module_name = exception_table ? intern("<module>") : Owned{};
    if (!module_name) {
        return {};
    }
    PyObject* none = Py_GetConstantBorrowed(Py_CONSTANT_EMPTY_TUPLE);
    return steal(reinterpret_cast<PyObject*>(
        PyUnstable_Code_NewWithPosOnlyArgs(0, 0, 0, 0, found->stacksize, found->flags, code.get(),
                                           consts.get(), names.get(), none, none, none, file,
                                           module_name.get(), module_name.get(), found->first_line,
                                           linetable.get(), exception_table.get())));
}

}  // namespace

ImportStatements::ImportStatements() noexcept
    : active_(PyImport_GetLazyImportsMode() == PyImport_LAZY_ALL) {}

void ImportStatements::append(std::string_view text) noexcept {
    for (const char c : text) {
        if (size_ + 1 >= sizeof text_) {
            overflowed_ = true;
            return;
        }
        text_[size_++] = c;
    }
}

// The statement's parts in its own order, as ModuleBody hands them on.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
bool ImportStatements::add(bool from, std::string_view module, int level, std::string_view name,
                           std::string_view alias) noexcept {
    if (level > 0 && after_absolute_) {
        ++line_;
    }
    after_absolute_ = level == 0;
    for (; text_lines_ < line_; ++text_lines_) {
        append("\n");
    }
    if (from) {
        append("from ");
        for (int dot = 0; dot < level; ++dot) {
            append(".");
        }
        append(module);
        append(" import ");
    } else {
        append("import ");
    }
    append(name);
    if (!alias.empty()) {
        append(" as ");
        append(alias);
    }
    append("\n");
    ++text_lines_;
    ++line_;
    if (overflowed_) {
        PyErr_SetString(PyExc_SystemError, "vorlix: a module's import statements are too long");
        return false;
    }
    return true;
}

bool ImportStatements::run(const State& state, PyObject* globals) noexcept {
    if (size_ == 0) {
        return true;
    }
    text_[size_] = '\0';
    size_ = 0;
    text_lines_ = 1;
    const Owned file = file_of(state, globals);
    Owned code = file ? built_code_for(text_, file.get()) : Owned{};
    if (file && !code && !PyErr_Occurred()) {
        // No flags of the caller's own, as compile(..., dont_inherit=True).
        code = steal(Py_CompileStringObject(text_, file.get(), Py_file_input, nullptr, -1));
    }
    // The namespace as both globals and locals: module level, where the
    // interpreter may make an import lazy.
    const Owned result = code ? steal(PyEval_EvalCode(code.get(), globals, globals)) : Owned{};
    return static_cast<bool>(result);
}

}  // namespace vx

#endif
