// vorlix._app: the app handle and the app registry.
//
// The module as the Python it stands for, line by line. Each function's
// code object has the first line it has here, which traceback entries and
// profilers show.
//
//   1  from ._util import vorlix
//   2
//   3
//   4  class App:
//   5      def __init__(self, name: str) -> None:
//   6          self.name = name
//   7
//   8      @property
//   9      def is_running(self) -> bool:
//  10          return self.name in api.running.keys()
//  11
//  12      @property
//  13      def is_paused(self) -> bool:
//  14          return self.name in api.paused.keys()
//  15
//  16      def start(self) -> None:
//  17          _ = vorlix("start-app", self.name)
//  18
//  19      def stop(self) -> None:
//  20          _ = vorlix("stop-app", self.name)
//  21
//  22      def pause(self) -> None:
//  23          _ = vorlix("pause-app", self.name)
//  24
//  25      def resume(self) -> None:
//  26          _ = vorlix("resume-app", self.name)
//  27
//  28
//  29  class API:
//  30      def keys(self) -> list[str]:
//  31          return vorlix("list-apps").splitlines()
//  32
//  33      def __contains__(self, key: str) -> bool:
//  34          return key in self.keys()
//  35
//  36      def __getitem__(self, key: str) -> App:
//  37          if key not in self:
//  38              raise KeyError()
//  39          return App(key)
//  40
//  41      @property
//  42      def running(self) -> dict[str, App]:
//  43          return {name: App(name) for name in vorlix("list-running-apps").splitlines()}
//  44
//  45      @property
//  46      def paused(self) -> dict[str, App]:
//  47          return {name: App(name) for name in vorlix("list-paused-apps").splitlines()}
//  48
//  49
//  50  api = API()
#include "modules.hpp"
#include "shared_bodies.hpp"

namespace vorlix {

namespace {

using namespace vx;
using namespace vorlix::shared;

const Text app_class_name{"App"};
const Text registry_name{"api"};
const Text running{"running"};
const Text paused{"paused"};
const Text start_app{"start-app"};
const Text stop_app{"stop-app"};
const Text pause_app{"pause-app"};
const Text resume_app{"resume-app"};
const Text list_apps{"list-apps"};
const Text list_running_apps{"list-running-apps"};
const Text list_paused_apps{"list-paused-apps"};

// self.name in api.<listing>.keys(); the name is read before `api` is
// looked up.
template <const Text& listing>
PyObject* is_listed(const Call& call) noexcept {
    const Owned name = steal(PyObject_GetAttr(call.arg(0), call[name_attribute]));
    const Owned registry = name ? call.global(registry_name) : Owned{};
    const Owned apps = registry ? steal(PyObject_GetAttr(registry.get(), call[listing])) : Owned{};
    if (!apps) {
        return nullptr;
    }
    // For a plain dict, `in d.keys()` is exactly `in d`; skip making the
    // keys view.
    if (PyDict_CheckExact(apps.get())) {
        const int found = PyDict_Contains(apps.get(), name.get());
        return found < 0 ? nullptr : PyBool_FromLong(found);
    }
    const Owned names = steal(PyObject_CallMethodNoArgs(apps.get(), call[keys_method]));
    const int found = names ? PySequence_Contains(names.get(), name.get()) : -1;
    return found < 0 ? nullptr : PyBool_FromLong(found);
}

// {line: App(line) for line in vorlix(command).splitlines()}, with `App`
// looked up for every line.
template <const Text& command>
PyObject* apps_by_name(const Call& call) noexcept {
    const Owned lines = read_listing(call, call[command]);
    Owned apps = lines ? steal(PyDict_New()) : Owned{};
    if (!apps) {
        return nullptr;
    }
    const auto add = [&](const Owned& line) noexcept {
        const Owned app_type = call.global(app_class_name);
        const Owned app = app_type ? steal(PyObject_CallOneArg(app_type.get(), line.get()))
                                   : Owned{};
        return app && PyDict_SetItem(apps.get(), line.get(), app.get()) == 0;
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
    const Owned iterator = steal(PyObject_GetIter(lines.get()));
    if (!iterator) {
        return nullptr;
    }
    while (const Owned line = steal(PyIter_Next(iterator.get()))) {
        if (!add(line)) {
            return nullptr;
        }
    }
    return PyErr_Occurred() ? nullptr : apps.release();
}

constexpr MemberSpec app_members[] = {
    method(handle_init(5)),
    property({.name = "is_running",
              .line = 8,
              .params = {self},
              .annotations = {returns_bool},
              .body = is_listed<running>}),
    property({.name = "is_paused",
              .line = 12,
              .params = {self},
              .annotations = {returns_bool},
              .body = is_listed<paused>}),
    method(action("start", 16, run_on_handle<start_app>)),
    method(action("stop", 19, run_on_handle<stop_app>)),
    method(action("pause", 22, run_on_handle<pause_app>)),
    method(action("resume", 25, run_on_handle<resume_app>)),
};

constexpr ClassSpec app_class{
    .name = "App",
    .firstlineno = 4,
    .members = app_members,
    .static_attributes = {"name"},
};

using AppsByName = Dict<Str, Name<"App">>;

constexpr MemberSpec registry_members[] = {
    method({.name = "keys",
            .line = 30,
            .params = {self},
            .annotations = {{"return", type<List<Str>>}},
            .body = keys<list_apps>}),
    method({.name = "__contains__",
            .line = 33,
            .params = {self, "key"},
            .annotations = {key_is_str, returns_bool},
            .body = contains}),
    method({.name = "__getitem__",
            .line = 36,
            .params = {self, "key"},
            .annotations = {key_is_str, {"return", type<Name<"App">>}},
            .body = get_item<app_class_name>}),
    property({.name = "running",
              .line = 41,
              .params = {self},
              .annotations = {{"return", type<AppsByName>}},
              .body = apps_by_name<list_running_apps>}),
    property({.name = "paused",
              .line = 45,
              .params = {self},
              .annotations = {{"return", type<AppsByName>}},
              .body = apps_by_name<list_paused_apps>}),
};

constexpr ClassSpec registry_class{
    .name = "API",
    .firstlineno = 29,
    .members = registry_members,
};

}  // namespace

void app_statements(ModuleBody& body) noexcept {
    body.from_import("._util", "vorlix");
    body.define(app_class);
    body.define(registry_class);
    body.call("api", "API");
}

}  // namespace vorlix
