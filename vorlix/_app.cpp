// vorlix._app: the app handle and the app registry. The module's Python
// text is bench/pyvorlix/_app.py: the build compiles it, checks the tables
// below against it, and gives each function the first line, names and
// annotate code it has there.
#include "python_text/_app.hpp"
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
    const Owned names = apps ? steal(PyObject_CallMethodNoArgs(apps.get(), call[keys_method]))
                             : Owned{};
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
    method(handle_init),
    property({.name = "is_running",
              .params = {self},
              .annotations = {returns_bool},
              .body = is_listed<running>}),
    property({.name = "is_paused",
              .params = {self},
              .annotations = {returns_bool},
              .body = is_listed<paused>}),
    method(action("start", run_on_handle<start_app>)),
    method(action("stop", run_on_handle<stop_app>)),
    method(action("pause", run_on_handle<pause_app>)),
    method(action("resume", run_on_handle<resume_app>)),
};

constexpr ClassSpec app_class{.name = "App", .members = app_members};

using AppsByName = Dict<Str, Name<"App">>;

constexpr MemberSpec registry_members[] = {
    method({.name = "keys",
            .params = {self},
            .annotations = {{"return", type<List<Str>>}},
            .body = keys<list_apps>}),
    method({.name = "__contains__",
            .params = {self, "key"},
            .annotations = {key_is_str, returns_bool},
            .body = contains}),
    method({.name = "__getitem__",
            .params = {self, "key"},
            .annotations = {key_is_str, {"return", type<Name<"App">>}},
            .body = get_item<app_class_name>}),
    property({.name = "running",
              .params = {self},
              .annotations = {{"return", type<AppsByName>}},
              .body = apps_by_name<list_running_apps>}),
    property({.name = "paused",
              .params = {self},
              .annotations = {{"return", type<AppsByName>}},
              .body = apps_by_name<list_paused_apps>}),
};

constexpr ClassSpec registry_class{.name = "API", .members = registry_members};

constexpr Statement statements[] = {
    from_import("._util", "vorlix"),
    define(app_class),
    define(registry_class),
    call("api", "API"),
};
static_assert(python_text::app::agrees<statements>());

}  // namespace

constexpr ModuleCode app_module{statements, python_text::app::module};

}  // namespace vorlix
