// The bytes a decoder reads: a block of memory, or a file descriptor read
// as a stream through a buffer. Nothing is read ahead of need except one
// buffer's worth, so a decoder can stop at the end of its record and look
// at exactly one more byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>

namespace protocols::postcard {

// A read from the file descriptor failed; `error` is its errno.
class InputError : public std::runtime_error {
public:
    explicit InputError(int error);
    int error() const noexcept { return error_; }

private:
    int error_;
};

class ByteInput {
public:
    // The most bytes a decoder may ask to have at hand at once.
    static constexpr std::size_t kMaxLookahead = 16;
    static constexpr std::size_t kBufferSize = std::size_t{1} << 20;

    // All of `memory`, which must outlive the input.
    explicit ByteInput(std::span<const std::uint8_t> memory) noexcept;
    // A stream from `fd` (not owned). A regular file's size is taken from
    // fstat. `on_interrupt` runs when a read is interrupted by a signal,
    // before it is retried; it may throw to give up.
    explicit ByteInput(int fd, std::function<void()> on_interrupt = {});

    ByteInput(const ByteInput&) = delete;
    ByteInput& operator=(const ByteInput&) = delete;

    // Position of the next byte from the start of the input.
    std::uint64_t offset() const noexcept { return base_ + static_cast<std::uint64_t>(cur_ - begin_); }
    // Bytes after the next position when the input's size is known (memory,
    // a regular file, or any input once its end has been met).
    std::optional<std::uint64_t> remaining() const noexcept;

    // Bytes at hand from the next position; reads more only when there are
    // none. 0 means the end of the input.
    std::size_t fill() { return cur_ != end_ ? buffered() : refill(); }
    // Makes at least n (at most kMaxLookahead) bytes at hand unless the
    // input ends first; returns how many are.
    std::size_t ensure(std::size_t n) { return buffered() >= n ? n : ensure_slowly(n); }

    const std::uint8_t* cursor() const noexcept { return cur_; }
    std::size_t buffered() const noexcept { return static_cast<std::size_t>(end_ - cur_); }
    void advance(std::size_t n) noexcept { cur_ += n; }

private:
    std::size_t refill();
    std::size_t ensure_slowly(std::size_t n);
    // Moves the unread bytes to the front of the buffer and reads after them.
    void read_more();

    int fd_ = -1;
    std::function<void()> on_interrupt_;
    std::unique_ptr<std::uint8_t[]> buffer_;
    const std::uint8_t* begin_ = nullptr;  // input offset base_ is here
    const std::uint8_t* cur_ = nullptr;
    const std::uint8_t* end_ = nullptr;
    std::uint64_t base_ = 0;
    std::optional<std::uint64_t> size_;
    bool ended_ = false;
};

}  // namespace protocols::postcard
