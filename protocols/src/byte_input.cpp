#include "protocols/byte_input.hpp"

#include <cerrno>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace protocols::postcard {

InputError::InputError(int error) : std::runtime_error(std::strerror(error)), error_(error) {}

ByteInput::ByteInput(std::span<const std::uint8_t> memory) noexcept
    : begin_(memory.data()), cur_(memory.data()), end_(memory.data() + memory.size()),
      size_(memory.size()), ended_(true) {}

ByteInput::ByteInput(int fd, std::function<void()> on_interrupt)
    : fd_(fd), on_interrupt_(std::move(on_interrupt)), buffer_(new std::uint8_t[kBufferSize]) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) throw InputError(errno);
    if (S_ISREG(info.st_mode)) size_ = static_cast<std::uint64_t>(info.st_size);
    begin_ = cur_ = end_ = buffer_.get();
}

std::optional<std::uint64_t> ByteInput::remaining() const noexcept {
    if (!size_) return std::nullopt;
    const std::uint64_t at = offset();
    return *size_ > at ? *size_ - at : 0;
}

std::size_t ByteInput::refill() {
    if (cur_ == end_ && !ended_) read_more();
    return buffered();
}

std::size_t ByteInput::ensure_slowly(std::size_t n) {
    while (buffered() < n && !ended_) read_more();
    return buffered() < n ? buffered() : n;
}

void ByteInput::read_more() {
    std::uint8_t* const buffer = buffer_.get();
    const std::size_t kept = buffered();
    base_ = offset();
    std::memmove(buffer, cur_, kept);
    begin_ = cur_ = buffer;
    end_ = buffer + kept;
    for (;;) {
        const ssize_t got = ::read(fd_, buffer + kept, kBufferSize - kept);
        if (got > 0) {
            end_ += got;
            return;
        }
        if (got == 0) {
            ended_ = true;
            size_ = base_ + kept;  // the true size, whatever fstat said
            return;
        }
        if (errno != EINTR) throw InputError(errno);
        if (on_interrupt_) on_interrupt_();
    }
}

}  // namespace protocols::postcard
