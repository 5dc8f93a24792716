// Scoped access to an object's flag, taken for the length of a call.
#pragma once

#include <utility>

#include "access_flag.hpp"
#include "errors.hpp"

namespace pyvexa {

// Holds access of kind `Kind` for its lifetime; throws RuntimeError when the
// flag refuses it.
template <class Kind>
class Access {
public:
    explicit Access(AccessFlag& flag) : flag_(&flag) {
        if (!Kind::acquire(flag)) raise(PyExc_RuntimeError, Kind::kRefusal);
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
