#include "protocols/postcard_decode.hpp"

#include <array>
#include <bit>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "protocols/fields.hpp"
#include "protocols/utf8_check.hpp"

namespace protocols::postcard {

std::string_view to_string(DecodeErrorKind kind) noexcept {
    switch (kind) {
        case DecodeErrorKind::UnexpectedEnd: return "unexpected_end";
        case DecodeErrorKind::TrailingBytes: return "trailing_bytes";
        case DecodeErrorKind::BadVarint: return "bad_varint";
        case DecodeErrorKind::BadBool: return "bad_bool";
        case DecodeErrorKind::BadUtf8: return "bad_utf8";
        case DecodeErrorKind::BadEnum: return "bad_enum";
        case DecodeErrorKind::SampleOutOfRange: return "sample_out_of_range";
    }
    return "unknown";
}

namespace {

using lcsettings::Coil;
using lcsettings::LCSetting;
using settings::ChannelSettings;
using settings::SignalSourceSelection;
using signals::SampleVector;
using signals::Signal;

// How messages name a value: words joined by blanks ("channel_a_settings
// modulation_source external_selected", "coil name", "Sine depth"), and an
// optional element index ("monitor_trace_visible[3]"). Built into text only
// when a message is made.
struct Label {
    std::array<std::string_view, 4> words{};
    std::size_t count = 0;
    std::optional<std::size_t> index;

    // The records nest at most three words deep, and one more says what of
    // the value is meant ("length of"): a fifth word would be dropped.
    Label then(std::string_view word) const {
        Label next = *this;
        next.add(word);
        return next;
    }
    Label before(std::string_view word) const {
        Label next;
        next.add(word);
        for (std::size_t i = 0; i < count; ++i) next.add(words[i]);
        next.index = index;
        return next;
    }
    void add(std::string_view word) {
        if (count < words.size()) words[count++] = word;
    }
    std::string text() const {
        std::string out;
        for (std::size_t i = 0; i < count; ++i) {
            if (i) out += ' ';
            out += words[i];
        }
        if (index) {
            out += '[';
            out += std::to_string(*index);
            out += ']';
        }
        return out;
    }
};

// The fields of these records are named after the field that holds them:
// "channel_b_settings amplitude2_source internal". Others stand alone.
template <class Record>
constexpr bool kNamedByPath = std::is_same_v<Record, ChannelSettings> || std::is_same_v<Record, SignalSourceSelection>;

// Fewest bytes one encoded value of T takes: a count is refused when the
// rest of an input of known size cannot hold that many elements.
template <class T>
constexpr std::uint64_t min_size();

template <class T>
constexpr std::uint64_t min_size_of_fields() {
    T record{};
    std::uint64_t total = 0;
    fields::visit_fields(record, [&](std::string_view, const auto& member) {
        total += min_size<std::remove_cvref_t<decltype(member)>>();
    });
    return total;
}

template <class T>
constexpr std::uint64_t min_size() {
    if constexpr (std::is_same_v<T, double>) {
        return 8;
    } else if constexpr (std::is_same_v<T, Signal>) {
        return 2;  // the variant number and an empty sample count
    } else if constexpr (fields::Described<T>) {
        return min_size_of_fields<T>();
    } else if constexpr (requires { std::tuple_size<T>::value; }) {
        return std::tuple_size<T>::value;  // fixed array of one-byte flags
    } else {
        return 1;  // bool, varint, string, sequence, sample
    }
}

std::string hex_byte(std::uint8_t b) {
    static constexpr char kDigits[] = "0123456789abcdef";
    return std::string("0x") + kDigits[b >> 4] + kDigits[b & 15];
}

std::string plural(std::uint64_t n, std::string_view word) {
    return std::to_string(n) + " " + std::string(word) + (n == 1 ? "" : "s");
}

struct Failure {
    DecodeError error;
};

[[noreturn]] void fail(DecodeErrorKind kind, std::uint64_t offset, std::string message) {
    throw Failure{DecodeError{kind, offset, std::move(message)}};
}

class Decoder {
public:
    explicit Decoder(ByteInput& input) : in_(input) {}

    void read(bool& value, const Label& label) {
        const std::uint64_t start = in_.offset();
        if (in_.ensure(1) == 0) fail_end(start, label, "a boolean byte");
        const std::uint8_t b = *in_.cursor();
        if (b > 1) {
            fail(DecodeErrorKind::BadBool, start,
                 "bad boolean for " + label.text() + ": byte " + hex_byte(b) + ", expected 0x00 or 0x01");
        }
        in_.advance(1);
        value = b == 1;
    }

    void read(std::uint64_t& value, const Label& label) {
        const std::uint64_t start = in_.offset();
        std::uint64_t result = 0;
        for (unsigned i = 0; i < 10; ++i) {
            if (in_.ensure(1) == 0) fail_end(start, label, "a varint");
            const std::uint8_t b = *in_.cursor();
            if (i == 9 && b > 1) {
                fail(DecodeErrorKind::BadVarint, start,
                     "bad varint for " + label.text() + ": tenth byte is " + hex_byte(b) + ", must be 0x00 or 0x01");
            }
            in_.advance(1);
            result |= std::uint64_t{b & 0x7Fu} << (7 * i);
            if (b < 0x80) break;
        }
        value = result;
    }

    void read(double& value, const Label& label) {
        const std::uint64_t start = in_.offset();
        if (in_.ensure(8) < 8) fail_end(start, label, "8 bytes of a little-endian double");
        std::uint64_t bits = 0;
        for (unsigned i = 0; i < 8; ++i) bits |= std::uint64_t{in_.cursor()[i]} << (8 * i);
        in_.advance(8);
        value = std::bit_cast<double>(bits);
    }

    void read(std::string& value, const Label& label) {
        const std::uint64_t start = in_.offset();
        std::uint64_t length = 0;
        read(length, label.before("length of"));
        const std::uint64_t body = in_.offset();
        const auto need = [&] { return std::to_string(length) + " bytes of UTF-8 text"; };
        if (const auto left = in_.remaining(); left && length > *left) fail_end(start, label, need());
        value.clear();
        // Appended as the bytes arrive: a stream's declared length is not
        // trusted with an allocation.
        while (value.size() < length) {
            const std::size_t have = in_.fill();
            if (have == 0) fail_end(start, label, need());
            const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(have, length - value.size()));
            value.append(reinterpret_cast<const char*>(in_.cursor()), take);
            in_.advance(take);
        }
        if (const auto fault = find_utf8_fault(value)) {
            fail(DecodeErrorKind::BadUtf8, body + fault->offset,
                 "bad UTF-8 in " + label.text() + ": " + std::string(fault->reason));
        }
    }

    template <std::size_t N>
    void read(std::array<bool, N>& flags, const Label& label) {
        for (std::size_t i = 0; i < N; ++i) {
            Label element = label;
            element.index = i;
            read(flags[i], element);
        }
    }

    template <class T, class A>
    void read(std::vector<T, A>& items, const Label& label) {
        const std::uint64_t n = count(label, min_size<T>());
        items.clear();
        items.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(n, room_for(min_size<T>()))));
        for (std::uint64_t i = 0; i < n; ++i) read(items.emplace_back(), element_label<T>(label));
    }

    void read(std::deque<Signal>& signals, const Label& label) {
        const std::uint64_t n = count(label, min_size<Signal>());
        signals.clear();
        for (std::uint64_t i = 0; i < n; ++i) read(signals.emplace_back(), label);
    }

    void read(Signal& signal, const Label&) {
        const std::uint64_t start = in_.offset();
        std::uint64_t variant = 0;
        read(variant, Label{}.then("signal variant index"));
        const bool known = [&]<std::size_t... I>(std::index_sequence<I...>) {
            return ((variant == I ? (read(signal.emplace<I>(), Label{}.then(signals::SIGNAL_VARIANT_NAMES[I])), true)
                                  : false) ||
                    ...);
        }(std::make_index_sequence<std::variant_size_v<Signal>>{});
        if (!known) {
            fail(DecodeErrorKind::BadEnum, start,
                 "unknown signal variant " + std::to_string(variant) + ", expected 0 to " +
                     std::to_string(std::variant_size_v<Signal> - 1));
        }
    }

    void read(SampleVector& samples, const Label& label) {
        const std::uint64_t n = count(label.then("samples"), 1);
        samples.clear();
        samples.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(n, room_for(1))));
        const Label each = label.then("sample");
        while (samples.size() < n) {
            const std::size_t have = in_.fill();
            if (have == 0) fail_sample_end(each, samples.size());
            decode_block(samples, n, each);
        }
    }

    // The fields in their declared order. `label` names the record in
    // messages: its fields are named after it when it is named by path.
    template <fields::Described Record>
    void read(Record& record, const Label& label) {
        fields::visit_fields(record, [&](std::string_view name, auto& member) {
            using Member = std::remove_cvref_t<decltype(member)>;
            if constexpr (fields::Described<Member> && !kNamedByPath<Member>) {
                read(member, Label{});
            } else if constexpr (std::is_same_v<Member, SampleVector>) {
                read(member, label);  // "Arbitrary samples", "Arbitrary sample 5"
            } else {
                read(member, label.then(name));
            }
        });
    }

    // After the record: one byte more is refused, and nothing more is read.
    void expect_end() {
        const std::uint64_t at = in_.offset();
        if (in_.ensure(1) == 0) return;
        if (const auto left = in_.remaining(); left && *left > 0) {
            fail(DecodeErrorKind::TrailingBytes, at, plural(*left, "trailing byte") + " after the end of the record");
        }
        fail(DecodeErrorKind::TrailingBytes, at, "trailing bytes after the end of the record");
    }

private:
    // Elements of a coil list are named "coil ..."; tunings stand alone.
    template <class T>
    static Label element_label(const Label& sequence) {
        if constexpr (std::is_same_v<T, Coil>) {
            return Label{}.then("coil");
        } else if constexpr (fields::Described<T>) {
            return Label{};
        } else {
            return sequence;  // "capacitors"
        }
    }

    std::uint64_t count(const Label& label, std::uint64_t element_size) {
        const std::uint64_t start = in_.offset();
        std::uint64_t n = 0;
        read(n, label.before("element count of"));
        if (const auto left = in_.remaining(); left && n > *left / element_size) {
            fail(DecodeErrorKind::UnexpectedEnd, start,
                 "unexpected end of data: " + label.text() + " declares " + std::to_string(n) +
                     " elements of at least " + plural(element_size, "byte") + " each, " + std::to_string(*left) +
                     " bytes left");
        }
        return n;
    }

    // Elements of `element_size` that the input can be trusted to hold:
    // what the rest of an input of known size can, else what is at hand.
    std::uint64_t room_for(std::uint64_t element_size) const {
        const auto left = in_.remaining();
        return (left ? *left : in_.buffered()) / element_size;
    }

    // Decodes the samples whose bytes are at hand, up to `n` in all. A sample
    // that the buffer cuts goes through ensure(), which reads on.
    void decode_block(SampleVector& samples, std::uint64_t n, const Label& each) {
        const std::uint8_t* p = in_.cursor();
        const std::uint8_t* const end = p + in_.buffered();
        const std::size_t first = samples.size();
        const std::size_t room = static_cast<std::size_t>(std::min<std::uint64_t>(n - first, in_.buffered()));
        samples.resize(first + room);
        std::int16_t* out = samples.data() + first;
        std::size_t made = 0;
        // Three bytes at hand hold any sample, so the loop needs no other check.
        while (made < room && end - p >= 3) {
            std::uint32_t z = p[0];
            if (z < 0x80) {
                p += 1;
            } else if (p[1] < 0x80) {
                z = (z & 0x7F) | (std::uint32_t{p[1]} << 7);
                p += 2;
            } else {
                z = sample_of_three(p, first + made, each);
                p += 3;
            }
            out[made++] = static_cast<std::int16_t>((z >> 1) ^ (0u - (z & 1)));
        }
        samples.resize(first + made);
        in_.advance(static_cast<std::size_t>(p - in_.cursor()));
        if (made == room || samples.size() == n) return;
        // Fewer than three bytes left in the buffer: one sample the slow way.
        const std::size_t have = in_.ensure(3);
        const std::uint8_t* q = in_.cursor();
        std::uint32_t z = 0;
        std::size_t used = 0;
        if (have >= 1 && q[0] < 0x80) {
            z = q[0];
            used = 1;
        } else if (have >= 2 && q[1] < 0x80) {
            z = (q[0] & 0x7Fu) | (std::uint32_t{q[1]} << 7);
            used = 2;
        } else if (have >= 3) {
            z = sample_of_three(q, samples.size(), each);
            used = 3;
        } else {
            fail_sample_end(each, samples.size());
        }
        in_.advance(used);
        samples.push_back(static_cast<std::int16_t>((z >> 1) ^ (0u - (z & 1))));
    }

    // The zigzag value of a three-byte sample varint, checked.
    std::uint32_t sample_of_three(const std::uint8_t* p, std::size_t index, const Label& each) const {
        const std::uint64_t at = in_.offset() + static_cast<std::uint64_t>(p - in_.cursor());
        if (p[2] >= 0x80) {
            fail(DecodeErrorKind::BadVarint, at,
                 "bad varint for " + each.text() + " " + std::to_string(index) + ": longer than 3 bytes");
        }
        const std::uint32_t z = (p[0] & 0x7Fu) | ((p[1] & 0x7Fu) << 7) | (std::uint32_t{p[2]} << 14);
        if (p[2] > 0x03) {
            fail(DecodeErrorKind::SampleOutOfRange, at,
                 each.text() + " " + std::to_string(index) + " out of range: zigzag value " + std::to_string(z) +
                     " does not fit in 16 bits");
        }
        return z;
    }

    [[noreturn]] void fail_sample_end(const Label& each, std::size_t index) {
        fail_end(in_.offset(), each.text() + " " + std::to_string(index), "a sample varint");
    }

    [[noreturn]] void fail_end(std::uint64_t start, const Label& label, const std::string& need) {
        fail_end(start, label.text(), need);
    }

    // Called at the end of the input, whose size is then known.
    [[noreturn]] void fail_end(std::uint64_t start, const std::string& what, const std::string& need) {
        const std::uint64_t total = in_.offset() + in_.remaining().value_or(0);
        const std::uint64_t left = total > start ? total - start : 0;
        fail(DecodeErrorKind::UnexpectedEnd, start,
             "unexpected end of data: expected " + need + " for " + what + ", " + plural(left, "byte") + " left");
    }

    ByteInput& in_;
};

}  // namespace

Expected<settings::Settings, DecodeError> decode_settings(ByteInput& input) {
    return decode_settings(input, settings::Settings());
}

Expected<settings::Settings, DecodeError> decode_settings(ByteInput& input, settings::Settings&& blank) {
    try {
        settings::Settings settings = std::move(blank);
        Decoder decoder(input);
        decoder.read(settings, Label{});
        decoder.expect_end();
        return settings;
    } catch (Failure& failure) {
        return Expected<settings::Settings, DecodeError>::failure(std::move(failure.error));
    }
}

}  // namespace protocols::postcard
