#include "module_body.hpp"

#include "function.hpp"
#include "imports.hpp"
#include "lookup.hpp"
#include "names.hpp"
#include "state.hpp"

namespace vx {

ModuleBody::ModuleBody(State& state, PyObject* module) noexcept
    : state_(state), module_(module), globals_(PyModule_GetDict(module)) {}

bool ModuleBody::finish() noexcept {
#if PY_VERSION_HEX >= 0x030F0000
    return imports_.run(state_, globals_);
#else
    return true;
#endif
}

bool ModuleBody::bind(const char* name, Owned value) noexcept {
    Owned key = value && finish() ? intern(name) : Owned{};
    return key && PyDict_SetItem(globals_, key, value) == 0;
}

bool ModuleBody::import_module(const char* name) noexcept {
#if PY_VERSION_HEX >= 0x030F0000
    if (imports_.active()) {
        return imports_.add(false, {}, 0, name, {});
    }
#endif
    Owned key = intern(name);
    Owned module = key ? import_name(state_, globals_, key, nullptr, 0) : Owned{};
    return module && PyDict_SetItem(globals_, key, module) == 0;
}

bool ModuleBody::from_import(const char* module, const char* name, const char* alias) noexcept {
    int level = 0;
    while (module[level] == '.') {
        ++level;
    }
#if PY_VERSION_HEX >= 0x030F0000
    if (imports_.active()) {
        return imports_.add(true, module + level, level, name, alias != nullptr ? alias : "");
    }
#endif
    Owned module_name = intern(module + level);
    Owned key = intern(name);
    Owned fromlist = key ? steal(PyTuple_Pack(1, key.get())) : Owned{};
    if (!module_name || !fromlist) {
        return false;
    }
    Owned imported = import_name(state_, globals_, module_name, fromlist, level);
    Owned value = imported ? import_from(state_, imported, key) : Owned{};
    return bind(alias != nullptr ? alias : name, std::move(value));
}

bool ModuleBody::define(const ClassSpec& spec) noexcept {
    Owned key = finish() ? intern(spec.name) : Owned{};
    Owned cls = key ? make_class(state_, spec, globals_) : Owned{};
    return cls && PyDict_SetItem(globals_, key, cls) == 0;
}

bool ModuleBody::define(const FunctionSpec& spec) noexcept {
    Owned key = finish() ? intern(spec.name) : Owned{};
    Owned function = key ? make_function(state_, spec, globals_, {}) : Owned{};
    return function && PyDict_SetItem(globals_, key, function) == 0;
}

bool ModuleBody::call(const char* name, const char* callable) noexcept {
    Owned callable_name = finish() ? intern(callable) : Owned{};
    Owned builtins = callable_name ? builtins_of(state_, globals_) : Owned{};
    Owned target = builtins ? lookup_global(state_, globals_, builtins, callable_name) : Owned{};
    return bind(name, target ? steal(PyObject_CallNoArgs(target)) : Owned{});
}

}  // namespace vx
