// The sample-array argument: a one-dimensional float64 NumPy array, read in
// place and registered as shared-borrowed in the process-wide borrow
// registry for as long as this object lives.
#pragma once

#include <cstddef>
#include <utility>

#include "glue.hpp"

namespace pyvexa {

class SampleArray {
public:
    // Accepts `obj`. Panics when NumPy or the borrow registry cannot be
    // reached, or when another module holds the memory exclusively. Throws
    // with a plain TypeError set ("'X' object cannot be cast as 'ndarray'",
    // not yet prefixed with the parameter name) when obj is not a 1-d
    // float64 ndarray; no other Python error leaves this function.
    static SampleArray accept(PyObject* obj);

    SampleArray(SampleArray&& other) noexcept = default;
    SampleArray(const SampleArray&) = delete;
    SampleArray& operator=(const SampleArray&) = delete;
    SampleArray& operator=(SampleArray&&) = delete;
    // Releases the registration, then the reference.
    ~SampleArray();

    std::size_t size() const noexcept { return size_; }
    // Address of element 0; element i is the native-endian double at
    // data() + i * stride(), possibly unaligned.
    const char* data() const noexcept { return data_; }
    std::ptrdiff_t stride() const noexcept { return stride_; }

private:
    SampleArray(PyRef array, const char* data, std::size_t size, std::ptrdiff_t stride) noexcept
        : array_(std::move(array)), data_(data), size_(size), stride_(stride) {}

    PyRef array_;  // registered as shared-borrowed while held
    const char* data_;
    std::size_t size_;
    std::ptrdiff_t stride_;
};

}  // namespace pyvexa
