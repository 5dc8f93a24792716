#include "protocols/text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <variant>
#include <vector>

namespace protocols::text {

namespace {

using namespace std::string_view_literals;

constexpr std::size_t kIndentWidth = 4;
// A line break and the indentation of the deepest lines (samples, at six
// levels), so that most lines start with one append.
constexpr std::string_view kBreakAndIndent = "\n                                ";

// Shortest round-trip digits of a finite, non-zero magnitude, and the
// decimal exponent of the first digit (value = d.ddd * 10^exponent).
struct ShortestDigits {
    char digits[32];
    std::size_t count = 0;
    int exponent = 0;
};

ShortestDigits shortest_digits(double magnitude) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, magnitude, std::chars_format::scientific);
    const std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));

    ShortestDigits out;
    const std::size_t e_pos = text.find('e');
    for (char c : text.substr(0, e_pos)) {
        if (c != '.') out.digits[out.count++] = c;
    }
    std::string_view exponent_text = text.substr(e_pos + 1);
    if (!exponent_text.empty() && exponent_text.front() == '+') exponent_text.remove_prefix(1);
    std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), out.exponent);
    return out;
}

template <class Out>
void append_positional(Out& out, const ShortestDigits& d) {
    const std::string_view digits(d.digits, d.count);
    const int count = static_cast<int>(d.count);
    if (d.exponent < 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-d.exponent - 1), '0');
        out += digits;
    } else if (d.exponent >= count - 1) {
        out += digits;
        out.append(static_cast<std::size_t>(d.exponent - (count - 1)), '0');
        out += ".0";
    } else {
        const auto integer_digits = static_cast<std::size_t>(d.exponent + 1);
        out += digits.substr(0, integer_digits);
        out += '.';
        out += digits.substr(integer_digits);
    }
}

template <class Out>
void append_exponent(Out& out, const ShortestDigits& d) {
    out += d.digits[0];
    if (d.count > 1) {
        out += '.';
        out.append(d.digits + 1, d.count - 1);
    }
    out += 'e';
    out += std::to_string(d.exponent);
}

template <class Out>
void append_double(Out& out, double value) {
    if (std::isnan(value)) {
        out += "NaN";
        return;
    }
    if (std::signbit(value)) out += '-';
    const double magnitude = std::fabs(value);
    if (std::isinf(magnitude)) {
        out += "inf";
        return;
    }
    if (magnitude == 0.0) {
        out += "0.0";
        return;
    }
    const ShortestDigits digits = shortest_digits(magnitude);
    if (magnitude >= 1e-4 && magnitude < 1e16) {
        append_positional(out, digits);
    } else {
        append_exponent(out, digits);
    }
}

template <class Out, class Integer>
void append_integer(Out& out, Integer value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

template <class Out>
void append_hex(Out& out, unsigned value) {
    char buffer[8];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, 16);
    out.append(buffer, result.ptr);
}

// The code point of the three-byte sequence at text[i] when it is one that
// would mislead the eye if shown as it is: a bidirectional control
// (U+200E, U+200F, U+202A..U+202E, U+2066..U+2069), a zero-width character
// (U+200B..U+200D, U+2060, U+FEFF) or a line or paragraph separator
// (U+2028, U+2029); else 0.
unsigned misleading_at(std::string_view text, std::size_t i) noexcept {
    if (i + 2 >= text.size()) return 0;
    const auto b0 = static_cast<unsigned char>(text[i]);
    const auto b1 = static_cast<unsigned char>(text[i + 1]);
    const auto b2 = static_cast<unsigned char>(text[i + 2]);
    if ((b0 != 0xE2 && b0 != 0xEF) || (b1 & 0xC0) != 0x80 || (b2 & 0xC0) != 0x80) return 0;
    const unsigned code = ((b0 & 0x0Fu) << 12) | ((b1 & 0x3Fu) << 6) | (b2 & 0x3Fu);
    const bool misleading = (code >= 0x200B && code <= 0x200F) || (code >= 0x2028 && code <= 0x202E) ||
                            code == 0x2060 || (code >= 0x2066 && code <= 0x2069) || code == 0xFEFF;
    return misleading ? code : 0;
}

template <class Out>
void append_quoted(Out& out, std::string_view text) {
    out += '"';
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        switch (byte) {
            case '"': out += "\\\""; continue;
            case '\\': out += "\\\\"; continue;
            case '\n': out += "\\n"; continue;
            case '\r': out += "\\r"; continue;
            case '\t': out += "\\t"; continue;
            case '\0': out += "\\0"; continue;
            default: break;
        }
        // C0 controls, DEL, and the C1 controls U+0080..U+009F (C2 80..C2 9F).
        const bool c1_control = byte == 0xC2 && i + 1 < text.size() &&
                                static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                                static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        if (byte < 0x20 || byte == 0x7F || c1_control) {
            const unsigned code = c1_control ? static_cast<unsigned char>(text[++i]) : byte;
            out += "\\u{";
            append_hex(out, code);
            out += '}';
            continue;
        }
        if (const unsigned code = misleading_at(text, i)) {
            out += "\\u{";
            append_hex(out, code);
            out += '}';
            i += 2;
            continue;
        }
        out += static_cast<char>(byte);
    }
    out += '"';
}

// Where the renderer writes: a string filled through a raw cursor, so that a
// small piece costs one bounds check and a copy. While writing, the string
// runs somewhat past the written text (a window of zeros that the cursor
// fills); it is cut to the written text when done. With a sink, a chunk that
// has reached TEXT_CHUNK_SIZE goes to the sink at the next line boundary and
// the string is filled again from its start.
class Output {
public:
    Output(std::string& text, TextSink* sink) : text_(text), sink_(sink) { widen(text_.size(), 0); }
    ~Output() { text_.resize(size()); }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    Output& operator+=(char c) {
        room(1);
        *cur_++ = c;
        return *this;
    }
    Output& operator+=(std::string_view piece) { return append(piece.data(), piece.size()); }
    Output& append(const char* piece, std::size_t count) {
        room(count);
        std::memcpy(cur_, piece, count);
        cur_ += count;
        return *this;
    }
    Output& append(const char* first, const char* last) {
        return append(first, static_cast<std::size_t>(last - first));
    }
    Output& append(std::size_t count, char c) {
        room(count);
        std::memset(cur_, c, count);
        cur_ += count;
        return *this;
    }
    // Allocates room for `count` more bytes without touching it; with a
    // sink, for at most a chunk.
    void reserve(std::size_t count) {
        const std::size_t used = size();
        if (sink_) count = std::min(count, TEXT_CHUNK_SIZE);
        if (count > text_.capacity() - used) {
            text_.reserve(used + count);
            widen(used, 0);
        }
    }

    // Room for `count` bytes to store directly; commit() then marks the
    // end of what was stored.
    char* claim(std::size_t count) {
        room(count);
        return cur_;
    }
    void commit(char* end) noexcept { cur_ = end; }

    // Called where a line ends.
    void line_boundary() {
        if (sink_ && size() >= TEXT_CHUNK_SIZE) flush();
    }
    // Passes what is left to the sink.
    void finish() {
        if (sink_ && size() != 0) flush();
    }

private:
    std::size_t size() const noexcept { return static_cast<std::size_t>(cur_ - text_.data()); }

    void room(std::size_t count) {
        if (static_cast<std::size_t>(end_ - cur_) < count) grow(count);
    }

    void grow(std::size_t count) {
        constexpr std::size_t kMinimumCapacity = 4096;  // the default protocol's text fits
        const std::size_t used = size();
        if (count > text_.max_size() - used) throw std::length_error("protocol text too long");
        if (used + count > text_.capacity()) {
            text_.reserve(std::max({used + count, 2 * text_.capacity(), kMinimumCapacity}));
        }
        widen(used, count);
    }

    // Runs the string at least `count` bytes past the `used` ones, and up
    // to a step further within its capacity: the pages of a large
    // reservation are touched only as the text reaches them.
    void widen(std::size_t used, std::size_t count) {
        constexpr std::size_t kStep = 64 * 1024;
        text_.resize(std::min(text_.capacity(), used + std::max(count, kStep)));
        cur_ = text_.data() + used;
        end_ = text_.data() + text_.size();
    }

    void flush() {
        sink_->write(std::string_view(text_.data(), size()));
        cur_ = text_.data();
    }

    std::string& text_;
    TextSink* sink_;
    char* cur_;
    char* end_;
};

// Renders values into a buffer that it passes to the sink chunk by chunk,
// or straight into the sink's own string when it keeps the whole text.
// `level` is the nesting level of the line a value starts on; later lines
// of the value are indented from it.
class Writer {
public:
    explicit Writer(TextSink& sink)
        : whole_(sink.whole_text()), out_(whole_ ? *whole_ : chunk_, whole_ ? nullptr : &sink) {}
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // Passes the rest of the text to the sink.
    void finish() { out_.finish(); }

    void value(bool v, std::size_t) { out_ += v ? "true"sv : "false"sv; }
    void value(std::uint64_t v, std::size_t) { append_integer(out_, v); }
    void value(std::int16_t v, std::size_t) { append_integer(out_, v); }
    void value(double v, std::size_t) { append_double(out_, v); }
    void value(const std::string& v, std::size_t) { append_quoted(out_, v); }

    template <class Sequence>
    void list(const Sequence& items, std::size_t level) {
        if (items.empty()) {
            out_ += "[]"sv;
            return;
        }
        out_ += '[';
        for (const auto& item : items) {
            line(level + 1);
            value(item, level + 1);
            out_ += ',';
        }
        line(level);
        out_ += ']';
    }

    template <class T, class A>
    void value(const std::vector<T, A>& v, std::size_t level) { list(v, level); }
    template <class T, class A>
    void value(const std::deque<T, A>& v, std::size_t level) { list(v, level); }
    template <class T, std::size_t N>
    void value(const std::array<T, N>& v, std::size_t level) { list(v, level); }

    // The list() of samples, one store per line: the largest part of a
    // large protocol's text.
    void value(const signals::SampleVector& samples, std::size_t level) {
        const std::size_t width = (level + 1) * kIndentWidth;
        if (samples.empty() || width >= kBreakAndIndent.size()) {
            list(samples, level);
            return;
        }
        // A line: break, indentation, sign and five digits at most, ",".
        const std::size_t line_size = 1 + width + 7;
        out_.reserve(samples.size() * line_size + 16);
        out_ += '[';
        for (const std::int16_t sample : samples) {
            out_.line_boundary();
            char* p = out_.claim(line_size);
            std::memcpy(p, kBreakAndIndent.data(), 1 + width);
            p = std::to_chars(p + 1 + width, p + line_size, sample).ptr;
            *p++ = ',';
            out_.commit(p);
        }
        line(level);
        out_ += ']';
    }

    void value(const signals::Signal& v, std::size_t level) {
        out_ += signals::variant_name(v);
        out_ += '(';
        line(level + 1);
        std::visit([&](const auto& params) { value(params, level + 1); }, v);
        out_ += ',';
        line(level);
        out_ += ')';
    }

    // A record: its name, then one line per field in the order of its list.
    template <fields::Described Record>
    void value(const Record& record, std::size_t level) {
        out_ += fields::type_name<Record>;
        out_ += " {"sv;
        fields::visit_fields(record, [&](std::string_view name, const auto& member) {
            line(level + 1);
            out_ += name;
            out_ += ": "sv;
            value(member, level + 1);
            out_ += ',';
        });
        line(level);
        out_ += '}';
    }

private:
    // Every line break is a point where a full chunk goes to the sink.
    void line(std::size_t level) {
        out_.line_boundary();
        const std::size_t width = level * kIndentWidth;
        if (width < kBreakAndIndent.size()) {
            out_.append(kBreakAndIndent.data(), 1 + width);
        } else {
            out_ += '\n';
            out_.append(width, ' ');
        }
    }

    std::string* whole_;
    std::string chunk_;
    Output out_;
};

template <class T>
void render(const T& value, TextSink& sink) {
    Writer writer(sink);
    writer.value(value, 0);
    writer.finish();
}

}  // namespace

std::string format_double(double value) {
    std::string out;
    append_double(out, value);
    return out;
}

std::string quote(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    append_quoted(out, text);
    return out;
}

void write_text(const lcsettings::LCSetting& value, TextSink& sink) { render(value, sink); }
void write_text(const lcsettings::Coil& value, TextSink& sink) { render(value, sink); }
void write_text(const machine_config::MachineConfig& value, TextSink& sink) { render(value, sink); }
void write_text(const signals::Signal& value, TextSink& sink) { render(value, sink); }
void write_text(const settings::SignalSourceSelection& value, TextSink& sink) { render(value, sink); }
void write_text(const settings::ChannelSettings& value, TextSink& sink) { render(value, sink); }
void write_text(const settings::Settings& value, TextSink& sink) { render(value, sink); }
void write_text(const Protocol& value, TextSink& sink) { render(value, sink); }

}  // namespace protocols::text
