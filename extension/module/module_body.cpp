#include "module_body.hpp"

#include "../core/lookup.hpp"
#include "../core/names.hpp"
#include "../core/state.hpp"
#include "../function/function.hpp"
#include "imports.hpp"

namespace vx {

ModuleBody::ModuleBody(State& state, PyObject* module, const ModuleCode& code) noexcept
    : state_(state), globals_(PyModule_GetDict(module)), code_(code), imports_(code.text) {}

bool ModuleBody::run() noexcept {
    for (const Statement& statement : code_.statements) {
        const bool is_import = statement.kind == StatementKind::import_module ||
                               statement.kind == StatementKind::from_import;
        // Under lazy imports a run of import statements is the text's own
        // code, run before the next statement of another kind.
        if (is_import && imports_.hold()) {
            continue;
        }
        if (!imports_.run_held(state_, globals_) || !run(statement)) {
            return false;
        }
    }
    return imports_.run_held(state_, globals_);
}

bool ModuleBody::run(const Statement& statement) noexcept {
    switch (statement.kind) {
        case StatementKind::import_module:
            return import_module(statement);
        case StatementKind::from_import:
            return from_import(statement);
        case StatementKind::define_class:
            return define_class(statement);
        case StatementKind::define_function:
            return define_function(statement);
        case StatementKind::assign_call:
            return assign_call(statement);
        case StatementKind::assign_list:
            return assign_list(statement);
    }
    return false;
}

bool ModuleBody::bind(std::string_view target, Owned value) noexcept {
    const Owned key = value ? intern(target) : Owned{};
    return key && PyDict_SetItem(globals_, key.get(), value.get()) == 0;
}

bool ModuleBody::import_module(const Statement& statement) noexcept {
    const Owned name = intern(statement.module);
    return bind(statement.target,
                name ? import_name(state_, globals_, name.get(), nullptr, 0) : Owned{});
}

bool ModuleBody::from_import(const Statement& statement) noexcept {
    int level = 0;
    while (static_cast<std::size_t>(level) < statement.module.size() &&
           statement.module[static_cast<std::size_t>(level)] == '.') {
        ++level;
    }
    std::string_view module = statement.module;
    module.remove_prefix(static_cast<std::size_t>(level));
    const Owned module_name = intern(module);
    const Owned key = module_name ? intern(statement.name) : Owned{};
    const Owned fromlist = key ? steal(PyTuple_Pack(1, key.get())) : Owned{};
    const Owned imported = fromlist ? import_name(state_, globals_, module_name.get(),
                                                  fromlist.get(), level)
                                    : Owned{};
    return bind(statement.target,
                imported ? import_from(state_, imported.get(), key.get()) : Owned{});
}

bool ModuleBody::define_class(const Statement& statement) noexcept {
    const built::Module& text = code_.text;
    const ClassText class_text{text, text.classes[next_class_++],
                               text.functions.data() + next_function_};
    next_function_ += statement.cls->members.size();
    const Owned key = intern(statement.target);
    const Owned cls = key ? make_class(state_, *statement.cls, class_text, key.get(), globals_)
                          : Owned{};
    return cls && PyDict_SetItem(globals_, key.get(), cls.get()) == 0;
}

bool ModuleBody::define_function(const Statement& statement) noexcept {
    const Owned function = make_function(state_, *statement.function, code_.text,
                                         code_.text.functions[next_function_++], globals_, nullptr);
    return function && PyDict_SetItem(globals_, defined_name(function.get()), function.get()) == 0;
}

// <target> = <callable>(), the callable looked up as a global.
bool ModuleBody::assign_call(const Statement& statement) noexcept {
    const Owned callable_name = intern(statement.module);
    const Owned builtins = callable_name ? builtins_of(state_, globals_) : Owned{};
    const Owned target = builtins ? lookup_global(Scope{state_, globals_, builtins.get()},
                                                  callable_name.get())
                                  : Owned{};
    return bind(statement.target, target ? steal(PyObject_CallNoArgs(target.get())) : Owned{});
}

bool ModuleBody::assign_list(const Statement& statement) noexcept {
    Owned list = steal(PyList_New(static_cast<Py_ssize_t>(statement.items.size())));
    for (std::size_t i = 0; list && i < statement.items.size(); ++i) {
        Owned item = intern(statement.items[i]);
        if (!item) {
            return false;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return bind(statement.target, std::move(list));
}

}  // namespace vx
