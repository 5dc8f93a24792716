#include "boundary.hpp"

#include <exception>

namespace pyvexa::detail {

void translate_exception() noexcept {
    try {
        throw;
    } catch (const Panic& failure) {
        raise_panic(failure.message, failure.location);
    } catch (const std::exception& e) {
        raise_panic(e.what(), std::source_location::current());
    } catch (...) {
        raise_panic("unknown C++ exception", std::source_location::current());
    }
}

}  // namespace pyvexa::detail
