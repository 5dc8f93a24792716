// Anonymous page mappings for the large buffers of the model: sample
// buffers and encoded files. A mapping is exactly as long as its request
// rounded up to whole pages, and munmap gives it back to the system at
// once; nothing freed is kept. Mappings of a few huge pages or more start
// on a huge-page boundary and are offered transparent huge pages, which
// back every whole 2 MiB range inside them and leave the tail on small
// pages, so no buffer is rounded up to a huge page.
#pragma once

#include <cstddef>

namespace protocols::memory {

// Requests below this stay on the general-purpose heap.
inline constexpr std::size_t kMapThreshold = std::size_t{64} << 10;
inline constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::size_t page_size() noexcept;

// `bytes` rounded up to whole pages: the length that map_pages maps.
// Throws std::bad_alloc when that does not fit in a size.
std::size_t mapped_length(std::size_t bytes);

// A new zero-filled mapping of mapped_length(bytes); throws std::bad_alloc.
void* map_pages(std::size_t bytes);
// Unmaps what map_pages(bytes) or remap_pages(..., bytes) returned.
void unmap_pages(void* start, std::size_t bytes) noexcept;
// Grows a mapping to mapped_length(new_bytes), keeping its content. The
// pages are moved, not copied, when it cannot grow in place; returns the
// new start, or throws std::bad_alloc with the old mapping untouched.
void* remap_pages(void* start, std::size_t old_bytes, std::size_t new_bytes);

}  // namespace protocols::memory
