#pragma once
// The console trace of transitions and CRCs, as the module functions _log_transition,
// _log_generate_crc and _log_check_crc. Each entry point calls the function currently bound
// under that name in the module namespace (a host may replace it). While TAMSEL_LOGGING is
// False and no function was replaced, the calls are skipped without any lookup.
#include "binding/ref.hpp"

#include <cstdint>
#include <span>

namespace tamsel::trace {

namespace detail {
enum class Mode : unsigned char { idle, active, unknown };
extern Mode mode;  // idle: nothing to call; unknown: the module namespace changed
bool transition(PyObject* name);
bool generate_crc(PyObject* frame);
bool check_crc(std::span<const uint16_t> calculated, PyObject* frame, bool result);
}  // namespace detail

// Whether the trace functions are skipped: nothing is bound to call.
inline bool idle() { return detail::mode == detail::Mode::idle; }

// `_log_transition(name)`; false with an exception set when it raised.
inline bool transition(PyObject* name) { return detail::mode == detail::Mode::idle || detail::transition(name); }

// `_log_generate_crc(frame)` after the frame's CRCs were generated.
inline bool generate_crc(PyObject* frame) { return detail::mode == detail::Mode::idle || detail::generate_crc(frame); }

// `_log_check_crc(calculated, frame, result)` after a check; `calculated` (the frame's CRC
// words as the check computed them) goes as a list of ints.
inline bool check_crc(std::span<const uint16_t> calculated, PyObject* frame, bool result) {
    return detail::mode == detail::Mode::idle || detail::check_crc(calculated, frame, result);
}

}  // namespace tamsel::trace
