// Appending signals; each method returns the new signal's index.
#include <type_traits>
#include <utility>

#include "args.hpp"
#include "boundary.hpp"
#include "convert.hpp"
#include "methods.hpp"
#include "objects.hpp"
#include "protocols/config.hpp"
#include "protocols/sample_conversion.hpp"
#include "sample_array.hpp"

namespace pyvexa::methods {

namespace {

namespace signals = protocols::signals;

Params<1> kConstant{"Protocol.add_constant_signal()", {"value"}, 1};
Params<4> kSine{"Protocol.add_sine_signal()", {"amplitude", "frequency", "phase", "depth"}, 2};
Params<3> kRamp{"Protocol.add_ramp_signal()", {"peak", "up_duration", "down_duration"}, 3};
Params<2> kMixed{"Protocol.add_mixed_signal()", {"a_idx", "b_idx"}, 2};
Params<1> kArbitrary{"Protocol.add_arbitrary_signal()", {"samples"}, 1};

// Appends and returns the index as a Python int.
template <class Params>
PyObject* append_signal(ProtocolObject& protocol, Params&& params) {
    auto& list = protocol.record.settings.signals;
    std::size_t index = list.size();
    list.emplace_back(std::in_place_type<std::decay_t<Params>>, std::forward<Params>(params));
    return PyLong_FromSize_t(index);
}

SampleArray arg_samples(PyObject* obj, const char* name) {
    try {
        return SampleArray::accept(obj);
    } catch (const PythonErrorSet&) {
        raise_argument_error(name);
    }
}

}  // namespace

PyObject* add_constant_signal(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
        PyObject* argv[1];
        match_fastcall(kConstant.list(), args, nargs, kwnames, argv);
        ProtocolObject& protocol = protocol_receiver(self);
        ExclusiveAccess access(protocol.access);
        double value = arg_float(argv[0], "value");
        return append_signal(protocol, signals::ConstantSignalParams{value});
    });
}

PyObject* add_sine_signal(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
        PyObject* argv[4];
        match_fastcall(kSine.list(), args, nargs, kwnames, argv);
        ProtocolObject& protocol = protocol_receiver(self);
        ExclusiveAccess access(protocol.access);
        double amplitude = arg_float(argv[0], "amplitude");
        double frequency = arg_float(argv[1], "frequency");
        double phase = argv[2] != nullptr ? arg_float(argv[2], "phase") : 0.0;
        double depth = argv[3] != nullptr ? arg_float(argv[3], "depth") : 1.0;
        return append_signal(protocol, signals::SineSignalParams{amplitude, frequency, phase, depth});
    });
}

PyObject* add_ramp_signal(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
        PyObject* argv[3];
        match_fastcall(kRamp.list(), args, nargs, kwnames, argv);
        ProtocolObject& protocol = protocol_receiver(self);
        ExclusiveAccess access(protocol.access);
        double peak = arg_float(argv[0], "peak");
        double up_duration = arg_float(argv[1], "up_duration");
        double down_duration = arg_float(argv[2], "down_duration");
        return append_signal(protocol, signals::RampSignalParams{peak, up_duration, down_duration});
    });
}

PyObject* add_mixed_signal(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
        PyObject* argv[2];
        match_fastcall(kMixed.list(), args, nargs, kwnames, argv);
        ProtocolObject& protocol = protocol_receiver(self);
        ExclusiveAccess access(protocol.access);
        std::uint64_t a_idx = arg_index(argv[0], "a_idx");
        std::uint64_t b_idx = arg_index(argv[1], "b_idx");
        return append_signal(protocol, signals::MixedSignalParams{a_idx, b_idx});
    });
}

PyObject* add_arbitrary_signal(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
        PyObject* argv[1];
        match_fastcall(kArbitrary.list(), args, nargs, kwnames, argv);
        ProtocolObject& protocol = protocol_receiver(self);
        ExclusiveAccess access(protocol.access);
        SampleArray samples = arg_samples(argv[0], "samples");

        const double duration = protocol.record.settings.session_duration;
        PYVEXA_ASSERT(duration > 0.0, "self.settings.session_duration > 0.0");
        const std::uint64_t required = protocols::config::sample_count(duration);
        PYVEXA_ASSERT(samples.size() == required, "samples.len() == self.get_num_samples()");

        signals::SampleVector stored;
        stored.resize(samples.size());  // default-initialised: no zeroing pass
        auto result = protocols::samples::convert_fractions(samples.data(), samples.stride(), samples.size(),
                                                            stored.data());
        using protocols::samples::Fault;
        PYVEXA_ASSERT(result.fault != Fault::BelowZeroOrNaN, "*sample >= 0.0");
        PYVEXA_ASSERT(result.fault != Fault::AboveOne, "*sample <= 1.0");
        return append_signal(protocol, signals::ArbitrarySignalParams{std::move(stored)});
    });
}

}  // namespace pyvexa::methods
