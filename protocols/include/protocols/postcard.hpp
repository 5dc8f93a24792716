// Encoder for the postcard wire format of protocol files: LEB128 varints
// for sizes, zigzag varints for samples, little-endian doubles, one byte per
// boolean, records as their fields in order with no framing.
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "protocols/fields.hpp"
#include "protocols/lcsettings.hpp"
#include "protocols/machine_config.hpp"
#include "protocols/settings.hpp"
#include "protocols/signals.hpp"

namespace protocols::postcard {

enum class EncodeError : std::uint8_t {
    WontImplement = 0,
    NotYetImplemented,
    SerializeBufferFull,
    SerializeSeqLengthUnknown,
    DeserializeUnexpectedEnd,
    DeserializeBadVarint,
    DeserializeBadBool,
    DeserializeBadChar,
    DeserializeBadUtf8,
    DeserializeBadOption,
    DeserializeBadEnum,
    DeserializeBadEncoding,
    DeserializeBadCrc,
    SerdeSerCustom,
    SerdeDeCustom,
    CollectStrError,
};

// The variant's name, e.g. "SerializeBufferFull".
std::string_view to_string(EncodeError error) noexcept;

// Outcome of a serialize call: success, or the first error met.
class [[nodiscard]] Status {
public:
    static Status ok() noexcept { return Status(); }
    static Status failure(EncodeError error) noexcept { return Status(error); }
    bool is_ok() const noexcept { return !error_; }
    EncodeError error() const noexcept { return *error_; }

private:
    Status() = default;
    explicit Status(EncodeError e) : error_(e) {}
    std::optional<EncodeError> error_;
};

// Growable byte buffer that appends at its end. Writers reserve room first
// and then store through raw pointers, so hot loops do no per-byte checks.
// Below 64 KiB it lives on the heap; beyond, it is a page mapping that grows
// by moving pages (mremap), never by copying bytes, so an encoding is held
// once however large it gets. Capacity that was reserved but not written to
// costs address space, not memory.
class ByteBuffer {
public:
    ByteBuffer() = default;
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ByteBuffer(ByteBuffer&& other) noexcept;
    ByteBuffer& operator=(ByteBuffer&& other) noexcept;
    ~ByteBuffer();

    const std::uint8_t* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }

    // Makes room for at least `extra` more bytes; returns the write position.
    std::uint8_t* reserve_tail(std::size_t extra);
    // Marks `count` bytes written at the write position as part of the buffer.
    void commit(std::size_t count) noexcept { size_ += count; }

    void push_back(std::uint8_t byte) {
        if (size_ == capacity_) reserve_tail(1);
        data_[size_++] = byte;
    }
    void append(const std::uint8_t* bytes, std::size_t count);

private:
    void grow(std::size_t min_capacity);
    bool is_mapped() const noexcept;
    void release() noexcept;

    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// Primitive writers.
void write_varint(ByteBuffer& out, std::uint64_t value);
void write_f64(ByteBuffer& out, double value);
void write_bool(ByteBuffer& out, bool value);
void write_str(ByteBuffer& out, std::string_view text);
// Count, then each sample as a zigzag varint.
void write_samples(ByteBuffer& out, const std::int16_t* samples, std::size_t count);

// ---- Records: each written as its field list says --------------------------

namespace record_encoding {

inline Status put(double v, ByteBuffer& out) {
    write_f64(out, v);
    return Status::ok();
}

inline Status put(std::uint64_t v, ByteBuffer& out) {
    write_varint(out, v);
    return Status::ok();
}

inline Status put(bool v, ByteBuffer& out) {
    write_bool(out, v);
    return Status::ok();
}

inline Status put(const std::string& v, ByteBuffer& out) {
    write_str(out, v);
    return Status::ok();
}

inline Status put(const signals::SampleVector& v, ByteBuffer& out) {
    write_samples(out, v.data(), v.size());
    return Status::ok();
}

template <std::size_t N>
Status put(const std::array<bool, N>& flags, ByteBuffer& out) {
    // A fixed array carries no count.
    for (bool flag : flags) write_bool(out, flag);
    return Status::ok();
}

// Declared before the definitions below so that each can reach the others.
template <class Sequence>
Status put_sequence(const Sequence& items, ByteBuffer& out);
template <class T, class A>
Status put(const std::vector<T, A>& items, ByteBuffer& out) {
    return put_sequence(items, out);
}
template <class T, class A>
Status put(const std::deque<T, A>& items, ByteBuffer& out) {
    return put_sequence(items, out);
}
inline Status put(const signals::Signal& signal, ByteBuffer& out);
template <fields::Described Record>
Status put(const Record& record, ByteBuffer& out);

// A sequence: its length, then the items.
template <class Sequence>
Status put_sequence(const Sequence& items, ByteBuffer& out) {
    write_varint(out, items.size());
    for (const auto& item : items) {
        if (Status status = put(item, out); !status.is_ok()) return status;
    }
    return Status::ok();
}

// The variant number, then the parameter record.
inline Status put(const signals::Signal& signal, ByteBuffer& out) {
    write_varint(out, signal.index());
    return std::visit([&](const auto& params) { return put(params, out); }, signal);
}

// The fields in order, stopping at the first failure.
template <fields::Described Record>
Status put(const Record& record, ByteBuffer& out) {
    Status status = Status::ok();
    fields::visit_fields(record, [&](std::string_view, const auto& member) {
        if (status.is_ok()) status = put(member, out);
    });
    return status;
}

}  // namespace record_encoding

// A record of a protocol file (Settings and everything in it), or a Signal.
template <class Value>
concept Encodable = fields::Described<Value> || std::same_as<Value, signals::Signal>;

// Appends the encoding of `value` at the end of `out`.
template <Encodable Value>
Status serialize(const Value& value, ByteBuffer& out) {
    return record_encoding::put(value, out);
}

}  // namespace protocols::postcard
