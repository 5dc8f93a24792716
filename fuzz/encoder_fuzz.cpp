// libFuzzer target for the protocol-file encoder: builds a random Settings
// record, encodes it, decodes the bytes with a reader written here from the
// postcard rules and with the project's decoder, and demands the same record
// back from both, bit for bit.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "protocols/lcsettings.hpp"
#include "protocols/machine_config.hpp"
#include "protocols/postcard.hpp"
#include "protocols/postcard_decode.hpp"
#include "protocols/settings.hpp"
#include "protocols/signals.hpp"

namespace {

using protocols::lcsettings::Coil;
using protocols::lcsettings::LCSetting;
using protocols::machine_config::MachineConfig;
using protocols::postcard::ByteBuffer;
using protocols::settings::ChannelSettings;
using protocols::settings::Settings;
using protocols::settings::SignalSourceSelection;
using protocols::signals::ArbitrarySignalParams;
using protocols::signals::ConstantSignalParams;
using protocols::signals::MixedSignalParams;
using protocols::signals::RampSignalParams;
using protocols::signals::SampleVector;
using protocols::signals::Signal;
using protocols::signals::SineSignalParams;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "encoder_fuzz: %s\n", what);
    std::fflush(stderr);
    __builtin_trap();
}

// Structured bindings must name every member, so these stop compiling when
// a record gains or loses a field that the builder and checker would miss.
[[maybe_unused]] void field_count_guard(const Settings& s, const MachineConfig& m, const Coil& c,
                                        const LCSetting& l, const ChannelSettings& ch,
                                        const SignalSourceSelection& sel, const ConstantSignalParams& k,
                                        const SineSignalParams& sn, const RampSignalParams& r,
                                        const MixedSignalParams& mx, const ArbitrarySignalParams& a) {
    [[maybe_unused]] const auto& [s1, s2, s3, s4, s5, s6, s7, s8, s9] = s;
    [[maybe_unused]] const auto& [m1, m2, m3, m4, m5, m6, m7, m8, m9, m10, m11, m12, m13, m14, m15, m16] = m;
    [[maybe_unused]] const auto& [c1, c2, c3, c4, c5] = c;
    [[maybe_unused]] const auto& [l1, l2, l3, l4] = l;
    [[maybe_unused]] const auto& [h1, h2, h3, h4, h5, h6] = ch;
    [[maybe_unused]] const auto& [e1, e2, e3] = sel;
    [[maybe_unused]] const auto& [k1] = k;
    [[maybe_unused]] const auto& [n1, n2, n3, n4] = sn;
    [[maybe_unused]] const auto& [r1, r2, r3] = r;
    [[maybe_unused]] const auto& [x1, x2] = mx;
    [[maybe_unused]] const auto& [a1] = a;
    static_assert(std::variant_size_v<Signal> == 5);
}

// ---- Random record builder -------------------------------------------------

std::uint64_t splitmix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

double any_f64(FuzzedDataProvider& in) {
    static constexpr std::uint64_t kSpecial[] = {
        0x0000000000000000ull,  // +0.0
        0x8000000000000000ull,  // -0.0
        0x7FF0000000000000ull,  // +inf
        0xFFF0000000000000ull,  // -inf
        0x7FF8000000000000ull,  // quiet NaN
        0xFFF8000000000000ull,  // negative quiet NaN
        0x7FF0000000000001ull,  // signalling NaN, payload 1
        0x7FF4000000000000ull,  // signalling NaN
        0xFFFFFFFFFFFFFFFFull,  // all-ones NaN
        0x7FF80000DEADBEEFull,  // quiet NaN with payload
        0x0000000000000001ull,  // smallest subnormal
        0x800FFFFFFFFFFFFFull,  // largest negative subnormal
        0x7FEFFFFFFFFFFFFFull,  // largest finite
        0x3FF0000000000000ull,  // 1.0
        0x4054800000000000ull,  // 82.0
    };
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            return std::bit_cast<double>(in.PickValueInArray(kSpecial));
        case 1: {
            // NaN with an arbitrary sign and a non-zero payload.
            std::uint64_t payload = in.ConsumeIntegral<std::uint64_t>();
            std::uint64_t bits = 0x7FF0000000000000ull | (payload & 0x800FFFFFFFFFFFFFull);
            if ((bits & 0x000FFFFFFFFFFFFFull) == 0) bits |= 1;
            return std::bit_cast<double>(bits);
        }
        default:
            return std::bit_cast<double>(in.ConsumeIntegral<std::uint64_t>());
    }
}

std::uint64_t any_u64(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 4)) {
        case 0:
            return in.ConsumeIntegralInRange<std::uint64_t>(0, 300);
        case 1: {
            // Around the powers of two, where varints gain a byte at multiples of 7.
            const int shift = in.ConsumeIntegralInRange<int>(0, 63);
            const std::uint64_t base = std::uint64_t{1} << shift;
            return base + static_cast<std::uint64_t>(in.ConsumeIntegralInRange<int>(-1, 1));
        }
        case 2:
            return in.ConsumeIntegral<std::uint64_t>() | (std::uint64_t{1} << 63);
        case 3:
            return in.PickValueInArray<std::uint64_t>({0, 127, 128, 16383, 16384, (std::uint64_t{1} << 63) - 1,
                                                        std::uint64_t{1} << 63, ~std::uint64_t{0}});
        default:
            return in.ConsumeIntegral<std::uint64_t>();
    }
}

void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Coil names come from Python str, so they are always valid UTF-8.
std::string any_name(FuzzedDataProvider& in) {
    std::string name;
    const std::size_t chars = in.ConsumeIntegralInRange<std::size_t>(0, in.ConsumeBool() ? 8 : 200);
    for (std::size_t i = 0; i < chars; ++i) {
        std::uint32_t cp = 0;
        switch (in.ConsumeIntegralInRange<int>(0, 4)) {
            case 0: cp = in.ConsumeIntegralInRange<std::uint32_t>(0, 0x7F); break;
            case 1: cp = in.ConsumeIntegralInRange<std::uint32_t>(0x80, 0x7FF); break;
            case 2: cp = in.ConsumeIntegralInRange<std::uint32_t>(0x800, 0xFFFF); break;
            case 3: cp = in.ConsumeIntegralInRange<std::uint32_t>(0x10000, 0x10FFFF); break;
            default: cp = in.PickValueInArray<std::uint32_t>({0, 0x7F, 0x80, 0x7FF, 0x800, 0xFFFF, 0x10000, 0x10FFFF});
        }
        if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;  // surrogates are not scalar values
        append_utf8(name, cp);
    }
    return name;
}

std::int16_t sample_from(std::uint64_t r) {
    static constexpr std::int16_t kEdge[] = {0,     -1,    1,     63,     64,     -64,   -65,    8191,
                                             8192,  -8192, -8193, 32767,  -32768, 32766, -32767, 200,
                                             -300};
    switch (r & 3) {
        case 0: return kEdge[(r >> 8) % (sizeof kEdge / sizeof kEdge[0])];
        case 1: return static_cast<std::int16_t>(static_cast<std::int64_t>((r >> 8) % 128) - 64);  // 1 byte
        case 2: return static_cast<std::int16_t>(static_cast<std::int64_t>((r >> 8) % 16384) - 8192);  // up to 2
        default: return static_cast<std::int16_t>(r >> 16);
    }
}

SampleVector any_samples(FuzzedDataProvider& in) {
    SampleVector samples;
    if (in.ConsumeBool()) {
        // Every sample from the input: short vectors the fuzzer steers exactly.
        const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, 80);
        samples.resize(count);
        for (auto& s : samples) s = in.ConsumeBool() ? sample_from(in.ConsumeIntegral<std::uint32_t>())
                                                     : in.ConsumeIntegral<std::int16_t>();
    } else {
        // Long vectors from a seeded generator, to run the vector encoder
        // through its blocks and tails; kept far below the size that maps
        // pages directly, so ASan still guards the buffers.
        const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, 6000);
        std::uint64_t state = in.ConsumeIntegral<std::uint64_t>();
        const int mode = in.ConsumeIntegralInRange<int>(0, 3);
        samples.resize(count);
        for (auto& s : samples) {
            const std::uint64_t r = splitmix(state);
            s = mode == 3 ? sample_from(r) : sample_from((r & ~std::uint64_t{3}) | static_cast<std::uint64_t>(mode));
        }
    }
    return samples;
}

Signal any_signal(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 4)) {
        case 0: return ConstantSignalParams{any_f64(in)};
        case 1: {
            SineSignalParams p;
            p.amplitude = any_f64(in);
            p.frequency = any_f64(in);
            p.phase = any_f64(in);
            p.depth = any_f64(in);
            return p;
        }
        case 2: {
            RampSignalParams p;
            p.peak = any_f64(in);
            p.up_duration = any_f64(in);
            p.down_duration = any_f64(in);
            return p;
        }
        case 3: {
            MixedSignalParams p;
            p.a_idx = any_u64(in);
            p.b_idx = any_u64(in);
            return p;
        }
        default: {
            ArbitrarySignalParams p;
            p.samples = any_samples(in);
            return p;
        }
    }
}

std::vector<double> any_f64_seq(FuzzedDataProvider& in) {
    std::vector<double> v(in.ConsumeIntegralInRange<std::size_t>(0, 6));
    for (auto& x : v) x = any_f64(in);
    return v;
}

Coil any_coil(FuzzedDataProvider& in) {
    Coil c;
    c.name = any_name(in);
    c.inductance = any_f64(in);
    c.max_current = any_f64(in);
    c.max_carrier_frequency = any_f64(in);
    c.settings.resize(in.ConsumeIntegralInRange<std::size_t>(0, 4));
    for (auto& t : c.settings) {
        t.capacitance = any_f64(in);
        t.carrier_frequency = any_f64(in);
        t.clk_ticks_per_sample = any_u64(in);
        t.capacitor_bank_setting = any_u64(in);
    }
    return c;
}

SignalSourceSelection any_selection(FuzzedDataProvider& in) {
    SignalSourceSelection s;
    s.internal = any_u64(in);
    s.external = any_u64(in);
    s.external_selected = in.ConsumeBool();
    return s;
}

ChannelSettings any_channel(FuzzedDataProvider& in) {
    ChannelSettings c;
    c.enabled = in.ConsumeBool();
    c.amplitude1_source = any_selection(in);
    c.amplitude2_source = any_selection(in);
    c.modulation_source = any_selection(in);
    c.coil_idx = any_u64(in);
    c.coil_setting_idx = any_u64(in);
    return c;
}

// The constructor reads the environment and fills in defaults; every field
// is then overwritten so the record depends on the input alone.
void fill_settings(FuzzedDataProvider& in, Settings& s) {
    s.running_on_target_machine = in.ConsumeBool();

    MachineConfig& m = s.machine_config;
    m.supply_voltage = any_f64(in);
    m.num_coils = any_u64(in);
    m.coils.clear();
    const std::size_t coils = in.ConsumeIntegralInRange<std::size_t>(0, 3);
    for (std::size_t i = 0; i < coils; ++i) m.coils.push_back(any_coil(in));
    m.capacitors = any_f64_seq(in);
    m.possible_capacitances = any_f64_seq(in);
    m.num_external_signal_sources = any_u64(in);
    m.smbus_psu_connected = in.ConsumeBool();
    m.num_temperature_sensors = any_u64(in);
    m.num_flow_rate_sensors = any_u64(in);
    m.safety_checks_enabled = in.ConsumeBool();
    m.max_intensity_setpoint = any_f64(in);
    m.max_current = any_f64(in);
    m.max_carrier_frequency = any_f64(in);
    m.max_temperature = any_f64(in);
    m.min_flowrate = any_f64(in);
    m.max_power = any_f64(in);

    s.intensity = any_f64(in);
    s.session_duration = any_f64(in);
    s.signals.clear();
    const std::size_t signals = in.ConsumeIntegralInRange<std::size_t>(0, 6);
    for (std::size_t i = 0; i < signals; ++i) s.signals.push_back(any_signal(in));
    s.channel_a_settings = any_channel(in);
    s.channel_b_settings = any_channel(in);
    for (auto& flag : s.monitor_trace_visible) flag = in.ConsumeBool();
    s.monitor_subsampling_factor = any_u64(in);
}

// ---- Independent reader ----------------------------------------------------

bool valid_utf8(const std::string& text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const unsigned lead = *p;
        std::size_t len;
        std::uint32_t cp;
        std::uint32_t min;
        if (lead < 0x80) { ++p; continue; }
        if (lead >= 0xC2 && lead <= 0xDF) { len = 2; cp = lead & 0x1F; min = 0x80; }
        else if ((lead & 0xF0) == 0xE0) { len = 3; cp = lead & 0x0F; min = 0x800; }
        else if (lead >= 0xF0 && lead <= 0xF4) { len = 4; cp = lead & 0x07; min = 0x10000; }
        else return false;
        if (static_cast<std::size_t>(end - p) < len) return false;
        for (std::size_t i = 1; i < len; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i] & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        p += len;
    }
    return true;
}

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool at_end() const { return pos_ == size_; }
    std::size_t left() const { return size_ - pos_; }

    std::uint8_t byte() {
        if (pos_ >= size_) fail("reader ran past the end of the encoding");
        return data_[pos_++];
    }

    // Unsigned LEB128, shortest form only.
    std::uint64_t varint() {
        std::uint64_t value = 0;
        for (int i = 0; i < 10; ++i) {
            const std::uint8_t b = byte();
            if (i == 9 && b > 0x01) fail("varint exceeds 64 bits");
            value |= static_cast<std::uint64_t>(b & 0x7F) << (7 * i);
            if ((b & 0x80) == 0) {
                if (b == 0 && i > 0) fail("varint not in shortest form");
                return value;
            }
        }
        fail("varint longer than 10 bytes");
    }

    std::int16_t zigzag_i16() {
        const std::uint64_t z = varint();
        if (z > 0xFFFF) fail("zigzag sample exceeds 16 bits");
        const auto u = static_cast<std::uint16_t>(z);
        return static_cast<std::int16_t>(static_cast<std::uint16_t>((u >> 1) ^ (0u - (u & 1u))));
    }

    double f64() {
        std::uint64_t bits = 0;
        for (int i = 0; i < 8; ++i) bits |= static_cast<std::uint64_t>(byte()) << (8 * i);
        return std::bit_cast<double>(bits);
    }

    bool boolean() {
        const std::uint8_t b = byte();
        if (b > 1) fail("boolean byte is neither 0 nor 1");
        return b == 1;
    }

    // Every element takes at least one byte, which bounds a sane count.
    std::size_t count() {
        const std::uint64_t n = varint();
        if (n > left()) fail("sequence count larger than the bytes left");
        return static_cast<std::size_t>(n);
    }

    std::string str() {
        const std::uint64_t n = varint();
        if (n > left()) fail("string length larger than the bytes left");
        std::string s(reinterpret_cast<const char*>(data_ + pos_), static_cast<std::size_t>(n));
        pos_ += static_cast<std::size_t>(n);
        if (!valid_utf8(s)) fail("string is not valid UTF-8");
        return s;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

LCSetting read_lcsetting(Reader& r) {
    LCSetting t;
    t.capacitance = r.f64();
    t.carrier_frequency = r.f64();
    t.clk_ticks_per_sample = r.varint();
    t.capacitor_bank_setting = r.varint();
    return t;
}

Coil read_coil(Reader& r) {
    Coil c;
    c.name = r.str();
    c.inductance = r.f64();
    c.max_current = r.f64();
    c.max_carrier_frequency = r.f64();
    c.settings.resize(r.count());
    for (auto& t : c.settings) t = read_lcsetting(r);
    return c;
}

std::vector<double> read_f64_seq(Reader& r) {
    std::vector<double> v(r.count());
    for (auto& x : v) x = r.f64();
    return v;
}

MachineConfig read_machine_config(Reader& r) {
    MachineConfig m;
    m.supply_voltage = r.f64();
    m.num_coils = r.varint();
    m.coils.resize(r.count());
    for (auto& c : m.coils) c = read_coil(r);
    m.capacitors = read_f64_seq(r);
    m.possible_capacitances = read_f64_seq(r);
    m.num_external_signal_sources = r.varint();
    m.smbus_psu_connected = r.boolean();
    m.num_temperature_sensors = r.varint();
    m.num_flow_rate_sensors = r.varint();
    m.safety_checks_enabled = r.boolean();
    m.max_intensity_setpoint = r.f64();
    m.max_current = r.f64();
    m.max_carrier_frequency = r.f64();
    m.max_temperature = r.f64();
    m.min_flowrate = r.f64();
    m.max_power = r.f64();
    return m;
}

Signal read_signal(Reader& r) {
    switch (r.varint()) {
        case 0: return ConstantSignalParams{r.f64()};
        case 1: {
            SineSignalParams p;
            p.amplitude = r.f64();
            p.frequency = r.f64();
            p.phase = r.f64();
            p.depth = r.f64();
            return p;
        }
        case 2: {
            RampSignalParams p;
            p.peak = r.f64();
            p.up_duration = r.f64();
            p.down_duration = r.f64();
            return p;
        }
        case 3: {
            MixedSignalParams p;
            p.a_idx = r.varint();
            p.b_idx = r.varint();
            return p;
        }
        case 4: {
            ArbitrarySignalParams p;
            p.samples.resize(r.count());
            for (auto& s : p.samples) s = r.zigzag_i16();
            return p;
        }
        default: fail("unknown Signal variant index");
    }
}

SignalSourceSelection read_selection(Reader& r) {
    SignalSourceSelection s;
    s.internal = r.varint();
    s.external = r.varint();
    s.external_selected = r.boolean();
    return s;
}

ChannelSettings read_channel(Reader& r) {
    ChannelSettings c;
    c.enabled = r.boolean();
    c.amplitude1_source = read_selection(r);
    c.amplitude2_source = read_selection(r);
    c.modulation_source = read_selection(r);
    c.coil_idx = r.varint();
    c.coil_setting_idx = r.varint();
    return c;
}

void read_settings(Reader& r, Settings& s) {
    s.running_on_target_machine = r.boolean();
    s.machine_config = read_machine_config(r);
    s.intensity = r.f64();
    s.session_duration = r.f64();
    s.signals.clear();
    s.signals.resize(r.count());
    for (auto& sig : s.signals) sig = read_signal(r);
    s.channel_a_settings = read_channel(r);
    s.channel_b_settings = read_channel(r);
    for (auto& flag : s.monitor_trace_visible) flag = r.boolean();  // fixed array: no count
    s.monitor_subsampling_factor = r.varint();
}

// ---- Field-by-field comparison (doubles by bit pattern) --------------------

void same_f64(double a, double b, const char* what) {
    if (std::bit_cast<std::uint64_t>(a) != std::bit_cast<std::uint64_t>(b)) fail(what);
}

template <class T>
void same(const T& a, const T& b, const char* what) {
    if (!(a == b)) fail(what);
}

void same_coil(const Coil& a, const Coil& b) {
    same(a.name, b.name, "coil name");
    same_f64(a.inductance, b.inductance, "coil inductance");
    same_f64(a.max_current, b.max_current, "coil max_current");
    same_f64(a.max_carrier_frequency, b.max_carrier_frequency, "coil max_carrier_frequency");
    same(a.settings.size(), b.settings.size(), "coil settings count");
    for (std::size_t i = 0; i < a.settings.size(); ++i) {
        const LCSetting& x = a.settings[i];
        const LCSetting& y = b.settings[i];
        same_f64(x.capacitance, y.capacitance, "tuning capacitance");
        same_f64(x.carrier_frequency, y.carrier_frequency, "tuning carrier_frequency");
        same(x.clk_ticks_per_sample, y.clk_ticks_per_sample, "tuning clk_ticks_per_sample");
        same(x.capacitor_bank_setting, y.capacitor_bank_setting, "tuning capacitor_bank_setting");
    }
}

void same_f64_seq(const std::vector<double>& a, const std::vector<double>& b, const char* what) {
    same(a.size(), b.size(), what);
    for (std::size_t i = 0; i < a.size(); ++i) same_f64(a[i], b[i], what);
}

void same_signal(const Signal& a, const Signal& b) {
    same(a.index(), b.index(), "signal variant index");
    if (const auto* x = std::get_if<ConstantSignalParams>(&a)) {
        same_f64(x->value, std::get<ConstantSignalParams>(b).value, "Constant value");
    } else if (const auto* x = std::get_if<SineSignalParams>(&a)) {
        const auto& y = std::get<SineSignalParams>(b);
        same_f64(x->amplitude, y.amplitude, "Sine amplitude");
        same_f64(x->frequency, y.frequency, "Sine frequency");
        same_f64(x->phase, y.phase, "Sine phase");
        same_f64(x->depth, y.depth, "Sine depth");
    } else if (const auto* x = std::get_if<RampSignalParams>(&a)) {
        const auto& y = std::get<RampSignalParams>(b);
        same_f64(x->peak, y.peak, "Ramp peak");
        same_f64(x->up_duration, y.up_duration, "Ramp up_duration");
        same_f64(x->down_duration, y.down_duration, "Ramp down_duration");
    } else if (const auto* x = std::get_if<MixedSignalParams>(&a)) {
        const auto& y = std::get<MixedSignalParams>(b);
        same(x->a_idx, y.a_idx, "MixedSignal a_idx");
        same(x->b_idx, y.b_idx, "MixedSignal b_idx");
    } else {
        const auto& xs = std::get<ArbitrarySignalParams>(a).samples;
        const auto& ys = std::get<ArbitrarySignalParams>(b).samples;
        same(xs.size(), ys.size(), "Arbitrary sample count");
        for (std::size_t i = 0; i < xs.size(); ++i) {
            if (xs[i] != ys[i]) {
                std::fprintf(stderr, "sample %zu: built %d, decoded %d\n", i, xs[i], ys[i]);
                fail("Arbitrary sample");
            }
        }
    }
}

void same_selection(const SignalSourceSelection& a, const SignalSourceSelection& b) {
    same(a.internal, b.internal, "source internal");
    same(a.external, b.external, "source external");
    same(a.external_selected, b.external_selected, "source external_selected");
}

void same_channel(const ChannelSettings& a, const ChannelSettings& b) {
    same(a.enabled, b.enabled, "channel enabled");
    same_selection(a.amplitude1_source, b.amplitude1_source);
    same_selection(a.amplitude2_source, b.amplitude2_source);
    same_selection(a.modulation_source, b.modulation_source);
    same(a.coil_idx, b.coil_idx, "channel coil_idx");
    same(a.coil_setting_idx, b.coil_setting_idx, "channel coil_setting_idx");
}

void same_settings(const Settings& a, const Settings& b) {
    same(a.running_on_target_machine, b.running_on_target_machine, "running_on_target_machine");
    const MachineConfig& m = a.machine_config;
    const MachineConfig& n = b.machine_config;
    same_f64(m.supply_voltage, n.supply_voltage, "supply_voltage");
    same(m.num_coils, n.num_coils, "num_coils");
    same(m.coils.size(), n.coils.size(), "coil count");
    for (std::size_t i = 0; i < m.coils.size(); ++i) same_coil(m.coils[i], n.coils[i]);
    same_f64_seq(m.capacitors, n.capacitors, "capacitors");
    same_f64_seq(m.possible_capacitances, n.possible_capacitances, "possible_capacitances");
    same(m.num_external_signal_sources, n.num_external_signal_sources, "num_external_signal_sources");
    same(m.smbus_psu_connected, n.smbus_psu_connected, "smbus_psu_connected");
    same(m.num_temperature_sensors, n.num_temperature_sensors, "num_temperature_sensors");
    same(m.num_flow_rate_sensors, n.num_flow_rate_sensors, "num_flow_rate_sensors");
    same(m.safety_checks_enabled, n.safety_checks_enabled, "safety_checks_enabled");
    same_f64(m.max_intensity_setpoint, n.max_intensity_setpoint, "max_intensity_setpoint");
    same_f64(m.max_current, n.max_current, "max_current");
    same_f64(m.max_carrier_frequency, n.max_carrier_frequency, "max_carrier_frequency");
    same_f64(m.max_temperature, n.max_temperature, "max_temperature");
    same_f64(m.min_flowrate, n.min_flowrate, "min_flowrate");
    same_f64(m.max_power, n.max_power, "max_power");
    same_f64(a.intensity, b.intensity, "intensity");
    same_f64(a.session_duration, b.session_duration, "session_duration");
    same(a.signals.size(), b.signals.size(), "signal count");
    for (std::size_t i = 0; i < a.signals.size(); ++i) same_signal(a.signals[i], b.signals[i]);
    same_channel(a.channel_a_settings, b.channel_a_settings);
    same_channel(a.channel_b_settings, b.channel_b_settings);
    same(a.monitor_trace_visible, b.monitor_trace_visible, "monitor_trace_visible");
    same(a.monitor_subsampling_factor, b.monitor_subsampling_factor, "monitor_subsampling_factor");
}

// ---- Reader self-test on known encodings -----------------------------------

std::vector<std::uint8_t> hex(const char* text) {
    std::vector<std::uint8_t> out;
    int hi = -1;
    for (const char* p = text; *p; ++p) {
        int v;
        if (*p >= '0' && *p <= '9') v = *p - '0';
        else if (*p >= 'a' && *p <= 'f') v = *p - 'a' + 10;
        else continue;
        if (hi < 0) { hi = v; } else { out.push_back(static_cast<std::uint8_t>(hi * 16 + v)); hi = -1; }
    }
    return out;
}

// A 213-byte protocol with one coil, one tuning and one sine signal.
constexpr const char* kGoldenFile =
    "00 0000000000004840 01 01 024131 000000000000d03f 0000000000002040 0000000000409f40"
    " 01 000000000000c03f 0000000000408f40 c801 05"
    " 01 000000000000c03f 00 02 01 04 01 01"
    " 000000000000f03f 0000000000002040 0000000000409f40 0000000000004440 000000000000e03f 0000000000005940"
    " 000000000000e03f 0000000000004e40"
    " 01 01 000000000000f03f 0000000000002440 0000000000000000 000000000000e03f"
    " 01 000000 000000 000101 00 00"
    " 00 000000 000000 000000 00 00"
    " 0101 0000000000000000000000000000 ac02";

Settings golden_settings() {
    Settings s;
    s.running_on_target_machine = false;
    MachineConfig& m = s.machine_config;
    m.supply_voltage = 48.0;
    m.num_coils = 1;
    Coil c;
    c.name = "A1";
    c.inductance = 0.25;
    c.max_current = 8.0;
    c.max_carrier_frequency = 2000.0;
    c.settings = {LCSetting{0.125, 1000.0, 200, 5}};
    m.coils = {c};
    m.capacitors = {0.125};
    m.possible_capacitances = {};
    m.num_external_signal_sources = 2;
    m.smbus_psu_connected = true;
    m.num_temperature_sensors = 4;
    m.num_flow_rate_sensors = 1;
    m.safety_checks_enabled = true;
    m.max_intensity_setpoint = 1.0;
    m.max_current = 8.0;
    m.max_carrier_frequency = 2000.0;
    m.max_temperature = 40.0;
    m.min_flowrate = 0.5;
    m.max_power = 100.0;
    s.intensity = 0.5;
    s.session_duration = 60.0;
    s.signals = {SineSignalParams{1.0, 10.0, 0.0, 0.5}};
    s.channel_a_settings = ChannelSettings{true, {0, 0, false}, {0, 0, false}, {0, 1, true}, 0, 0};
    s.channel_b_settings = ChannelSettings{false, {}, {}, {}, 0, 0};
    s.monitor_trace_visible = {};
    s.monitor_trace_visible[0] = s.monitor_trace_visible[1] = true;
    s.monitor_subsampling_factor = 300;
    return s;
}

// Proves the reader against hand-checked bytes before it judges the encoder.
void self_test() {
    const std::vector<std::uint8_t> file = hex(kGoldenFile);
    if (file.size() != 213) fail("self-test: golden file is not 213 bytes");
    Settings decoded;
    Reader r(file.data(), file.size());
    read_settings(r, decoded);
    if (!r.at_end()) fail("self-test: bytes left after the golden file");
    same_settings(golden_settings(), decoded);

    const std::vector<std::uint8_t> arb = hex("04 07 00 01 02 90 03 d7 04 fe ff 03 ff ff 03");
    Reader ra(arb.data(), arb.size());
    const Signal sig = read_signal(ra);
    if (!ra.at_end()) fail("self-test: bytes left after the Arbitrary example");
    ArbitrarySignalParams want;
    want.samples = {0, -1, 1, 200, -300, 32767, -32768};
    same_signal(Signal{want}, sig);

    const std::vector<std::uint8_t> v = hex("00 7f 8001 ac02 808001 ffffffffffffffffff01");
    Reader rv(v.data(), v.size());
    for (std::uint64_t expect : {std::uint64_t{0}, std::uint64_t{127}, std::uint64_t{128}, std::uint64_t{300},
                                 std::uint64_t{16384}, ~std::uint64_t{0}}) {
        if (rv.varint() != expect) fail("self-test: varint example");
    }
    if (!rv.at_end()) fail("self-test: bytes left after the varint examples");
}

// ---- Checks ----------------------------------------------------------------

void check_buffer(const ByteBuffer& b) {
    if (b.size() > b.capacity()) fail("buffer size exceeds its capacity");
    if (b.size() != 0 && b.data() == nullptr) fail("non-empty buffer without data");
}

bool same_bytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
    return n == 0 || std::memcmp(a, b, n) == 0;
}

template <class T>
void encode(const T& value, ByteBuffer& out) {
    const protocols::postcard::Status status = protocols::postcard::serialize(value, out);
    if (!status.is_ok()) fail("serialize reported an error");
    check_buffer(out);
}

// A lone signal or coil, encoded on its own, must decode to itself too.
void check_parts(const Settings& s) {
    for (const Signal& sig : s.signals) {
        ByteBuffer b;
        encode(sig, b);
        Reader r(b.data(), b.size());
        const Signal back = read_signal(r);
        if (!r.at_end()) fail("bytes left after a lone Signal");
        same_signal(sig, back);
    }
    for (const Coil& c : s.machine_config.coils) {
        ByteBuffer b;
        encode(c, b);
        Reader r(b.data(), b.size());
        const Coil back = read_coil(r);
        if (!r.at_end()) fail("bytes left after a lone Coil");
        same_coil(c, back);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    self_test();
    ByteBuffer golden;
    encode(golden_settings(), golden);
    const std::vector<std::uint8_t> want = hex(kGoldenFile);
    if (golden.size() != want.size() || !same_bytes(golden.data(), want.data(), want.size())) {
        fail("golden protocol encodes to other bytes");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);

    Settings built;
    fill_settings(in, built);

    ByteBuffer first;
    encode(built, first);

    Settings decoded;
    Reader reader(first.data(), first.size());
    read_settings(reader, decoded);
    if (!reader.at_end()) fail("bytes left after the Settings record");
    same_settings(built, decoded);

    // The project's own decoder gives the record back: decode(encode(x)) == x.
    {
        protocols::postcard::ByteInput input(std::span<const std::uint8_t>(first.data(), first.size()));
        auto own = protocols::postcard::decode_settings(input);
        if (!own) fail("the decoder refuses what the encoder wrote");
        same_settings(built, own.value());
    }

    // Encoding again gives the same bytes.
    ByteBuffer second;
    encode(built, second);
    if (second.size() != first.size() || !same_bytes(first.data(), second.data(), first.size())) {
        fail("second encoding differs from the first");
    }

    // Appending after existing content keeps that content and adds the same bytes.
    const std::vector<std::uint8_t> prefix = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 64));
    ByteBuffer appended;
    if (!prefix.empty()) appended.append(prefix.data(), prefix.size());
    encode(built, appended);
    if (appended.size() != prefix.size() + first.size() ||
        !same_bytes(appended.data(), prefix.data(), prefix.size()) ||
        !same_bytes(appended.data() + prefix.size(), first.data(), first.size())) {
        fail("encoding after a prefix differs");
    }

    check_parts(built);
    return 0;
}
