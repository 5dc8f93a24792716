// A value or an error, for model operations that report failure by value.
#pragma once

#include <utility>
#include <variant>

namespace protocols {

template <class T, class E>
class Expected {
public:
    Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    static Expected failure(E error) { return Expected(std::in_place_index<1>, error); }

    bool has_value() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    E error() const { return std::get<1>(state_); }

private:
    template <std::size_t I, class V>
    Expected(std::in_place_index_t<I> tag, V&& v) : state_(tag, std::forward<V>(v)) {}

    std::variant<T, E> state_;
};

}  // namespace protocols
