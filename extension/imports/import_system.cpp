// Where the package finder stands in the import system's lists, put back
// by every run of the package body.
#include "import_system.hpp"

#include "../core/names.hpp"
#include "../module/run_module.hpp"
#include "import_system_parts.hpp"

namespace vx {

namespace {

const Text insert_method{"insert"};

// Inserts `item` into `list` at index 2, or at the end of a shorter list,
// or at the front; unless it is there already or the list takes no entries
// (a host may make it a tuple). 1 when inserted, 0 when left as it was, -1
// with an error set. Looked for by identity: a host's own finder may define
// an equality that fails on ours (an import tracer that reads an attribute
// of the other).
// In the order list.insert() takes them: the list, then what goes in.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
int insert_once(const State& state, PyObject* list, PyObject* item, bool at_the_front) noexcept {
    const Owned entries = steal(PySequence_List(list));
    if (!entries) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
        if (PyList_GET_ITEM(entries.get(), i) == item) {
            return 0;
        }
    }
    Owned insert;
    const int takes_entries = PyObject_GetOptionalAttr(list, state[insert_method], insert.out());
    if (takes_entries <= 0) {
        return takes_entries;
    }
    const Py_ssize_t size = at_the_front ? 0 : PyObject_Size(list);
    const Owned index = size >= 0 ? steal(PyLong_FromSsize_t(size < 2 ? size : 2)) : Owned{};
    PyObject* args[] = {index.get(), item};
    return index && Owned(steal(PyObject_Vectorcall(insert.get(), args, 2, nullptr))) ? 1 : -1;
}

// The finder goes into sys.meta_path at index 2, behind the built-in and
// frozen finders (at the end when the list is shorter), and first into
// sys.path_hooks, in the lists of the sys module that the import system
// walks. A host that restored earlier lists has taken it out; one that kept
// it must not get a second. A meta path that takes no entries (a tuple)
// stays as the host made it: the path hook then serves the submodules.
// When the hook goes in, what sys.path_importer_cache holds for the package
// directory goes out: cached before (None for a directory that does not
// exist), it would keep the hook from being asked.
bool place_finder_and_hook(const State& state) noexcept {
    const Owned meta_path = sys_setting("meta_path");
    if (!meta_path || insert_once(state, meta_path.get(), state.finder.get(), false) < 0) {
        return false;
    }
    const Owned hooks = sys_setting("path_hooks");
    const int inserted = hooks ? insert_once(state, hooks.get(), state.finder.get(), true) : -1;
    if (inserted <= 0) {
        return inserted == 0;
    }
    const Owned cache = sys_setting("path_importer_cache");
    if (!cache) {
        return false;
    }
    Owned cached;
    const int found = PyDict_Check(cache.get())
                          ? PyDict_GetItemRef(cache.get(), state.package_dir.get(), cached.out())
                          : 0;
    return found == 0 || (found > 0 && (is_directory_finder(state, cached.get()) ||
                                        PyDict_DelItem(cache.get(), state.package_dir.get()) == 0));
}

}  // namespace

Owned sys_setting(const char* name) noexcept {
    PyObject* value = PySys_GetObject(name);
    if (value == nullptr && !PyErr_Occurred()) {
        PyErr_Format(PyExc_RuntimeError, "lost sys.%s", name);
    }
    return add_ref(value);
}

bool run_package(State& state, PyObject* module) noexcept {
    return answer_to_name_of(state, module) && place_finder_and_hook(state) &&
           run_module(state, state.package_row(), module);
}

}  // namespace vx
