#include "import_statements.hpp"

#if PY_VERSION_HEX >= 0x030F0000

#include "state.hpp"
#include "text.hpp"

namespace vx {

namespace {

Text importlib_bootstrap{"_frozen_importlib"};
Text dunder_file{"__file__"};

// The syntax tree classes: a copy of the built-in _ast module made for the
// package alone, through the import system's own built-in importer, so
// that sys.modules holds no module that a Python package would not load
// (the classes are the interpreter's, whichever copy holds them). Kept in
// the interpreter's state for the package's other bodies.
Owned syntax_classes() noexcept {
    State* state = State::current();
    if (state == nullptr) {
        PyErr_SetString(PyExc_ImportError, "vorlix: the package is not set up in this interpreter");
        return {};
    }
    if (state->syntax_classes != nullptr) {
        return add_ref(state->syntax_classes);
    }
    Owned bootstrap = steal(PyImport_GetModule(importlib_bootstrap));
    Owned importer = bootstrap ? steal(PyObject_GetAttrString(bootstrap, "BuiltinImporter")) : Owned{};
    Owned spec = importer ? steal(PyObject_CallMethod(importer, "find_spec", "s", "_ast")) : Owned{};
    Owned classes = spec ? steal(PyObject_CallMethod(bootstrap, "module_from_spec", "O", spec.get()))
                         : Owned{};
    Owned done = classes ? steal(PyObject_CallMethod(importer, "exec_module", "O", classes.get()))
                         : Owned{};
    if (!done) {
        return {};
    }
    state->syntax_classes = Py_NewRef(classes.get());
    return classes;
}

// A node of the class named `kind`, its fields as keywords (null with the
// error set when making them failed).
Owned make_node(PyObject* classes, const char* kind, Owned fields) noexcept {
    Owned node_class = fields ? steal(PyObject_GetAttrString(classes, kind)) : Owned{};
    return node_class ? steal(PyObject_Call(node_class, Py_GetConstantBorrowed(Py_CONSTANT_EMPTY_TUPLE),
                                            fields))
                      : Owned{};
}

// The one-item list `name [as alias]`, standing at `column` of `line` and
// ending at `end`.
Owned names_list(PyObject* classes, std::string_view name, std::string_view alias, int line,
                 int column, int end) noexcept {
    Owned alias_node = make_node(
        classes, "alias",
        steal(Py_BuildValue("{s:s#,s:z#,s:i,s:i,s:i,s:i}", "name", name.data(),
                            static_cast<Py_ssize_t>(name.size()), "asname",
                            alias.empty() ? nullptr : alias.data(),
                            static_cast<Py_ssize_t>(alias.size()), "lineno", line, "col_offset",
                            column, "end_lineno", line, "end_col_offset", end)));
    return alias_node ? steal(Py_BuildValue("[N]", alias_node.release())) : Owned{};
}

// The module's file, as the compiled statements name it; "<unknown>" when
// it has none that is text.
Owned file_name(PyObject* globals) noexcept {
    Owned file;
    if (PyDict_GetItemRef(globals, dunder_file, file.out()) < 0) {
        return {};
    }
    return file && PyUnicode_Check(file.get()) ? std::move(file)
                                               : steal(PyUnicode_FromString("<unknown>"));
}

}  // namespace

ImportStatements::ImportStatements() noexcept
    : active_(PyImport_GetLazyImportsMode() == PyImport_LAZY_ALL) {}

bool ImportStatements::add(bool from, std::string_view module, int level, std::string_view name,
                           std::string_view alias) noexcept {
    if (!syntax_ && !(syntax_ = syntax_classes())) {
        return false;
    }
    if (level > 0 && after_absolute_) {
        ++line_;
    }
    after_absolute_ = level == 0;
    // "import " + name, or "from " + dots + module + " import " + name,
    // then " as " + alias
    const int column = from ? 5 + level + static_cast<int>(module.size()) + 8 : 7;
    const int end = column + static_cast<int>(name.size()) +
                    (alias.empty() ? 0 : 4 + static_cast<int>(alias.size()));
    Owned names = names_list(syntax_, name, alias, line_, column, end);
    if (!names) {
        return false;
    }
    Owned fields = steal(
        from ? Py_BuildValue("{s:z#,s:N,s:i,s:i,s:i,s:i,s:i,s:i}", "module",
                             module.empty() ? nullptr : module.data(),
                             static_cast<Py_ssize_t>(module.size()), "names", names.release(),
                             "level", level, "is_lazy", 0, "lineno", line_, "col_offset", 0,
                             "end_lineno", line_, "end_col_offset", end)
             : Py_BuildValue("{s:N,s:i,s:i,s:i,s:i,s:i}", "names", names.release(), "is_lazy", 0,
                             "lineno", line_, "col_offset", 0, "end_lineno", line_,
                             "end_col_offset", end));
    Owned statement = make_node(syntax_, from ? "ImportFrom" : "Import", std::move(fields));
    if (!statements_ && statement) {
        statements_ = steal(PyList_New(0));
    }
    ++line_;
    return statements_ && statement && PyList_Append(statements_, statement) == 0;
}

bool ImportStatements::run(PyObject* globals) noexcept {
    if (!statements_) {
        return true;
    }
    Owned tree = make_node(syntax_, "Module", steal(Py_BuildValue("{s:N,s:[]}", "body",
                                                                  statements_.release(),
                                                                  "type_ignores")));
    Owned file = tree ? file_name(globals) : Owned{};
    Owned compile;
    if (!file || PyMapping_GetOptionalItemString(PyEval_GetBuiltins(), "compile", compile.out()) <= 0) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ImportError, "compile not found");
        }
        return false;
    }
    // compile(tree, file, "exec", 0, True): no flags of the caller's own.
    Owned code = steal(PyObject_CallFunction(compile, "OOsiO", tree.get(), file.get(), "exec", 0,
                                             Py_True));
    // The namespace as both globals and locals: module level, where the
    // interpreter may make an import lazy.
    Owned result = code ? steal(PyEval_EvalCode(code, globals, globals)) : Owned{};
    return static_cast<bool>(result);
}

}  // namespace vx

#endif
