// Owned references as a type of their own, so that every reference in the
// module is held on purpose: an `Owned` releases its reference when it goes
// out of scope; a bare PyObject* is borrowed, and never released.
#pragma once

#include <Python.h>

namespace vx {

class Owned {
public:
    constexpr Owned() noexcept = default;

    // Takes over a reference that the caller already owns, typically a new
    // reference returned by the C API (which may be null on error).
    static Owned steal(PyObject* object) noexcept { return Owned(object); }
    // Adds a reference of its own to an object that is only borrowed.
    static Owned add(PyObject* object) noexcept { return Owned(Py_XNewRef(object)); }

    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Owned(Owned&& other) noexcept : object_(other.release()) {}
    Owned& operator=(Owned&& other) noexcept {
        if (this != &other) {
            PyObject* old = object_;
            object_ = other.release();
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Owned() { Py_XDECREF(object_); }

    // Borrowed explicitly, never by conversion: an Owned that converted by
    // itself would let `Py_DECREF(owned)` release a reference it still
    // holds, and `PyObject* p = steal(...)` keep a pointer to an object
    // freed at the semicolon.
    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Hands the reference to the caller, for returning to the interpreter or
    // to a C API call that steals it.
    [[nodiscard]] PyObject* release() noexcept {
        PyObject* object = object_;
        object_ = nullptr;
        return object;
    }

    // Output slot for the C API calls that return a new reference through a
    // pointer (PyDict_GetItemRef, PyObject_GetOptionalAttr...).
    PyObject** out() noexcept {
        Py_CLEAR(object_);
        return &object_;
    }

private:
    explicit Owned(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

inline Owned steal(PyObject* object) noexcept { return Owned::steal(object); }
inline Owned add_ref(PyObject* object) noexcept { return Owned::add(object); }

}  // namespace vx
