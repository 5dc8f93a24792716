// Scoped access to an object's flag, taken for the length of a call.
#pragma once

#include <utility>

#include "access_flag.hpp"
#include "errors.hpp"

namespace pyvexa {

// The words each kind of access is refused in.
template <class Kind>
inline constexpr const char* kRefusal = nullptr;
template <>
inline constexpr const char* kRefusal<Shared> = "Already mutably borrowed";  // a writer holds it
template <>
inline constexpr const char* kRefusal<Exclusive> = "Already borrowed";  // any access is held

// Holds access of kind `Kind` for its lifetime; throws RuntimeError when the
// flag refuses it.
template <class Kind>
class Access {
    static_assert(kRefusal<Kind> != nullptr, "a kind of access has its refusal text");

public:
    explicit Access(AccessFlag& flag) : flag_(&flag) {
        if (!Kind::acquire(flag)) raise(PyExc_RuntimeError, kRefusal<Kind>);
    }
    Access(Access&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
    Access(const Access&) = delete;
    Access& operator=(const Access&) = delete;
    Access& operator=(Access&&) = delete;
    ~Access() {
        if (flag_ != nullptr) Kind::release(*flag_);
    }

private:
    AccessFlag* flag_;
};

}  // namespace pyvexa
