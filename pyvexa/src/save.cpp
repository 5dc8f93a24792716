// Protocol.save: encode the whole record into memory first, then create or
// truncate the file and write it in one go, so a failed encoding never
// leaves a truncated file behind.
#include <string_view>
#include <utility>

#include "args.hpp"
#include "boundary.hpp"
#include "convert.hpp"
#include "file_output.hpp"
#include "methods.hpp"
#include "objects.hpp"
#include "protocols/postcard.hpp"

namespace pyvexa::methods {

namespace {
Params<1> kSave{"Protocol.save()", {"filepath"}, 1};
}  // namespace

PyObject* save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
        PyObject* argv[1];
        match_fastcall(kSave.list(), args, nargs, kwnames, argv);
        ProtocolObject& protocol = protocol_receiver(self);
        ExclusiveAccess access(protocol.access);
        const std::string filepath = arg_text(argv[0], "filepath");
        PYVEXA_ASSERT(std::string_view(filepath).ends_with(".vexa"), "filepath.ends_with(\".vexa\")");

        auto& settings = protocol.record.settings;
        // The machine needs at least one signal; this stays on the object.
        if (settings.signals.empty()) {
            settings.signals.emplace_back(std::in_place_type<protocols::signals::ConstantSignalParams>, 0.0);
        }

        protocols::postcard::ByteBuffer encoded;
        protocols::postcard::Status status = protocols::postcard::serialize(settings, encoded);
        if (!status.is_ok()) panic(unwrap_failure(std::string(protocols::postcard::to_string(status.error()))));

        if (filepath.find('\0') != std::string::npos) {
            panic(unwrap_failure(
                IoError::simple("InvalidInput", "file name contained an unexpected NUL byte").render()));
        }
        if (auto failure = write_file(filepath, encoded.data(), encoded.size())) panic(unwrap_failure(failure->render()));
        Py_RETURN_NONE;
    });
}

}  // namespace pyvexa::methods
