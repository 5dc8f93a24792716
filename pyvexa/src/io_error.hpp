// I/O failures of saving, rendered as the unwrap texts callers match on:
//   Os { code: 2, kind: NotFound, message: "No such file or directory" }
//   Error { kind: WriteZero, message: "failed to write whole buffer" }
#pragma once

#include <string>
#include <string_view>

namespace pyvexa {

struct IoError {
    int os_code;                // errno; 0 for an error with a fixed text
    std::string_view kind;      // used when os_code is 0
    std::string_view message;   // used when os_code is 0

    static IoError os(int code) noexcept { return IoError{code, {}, {}}; }
    static IoError simple(std::string_view kind, std::string_view message) noexcept {
        return IoError{0, kind, message};
    }
    std::string render() const;
};

// Kind name of an errno value ("NotFound", "PermissionDenied", ...,
// "Uncategorized" for numbers without a kind of their own).
std::string_view error_kind_name(int code) noexcept;

// The system's own text for an errno value.
std::string error_text(int code);

}  // namespace pyvexa
