#include "monitoring_state.hpp"

namespace vx {

namespace {

using monitoring_detail::told_tools;

// The interpreter moves its monitoring version one step for every change
// of the events a tool listens to, and two for sys.monitoring.restart_events,
// which is what lifts every DISABLE. A step is the version's lowest bit above
// the eight flag bits it shares with the interpreter's eval breaker.
constexpr std::uint64_t version_step = cpython::monitoring_version_step;

}  // namespace

const std::uint8_t Monitoring::event_types[count] = {PY_MONITORING_EVENT_PY_START,
                                                     PY_MONITORING_EVENT_PY_RETURN,
                                                     PY_MONITORING_EVENT_RAISE,
                                                     PY_MONITORING_EVENT_PY_UNWIND};

void Monitoring::refresh() noexcept {
    // Two steps or more since this function last looked: a restart, or
    // several changes; either lifts this function's DISABLEs as a restart
    // would (a tool may be asked once more than the interpreter would ask
    // it, never once less).
    if (version - narrowed > version_step) {
        disabled[start] = disabled[returned] = 0;
    }
    narrowed = version;
    for (std::size_t i = 0; i < count; ++i) {
        everywhere[i] = events[i].active & told_tools;
        events[i].active = everywhere[i];
    }
    update();
}

// Inlined in both callers.
[[gnu::always_inline]] inline void Monitoring::read_locally(PyObject* code) noexcept {
    locally[start] = told_locally(code, PY_MONITORING_EVENT_PY_START);
    locally[returned] = told_locally(code, PY_MONITORING_EVENT_PY_RETURN);
    update();
}

void Monitoring::listen_locally(PyObject* code) noexcept {
    if (cleaned != static_cast<std::uint32_t>(version)) [[unlikely]] {
        // A jump, which leaves this path as short as it was.
        clean_then_read(code);
        return;
    }
    read_locally(code);
}

void Monitoring::clean_then_read(PyObject* code) noexcept {
    // A tool can only have been cleared or freed when the version moved: a
    // Python function's code is instrumented again, and such a tool's
    // events dropped, at its first call after that; this function's code,
    // at its first monitored call, and only when it has events of its own.
    cleaned = static_cast<std::uint32_t>(version);
    if ((told_locally(code, PY_MONITORING_EVENT_PY_START) |
         told_locally(code, PY_MONITORING_EVENT_PY_RETURN)) != 0) {
        cpython::drop_cleared_tools(code);
    }
    read_locally(code);
}

void Monitoring::update() noexcept {
    for (std::size_t i = 0; i < local_count; ++i) {
        const auto now = static_cast<std::uint8_t>(everywhere[i] | locally[i]);
        // A tool that stopped listening and listens again is told again.
        disabled[i] &= listening[i] & now;
        listening[i] = now;
        events[i].active = now & static_cast<std::uint8_t>(~disabled[i]);
    }
}

}  // namespace vx
