// The Protocol methods' entries of the method table, by group. The class
// dictionary takes the groups in the order settings, signals, sampling,
// save. Each may throw PythonErrorSet (a text signature is built on first
// use).
#pragma once

#include <array>

#include "glue.hpp"

namespace pyvexa::methods {

// set_stimulation_intensity, set_session_duration, enable_channel,
// set_amplitude_source, set_modulation_source.
std::array<PyMethodDef, 5> setting_entries();

// add_constant_signal, add_sine_signal, add_ramp_signal, add_mixed_signal,
// add_arbitrary_signal.
std::array<PyMethodDef, 5> signal_entries();

// get_num_samples, get_sampling_rate.
std::array<PyMethodDef, 2> sampling_entries();

// save.
PyMethodDef save_entry();

}  // namespace pyvexa::methods
