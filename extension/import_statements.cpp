#include "import_statements.hpp"

#if PY_VERSION_HEX >= 0x030F0000

#include "state.hpp"
#include "text.hpp"

namespace vx {

namespace {

Text syntax_module_name{"_ast"};
Text importlib_bootstrap{"_frozen_importlib"};
Text builtin_importer{"BuiltinImporter"};
Text find_spec{"find_spec"};
Text module_from_spec{"module_from_spec"};
Text exec_module{"exec_module"};
Text module_node{"Module"};
Text import_node{"Import"};
Text import_from_node{"ImportFrom"};
Text alias_node{"alias"};
Text dunder_file{"__file__"};
Text compile_name{"compile"};
Text exec_mode{"exec"};
Text unknown_file{"<unknown>"};
Names alias_fields{"name", "asname", "lineno", "col_offset", "end_lineno", "end_col_offset"};
Names import_fields{"names", "is_lazy", "lineno", "col_offset", "end_lineno", "end_col_offset"};
Names import_from_fields{"module",     "names",      "level",          "is_lazy",
                         "lineno",     "col_offset", "end_lineno",     "end_col_offset"};
Names module_fields{"body", "type_ignores"};

// The syntax tree classes: those of the _ast module when the program has
// loaded it, else a copy of that built-in module made for the package
// alone, through the import system's own built-in importer, so that
// sys.modules holds no module that a Python package would not load. Kept
// in the interpreter's state for the package's other bodies.
Owned syntax_classes() noexcept {
    State* state = State::current();
    if (state == nullptr) {
        PyErr_SetString(PyExc_ImportError, "vorlix: the package is not set up in this interpreter");
        return {};
    }
    if (state->syntax_classes != nullptr) {
        return add_ref(state->syntax_classes);
    }
    Owned classes = steal(PyImport_GetModule(syntax_module_name));
    if (!classes && !PyErr_Occurred()) {
        Owned bootstrap = steal(PyImport_GetModule(importlib_bootstrap));
        Owned importer = bootstrap ? steal(PyObject_GetAttr(bootstrap, builtin_importer)) : Owned{};
        Owned spec = importer ? steal(PyObject_CallMethodOneArg(importer, find_spec,
                                                                syntax_module_name))
                              : Owned{};
        if (spec && spec.get() == Py_None) {
            classes = steal(PyImport_Import(syntax_module_name));
        } else if (spec) {
            classes = steal(PyObject_CallMethodOneArg(bootstrap, module_from_spec, spec));
            Owned done = classes ? steal(PyObject_CallMethodOneArg(importer, exec_module, classes))
                                 : Owned{};
            if (!done) {
                classes = {};
            }
        }
    }
    if (classes) {
        state->syntax_classes = Py_NewRef(classes.get());
    }
    return classes;
}

Owned make_node(PyObject* classes, PyObject* node_name, PyObject* const* values,
                PyObject* fields) noexcept {
    Owned node_class = steal(PyObject_GetAttr(classes, node_name));
    return node_class ? steal(PyObject_Vectorcall(node_class, values, 0, fields)) : Owned{};
}

Owned number(long value) noexcept { return steal(PyLong_FromLong(value)); }

// `name [as alias]` standing at `column` of `line`, in a one-item list.
Owned names_list(PyObject* classes, std::string_view name, std::string_view alias, long line,
                 long column) noexcept {
    const long end = column + static_cast<long>(name.size()) +
                     (alias.empty() ? 0 : static_cast<long>(4 + alias.size()));
    Owned name_text = intern(name);
    Owned alias_text = alias.empty() ? add_ref(Py_None) : intern(alias);
    Owned line_number = number(line);
    Owned start = number(column);
    Owned stop = number(end);
    if (!name_text || !alias_text || !line_number || !start || !stop) {
        return {};
    }
    PyObject* values[] = {name_text, alias_text, line_number, start, line_number, stop};
    Owned node = make_node(classes, alias_node, values, alias_fields);
    Owned names = node ? steal(PyList_New(1)) : Owned{};
    if (names) {
        PyList_SET_ITEM(names.get(), 0, node.release());
    }
    return names;
}

// The module's file, as the compiled statements name it; "<unknown>" when
// it has none that is text.
Owned file_name(PyObject* globals) noexcept {
    Owned file;
    if (PyDict_GetItemRef(globals, dunder_file, file.out()) < 0) {
        return {};
    }
    return file && PyUnicode_Check(file.get()) ? std::move(file) : add_ref(unknown_file);
}

}  // namespace

ImportStatements::ImportStatements() noexcept
    : active_(PyImport_GetLazyImportsMode() == PyImport_LAZY_ALL) {}

bool ImportStatements::add(Owned statement) noexcept {
    if (!statement) {
        return false;
    }
    if (!statements_) {
        statements_ = steal(PyList_New(0));
    }
    ++line_;
    return statements_ && PyList_Append(statements_, statement) == 0;
}

bool ImportStatements::add_import(std::string_view name) noexcept {
    if (!syntax_) {
        syntax_ = syntax_classes();
    }
    constexpr long keyword = 7;  // "import "
    Owned names = syntax_ ? names_list(syntax_, name, {}, line_, keyword) : Owned{};
    Owned line_number = number(line_);
    Owned stop = number(keyword + static_cast<long>(name.size()));
    if (!names || !line_number || !stop) {
        return false;
    }
    after_absolute_ = true;
    PyObject* zero = Py_GetConstantBorrowed(Py_CONSTANT_ZERO);
    PyObject* values[] = {names, zero, line_number, zero, line_number, stop};
    return add(make_node(syntax_, import_node, values, import_fields));
}

bool ImportStatements::add_from_import(std::string_view module, int level, std::string_view name,
                                       std::string_view alias) noexcept {
    if (!syntax_) {
        syntax_ = syntax_classes();
    }
    if (level > 0 && after_absolute_) {
        ++line_;
        after_absolute_ = false;
    }
    // "from " + dots + module + " import "
    const long column = 5 + level + static_cast<long>(module.size()) + 8;
    Owned names = syntax_ ? names_list(syntax_, name, alias, line_, column) : Owned{};
    Owned module_text = module.empty() ? add_ref(Py_None) : intern(module);
    Owned level_number = number(level);
    Owned line_number = number(line_);
    Owned stop = number(column + static_cast<long>(name.size()) +
                        (alias.empty() ? 0 : static_cast<long>(4 + alias.size())));
    if (!names || !module_text || !level_number || !line_number || !stop) {
        return false;
    }
    after_absolute_ = after_absolute_ || level == 0;
    PyObject* zero = Py_GetConstantBorrowed(Py_CONSTANT_ZERO);
    PyObject* values[] = {module_text, names, level_number, zero, line_number, zero, line_number,
                          stop};
    return add(make_node(syntax_, import_from_node, values, import_from_fields));
}

bool ImportStatements::run(PyObject* globals) noexcept {
    if (!statements_) {
        return true;
    }
    Owned statements = std::move(statements_);
    Owned no_ignores = steal(PyList_New(0));
    PyObject* values[] = {statements, no_ignores};
    Owned tree = no_ignores ? make_node(syntax_, module_node, values, module_fields) : Owned{};
    Owned file = tree ? file_name(globals) : Owned{};
    Owned compile;
    if (!file || PyMapping_GetOptionalItem(PyEval_GetBuiltins(), compile_name, compile.out()) <= 0) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ImportError, "compile not found");
        }
        return false;
    }
    // compile(tree, file, "exec", 0, True): no flags of the caller's own.
    PyObject* args[] = {tree, file, exec_mode, Py_GetConstantBorrowed(Py_CONSTANT_ZERO), Py_True};
    Owned code = steal(PyObject_Vectorcall(compile, args, 5, nullptr));
    // The namespace as both globals and locals: module level, where the
    // interpreter may make an import lazy.
    Owned result = code ? steal(PyEval_EvalCode(code, globals, globals)) : Owned{};
    return static_cast<bool>(result);
}

}  // namespace vx

#endif
