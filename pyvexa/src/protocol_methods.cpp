// Channel enablement, source selection, session duration, intensity and the
// two sampling questions.
#include "args.hpp"
#include "boundary.hpp"
#include "convert.hpp"
#include "methods.hpp"
#include "objects.hpp"
#include "protocols/config.hpp"

namespace pyvexa::methods {

namespace {

using protocols::settings::ChannelSettings;
using protocols::settings::Settings;
using protocols::settings::SignalSourceSelection;

Params<1> kIntensity{"Protocol.set_stimulation_intensity()", {"intensity"}, 1};
Params<1> kDuration{"Protocol.set_session_duration()", {"duration"}, 1};
Params<1> kEnableChannel{"Protocol.enable_channel()", {"channel"}, 1};
Params<3> kAmplitudeSource{"Protocol.set_amplitude_source()", {"coil", "index", "external"}, 2};
Params<3> kModulationSource{"Protocol.set_modulation_source()", {"channel", "index", "external"}, 2};

ChannelSettings& channel_settings(Settings& settings, std::uint8_t channel) {
    return channel == 0 ? settings.channel_a_settings : settings.channel_b_settings;
}

// Coils A1, A2 drive channel A's first and second amplitude; B1, B2 channel B's.
SignalSourceSelection& amplitude_source(Settings& settings, std::uint8_t coil) {
    ChannelSettings& channel = channel_settings(settings, coil / 2);
    return coil % 2 == 0 ? channel.amplitude1_source : channel.amplitude2_source;
}

// Both indices are always written; the one not in force becomes 0.
void select_source(SignalSourceSelection& selection, std::uint64_t index, bool external) {
    selection = external ? SignalSourceSelection{0, index, true} : SignalSourceSelection{index, 0, false};
}

}  // namespace

PyObject* set_stimulation_intensity(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
        PyObject* argv[1];
        match_fastcall(kIntensity.list(), args, nargs, kwnames, argv);
        ProtocolObject& protocol = protocol_receiver(self);
        ExclusiveAccess access(protocol.access);
        double intensity = arg_float(argv[0], "intensity");
        PYVEXA_ASSERT(intensity >= 0.0 && intensity <= 1.0, "intensity >= 0.0 && intensity <= 1.0");
        protocol.record.settings.intensity = intensity;
        Py_RETURN_NONE;
    });
}

PyObject* set_session_duration(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
        PyObject* argv[1];
        match_fastcall(kDuration.list(), args, nargs, kwnames, argv);
        ProtocolObject& protocol = protocol_receiver(self);
        ExclusiveAccess access(protocol.access);
        double duration = arg_float(argv[0], "duration");
        // The upper bound first, so NaN and +inf report it.
        PYVEXA_ASSERT(duration <= protocols::config::MAX_SESSION_DURATION,
                      "duration <= config::MAX_SESSION_DURATION");
        PYVEXA_ASSERT(duration >= protocols::config::MIN_SESSION_DURATION, "duration >= 0.01");
        protocol.record.settings.session_duration = duration;
        Py_RETURN_NONE;
    });
}

PyObject* enable_channel(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
        PyObject* argv[1];
        match_fastcall(kEnableChannel.list(), args, nargs, kwnames, argv);
        ProtocolObject& protocol = protocol_receiver(self);
        ExclusiveAccess access(protocol.access);
        EnumArgument channel = arg_channel(argv[0], "channel");
        channel_settings(protocol.record.settings, channel.value).enabled = true;
        Py_RETURN_NONE;
    });
}

PyObject* set_amplitude_source(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
        PyObject* argv[3];
        match_fastcall(kAmplitudeSource.list(), args, nargs, kwnames, argv);
        ProtocolObject& protocol = protocol_receiver(self);
        ExclusiveAccess access(protocol.access);
        EnumArgument coil = arg_coil(argv[0], "coil");
        std::uint64_t index = arg_index(argv[1], "index");
        bool external = argv[2] != nullptr ? arg_flag(argv[2], "external") : false;
        select_source(amplitude_source(protocol.record.settings, coil.value), index, external);
        Py_RETURN_NONE;
    });
}

PyObject* set_modulation_source(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
        PyObject* argv[3];
        match_fastcall(kModulationSource.list(), args, nargs, kwnames, argv);
        ProtocolObject& protocol = protocol_receiver(self);
        ExclusiveAccess access(protocol.access);
        EnumArgument channel = arg_channel(argv[0], "channel");
        std::uint64_t index = arg_index(argv[1], "index");
        bool external = argv[2] != nullptr ? arg_flag(argv[2], "external") : false;
        select_source(channel_settings(protocol.record.settings, channel.value).modulation_source, index,
                      external);
        Py_RETURN_NONE;
    });
}

PyObject* get_num_samples(PyObject* self, PyObject*) {
    return boundary([&]() -> PyObject* {
        ProtocolObject& protocol = protocol_receiver(self);
        ExclusiveAccess access(protocol.access);
        double duration = protocol.record.settings.session_duration;
        PYVEXA_ASSERT(duration > 0.0, "self.settings.session_duration > 0.0");
        return PyLong_FromUnsignedLongLong(protocols::config::sample_count(duration));
    });
}

PyObject* get_sampling_rate(PyObject* self, PyObject*) {
    return boundary([&]() -> PyObject* {
        ProtocolObject& protocol = protocol_receiver(self);
        SharedAccess access(protocol.access);
        return PyFloat_FromDouble(protocols::config::SAMPLING_RATE);
    });
}

}  // namespace pyvexa::methods
