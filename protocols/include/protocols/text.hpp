// Indented text form of every record: the record name, then one field per
// line in declaration order, four blanks per nesting level.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "protocols/lcsettings.hpp"
#include "protocols/machine_config.hpp"
#include "protocols/settings.hpp"
#include "protocols/signals.hpp"

namespace protocols::text {

// Shortest text that reads back to the same double: positional for 0 and
// magnitudes in [1e-4, 1e16) ("60.0", "0.3"), exponent form otherwise
// ("1e-5", "2.5e-7", "1e16"); "-0.0", "NaN", "inf", "-inf".
std::string format_double(double value);

// Quoted text with backslash escapes, e.g. "\"Default\"".
std::string quote(std::string_view text);

// Receives the text form chunk by chunk, in order.
class TextSink {
public:
    virtual ~TextSink() = default;
    // The next chunk of text.
    virtual void write(std::string_view chunk) = 0;
    // A sink that keeps the whole text may return its string instead: the
    // renderer then appends to it directly and never calls write().
    virtual std::string* whole_text() noexcept { return nullptr; }
};

// About how much text a streaming sink receives at a time: a chunk ends with
// the first line that reaches this size, and the last one may be shorter.
inline constexpr std::size_t TEXT_CHUNK_SIZE = 64 * 1024;

// Keeps the whole text in one string.
class StringSink final : public TextSink {
public:
    void write(std::string_view chunk) override { text_ += chunk; }
    std::string* whole_text() noexcept override { return &text_; }
    std::string take() && { return std::move(text_); }

private:
    std::string text_;
};

// Renders `value` into `sink`. Besides what the sink keeps, the renderer
// holds about one chunk, so a streaming sink lets a caller render a
// protocol of any size in bounded memory.
void write_text(const lcsettings::LCSetting& value, TextSink& sink);
void write_text(const lcsettings::Coil& value, TextSink& sink);
void write_text(const machine_config::MachineConfig& value, TextSink& sink);
void write_text(const signals::Signal& value, TextSink& sink);
void write_text(const settings::SignalSourceSelection& value, TextSink& sink);
void write_text(const settings::ChannelSettings& value, TextSink& sink);
void write_text(const settings::Settings& value, TextSink& sink);
void write_text(const Protocol& value, TextSink& sink);

// The whole text of `value` in one string.
template <class Value>
    requires requires(const Value& value, TextSink& sink) { write_text(value, sink); }
std::string to_text(const Value& value) {
    StringSink sink;
    write_text(value, sink);
    return std::move(sink).take();
}

}  // namespace protocols::text
