// Which tools each of the package's functions tells of its calls, kept in
// the function object and read by every call (monitoring.hpp says what
// tools hear and by which rules).
#pragma once

#include <Python.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "../cpython/code_monitoring.hpp"
#include "../cpython/monitoring_version.hpp"

namespace vx {

namespace monitoring_detail {
// Tools 1 to 5 (see above).
inline constexpr std::uint8_t told_tools = 0b0011'1110;
inline constexpr std::size_t event_count = 4;
// The told tools' bits in the `active` byte of each of the event states, as
// one 64-bit word reads them, whatever the machine's byte order.
inline constexpr std::uint64_t told_in_states = [] {
    struct States {
        PyMonitoringState events[event_count];
    };
    States states{};
    for (PyMonitoringState& state : states.events) {
        state.active = told_tools;
    }
    return std::bit_cast<std::uint64_t>(states);
}();
}  // namespace monitoring_detail

// Which tools each function tells of its calls. Each function keeps its own,
// as the interpreter keeps them per code object: a DISABLE holds for the
// function that answered it. All zero, as the function's memory comes
// from the interpreter, is the state of a function that no tool has heard
// of.
struct Monitoring {
    // The events, by their index in `events`; the first two are those that
    // a tool may switch off, or on, for one function.
    static constexpr std::size_t start = 0, returned = 1, raised = 2, unwound = 3,
                                 count = monitoring_detail::event_count;
    static constexpr std::size_t local_count = 2;
    static const std::uint8_t event_types[count];

    // The tools to tell of each event. PyMonitoring_EnterScope refreshes
    // them to the interpreter's listeners whenever tools change (`version`),
    // and narrow() then takes out the tools that are not told and those that
    // answered DISABLE; until the next change, a function whose tools all
    // answered DISABLE costs no more than one no tool listens to.
    PyMonitoringState events[count];
    std::uint64_t version;
    // The version that `events` were last narrowed at.
    std::uint64_t narrowed;
    // The told tools that listen to each event everywhere, as of `narrowed`.
    std::uint8_t everywhere[count];
    // Of start and return: the tools that listened, everywhere or on this
    // function alone, when last looked, and those that answered DISABLE.
    std::uint8_t listening[local_count];
    std::uint8_t disabled[local_count];
    // Of start and return: the told tools that listen to this function
    // alone, when last read.
    std::uint8_t locally[local_count];
    // The version (which the interpreter keeps in 32 bits) at which the
    // code's local events were last rid of those of tools cleared or freed
    // since they set them.
    std::uint32_t cleaned;

    // Brings `events` up to the interpreter's listeners for a call on
    // `thread`; true when a told tool may listen to the function, whose code object is `code` (null
    // while none is made). With no tool at all, a version check, a test and a look at `code`.
    bool enter(PyThreadState* thread, PyObject* code) noexcept {
        // The scope is entered only when the interpreter's version moved:
        // otherwise it would leave `events` as they are. Entering it does
        // nothing else, and leaving it nothing at all, so it is left at
        // once rather than held over the call.
        if (cpython::monitoring_version(thread) != version) [[unlikely]] {
            (void)PyMonitoring_EnterScope(events, &version, event_types, count);  // cannot fail
            (void)PyMonitoring_ExitScope();
            (void)cpython::confirm_monitoring_version(thread, version);
        }
        // The four states read at once, their `active` bytes tested together.
        static_assert(sizeof events == sizeof(std::uint64_t));
        std::uint64_t states = 0;
        std::memcpy(&states, events, sizeof states);
        return (states & monitoring_detail::told_in_states) != 0 || !settled_locally(code);
    }

    // After a call that no told tool listened to as it began: whether a
    // tool may have begun to listen since, on `thread`, everywhere or to
    // `code` alone. Only then need enter() look again.
    bool may_have_changed(PyThreadState* thread, PyObject* code) const noexcept {
        return cpython::monitoring_version(thread) != version || !settled_locally(code);
    }

    // Whether `events` already account for the tools that listen to `code`
    // alone: the same tools as when last read, and either none, or `events`
    // narrowed since the interpreter's listeners last changed (a change
    // resets `events` to those listeners alone). A function whose local
    // events were cleared is settled again after one more look.
    bool settled_locally(PyObject* code) const noexcept {
        // No tool can set events on a code object not yet made.
        if (code == nullptr) {
            return true;
        }
        const std::uint8_t starts = told_locally(code, PY_MONITORING_EVENT_PY_START);
        const std::uint8_t returns = told_locally(code, PY_MONITORING_EVENT_PY_RETURN);
        return starts == locally[start] && returns == locally[returned] &&
               ((starts | returns) == 0 || narrowed == version);
    }

    // Brings `events` up to date after enter(), before tools are told.
    void narrow() noexcept {
        if (narrowed != version) {
            refresh();
        }
    }

    // Takes in what tools listen to `code` alone, read afresh for each
    // monitored call, once the events of tools cleared or freed since they
    // set them are dropped.
    void listen_locally(PyObject* code) noexcept;

    // The told tools that set `event` on `code` alone.
    [[gnu::always_inline]] static std::uint8_t told_locally(PyObject* code, int event) noexcept {
        return cpython::tools_set_locally(code, event) & monitoring_detail::told_tools;
    }

private:
    // After the interpreter's listeners changed.
    void refresh() noexcept;
    // Has the interpreter drop the events of tools cleared or freed since
    // they set them on `code` alone, once for each version; then
    // read_locally().
    [[gnu::cold]] void clean_then_read(PyObject* code) noexcept;
    // `locally`, read from `code`, and `events` updated.
    void read_locally(PyObject* code) noexcept;
    // `events` of start and return from what listens where.
    void update() noexcept;
};

}  // namespace vx
