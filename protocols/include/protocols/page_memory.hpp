// Anonymous page mappings for the large buffers of the model: sample
// buffers and encoded files. A mapping is exactly as long as its request
// rounded up to whole pages. Mappings of one huge page or more start on a
// huge-page boundary and are offered transparent huge pages, which back
// every whole huge page inside them and leave the tail on small pages, so
// no buffer is rounded up to a huge page.
// A freed mapping is either unmapped or, up to 64 MiB in all, kept for the
// next buffer of its size with its pages lazily freed (MADV_FREE): the
// kernel takes them back whenever it needs memory, so nothing freed stays
// in use, and while it has not, reusing them costs no page faults.
#pragma once

#include <cstddef>

namespace protocols::memory {

// Requests below this stay on the general-purpose heap.
inline constexpr std::size_t kMapThreshold = std::size_t{64} << 10;

// Both as the running system has them: 4 KiB, 16 KiB or 64 KiB pages on
// aarch64 kernels, with huge pages of 2 MiB, 32 MiB or 512 MiB.
std::size_t page_size() noexcept;
std::size_t huge_page_size() noexcept;

// `bytes` rounded up to whole pages: the length that map_pages maps.
// Throws std::bad_alloc when that does not fit in a size.
std::size_t mapped_length(std::size_t bytes);

// A writable mapping of mapped_length(bytes) whose content is unspecified
// (zero when new, old bytes or zero when reused); throws std::bad_alloc.
void* map_pages(std::size_t bytes);
// Frees what map_pages(bytes) or remap_pages(..., bytes) returned: unmaps
// it or keeps it, lazily freed, for reuse.
void unmap_pages(void* start, std::size_t bytes) noexcept;
// Grows a mapping to mapped_length(new_bytes), keeping its content; the
// added pages read as zero. The pages are moved, not copied, when it cannot
// grow in place. Returns the new start, or throws std::bad_alloc with the
// old mapping untouched.
void* remap_pages(void* start, std::size_t old_bytes, std::size_t new_bytes);

}  // namespace protocols::memory
