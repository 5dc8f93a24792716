// Creating or truncating a file and writing a buffer whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "io_error.hpp"

namespace pyvexa {

// Owns an open file descriptor; closing errors are ignored on purpose (the
// data was handed to the kernel and no sync is asked for).
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    FileDescriptor& operator=(FileDescriptor&&) = delete;
    ~FileDescriptor();

    int get() const noexcept { return fd_; }

private:
    int fd_;
};

// Opens `path` (a NUL-free name) write-only, creating (0666 under the
// umask) or truncating it, and writes all `size` bytes; nullopt on success.
std::optional<IoError> write_file(const std::string& path, const std::uint8_t* data, std::size_t size);

}  // namespace pyvexa
