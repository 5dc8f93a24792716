// Protocol.save: encode the whole record into memory first, then create or
// truncate the file and write it in one go, so a failed encoding never
// leaves a truncated file behind.
#include "save.hpp"

#include <string_view>
#include <utility>

#include "file_output.hpp"
#include "protocols/postcard.hpp"

namespace pyvexa::methods {

void save(ProtocolObject& protocol, const std::string& filepath) {
    PYVEXA_ASSERT(std::string_view(filepath).ends_with(".vexa"), "filepath.ends_with(\".vexa\")");

    auto& settings = protocol.record.settings;
    // The machine needs at least one signal; this stays on the object.
    if (settings.signals.empty()) {
        settings.signals.emplace_back(std::in_place_type<protocols::signals::ConstantSignalParams>, 0.0);
    }

    protocols::postcard::ByteBuffer encoded;
    protocols::postcard::Status status = protocols::postcard::serialize(settings, encoded);
    if (!status.is_ok()) {
        panic(unwrap_failure(std::string(protocols::postcard::to_string(status.error()))));
    }

    if (filepath.find('\0') != std::string::npos) {
        IoError nul = IoError::simple("InvalidInput", "file name contained an unexpected NUL byte");
        panic(unwrap_failure(nul.render()));
    }
    if (auto failure = write_file(filepath, encoded.data(), encoded.size())) {
        panic(unwrap_failure(failure->render()));
    }
}

}  // namespace pyvexa::methods
