// Decoder for the postcard wire format of protocol files, the mirror of the
// encoder: it walks the same field lists. It reads from a ByteInput as the
// bytes come, never allocates for a declared count before its bytes have
// arrived, refuses a count that the rest of an input of known size cannot
// hold, and stops at the first byte after the record.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "protocols/byte_input.hpp"
#include "protocols/expected.hpp"
#include "protocols/settings.hpp"

namespace protocols::postcard {

enum class DecodeErrorKind : std::uint8_t {
    UnexpectedEnd,
    TrailingBytes,
    BadVarint,
    BadBool,
    BadUtf8,
    BadEnum,
    SampleOutOfRange,
};

// "unexpected_end", "trailing_bytes", "bad_varint", "bad_bool", "bad_utf8",
// "bad_enum" or "sample_out_of_range".
std::string_view to_string(DecodeErrorKind kind) noexcept;

// Bytes that are not a protocol file: what is wrong, and where.
struct DecodeError {
    DecodeErrorKind kind;
    std::uint64_t offset;  // from the start of the input
    std::string message;   // names the field, e.g. "bad boolean for smbus_psu_connected: ..."
};

// One whole Settings record and nothing after it. A failed read throws
// InputError; bytes that are not a protocol file give a DecodeError.
Expected<settings::Settings, DecodeError> decode_settings(ByteInput& input);
// The same, decoded into `blank`, every field of which is overwritten: its
// construction (which reads the environment) can then happen elsewhere.
Expected<settings::Settings, DecodeError> decode_settings(ByteInput& input, settings::Settings&& blank);

}  // namespace protocols::postcard
