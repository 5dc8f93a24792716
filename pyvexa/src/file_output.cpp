#include "file_output.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace pyvexa {

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0) (void)::close(fd_);
}

std::optional<IoError> write_all(int fd, const std::uint8_t* data, std::size_t size, WriteCall write_call,
                                 std::size_t max_chunk) {
    while (size > 0) {
        const ssize_t written = write_call(fd, data, std::min(size, max_chunk));
        if (written < 0) {
            if (errno == EINTR) continue;
            return IoError::os(errno);
        }
        if (written == 0) return IoError::simple("WriteZero", "failed to write whole buffer");
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return std::nullopt;
}

std::optional<IoError> write_file(const std::string& path, const std::uint8_t* data, std::size_t size) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return IoError::os(errno);
    FileDescriptor file(fd);
    return write_all(file.get(), data, size);
}

}  // namespace pyvexa
