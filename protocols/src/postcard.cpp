#include "protocols/postcard.hpp"

#include <bit>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

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

}  // namespace protocols::postcard
