#include "protocols/postcard.hpp"

#include <bit>
#include <deque>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "protocols/page_memory.hpp"
#include "sample_encoding.hpp"

namespace protocols::postcard {

std::string_view to_string(EncodeError error) noexcept {
    switch (error) {
        case EncodeError::WontImplement: return "WontImplement";
        case EncodeError::NotYetImplemented: return "NotYetImplemented";
        case EncodeError::SerializeBufferFull: return "SerializeBufferFull";
        case EncodeError::SerializeSeqLengthUnknown: return "SerializeSeqLengthUnknown";
        case EncodeError::DeserializeUnexpectedEnd: return "DeserializeUnexpectedEnd";
        case EncodeError::DeserializeBadVarint: return "DeserializeBadVarint";
        case EncodeError::DeserializeBadBool: return "DeserializeBadBool";
        case EncodeError::DeserializeBadChar: return "DeserializeBadChar";
        case EncodeError::DeserializeBadUtf8: return "DeserializeBadUtf8";
        case EncodeError::DeserializeBadOption: return "DeserializeBadOption";
        case EncodeError::DeserializeBadEnum: return "DeserializeBadEnum";
        case EncodeError::DeserializeBadEncoding: return "DeserializeBadEncoding";
        case EncodeError::DeserializeBadCrc: return "DeserializeBadCrc";
        case EncodeError::SerdeSerCustom: return "SerdeSerCustom";
        case EncodeError::SerdeDeCustom: return "SerdeDeCustom";
        case EncodeError::CollectStrError: return "CollectStrError";
    }
    return "Unknown";
}

// ---- ByteBuffer -----------------------------------------------------------

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
}

ByteBuffer::~ByteBuffer() { release(); }

// Heap capacities stay below the threshold and mapped ones reach it, so the
// capacity tells where the bytes live.
bool ByteBuffer::is_mapped() const noexcept { return capacity_ >= memory::kMapThreshold; }

void ByteBuffer::release() noexcept {
    if (is_mapped()) {
        memory::unmap_pages(data_, capacity_);
    } else {
        ::operator delete(data_);
    }
}

std::uint8_t* ByteBuffer::reserve_tail(std::size_t extra) {
    if (extra > capacity_ - size_) {
        if (extra > std::numeric_limits<std::size_t>::max() - size_) throw std::bad_alloc();
        grow(size_ + extra);
    }
    return data_ + size_;
}

void ByteBuffer::append(const std::uint8_t* bytes, std::size_t count) {
    if (count == 0) return;
    std::memcpy(reserve_tail(count), bytes, count);
    commit(count);
}

void ByteBuffer::grow(std::size_t min_capacity) {
    // Doubling keeps the number of reallocations logarithmic; for a mapping
    // the untouched half costs no memory.
    constexpr std::size_t kMinimumCapacity = 256;
    std::size_t capacity = capacity_ > std::numeric_limits<std::size_t>::max() / 2 ? min_capacity : capacity_ * 2;
    if (capacity < min_capacity) capacity = min_capacity;
    if (capacity < kMinimumCapacity) capacity = kMinimumCapacity;

    if (capacity < memory::kMapThreshold) {
        auto* data = static_cast<std::uint8_t*>(::operator new(capacity));
        if (size_ != 0) std::memcpy(data, data_, size_);
        ::operator delete(data_);
        data_ = data;
        capacity_ = capacity;
        return;
    }
    capacity = memory::mapped_length(capacity);  // the whole last page is usable
    if (is_mapped()) {
        data_ = static_cast<std::uint8_t*>(memory::remap_pages(data_, capacity_, capacity));
    } else {
        // Leaving the heap: the one copy, of less than the threshold.
        auto* data = static_cast<std::uint8_t*>(memory::map_pages(capacity));
        if (size_ != 0) std::memcpy(data, data_, size_);
        ::operator delete(data_);
        data_ = data;
    }
    capacity_ = capacity;
}

// ---- Primitive writers ----------------------------------------------------

namespace {

constexpr std::size_t kMaxVarintBytes = 10;

// Writes the varint at `p` (room for 10 bytes) and returns the end.
std::uint8_t* put_varint(std::uint8_t* p, std::uint64_t value) {
    while (value >= 0x80) {
        *p++ = static_cast<std::uint8_t>((value & 0x7F) | 0x80);
        value >>= 7;
    }
    *p++ = static_cast<std::uint8_t>(value);
    return p;
}


}  // namespace

void write_varint(ByteBuffer& out, std::uint64_t value) {
    std::uint8_t* start = out.reserve_tail(kMaxVarintBytes);
    out.commit(static_cast<std::size_t>(put_varint(start, value) - start));
}

void write_f64(ByteBuffer& out, double value) {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    std::uint8_t* p = out.reserve_tail(8);
    for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(bits >> (8 * i));
    out.commit(8);
}

void write_bool(ByteBuffer& out, bool value) { out.push_back(value ? 0x01 : 0x00); }

void write_str(ByteBuffer& out, std::string_view text) {
    write_varint(out, text.size());
    out.append(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

void write_samples(ByteBuffer& out, const std::int16_t* samples, std::size_t count) {
    write_varint(out, count);
    if (count == 0) return;
    if (count > (std::numeric_limits<std::size_t>::max() - kSampleEncodeSlack) / 3) throw std::bad_alloc();
    // One reservation for the worst case (3 bytes a sample), never per byte.
    std::uint8_t* start = out.reserve_tail(count * 3 + kSampleEncodeSlack);
    out.commit(encode_samples(samples, count, start));
}

// ---- Records --------------------------------------------------------------

namespace {

Status put(double v, ByteBuffer& out) {
    write_f64(out, v);
    return Status::ok();
}

Status put(std::uint64_t v, ByteBuffer& out) {
    write_varint(out, v);
    return Status::ok();
}

Status put(bool v, ByteBuffer& out) {
    write_bool(out, v);
    return Status::ok();
}

Status put(const std::string& v, ByteBuffer& out) {
    write_str(out, v);
    return Status::ok();
}

Status put(const signals::SampleVector& v, ByteBuffer& out) {
    write_samples(out, v.data(), v.size());
    return Status::ok();
}

// Any record with a serialize overload, found only when one exists.
template <class T>
auto put(const T& record, ByteBuffer& out) -> decltype(serialize(record, out)) {
    return serialize(record, out);
}

// A sequence: its length, then the items.
template <class Sequence>
Status put_sequence(const Sequence& items, ByteBuffer& out) {
    write_varint(out, items.size());
    for (const auto& item : items) {
        if (Status status = put(item, out); !status.is_ok()) return status;
    }
    return Status::ok();
}

template <class T, class A>
Status put(const std::vector<T, A>& items, ByteBuffer& out) {
    return put_sequence(items, out);
}

template <class T, class A>
Status put(const std::deque<T, A>& items, ByteBuffer& out) {
    return put_sequence(items, out);
}

template <std::size_t N>
Status put(const std::array<bool, N>& flags, ByteBuffer& out) {
    // A fixed array carries no count.
    for (bool flag : flags) write_bool(out, flag);
    return Status::ok();
}

// Writes the fields in order and stops at the first failure.
template <class... Fields>
Status put_fields(ByteBuffer& out, const Fields&... fields) {
    Status status = Status::ok();
    (void)((status = put(fields, out), status.is_ok()) && ...);
    return status;
}

}  // namespace

Status serialize(const lcsettings::LCSetting& v, ByteBuffer& out) {
    return put_fields(out, v.capacitance, v.carrier_frequency, v.clk_ticks_per_sample, v.capacitor_bank_setting);
}

Status serialize(const lcsettings::Coil& v, ByteBuffer& out) {
    return put_fields(out, v.name, v.inductance, v.max_current, v.max_carrier_frequency, v.settings);
}

Status serialize(const machine_config::MachineConfig& v, ByteBuffer& out) {
    return put_fields(out, v.supply_voltage, v.num_coils, v.coils, v.capacitors, v.possible_capacitances,
                      v.num_external_signal_sources, v.smbus_psu_connected, v.num_temperature_sensors,
                      v.num_flow_rate_sensors, v.safety_checks_enabled, v.max_intensity_setpoint,
                      v.max_current, v.max_carrier_frequency, v.max_temperature, v.min_flowrate, v.max_power);
}

Status serialize(const signals::ConstantSignalParams& v, ByteBuffer& out) { return put_fields(out, v.value); }

Status serialize(const signals::SineSignalParams& v, ByteBuffer& out) {
    return put_fields(out, v.amplitude, v.frequency, v.phase, v.depth);
}

Status serialize(const signals::RampSignalParams& v, ByteBuffer& out) {
    return put_fields(out, v.peak, v.up_duration, v.down_duration);
}

Status serialize(const signals::MixedSignalParams& v, ByteBuffer& out) {
    return put_fields(out, v.a_idx, v.b_idx);
}

Status serialize(const signals::ArbitrarySignalParams& v, ByteBuffer& out) {
    return put_fields(out, v.samples);
}

Status serialize(const signals::Signal& v, ByteBuffer& out) {
    // The variant's position is its number in the file.
    write_varint(out, v.index());
    return std::visit([&](const auto& params) { return serialize(params, out); }, v);
}

Status serialize(const settings::SignalSourceSelection& v, ByteBuffer& out) {
    return put_fields(out, v.internal, v.external, v.external_selected);
}

Status serialize(const settings::ChannelSettings& v, ByteBuffer& out) {
    return put_fields(out, v.enabled, v.amplitude1_source, v.amplitude2_source, v.modulation_source, v.coil_idx,
                      v.coil_setting_idx);
}

Status serialize(const settings::Settings& v, ByteBuffer& out) {
    return put_fields(out, v.running_on_target_machine, v.machine_config, v.intensity, v.session_duration,
                      v.signals, v.channel_a_settings, v.channel_b_settings, v.monitor_trace_visible,
                      v.monitor_subsampling_factor);
}

}  // namespace protocols::postcard
