// A pending exception held aside while code runs that must neither see it
// nor replace it: taken from the thread when the guard is made, and put
// back when the guard goes out of scope, whatever that code raised
// meanwhile (which is dropped). The guard owns the exception meanwhile.
#pragma once

#include <Python.h>

namespace vx {

class PendingException {
public:
    PendingException() noexcept : exception_(PyErr_GetRaisedException()) {}
    PendingException(const PendingException&) = delete;
    PendingException& operator=(const PendingException&) = delete;
    PendingException(PendingException&&) = delete;
    PendingException& operator=(PendingException&&) = delete;
    ~PendingException() {
        if (exception_ != nullptr) {
            PyErr_SetRaisedException(exception_);
        } else {
            PyErr_Clear();
        }
    }

    // Whether an exception was pending.
    explicit operator bool() const noexcept { return exception_ != nullptr; }
    // The exception (borrowed), to be read or added to before it goes back.
    PyObject* get() const noexcept { return exception_; }

private:
    PyObject* exception_;
};

}  // namespace vx
