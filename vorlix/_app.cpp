// vorlix._app: the app handle and the app registry.
//
//     from ._util import vorlix
//
//     class App:                                     # line 4
//         def __init__(self, name: str) -> None
//         @property is_running(self) -> bool:  self.name in api.running.keys()
//         @property is_paused(self) -> bool:   self.name in api.paused.keys()
//         def start / stop / pause / resume(self) -> None:
//             _ = vorlix("start-app" ..., self.name)
//
//     class API:                                     # line 29
//         def keys(self) -> list[str]:  vorlix("list-apps").splitlines()
//         def __contains__(self, key: str) -> bool:  key in self.keys()
//         def __getitem__(self, key: str) -> App:    App(key) if key in self
//         @property running / paused -> dict[str, App]
//
//     api = API()
#include "modules.hpp"
#include "shared_bodies.hpp"

namespace vorlix {

namespace {

using namespace vx;
using namespace vorlix::shared;

Text app_class_name{"App"};
Text registry_name{"api"};
Text running{"running"};
Text paused{"paused"};
Text start_app{"start-app"};
Text stop_app{"stop-app"};
Text pause_app{"pause-app"};
Text resume_app{"resume-app"};
Text list_apps{"list-apps"};
Text list_running_apps{"list-running-apps"};
Text list_paused_apps{"list-paused-apps"};

// self.name in api.<listing>.keys(); the name is read before `api` is
// looked up.
template <const Text& listing>
PyObject* is_listed(const Call& call) noexcept {
    Owned name = steal(PyObject_GetAttr(call.arg(0), call.text(name_attribute)));
    Owned registry = name ? call.global(registry_name) : Owned{};
    Owned apps = registry ? steal(PyObject_GetAttr(registry, call.text(listing))) : Owned{};
    if (!apps) {
        return nullptr;
    }
    // For a plain dict, `in d.keys()` is exactly `in d`; skip making the
    // keys view.
    if (PyDict_CheckExact(apps.get())) {
        const int found = PyDict_Contains(apps, name);
        return found < 0 ? nullptr : PyBool_FromLong(found);
    }
    Owned names = steal(PyObject_CallMethodNoArgs(apps, call.text(keys_method)));
    const int found = names ? PySequence_Contains(names, name) : -1;
    return found < 0 ? nullptr : PyBool_FromLong(found);
}

// {line: App(line) for line in vorlix(command).splitlines()}, with `App`
// looked up for every line.
template <const Text& command>
PyObject* apps_by_name(const Call& call) noexcept {
    Owned lines = read_listing(call, call.text(command));
    Owned apps = lines ? steal(PyDict_New()) : Owned{};
    if (!apps) {
        return nullptr;
    }
    const auto add = [&](const Owned& line) noexcept {
        Owned app_type = call.global(app_class_name);
        Owned app = app_type ? steal(PyObject_CallOneArg(app_type, line)) : Owned{};
        return app && PyDict_SetItem(apps, line, app) == 0;
    };
    // A plain list is walked by index as its iterator would walk it (the
    // size read at every step, each line held while App runs), without
    // making the iterator.
    if (PyList_CheckExact(lines.get())) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(lines.get()); ++i) {
            if (!add(add_ref(PyList_GET_ITEM(lines.get(), i)))) {
                return nullptr;
            }
        }
        return apps.release();
    }
    Owned iterator = steal(PyObject_GetIter(lines));
    if (!iterator) {
        return nullptr;
    }
    while (Owned line = steal(PyIter_Next(iterator))) {
        if (!add(line)) {
            return nullptr;
        }
    }
    return PyErr_Occurred() ? nullptr : apps.release();
}

constexpr MemberSpec app_members[] = {
    method(handle_init),
    property({.name = "is_running", .params = {self}, .annotations = {returns_bool},
              .body = is_listed<running>}),
    property({.name = "is_paused", .params = {self}, .annotations = {returns_bool},
              .body = is_listed<paused>}),
    method(action("start", run_on_handle<start_app>)),
    method(action("stop", run_on_handle<stop_app>)),
    method(action("pause", run_on_handle<pause_app>)),
    method(action("resume", run_on_handle<resume_app>)),
};

constexpr ClassSpec app_class{
    .name = "App",
    .firstlineno = 4,
    .members = app_members,
    .static_attributes = {"name"},
};

using AppsByName = Dict<Str, Name<"App">>;

constexpr MemberSpec registry_members[] = {
    method({.name = "keys", .params = {self}, .annotations = {{"return", type<List<Str>>}},
            .body = keys<list_apps>}),
    method({.name = "__contains__", .params = {self, "key"},
            .annotations = {key_is_str, returns_bool}, .body = contains}),
    method({.name = "__getitem__", .params = {self, "key"},
            .annotations = {key_is_str, {"return", type<Name<"App">>}},
            .body = get_item<app_class_name>}),
    property({.name = "running", .params = {self}, .annotations = {{"return", type<AppsByName>}},
              .body = apps_by_name<list_running_apps>}),
    property({.name = "paused", .params = {self}, .annotations = {{"return", type<AppsByName>}},
              .body = apps_by_name<list_paused_apps>}),
};

constexpr ClassSpec registry_class{
    .name = "API",
    .firstlineno = 29,
    .members = registry_members,
};

}  // namespace

bool app_statements(ModuleBody& body) noexcept {
    return body.from_import("._util", "vorlix")
        && body.define(app_class)
        && body.define(registry_class)
        && body.call("api", "API");
}

}  // namespace vorlix
