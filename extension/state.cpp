#include "state.hpp"

#include <cstdint>
#include <new>

#include "pending_exception.hpp"

namespace vx {

namespace {

// The name of the capsule that holds the state in the interpreter's
// dictionary.
constexpr const char capsule_name[] = "vorlix.State";

// The main interpreter's state, found without a dictionary look-up: the
// common case, and the one the import's many name look-ups take. Only ever
// read or written by the main interpreter's threads, under its lock.
State* main_state = nullptr;

// The key of the state in the interpreter's dictionary, which only C code
// sees: "vorlix@" and the address of this copy's main_state. Two copies of
// the shared object in one process (one vendored under another package
// beside the installed one, or one loaded by path) each have statics,
// constant slots and types of their own, so each keeps a state of its own
// and never reads the other's; the same file loaded again is the same copy
// and finds its state.
struct StateKey {
    char text[8 + (2 * sizeof(void*))];
};

StateKey state_key() noexcept {
    StateKey key = {"vorlix@"};
    auto address = reinterpret_cast<std::uintptr_t>(&main_state);
    for (std::size_t i = 2 * sizeof address; i > 0; --i, address >>= 4) {
        key.text[6 + i] = "0123456789abcdef"[address & 15];
    }
    return key;
}

bool is_main(PyInterpreterState* interpreter) noexcept {
    return interpreter == PyInterpreterState_Main();
}

State* find_in(PyObject* dict) noexcept {
    Owned token;
    if (PyDict_GetItemStringRef(dict, state_key().text, token.out()) <= 0) {
        return nullptr;
    }
    return static_cast<State*>(PyCapsule_GetPointer(token, capsule_name));
}

}  // namespace

State* State::current() noexcept {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    if (is_main(interpreter)) {
        return main_state;
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
        PyErr_SetString(PyExc_ImportError,
                        "vorlix: this interpreter keeps no per-interpreter data");
        return nullptr;
    }
    State* state = find_in(dict);
    if (state != nullptr || PyErr_Occurred()) {
        return state;
    }
    void* memory = PyMem_RawCalloc(1, sizeof(State));
    if (memory == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    state = new (memory) State(interpreter);
    // The capsule stands for the interpreter's own hold on the state: when
    // the interpreter clears its dictionary at the end, forget() lets go.
    const Owned token = steal(PyCapsule_New(state, capsule_name, forget));
    if (!token) {
        state->release();
        return nullptr;
    }
    // The names first, since the parts read them as they are made; the state
    // takes its place only once it is whole.
    if (!state->make_constants() || !set_up(*state) ||
        PyDict_SetItemString(dict, state_key().text, token) < 0) {
        return nullptr;  // the token, released, releases the state
    }
    if (is_main(interpreter)) {
        main_state = state;
    }
    return state;
}

bool State::make_constants() noexcept {
    constant_values_ = steal(PyTuple_New(static_cast<Py_ssize_t>(Constant::count())));
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

void State::release() noexcept {
    if (--holders_ == 0) {
        this->~State();
        PyMem_RawFree(this);
    }
}

// The interpreter lets go; functions still alive keep the state until they
// are freed, and the main interpreter still finds it meanwhile, so that a
// function called from a finaliser at the very end can raise its errors.
// A restarted main interpreter makes its own before it reads the pointer.
void State::forget(PyObject* token) noexcept {
    static_cast<State*>(PyCapsule_GetPointer(token, capsule_name))->release();
}

// The members release their references after this. Only the main
// interpreter's own state touches the pointer that its threads read: a
// subinterpreter, under a GIL of its own, may free its state at any time.
State::~State() {
    if (is_main(interpreter) && main_state == this) {
        main_state = nullptr;
    }
}

}  // namespace vx
