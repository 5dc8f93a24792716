#include "signal_methods.hpp"

#include <type_traits>
#include <utility>

#include "protocol_methods.hpp"
#include "protocols/sample_conversion.hpp"

namespace pyvexa::methods {

namespace {

namespace signals = protocols::signals;

// Appends and returns the new signal's index.
template <class Params>
std::size_t append_signal(ProtocolObject& protocol, Params&& params) {
    auto& list = protocol.record.settings.signals;
    std::size_t index = list.size();
    list.emplace_back(std::in_place_type<std::decay_t<Params>>, std::forward<Params>(params));
    return index;
}

}  // namespace

SampleArray arg_samples(PyObject* obj, const char* name) {
    try {
        return SampleArray::accept(obj);
    } catch (const PythonErrorSet&) {
        raise_argument_error(name);
    }
}

std::size_t add_constant_signal(ProtocolObject& protocol, double value) {
    return append_signal(protocol, signals::ConstantSignalParams{value});
}

std::size_t add_sine_signal(ProtocolObject& protocol, double amplitude, double frequency, double phase,
                            double depth) {
    return append_signal(protocol, signals::SineSignalParams{amplitude, frequency, phase, depth});
}

std::size_t add_ramp_signal(ProtocolObject& protocol, double peak, double up_duration, double down_duration) {
    return append_signal(protocol, signals::RampSignalParams{peak, up_duration, down_duration});
}

std::size_t add_mixed_signal(ProtocolObject& protocol, std::uint64_t a_idx, std::uint64_t b_idx) {
    return append_signal(protocol, signals::MixedSignalParams{a_idx, b_idx});
}

std::size_t add_arbitrary_signal(ProtocolObject& protocol, const SampleArray& samples) {
    PYVEXA_ASSERT(samples.size() == get_num_samples(protocol), "samples.len() == self.get_num_samples()");

    signals::SampleVector stored;
    stored.resize(samples.size());  // default-initialised: no zeroing pass
    auto result = protocols::samples::convert_fractions(samples.data(), samples.stride(), samples.size(),
                                                        stored.data());
    using protocols::samples::Fault;
    PYVEXA_ASSERT(result.fault != Fault::BelowZeroOrNaN, "*sample >= 0.0");
    PYVEXA_ASSERT(result.fault != Fault::AboveOne, "*sample <= 1.0");
    return append_signal(protocol, signals::ArbitrarySignalParams{std::move(stored)});
}

}  // namespace pyvexa::methods
