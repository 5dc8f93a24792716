// Creating or truncating a file and writing a buffer whole.
#pragma once

#include <sys/types.h>
#include <unistd.h>

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

// Linux transfers at most about 2 GiB per write call; keeping every call
// within int range also suits every other system.
inline constexpr std::size_t kMaxWriteChunk = 2147483647;

// The write(2) signature, so tests can stand in for the system call.
using WriteCall = ssize_t (*)(int fd, const void* data, std::size_t size);

// Writes all `size` bytes to `fd` in calls of at most `max_chunk` bytes,
// repeating interrupted calls and continuing after short writes; nullopt on
// success.
std::optional<IoError> write_all(int fd, const std::uint8_t* data, std::size_t size,
                                 WriteCall write_call = ::write, std::size_t max_chunk = kMaxWriteChunk);

// Opens `path` (a NUL-free name) write-only, creating (0666 under the
// umask) or truncating it, and writes all `size` bytes; nullopt on success.
std::optional<IoError> write_file(const std::string& path, const std::uint8_t* data, std::size_t size);

}  // namespace pyvexa
