// The model's text form, streamed to a Python callable in blocks.
#pragma once

#include <string>
#include <string_view>

#include "pyglue/compat.hpp"
#include "protocols/text.hpp"

namespace vexafile_native {

// Hands the text to `write` as bytes objects of about kBlock bytes; an
// exception from `write` stops the rendering.
class PythonWriteSink final : public protocols::text::TextSink {
public:
    static constexpr std::size_t kBlock = std::size_t{1} << 20;

    explicit PythonWriteSink(PyObject* write) : write_(write) {}
    void write(std::string_view chunk) override;
    // Writes what is still held; call once after rendering.
    void flush();

private:
    PyObject* write_;  // borrowed for the life of the sink
    std::string pending_;
};

}  // namespace vexafile_native
