#include "file_output.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace pyvexa {

namespace {
// Linux refuses larger single writes anyway; keep every call within int range.
constexpr std::size_t kMaxWriteChunk = 2147483647;
}  // namespace

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0) (void)::close(fd_);
}

std::optional<IoError> write_file(const std::string& path, const std::uint8_t* data, std::size_t size) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return IoError::os(errno);
    FileDescriptor file(fd);

    while (size > 0) {
        ssize_t written = ::write(file.get(), data, std::min(size, kMaxWriteChunk));
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

}  // namespace pyvexa
