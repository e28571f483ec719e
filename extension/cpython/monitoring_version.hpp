// The interpreter's monitoring version, read where the interpreter itself
// reads it on every instruction: the running thread's eval breaker holds it
// above its eight flag bits, the same value that PyMonitoring_EnterScope
// compares a caller's version with. Reading it inline lets a call skip
// that function whenever no tool changed its events since the last call,
// and lets the call's end notice a tool that began to listen meanwhile.
// Beyond the C API: the eval breaker is a public field of the thread state
// (cpython/pystate.h) but its layout is the interpreter's own. Asking
// PyMonitoring_EnterScope at import would page in interpreter code that
// nothing else there runs, so the read is confirmed instead each time a
// call refreshes its state through that function: should they ever differ,
// every later call asks the function, as calls did before this read (the
// tests hold the read against it on each CPython).
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

namespace vx::cpython {

// The flag bits below the version; every change of a tool's events moves
// the version one step, sys.monitoring.restart_events() two.
inline constexpr int monitoring_flag_bits = 8;
inline constexpr std::uint64_t monitoring_version_step = std::uint64_t{1} << monitoring_flag_bits;

// 0 while the read is confirmed; a flag bit, which no version has, once it
// was not: then no version read matches one that a refresh kept. One for
// the process, written by whichever thread of whichever interpreter (each
// with its own GIL) finds the read wrong, and read by every call on every
// thread: atomic, so that the write racing those reads is no data race
// (which C++ leaves undefined, and a compiler may read twice). Relaxed is
// enough: it only ever goes from 0 to 1, and nothing else is published
// through it; a call on another thread that still reads 0 reads the
// version inline once more, as every call did before, and sees the flag
// soon after. A relaxed load compiles to the plain load it was. (Hidden,
// as everything but the entry point is: read directly, not through the
// global offset table.)
extern __attribute__((visibility("hidden"))) std::atomic<std::uint64_t>
    monitoring_version_unconfirmed;

inline std::uint64_t monitoring_version(PyThreadState* thread) noexcept {
    const std::uintptr_t breaker = __atomic_load_n(&thread->eval_breaker, __ATOMIC_RELAXED);
    // The interpreter keeps the version in 32 bits.
    return static_cast<std::uint32_t>(breaker & ~(monitoring_version_step - 1)) |
           monitoring_version_unconfirmed.load(std::memory_order_relaxed);
}

// After PyMonitoring_EnterScope gave `version` on `thread`: whether the
// read above gives the same; if not, it is read no more.
bool confirm_monitoring_version(PyThreadState* thread, std::uint64_t version) noexcept;

}  // namespace vx::cpython
