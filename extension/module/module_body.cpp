#include "module_body.hpp"

#include "../core/lookup.hpp"
#include "../core/names.hpp"
#include "../core/state.hpp"
#include "../function/function.hpp"
#include "imports.hpp"

namespace vx {

ModuleBody::ModuleBody(State& state, PyObject* module) noexcept
    : state_(state), module_(module), globals_(PyModule_GetDict(module)) {}

Owned ModuleBody::interned(std::string_view text) noexcept {
    for (std::size_t i = 0; i < named_count_; ++i) {
        if (named_[i].text == text) {
            return add_ref(named_[i].name.get());
        }
    }
    Owned made = intern(text);
    if (made && named_count_ < std::size(named_)) {
        named_[named_count_++] = {text, add_ref(made.get())};
    }
    return made;
}

// Not static: it runs the held imports where there are any (3.15).
// NOLINTNEXTLINE(readability-convert-member-functions-to-static)
bool ModuleBody::run_held_imports() noexcept {
#if PY_VERSION_HEX >= 0x030F0000
    return imports_.run(state_, globals_);
#else
    return true;
#endif
}

bool ModuleBody::finish() noexcept {
    if (runs()) {
        done(run_held_imports());
    }
    return runs();
}

void ModuleBody::bind(const char* name, Owned value) noexcept {
    if (!runs()) {
        return;
    }
    const Owned key = value && run_held_imports() ? interned(name) : Owned{};
    done(key && PyDict_SetItem(globals_, key.get(), value.get()) == 0);
}

void ModuleBody::bind_list(const char* name, std::span<const char* const> items) noexcept {
    if (!runs()) {
        return;
    }
    Owned list = steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    for (std::size_t i = 0; list && i < items.size(); ++i) {
        Owned item = interned(items[i]);
        if (!item) {
            list = {};
            break;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    bind(name, std::move(list));
}

void ModuleBody::import_module(const char* name) noexcept {
    if (!runs()) {
        return;
    }
#if PY_VERSION_HEX >= 0x030F0000
    if (imports_.active()) {
        done(imports_.add(false, {}, 0, name, {}));
        return;
    }
#endif
    const Owned key = interned(name);
    const Owned module = key ? import_name(state_, globals_, key.get(), nullptr, 0) : Owned{};
    done(module && PyDict_SetItem(globals_, key.get(), module.get()) == 0);
}

// The statement's parts in its own order, as module files write it.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
void ModuleBody::from_import(const char* module, const char* name, const char* alias) noexcept {
    if (!runs()) {
        return;
    }
    int level = 0;
    while (module[level] == '.') {
        ++level;
    }
#if PY_VERSION_HEX >= 0x030F0000
    if (imports_.active()) {
        done(imports_.add(true, module + level, level, name, alias != nullptr ? alias : ""));
        return;
    }
#endif
    const Owned module_name = interned(module + level);
    const Owned key = interned(name);
    const Owned fromlist = module_name && key ? steal(PyTuple_Pack(1, key.get())) : Owned{};
    const Owned imported = fromlist ? import_name(state_, globals_, module_name.get(),
                                                  fromlist.get(), level)
                                    : Owned{};
    bind(alias != nullptr ? alias : name,
         imported ? import_from(state_, imported.get(), key.get()) : Owned{});
}

void ModuleBody::define(const ClassSpec& spec) noexcept {
    if (!runs()) {
        return;
    }
    const Owned key = run_held_imports() ? interned(spec.name) : Owned{};
    const Owned cls = key ? make_class(state_, spec, key.get(), globals_) : Owned{};
    done(cls && PyDict_SetItem(globals_, key.get(), cls.get()) == 0);
}

void ModuleBody::define(const FunctionSpec& spec) noexcept {
    if (!runs()) {
        return;
    }
    const Owned function = run_held_imports() ? make_function(state_, spec, globals_, nullptr)
                                              : Owned{};
    done(function && PyDict_SetItem(globals_, defined_name(function.get()), function.get()) == 0);
}

// `name = callable()`, in the statement's order.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
void ModuleBody::call(const char* name, const char* callable) noexcept {
    if (!runs()) {
        return;
    }
    const Owned callable_name = run_held_imports() ? interned(callable) : Owned{};
    const Owned builtins = callable_name ? builtins_of(state_, globals_) : Owned{};
    const Owned target = builtins ? lookup_global(Scope{state_, globals_, builtins.get()},
                                                  callable_name.get())
                                  : Owned{};
    bind(name, target ? steal(PyObject_CallNoArgs(target.get())) : Owned{});
}

}  // namespace vx
