// vorlix._launcher: the launcher handle and the launcher registry. The
// module's Python text is bench/pyvorlix/_launcher.py: the build compiles
// it, checks the tables below against it, and gives each function the first
// line, names and annotate code it has there.
#include "python_text/_launcher.hpp"
#include "modules.hpp"
#include "shared_bodies.hpp"

namespace vorlix {

namespace {

using namespace vx;
using namespace vorlix::shared;

const Text launcher_class_name{"Launcher"};
const Text call_attribute{"call"};
const Text enable_method{"enable"};
const Text start_launcher{"start-launcher"};
const Text stop_launcher{"stop-launcher"};
const Text switch_launcher{"switch-launcher"};
const Text start_option{"--start"};
const Text is_current_launcher{"is-current-launcher"};
const Text is_enabled_launcher{"is-enabled-launcher"};
const Text is_active_launcher{"is-active-launcher"};
const Text list_launchers{"list-launchers"};
const Text status{"status"};

PyObject* logs(const Call&) noexcept {
    PyErr_SetNone(PyExc_NotImplementedError);
    return nullptr;
}

// The truth of `start` is taken before anything else, so a value whose
// truth test fails starts no process.
PyObject* enable(const Call& call) noexcept {
    const int start = PyObject_IsTrue(call.arg(1));
    if (start < 0) {
        return nullptr;
    }
    const Owned runner = call.global(runner_name);
    const Owned name = runner ? steal(PyObject_GetAttr(call.arg(0), call[name_attribute]))
                              : Owned{};
    if (!name) {
        return nullptr;
    }
    PyObject* command = call[switch_launcher];
    const Owned output = start ? call_runner(runner.get(), command, call[start_option], name.get())
                               : call_runner(runner.get(), command, name.get());
    return output ? Py_NewRef(Py_None) : nullptr;
}

// subprocess.call(["/opt/bin/vorlix", command, self.name]) == 0: the tool
// shares the caller's streams and only its exit status is read.
template <const Text& command>
PyObject* exits_zero(const Call& call) noexcept {
    const Owned module = call.global(subprocess_module);
    const Owned call_function = module ? steal(PyObject_GetAttr(module.get(), call[call_attribute]))
                                       : Owned{};
    Owned name = call_function ? steal(PyObject_GetAttr(call.arg(0), call[name_attribute]))
                               : Owned{};
    const Owned argv = name ? steal(PyList_New(3)) : Owned{};
    if (!argv) {
        return nullptr;
    }
    PyList_SET_ITEM(argv.get(), 0, Py_NewRef(call[tool_path]));
    PyList_SET_ITEM(argv.get(), 1, Py_NewRef(call[command]));
    PyList_SET_ITEM(argv.get(), 2, name.release());
    const Owned exit_status = steal(PyObject_CallOneArg(call_function.get(), argv.get()));
    if (!exit_status) {
        return nullptr;
    }
    const Owned zero = steal(PyLong_FromLong(0));
    return zero ? PyObject_RichCompare(exit_status.get(), zero.get(), Py_EQ) : nullptr;
}

// Launcher(vorlix("status").splitlines()[0][14:-4]); both names are looked
// up before the tool runs.
PyObject* current(const Call& call) noexcept {
    const Owned launcher_type = call.global(launcher_class_name);
    const Owned lines = launcher_type ? read_listing(call, call[status]) : Owned{};
    if (!lines) {
        return nullptr;
    }
    const Owned zero = steal(PyLong_FromLong(0));
    const Owned first_line = zero ? steal(PyObject_GetItem(lines.get(), zero.get())) : Owned{};
    const Owned start = first_line ? steal(PyLong_FromLong(14)) : Owned{};
    const Owned stop = start ? steal(PyLong_FromLong(-4)) : Owned{};
    const Owned between = stop ? steal(PySlice_New(start.get(), stop.get(), nullptr)) : Owned{};
    const Owned name = between ? steal(PyObject_GetItem(first_line.get(), between.get())) : Owned{};
    return name ? PyObject_CallOneArg(launcher_type.get(), name.get()) : nullptr;
}

// The parameter `launcher` of switch, which it rebinds to the handle.
constexpr std::size_t launcher_param = 1;

// if not isinstance(launcher, Launcher): launcher = Launcher(launcher)
// _ = launcher.enable(start)
PyObject* switch_to(const Call& call) noexcept {
    Owned launcher_type = call.global(launcher_class_name);
    const int is_handle = launcher_type ? PyObject_IsInstance(call.arg(1), launcher_type.get())
                                        : -1;
    if (is_handle < 0) {
        return nullptr;
    }
    Owned launcher = add_ref(call.arg(1));
    if (!is_handle) {
        launcher_type = call.global(launcher_class_name);
        launcher = launcher_type ? steal(PyObject_CallOneArg(launcher_type.get(), launcher.get()))
                                 : Owned{};
        if (!launcher) {
            return nullptr;
        }
    }
    PyObject* args[] = {launcher.get(), call.arg(2)};
    const Owned result = steal(PyObject_VectorcallMethod(call[enable_method], args, 2, nullptr));
    if (!result) {
        call.keep_local(launcher_param, launcher.get());
        return nullptr;
    }
    return Py_NewRef(Py_None);
}

constexpr Annotation returns_launcher = {"return", type<Name<"Launcher">>};
constexpr Annotation start_is_bool = {"start", type<Bool>};

using LogLineCallback = Union<Subscript<Name<"Callable">, ListOf<Str>, None>, None>;

constexpr FunctionSpec state_query(const char* name, Body body) noexcept {
    return {.name = name, .params = {self}, .annotations = {returns_bool}, .body = body};
}

constexpr MemberSpec launcher_members[] = {
    method(handle_init),
    method({.name = "logs",
            .params = {self, {"_onlogline", Default::none}},
            .annotations = {{"_onlogline", type<LogLineCallback>},
                            {"return", type<Union<List<Str>, None>>}},
            .body = logs}),
    method(action("start", run_on_handle<start_launcher>)),
    method(action("stop", run_on_handle<stop_launcher>)),
    method({.name = "enable",
            .params = {self, {"start", Default::false_}},
            .annotations = {start_is_bool, returns_none},
            .body = enable}),
    property(state_query("is_current", exits_zero<is_current_launcher>)),
    property(state_query("is_enabled", exits_zero<is_enabled_launcher>)),
    property(state_query("is_active", exits_zero<is_active_launcher>)),
};

constexpr ClassSpec launcher_class{.name = "Launcher", .members = launcher_members};

constexpr MemberSpec registry_members[] = {
    method({.name = "keys",
            .params = {self},
            .annotations = {{"return", type<List<Str>>}},
            .body = keys<list_launchers>}),
    method({.name = "__contains__",
            .params = {self, "key"},
            .annotations = {key_is_str, returns_bool},
            .body = contains}),
    method({.name = "__getitem__",
            .params = {self, "key"},
            .annotations = {key_is_str, returns_launcher},
            .body = get_item<launcher_class_name>}),
    property(
        {.name = "current", .params = {self}, .annotations = {returns_launcher}, .body = current}),
    method({.name = "switch",
            .params = {self, "launcher", {"start", Default::false_}},
            .annotations = {{"launcher", type<Union<Name<"Launcher">, Str>>},
                            start_is_bool,
                            returns_none},
            .body = switch_to}),
};

constexpr ClassSpec registry_class{.name = "API", .members = registry_members};

constexpr Statement statements[] = {
    import_module("subprocess"),     from_import("collections.abc", "Callable"),
    from_import("._util", "vorlix"), define(launcher_class),
    define(registry_class),          call("api", "API"),
};
static_assert(python_text::launcher::agrees<statements>());

}  // namespace

constexpr ModuleCode launcher_module{statements, python_text::launcher::module};

}  // namespace vorlix
