// One list per record of its fields' names in declaration order, and the
// record's own name. The encoder and the text form walk these lists, so a
// record's fields are written down once, in the record:
//
//     struct R {
//         double a = 0.0;
//         bool b = false;
//         static constexpr auto field_list = fields::describe("R", "a", "b");
//     };
//     static_assert(fields::lists_every_member<R>);
//
// The members themselves are reached by a structured binding, which takes
// them in declaration order and does not compile when the list names fewer
// or more fields than the record has, for records with a constructor too.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

namespace protocols::fields {

template <std::size_t N>
struct FieldList {
    std::string_view type_name;  // the record's name in the text form
    std::array<std::string_view, N> names;
    static constexpr std::size_t size = N;
};

template <class... Names>
constexpr FieldList<sizeof...(Names)> describe(std::string_view type_name, Names... names) {
    return {type_name, {std::string_view(names)...}};
}

template <class List>
inline constexpr bool is_field_list = false;
template <std::size_t N>
inline constexpr bool is_field_list<FieldList<N>> = true;

// A record with a field list of its own.
template <class T>
concept Described = is_field_list<std::remove_cv_t<decltype(T::field_list)>>;

template <Described Record>
inline constexpr std::string_view type_name = Record::field_list.type_name;

namespace detail {

// References to the record's N members in declaration order; does not
// compile when the record has any other number of members.
template <std::size_t N, class Record>
constexpr auto tie_members(Record& r) {
    static_assert(N >= 1 && N <= 16, "tie_members: add a case for this field count");
    // clang-format off
    if constexpr (N == 1) { auto& [a] = r; return std::tie(a); }
    else if constexpr (N == 2) { auto& [a, b] = r; return std::tie(a, b); }
    else if constexpr (N == 3) { auto& [a, b, c] = r; return std::tie(a, b, c); }
    else if constexpr (N == 4) { auto& [a, b, c, d] = r; return std::tie(a, b, c, d); }
    else if constexpr (N == 5) { auto& [a, b, c, d, e] = r; return std::tie(a, b, c, d, e); }
    else if constexpr (N == 6) { auto& [a, b, c, d, e, f] = r; return std::tie(a, b, c, d, e, f); }
    else if constexpr (N == 7) { auto& [a, b, c, d, e, f, g] = r; return std::tie(a, b, c, d, e, f, g); }
    else if constexpr (N == 8) { auto& [a, b, c, d, e, f, g, h] = r; return std::tie(a, b, c, d, e, f, g, h); }
    else if constexpr (N == 9) {
        auto& [a, b, c, d, e, f, g, h, i] = r;
        return std::tie(a, b, c, d, e, f, g, h, i);
    } else if constexpr (N == 10) {
        auto& [a, b, c, d, e, f, g, h, i, j] = r;
        return std::tie(a, b, c, d, e, f, g, h, i, j);
    } else if constexpr (N == 11) {
        auto& [a, b, c, d, e, f, g, h, i, j, k] = r;
        return std::tie(a, b, c, d, e, f, g, h, i, j, k);
    } else if constexpr (N == 12) {
        auto& [a, b, c, d, e, f, g, h, i, j, k, l] = r;
        return std::tie(a, b, c, d, e, f, g, h, i, j, k, l);
    } else if constexpr (N == 13) {
        auto& [a, b, c, d, e, f, g, h, i, j, k, l, m] = r;
        return std::tie(a, b, c, d, e, f, g, h, i, j, k, l, m);
    } else if constexpr (N == 14) {
        auto& [a, b, c, d, e, f, g, h, i, j, k, l, m, n] = r;
        return std::tie(a, b, c, d, e, f, g, h, i, j, k, l, m, n);
    } else if constexpr (N == 15) {
        auto& [a, b, c, d, e, f, g, h, i, j, k, l, m, n, o] = r;
        return std::tie(a, b, c, d, e, f, g, h, i, j, k, l, m, n, o);
    } else {
        auto& [a, b, c, d, e, f, g, h, i, j, k, l, m, n, o, p] = r;
        return std::tie(a, b, c, d, e, f, g, h, i, j, k, l, m, n, o, p);
    }
    // clang-format on
}

template <std::size_t N>
constexpr bool names_differ(const std::array<std::string_view, N>& names) {
    for (std::size_t i = 0; i < N; ++i) {
        for (std::size_t j = i + 1; j < N; ++j) {
            if (names[i] == names[j]) return false;
        }
    }
    return true;
}

}  // namespace detail

// Calls visit(name, member) for each field of `record` in declaration order;
// the member is a const reference when the record is const.
template <class Record, class Visitor>
    requires Described<std::remove_const_t<Record>>
constexpr void visit_fields(Record& record, Visitor&& visit) {
    constexpr const auto& list = std::remove_const_t<Record>::field_list;
    const auto members = detail::tie_members<list.size>(record);
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (visit(list.names[I], std::get<I>(members)), ...);
    }(std::make_index_sequence<list.size>{});
}

namespace detail {
template <class Tied>
struct Decayed;
template <class... T>
struct Decayed<std::tuple<T...>> {
    using type = std::tuple<std::remove_cvref_t<T>...>;
};
}  // namespace detail

// The types of the record's members in declaration order, as a std::tuple.
template <Described Record>
using member_types =
    typename detail::Decayed<decltype(detail::tie_members<Record::field_list.size>(std::declval<Record&>()))>::type;

// True when the list names each member of the record once. It does not
// compile when the list is shorter or longer than the record.
template <Described Record>
inline constexpr bool lists_every_member =
    std::tuple_size_v<decltype(detail::tie_members<Record::field_list.size>(std::declval<Record&>()))> ==
        Record::field_list.size &&
    detail::names_differ(Record::field_list.names);

}  // namespace protocols::fields
