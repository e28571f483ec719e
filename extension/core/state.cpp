#include "state.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <new>

#include "package.hpp"
#include "pending_exception.hpp"

namespace vx {

// The object a state lives in, made in one allocation with it.
struct StateObject {
    PyObject_HEAD
    alignas(State) unsigned char storage[sizeof(State)];

    State* state() noexcept { return std::launder(reinterpret_cast<State*>(storage)); }

    static int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
        Py_VISIT(Py_TYPE(self));
        return of(self)->state()->traverse(visit, arg);
    }
    static int clear(PyObject* self) noexcept {
        of(self)->state()->clear();
        return 0;
    }
    static void dealloc(PyObject* self) noexcept {
        PyObject_GC_UnTrack(self);
        PyTypeObject* type = Py_TYPE(self);
        of(self)->state()->~State();
        type->tp_free(self);
        Py_DECREF(type);
    }
    static StateObject* of(PyObject* self) noexcept { return reinterpret_cast<StateObject*>(self); }
};

namespace {

PyType_Slot state_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(StateObject::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(StateObject::clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(StateObject::dealloc)},
    {0, nullptr},
};

PyType_Spec state_spec = {
    .name = "State",
    .basicsize = sizeof(StateObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
             Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = state_slots,
};

// The main interpreter's state, found without a dictionary look-up: the
// common case, and the one the import's many name look-ups take. Only ever
// read or written by the main interpreter's threads, under its lock.
State* main_state = nullptr;

// The key of the state in the interpreter's dictionary, which only C code
// sees: the package's name, "@" and the address of this copy's main_state.
// Two copies of the shared object in one process (one vendored under
// another package beside the installed one, or one loaded by path) each
// have statics, constant slots and types of their own, so each keeps a
// state of its own and never reads the other's; the same file loaded again
// is the same copy and finds its state.
QualifiedName state_key() noexcept {
    char digits[2 * sizeof(void*)];
    auto address = reinterpret_cast<std::uintptr_t>(&main_state);
    for (std::size_t i = sizeof digits; i > 0; --i, address >>= 4) {
        digits[i - 1] = "0123456789abcdef"[address & 15];
    }
    return qualified('@', {digits, sizeof digits});
}

bool is_main(PyInterpreterState* interpreter) noexcept {
    return interpreter == PyInterpreterState_Main();
}

// The state the dictionary holds (borrowed: the dictionary keeps it).
State* find_in(PyObject* dict) noexcept {
    Owned object;
    if (PyDict_GetItemStringRef(dict, state_key().text, object.out()) <= 0 ||
        Py_TYPE(object.get())->tp_dealloc != StateObject::dealloc) {
        return nullptr;
    }
    State* state = StateObject::of(object.get())->state();
    return state->cleared() ? nullptr : state;
}

}  // namespace

State* State::current() noexcept {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    if (is_main(interpreter)) {
        return main_state != nullptr && !main_state->cleared() ? main_state : nullptr;
    }
    PyObject* dict = PyInterpreterState_GetDict(interpreter);
    if (dict == nullptr) {
        return nullptr;
    }
    // An exception pending in the caller stays, and a failed look-up leaves
    // none of its own.
    const PendingException pending;
    return find_in(dict);
}

State* State::get_or_make(SetUp set_up) noexcept {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    PyObject* dict = PyInterpreterState_GetDict(interpreter);
    if (dict == nullptr) {
        PyErr_Format(PyExc_ImportError, "%s: this interpreter keeps no per-interpreter data",
                     served_package().name);
        return nullptr;
    }
    State* state = find_in(dict);
    if (state != nullptr || PyErr_Occurred()) {
        return state;
    }
    const Owned type = steal(package_type(state_spec));
    auto* state_type = reinterpret_cast<PyTypeObject*>(type.get());
    const Owned object = type ? steal(state_type->tp_alloc(state_type, 0)) : Owned{};
    if (!object) {
        return nullptr;
    }
    state = new (StateObject::of(object.get())->storage) State(interpreter, object.get());
    // The names first, since the parts read them as they are made; the state
    // takes its place only once it is whole. Until then the object is its
    // only owner, and a state that failed goes with it.
    if (!state->make_constants() || !set_up(*state) ||
        PyDict_SetItemString(dict, state_key().text, object.get()) < 0) {
        return nullptr;
    }
    if (is_main(interpreter)) {
        main_state = state;
    }
    return state;
}

bool State::make_constants() noexcept {
    constant_values_ = steal(PyTuple_New(static_cast<Py_ssize_t>(Constant::count_for_state())));
    if (!constant_values_) {
        return false;
    }
    for (const Constant* constant = Constant::first(); constant != nullptr;
         constant = constant->next_) {
        PyObject* value = constant->maker_(*constant);
        if (value == nullptr) {
            return false;
        }
        PyTuple_SET_ITEM(constant_values_.get(), static_cast<Py_ssize_t>(constant->slot()), value);
    }
    constants_ = &PyTuple_GET_ITEM(constant_values_.get(), 0);
    return true;
}

namespace {

// What a clear lets go of: every member but the names, which functions read
// on every call and which lead nowhere; what needs the rest again makes it
// anew. One list for the collector's two questions.
template <class Parts>
auto clearable(Parts& state) noexcept {
    return std::array{&state.function_type, &state.package_dir,
                      &state.file_suffix,   &state.module_spec,
                      &state.finder,        &state.loaders,
                      &state.package_names, &state.directory_finder_type,
                      &state.resource_type, &state.native_body};
}

}  // namespace

int State::traverse(visitproc visit, void* arg) const noexcept {
    Py_VISIT(constant_values_.get());
    for (const Owned* held : clearable(*this)) {
        Py_VISIT(held->get());
    }
    return 0;
}

void State::clear() noexcept {
    cleared_ = true;
    for (Owned* held : clearable(*this)) {
        *held = Owned{};
    }
}

// When the last function that holds the state has gone, after the
// interpreter let go of it; a function called from a finaliser at the very
// end of the main interpreter still finds it until then. The members release
// their references after this. Only the main interpreter's own state touches
// the pointer that its threads read: a subinterpreter, under a GIL of its
// own, may free its state at any time.
State::~State() {
    if (is_main(interpreter) && main_state == this) {
        main_state = nullptr;
    }
}

}  // namespace vx
