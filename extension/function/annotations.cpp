// A function's annotations: made from the table its module file writes,
// evaluated at definition; `__annotate__`, the annotate function CPython's
// compiler makes for the same definition; and the two attributes that hold
// them.
//
// The annotate function is CPython's own rather than a copy of what it
// does: the definition's Python text is compiled when `__annotate__` is
// first asked for, and the annotate code it holds becomes a function with
// the module's globals and, for a method, its class's namespace. So every
// format, every owner annotationlib passes, the class-first look-up of a
// method's names, and the function's own attributes (`__code__`,
// `__qualname__`, `__module__`) are the interpreter's. Nothing of it is made
// at import.
#include <cstddef>
#include <string_view>

#include "../core/names.hpp"
#include "function_object.hpp"

namespace vx {

namespace {

const Text return_key{"return"};
const Text co_name{"co_name"};
const Text annotate_name{"__annotate__"};

// The key of an annotation, the name of a parameter or "return", as the
// interned str that the function already holds: interning it again for
// every annotation of every function made at import costs more than the
// look-up.
Owned annotation_key(const FunctionSpec& spec, const Scope& scope, PyObject* varnames,
                     std::string_view key) noexcept {
    if (key == "return") {
        return add_ref(scope.state[return_key]);
    }
    for (std::size_t i = 0; i < spec.params.size(); ++i) {
        if (spec.params[i].name == key) {
            return add_ref(PyTuple_GET_ITEM(varnames, static_cast<Py_ssize_t>(i)));
        }
    }
    return intern(key);
}

}  // namespace

Owned make_annotations(const FunctionSpec& spec, const Scope& scope, PyObject* varnames) noexcept {
    Owned annotations = steal(PyDict_New());
    if (!annotations) {
        return {};
    }
    for (const Annotation& annotation : spec.annotations) {
        const Owned key = annotation_key(spec, scope, varnames, annotation.key);
        const Owned value = key ? annotation.type.make(scope) : Owned{};
        if (!value || PyDict_SetItem(annotations.get(), key.get(), value.get()) < 0) {
            return {};
        }
    }
    return annotations;
}

namespace {

// The definition as Python text, written as the module's Python shape has
// it: the annotations as their source, the def on the function's own line
// (a property's after its decorator), a method's inside its class. The
// annotate code takes its first line, its qualified name and its
// constants from this.
class Definition {
public:
    Definition() noexcept : writer_(PyUnicodeWriter_Create(0)) {}
    Definition(const Definition&) = delete;
    Definition& operator=(const Definition&) = delete;
    Definition(Definition&&) = delete;
    Definition& operator=(Definition&&) = delete;
    ~Definition() {
        if (writer_ != nullptr) {
            PyUnicodeWriter_Discard(writer_);
        }
    }

    void text(std::string_view text) noexcept {
        if (ok_) {
            ok_ = PyUnicodeWriter_WriteUTF8(writer_, text.data(),
                                            static_cast<Py_ssize_t>(text.size())) == 0;
        }
    }
    void object(PyObject* text) noexcept {
        if (ok_) {
            ok_ = PyUnicodeWriter_WriteStr(writer_, text) == 0;
        }
    }
    // Blank lines up to `line`, the next line to write.
    void to_line(int line) noexcept {
        while (line_ < line) {
            text("\n");
            ++line_;
        }
    }
    void end_line() noexcept {
        text("\n");
        ++line_;
    }
    // `key`'s annotation, if it has one, after `separator`.
    void annotation(const FunctionSpec& spec, std::string_view key,
                    const char* separator) noexcept {
        for (const Annotation& annotation : spec.annotations) {
            if (annotation.key == key) {
                TypeText written;
                annotation.type.write(written);
                text(separator);
                text({written.data(), written.size()});
            }
        }
    }
    // The text as a new str; null with an exception set.
    Owned finish() noexcept {
        PyUnicodeWriter* writer = writer_;
        writer_ = nullptr;
        if (writer == nullptr) {
            return {};
        }
        if (!ok_) {
            PyUnicodeWriter_Discard(writer);
            return {};
        }
        return steal(PyUnicodeWriter_Finish(writer));
    }

private:
    PyUnicodeWriter* writer_;
    bool ok_ = writer_ != nullptr;
    int line_ = 1;
};

std::string_view default_text(Default fallback) noexcept {
    switch (fallback) {
        case Default::none:
            return " = None";
        case Default::false_:
            return " = False";
        case Default::required:
            break;
    }
    return "";
}

// `class API:` on the first line for a method; then
// `def switch(self, launcher: Launcher | str, start: bool = False) -> None: pass`.
Owned definition_text(const FunctionObject* function) noexcept {
    const FunctionSpec& spec = *function->spec;
    Definition out;
    std::string_view indent;
    if (function->is_method) {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(function->defined_qualname) -
                                  static_cast<Py_ssize_t>(spec.name.size()) - 1;
        const Owned class_name = steal(PyUnicode_Substring(function->defined_qualname, 0, length));
        if (!class_name) {
            return {};
        }
        out.text("class ");
        out.object(class_name.get());
        out.text(":");
        out.end_line();
        indent = "    ";
    }
    out.to_line(spec.line);
    if (function->decorated) {
        out.text(indent);
        out.text("@property");
        out.end_line();
    }
    out.text(indent);
    out.text("def ");
    out.text(spec.name);
    out.text("(");
    for (std::size_t i = 0; i < spec.params.size(); ++i) {
        const Param& param = spec.params[i];
        out.text(i > 0 ? ", " : "");
        out.text(spec.varargs && i + 1 == spec.params.size() ? "*" : "");
        out.text(param.name);
        out.annotation(spec, param.name, ": ");
        out.text(default_text(param.fallback));
    }
    out.text(")");
    out.annotation(spec, "return", " -> ");
    out.text(": pass");
    out.end_line();
    return out.finish();
}

// The constants of `code`, read as Python reads them.
Owned constants_of(const State& state, PyObject* code) noexcept {
    Owned constants = steal(PyObject_GetAttr(code, state[co_consts_attribute]));
    if (constants && !PyTuple_Check(constants.get())) {
        PyErr_SetString(PyExc_SystemError, "a code object's co_consts is not a tuple");
        return {};
    }
    return constants;
}

// The first code object among the constants of `code` that `fits`, or
// None, without an exception, when there is none.
template <typename Fits>
Owned constant_code(const State& state, PyObject* code, Fits fits) noexcept {
    const Owned constants = constants_of(state, code);
    if (!constants) {
        return {};
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(constants.get()); ++i) {
        PyObject* constant = PyTuple_GET_ITEM(constants.get(), i);
        if (!PyCode_Check(constant)) {
            continue;
        }
        const int found = fits(constant);
        if (found != 0) {
            return found > 0 ? add_ref(constant) : Owned{};
        }
    }
    return add_ref(Py_None);
}

// The annotate code among the constants of `code`: named `__annotate__`.
Owned annotate_code(const State& state, PyObject* code) noexcept {
    return constant_code(state, code, [&state](PyObject* constant) noexcept {
        const Owned name = steal(PyObject_GetAttr(constant, state[co_name]));
        return name ? PyObject_RichCompareBool(name.get(), state[annotate_name], Py_EQ) : -1;
    });
}

// The class body among the constants of the module's code: its one code
// object.
Owned class_body(const State& state, PyObject* code) noexcept {
    return constant_code(state, code, [](PyObject*) noexcept { return 1; });
}

// The closure of a method's annotate code: its one free variable,
// `__classdict__`, holds the class's own namespace, as the cell that
// `type` fills for a class statement's body does.
Owned class_closure(const FunctionObject* function, PyObject* code) noexcept {
    const Py_ssize_t free = PyCode_GetNumFree(reinterpret_cast<PyCodeObject*>(code));
    if (free == 0) {
        return add_ref(Py_None);
    }
    if (free != 1 || function->defining_class == nullptr) {
        PyErr_Format(PyExc_SystemError, "the annotate function of %U has no class to read",
                     function->defined_qualname);
        return {};
    }
    const Owned namespace_ = steal(
        PyType_GetDict(reinterpret_cast<PyTypeObject*>(function->defining_class)));
    const Owned cell = namespace_ ? steal(PyCell_New(namespace_.get())) : Owned{};
    return cell ? steal(PyTuple_Pack(1, cell.get())) : Owned{};
}

// The function's annotate function, compiled from its definition; None
// when it has no annotations, as the compiler makes none then.
Owned make_annotate(const FunctionObject* function) noexcept {
    const Owned text = definition_text(function);
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    const Owned module_code = utf8 != nullptr
                                  ? steal(Py_CompileStringObject(utf8, function->defined_file,
                                                                 Py_file_input, nullptr, -1))
                                  : Owned{};
    if (!module_code) {
        return {};
    }
    const State& state = *function->state;
    const Owned scope = function->is_method ? class_body(state, module_code.get())
                                            : add_ref(module_code.get());
    const Owned found = scope && scope.get() != Py_None ? annotate_code(state, scope.get())
                                                        : Owned{};
    if (!found) {
        return scope ? add_ref(Py_None) : Owned{};
    }
    PyObject* code = found.get();
    if (code == Py_None) {
        return add_ref(Py_None);
    }
    const Owned qualname = steal(
        PyUnicode_FromFormat("%U.__annotate__", function->defined_qualname));
    const Owned closure = qualname ? class_closure(function, code) : Owned{};
    Owned annotate = closure ? steal(PyFunction_NewWithQualName(code, function->globals,
                                                                qualname.get()))
                             : Owned{};
    if (annotate && PyFunction_SetClosure(annotate.get(), closure.get()) < 0) {
        return {};
    }
    return annotate;
}

}  // namespace

PyObject* get_annotate(PyObject* self, void*) noexcept {
    FunctionObject* function = as_function(self);
    if (function->annotate == nullptr && function->annotate_to_make) {
        Owned made = make_annotate(function);
        if (!made) {
            return nullptr;
        }
        // Compiling may have let other code run (an audit hook), which may
        // have set the attribute itself meanwhile: a caller's value stands.
        if (function->annotate == nullptr && function->annotate_to_make) {
            function->annotate = made.get() != Py_None ? made.release() : nullptr;
        }
        function->annotate_to_make = false;
    }
    return Py_NewRef(function->annotate != nullptr ? function->annotate : Py_None);
}

// A new annotate function replaces the annotations, which it makes again
// when asked; None leaves them.
int set_annotate(PyObject* self, PyObject* value, void*) noexcept {
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ cannot be deleted");
        return -1;
    }
    if (value != Py_None && !PyCallable_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ must be callable or None");
        return -1;
    }
    FunctionObject* function = as_function(self);
    function->annotate_to_make = false;
    if (value == Py_None) {
        Py_CLEAR(function->annotate);
    } else {
        Py_XSETREF(function->annotate, Py_NewRef(value));
        Py_CLEAR(function->annotations);
    }
    return 0;
}

PyObject* get_annotations(PyObject* self, void*) noexcept {
    FunctionObject* function = as_function(self);
    if (function->annotations == nullptr) {
        // Null only once a caller set an annotate function, which makes
        // them again, or deleted them (or set None): they start empty.
        Owned made;
        const Owned annotate = add_ref(function->annotate);
        if (annotate) {
            made = steal(
                PyObject_CallOneArg(annotate.get(), Py_GetConstantBorrowed(Py_CONSTANT_ONE)));
            if (made && !PyDict_Check(made.get())) {
                // In the words of the interpreter the module is built for.
#if PY_VERSION_HEX >= 0x030F0000
                PyErr_Format(PyExc_TypeError, "__annotate__() must return a dict, not %T",
                             made.get());
#else
                PyErr_Format(PyExc_TypeError, "__annotate__ returned non-dict of type '%.100s'",
                             Py_TYPE(made.get())->tp_name);
#endif
                return nullptr;
            }
            if (!made) {
                return nullptr;
            }
            // The dict the annotate function returned, whatever it assigned
            // to `__annotations__` while it ran, as for a Python function.
            Py_XSETREF(function->annotations, made.release());
        } else {
            function->annotations = PyDict_New();
            if (function->annotations == nullptr) {
                return nullptr;
            }
        }
    }
    return Py_NewRef(function->annotations);
}

// Replaced annotations have no annotate function, as for a Python function.
int set_annotations(PyObject* self, PyObject* value, void*) noexcept {
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    FunctionObject* function = as_function(self);
    Py_XSETREF(function->annotations, Py_XNewRef(value));
    function->annotate_to_make = false;
    Py_CLEAR(function->annotate);
    return 0;
}

}  // namespace vx
