#include "protocols/postcard.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <set>
#include <string>
#include <vector>

namespace protocols::postcard {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Hex digit pairs; blanks are only for reading.
Bytes hex(const std::string& text) {
    std::string digits;
    for (char c : text) {
        if (c != ' ') digits += c;
    }
    EXPECT_EQ(digits.size() % 2, 0u) << text;
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

Bytes contents(const ByteBuffer& buffer) { return Bytes(buffer.data(), buffer.data() + buffer.size()); }

template <class T>
Bytes encode(const T& value) {
    ByteBuffer buffer;
    const Status status = serialize(value, buffer);
    EXPECT_TRUE(status.is_ok());
    return contents(buffer);
}

Bytes varint(std::uint64_t value) {
    ByteBuffer buffer;
    write_varint(buffer, value);
    return contents(buffer);
}

TEST(Varint, ShortestLeb128) {
    const struct {
        std::uint64_t value;
        const char* bytes;
    } cases[] = {
        {0, "00"},
        {127, "7f"},
        {128, "80 01"},
        {300, "ac 02"},
        {16383, "ff 7f"},
        {16384, "80 80 01"},
        {std::uint64_t{1} << 63, "80 80 80 80 80 80 80 80 80 01"},
        {std::numeric_limits<std::uint64_t>::max(), "ff ff ff ff ff ff ff ff ff 01"},
    };
    for (const auto& c : cases) EXPECT_EQ(varint(c.value), hex(c.bytes)) << c.value;
}

Bytes samples(std::vector<std::int16_t> values) {
    signals::ArbitrarySignalParams params;
    params.samples.assign(values.begin(), values.end());
    return encode(signals::Signal{params});
}

TEST(Samples, ZigzagVarintPerSample) {
    EXPECT_EQ(samples({0, -1, 1, 200, -300, 32767, -32768}),
              hex("04 07 00 01 02 90 03 d7 04 fe ff 03 ff ff 03"));
    EXPECT_EQ(samples({-64, 63, 64, -65}), hex("04 04 7f 7e 80 01 81 01"));
    EXPECT_EQ(samples({}), hex("04 00"));
}

TEST(Samples, LongRunEncodesEveryLengthClass) {
    // 8191 -> 16382 (2 bytes), 8192 -> 16384 (3 bytes), -2 -> 3 (1 byte).
    std::vector<std::int16_t> values;
    for (int i = 0; i < 1000; ++i) {
        values.push_back(8191);
        values.push_back(8192);
        values.push_back(-2);
    }
    const Bytes bytes = samples(values);
    Bytes expected = hex("04 b8 17");  // variant, count 3000
    for (int i = 0; i < 1000; ++i) {
        for (auto b : hex("fe 7f 80 80 01 03")) expected.push_back(b);
    }
    EXPECT_EQ(bytes, expected);
}

TEST(Floats, LittleEndianBitForBit) {
    const auto f64 = [](double v) {
        ByteBuffer buffer;
        write_f64(buffer, v);
        return contents(buffer);
    };
    EXPECT_EQ(f64(1.0), hex("00 00 00 00 00 00 f0 3f"));
    EXPECT_EQ(f64(-0.0), hex("00 00 00 00 00 00 00 80"));
    EXPECT_EQ(f64(std::numeric_limits<double>::infinity()), hex("00 00 00 00 00 00 f0 7f"));
    EXPECT_EQ(f64(std::bit_cast<double>(std::uint64_t{0xfff8000000000123})), hex("23 01 00 00 00 00 f8 ff"));
}

TEST(Signals, SineIs33Bytes) {
    EXPECT_EQ(encode(signals::Signal{signals::SineSignalParams{1.0, 10.0, 0.0, 0.5}}),
              hex("01  00 00 00 00 00 00 f0 3f  00 00 00 00 00 00 24 40"
                  "    00 00 00 00 00 00 00 00  00 00 00 00 00 00 e0 3f"));
}

TEST(Signals, RampAndConstantLayouts) {
    EXPECT_EQ(encode(signals::Signal{signals::RampSignalParams{1.0, 10.0, 0.5}}),
              hex("02 00 00 00 00 00 00 f0 3f 00 00 00 00 00 00 24 40 00 00 00 00 00 00 e0 3f"));
    EXPECT_EQ(encode(signals::Signal{signals::ConstantSignalParams{-0.0}}), hex("00 00 00 00 00 00 00 00 80"));
}

TEST(Records, SignalSourceSelection) {
    EXPECT_EQ(encode(settings::SignalSourceSelection{2, 300, true}), hex("02 ac 02 01"));
}

TEST(Records, SignalListWithCount) {
    settings::Settings record;
    record.signals = {signals::ConstantSignalParams{0.0}, signals::MixedSignalParams{0, 1}};
    ByteBuffer all;
    ASSERT_TRUE(serialize(record, all).is_ok());
    const Bytes expected = hex("02 00 00 00 00 00 00 00 00 00 03 00 01");
    // The signal list follows the flag, the machine and the two doubles.
    ByteBuffer prefix;
    write_bool(prefix, record.running_on_target_machine);
    ASSERT_TRUE(serialize(record.machine_config, prefix).is_ok());
    write_f64(prefix, record.intensity);
    write_f64(prefix, record.session_duration);
    const Bytes bytes = contents(all);
    ASSERT_GE(bytes.size(), prefix.size() + expected.size());
    EXPECT_EQ(Bytes(bytes.begin() + prefix.size(), bytes.begin() + prefix.size() + expected.size()), expected);
}

TEST(Records, CoilNameCountsUtf8Bytes) {
    lcsettings::Coil coil = lcsettings::Coil::make_default();
    coil.name = "Sp\xc3\xbc" "le";  // "Spüle": 5 characters, 6 bytes
    const Bytes bytes = encode(coil);
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 7), hex("06 53 70 c3 bc 6c 65"));
}

TEST(Records, ValuesAtOrAbove2Pow63TakeTenBytes) {
    settings::ChannelSettings channel;
    channel.coil_idx = std::uint64_t{1} << 63;
    EXPECT_EQ(encode(channel), hex("00 000000 000000 000000 80 80 80 80 80 80 80 80 80 01 00"));
}

settings::Settings example_settings() {
    settings::Settings s;
    s.running_on_target_machine = false;
    auto& m = s.machine_config;
    m.supply_voltage = 48.0;
    m.num_coils = 1;
    m.coils = {lcsettings::Coil{"A1", 0.25, 8.0, 2000.0, {{0.125, 1000.0, 200, 5}}}};
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
    s.signals = {signals::SineSignalParams{1.0, 10.0, 0.0, 0.5}};
    s.channel_a_settings = settings::ChannelSettings{};
    s.channel_a_settings.enabled = true;
    s.channel_a_settings.modulation_source = {0, 1, true};
    s.channel_b_settings = settings::ChannelSettings{};
    s.monitor_trace_visible = {};
    s.monitor_trace_visible[0] = true;
    s.monitor_trace_visible[1] = true;
    s.monitor_subsampling_factor = 300;
    return s;
}

TEST(File, CompleteExampleOf213Bytes) {
    const Bytes expected = hex(
        "00"
        " 00 00 00 00 00 00 48 40  01  01  02 41 31"
        " 00 00 00 00 00 00 d0 3f  00 00 00 00 00 00 20 40  00 00 00 00 00 40 9f 40"
        " 01  00 00 00 00 00 00 c0 3f  00 00 00 00 00 40 8f 40  c8 01  05"
        " 01 00 00 00 00 00 00 c0 3f  00  02  01  04  01  01"
        " 00 00 00 00 00 00 f0 3f  00 00 00 00 00 00 20 40  00 00 00 00 00 40 9f 40"
        " 00 00 00 00 00 00 44 40  00 00 00 00 00 00 e0 3f  00 00 00 00 00 00 59 40"
        " 00 00 00 00 00 00 e0 3f  00 00 00 00 00 00 4e 40"
        " 01  01  00 00 00 00 00 00 f0 3f  00 00 00 00 00 00 24 40"
        "         00 00 00 00 00 00 00 00  00 00 00 00 00 00 e0 3f"
        " 01  00 00 00  00 00 00  00 01 01  00 00"
        " 00  00 00 00 00 00 00 00 00 00  00 00"
        " 01 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
        " ac 02");
    ASSERT_EQ(expected.size(), 213u);
    const Bytes bytes = encode(example_settings());
    ASSERT_EQ(bytes.size(), expected.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) EXPECT_EQ(bytes[i], expected[i]) << "offset " << i;
}

const char* const kDefaultFile =
    "00 00 00 00 00 00 00 54 40 02 01 07 44 65 66 61"
    " 75 6c 74 00 00 00 00 00 c0 62 40 9a 99 99 99 99"
    " 99 b9 3f 00 00 00 00 00 00 44 40 01 00 00 00 00"
    " 00 a0 74 40 ef da 9f ee da 9f 36 40 dd 01 01 01"
    " 00 00 00 00 00 a0 74 40 01 00 00 00 00 00 a0 74"
    " 40 06 00 00 00 01 33 33 33 33 33 33 d3 3f 00 00"
    " 00 00 00 00 e0 3f 00 00 00 00 00 00 44 40 00 00"
    " 00 00 00 00 44 40 00 00 00 00 00 80 51 40 00 00"
    " 00 00 00 40 80 40 00 00 00 00 00 00 00 00 00 00"
    " 00 00 00 00 4e 40 01 00 00 00 00 00 00 00 00 00"
    " 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
    " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
    " 00 00 00 00 00 00 00 00 01";

// What saving a new protocol writes: its emptied signal list refilled with
// one Constant 0.0.
settings::Settings saved_default() {
    settings::Settings s;
    s.signals.clear();
    s.signals.push_back(signals::ConstantSignalParams{0.0});
    return s;
}

TEST(File, DefaultProtocolIs201Bytes) {
    ::unsetenv("VEXA_TARGET_MACHINE");
    const Bytes bytes = encode(saved_default());
    const Bytes expected = hex(kDefaultFile);
    ASSERT_EQ(expected.size(), 201u);
    ASSERT_EQ(bytes.size(), expected.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) EXPECT_EQ(bytes[i], expected[i]) << "offset " << i;
}

TEST(File, TargetMachineFlagChangesOnlyFirstByte) {
    ::setenv("VEXA_TARGET_MACHINE", "1", 1);
    const Bytes bytes = encode(saved_default());
    ::unsetenv("VEXA_TARGET_MACHINE");
    Bytes expected = hex(kDefaultFile);
    expected[0] = 0x01;
    EXPECT_EQ(bytes, expected);
}

TEST(File, EmptySequencesStillWriteCountBytes) {
    settings::Settings s;
    s.running_on_target_machine = false;
    s.machine_config.coils.clear();
    s.machine_config.capacitors.clear();
    s.machine_config.possible_capacitances.clear();
    s.signals.clear();
    const Bytes expected = hex(
        "00  00 00 00 00 00 00 54 40  02  00  00  00  06 00 00 00 01"
        " 33 33 33 33 33 33 d3 3f  00 00 00 00 00 00 e0 3f  00 00 00 00 00 00 44 40"
        " 00 00 00 00 00 00 44 40  00 00 00 00 00 80 51 40  00 00 00 00 00 40 80 40"
        " 00 00 00 00 00 00 00 00  00 00 00 00 00 00 4e 40  00"
        " 01 000000 000000 000000 00 00  00 000000 000000 000000 00 00"
        " 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00  01");
    EXPECT_EQ(encode(s), expected);
}

TEST(File, EncodingIsDeterministic) {
    settings::Settings s = example_settings();
    signals::ArbitrarySignalParams arbitrary;
    for (int i = 0; i < 5000; ++i) arbitrary.samples.push_back(static_cast<std::int16_t>(i * 7 - 17000));
    s.signals.push_back(arbitrary);
    const settings::Settings copy = s;
    const Bytes first = encode(s);
    EXPECT_EQ(encode(s), first);
    EXPECT_EQ(encode(copy), first);
}

TEST(ByteBuffer, GrowsGeometricallyAndKeepsContent) {
    ByteBuffer buffer;
    std::set<std::size_t> capacities;
    constexpr std::size_t kCount = 3'000'000;  // crosses the mapped-allocation size
    for (std::size_t i = 0; i < kCount; ++i) {
        buffer.push_back(static_cast<std::uint8_t>(i * 31));
        capacities.insert(buffer.capacity());
    }
    ASSERT_EQ(buffer.size(), kCount);
    EXPECT_LT(capacities.size(), 40u);
    for (std::size_t i = 0; i < kCount; i += 4099) {
        ASSERT_EQ(buffer.data()[i], static_cast<std::uint8_t>(i * 31)) << i;
    }

    ByteBuffer moved(std::move(buffer));
    EXPECT_EQ(moved.size(), kCount);
    EXPECT_EQ(buffer.size(), 0u);
    EXPECT_EQ(moved.data()[kCount - 1], static_cast<std::uint8_t>((kCount - 1) * 31));
}

TEST(EncodeError, NamesInOrder) {
    const char* const names[] = {
        "WontImplement",        "NotYetImplemented",      "SerializeBufferFull",    "SerializeSeqLengthUnknown",
        "DeserializeUnexpectedEnd", "DeserializeBadVarint", "DeserializeBadBool",     "DeserializeBadChar",
        "DeserializeBadUtf8",   "DeserializeBadOption",   "DeserializeBadEnum",     "DeserializeBadEncoding",
        "DeserializeBadCrc",    "SerdeSerCustom",         "SerdeDeCustom",          "CollectStrError",
    };
    for (std::uint8_t i = 0; i < 16; ++i) EXPECT_EQ(to_string(static_cast<EncodeError>(i)), names[i]);
    EXPECT_EQ(Status::failure(EncodeError::SerializeBufferFull).error(), EncodeError::SerializeBufferFull);
}

}  // namespace
}  // namespace protocols::postcard
