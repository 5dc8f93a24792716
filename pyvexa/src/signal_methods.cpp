// Appending signals; each method returns the new signal's index.
#include <type_traits>
#include <utility>

#include "method_frame.hpp"
#include "methods.hpp"
#include "protocols/config.hpp"
#include "protocols/sample_conversion.hpp"
#include "sample_array.hpp"

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
constexpr auto kAddConstantSignal =
    method<Exclusive>("add_constant_signal", add_constant_signal, param<arg_float>("value"));

std::size_t add_sine_signal(ProtocolObject& protocol, double amplitude, double frequency, double phase,
                            double depth) {
    return append_signal(protocol, signals::SineSignalParams{amplitude, frequency, phase, depth});
}
constexpr auto kAddSineSignal =
    method<Exclusive>("add_sine_signal", add_sine_signal, param<arg_float>("amplitude"),
                      param<arg_float>("frequency"), param<arg_float>("phase", 0.0),
                      param<arg_float>("depth", 1.0));

std::size_t add_ramp_signal(ProtocolObject& protocol, double peak, double up_duration, double down_duration) {
    return append_signal(protocol, signals::RampSignalParams{peak, up_duration, down_duration});
}
constexpr auto kAddRampSignal =
    method<Exclusive>("add_ramp_signal", add_ramp_signal, param<arg_float>("peak"),
                      param<arg_float>("up_duration"), param<arg_float>("down_duration"));

std::size_t add_mixed_signal(ProtocolObject& protocol, std::uint64_t a_idx, std::uint64_t b_idx) {
    return append_signal(protocol, signals::MixedSignalParams{a_idx, b_idx});
}
constexpr auto kAddMixedSignal = method<Exclusive>("add_mixed_signal", add_mixed_signal,
                                                   param<arg_index>("a_idx"), param<arg_index>("b_idx"));

// The array stays registered as read until the call returns.
std::size_t add_arbitrary_signal(ProtocolObject& protocol, const SampleArray& samples) {
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
}
constexpr auto kAddArbitrarySignal =
    method<Exclusive>("add_arbitrary_signal", add_arbitrary_signal, param<arg_samples>("samples"));

}  // namespace

std::array<PyMethodDef, 5> signal_entries() {
    return method_entries<kAddConstantSignal, kAddSineSignal, kAddRampSignal, kAddMixedSignal,
                          kAddArbitrarySignal>();
}

}  // namespace pyvexa::methods
