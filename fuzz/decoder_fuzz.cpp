// libFuzzer target for the protocol-file decoder: any bytes either decode or
// fail with a fault inside the input, never a crash, a read outside it or an
// allocation beyond what the bytes can fill; what decodes is encoded and
// decoded again to the same record, byte for byte.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>

#include "protocols/postcard.hpp"
#include "protocols/postcard_decode.hpp"

namespace {

using protocols::postcard::ByteBuffer;
using protocols::postcard::ByteInput;
using protocols::postcard::decode_settings;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "decoder_fuzz: %s\n", what);
    std::fflush(stderr);
    __builtin_trap();
}

ByteBuffer encode(const protocols::settings::Settings& settings) {
    ByteBuffer out;
    if (!protocols::postcard::serialize(settings, out).is_ok()) fail("encoding failed");
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ByteInput input(std::span<const std::uint8_t>(data, size));
    auto decoded = decode_settings(input);
    if (!decoded) {
        if (decoded.error().offset > size) fail("fault reported past the end of the input");
        if (decoded.error().message.empty()) fail("fault without a message");
        return 0;
    }
    // Floats compare by their bytes (NaN payloads, -0.0): re-encode.
    const ByteBuffer once = encode(decoded.value());
    if (once.size() > size) fail("the encoding is longer than the input it came from");
    ByteInput again(std::span<const std::uint8_t>(once.data(), once.size()));
    auto twice = decode_settings(again);
    if (!twice) fail("the encoding of a decoded record does not decode");
    const ByteBuffer second = encode(twice.value());
    if (second.size() != once.size() || std::memcmp(second.data(), once.data(), once.size()) != 0) {
        fail("decode(encode(x)) differs from x");
    }
    return 0;
}
