#include "protocols/fields.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "protocols/lcsettings.hpp"
#include "protocols/machine_config.hpp"
#include "protocols/postcard.hpp"
#include "protocols/settings.hpp"
#include "protocols/signals.hpp"

namespace protocols {
namespace {

template <class Record>
class FieldList : public ::testing::Test {};

using Records = ::testing::Types<lcsettings::LCSetting, lcsettings::Coil, machine_config::MachineConfig,
                                 signals::ConstantSignalParams, signals::SineSignalParams,
                                 signals::RampSignalParams, signals::MixedSignalParams,
                                 signals::ArbitrarySignalParams, settings::SignalSourceSelection,
                                 settings::ChannelSettings, settings::Settings, Protocol>;
TYPED_TEST_SUITE(FieldList, Records);

struct Visited {
    std::string_view name;
    std::uintptr_t address;
    std::size_t size;
};

template <class Record>
std::vector<Visited> visit_all(Record& record) {
    std::vector<Visited> visited;
    fields::visit_fields(record, [&](std::string_view name, auto& member) {
        visited.push_back({name, reinterpret_cast<std::uintptr_t>(&member), sizeof member});
    });
    return visited;
}

// Members are laid out in declaration order, so a visit in declaration
// order meets them at rising, non-overlapping addresses inside the record,
// each under a name of its own.
TYPED_TEST(FieldList, VisitsMembersInDeclarationOrder) {
    TypeParam record;
    const std::vector<Visited> visited = visit_all(record);
    ASSERT_EQ(visited.size(), TypeParam::field_list.size);

    const auto begin = reinterpret_cast<std::uintptr_t>(&record);
    std::uintptr_t next_free = begin;
    std::set<std::string_view> names;
    for (const Visited& field : visited) {
        EXPECT_GE(field.address, next_free) << field.name;
        next_free = field.address + field.size;
        EXPECT_TRUE(names.insert(field.name).second) << "named twice: " << field.name;
        EXPECT_FALSE(field.name.empty());
    }
    EXPECT_LE(next_free, begin + sizeof record);
}

// A decoder fills records through the same list: the visitor gets
// writable members, and a const record yields the same members read-only.
TYPED_TEST(FieldList, ConstAndMutableVisitsReachTheSameMembers) {
    TypeParam record;
    const TypeParam& view = record;
    std::vector<std::uintptr_t> read_only;
    fields::visit_fields(view, [&](std::string_view, auto& member) {
        static_assert(std::is_const_v<std::remove_reference_t<decltype(member)>>);
        read_only.push_back(reinterpret_cast<std::uintptr_t>(&member));
    });
    std::vector<std::uintptr_t> writable;
    fields::visit_fields(record, [&](std::string_view, auto& member) {
        static_assert(!std::is_const_v<std::remove_reference_t<decltype(member)>>);
        writable.push_back(reinterpret_cast<std::uintptr_t>(&member));
    });
    EXPECT_EQ(read_only, writable);
}

TEST(FieldList, WritesThroughTheVisitorReachTheRecord) {
    settings::SignalSourceSelection selection;
    std::uint64_t next = 7;
    fields::visit_fields(selection, [&](std::string_view, auto& member) {
        if constexpr (std::is_same_v<std::remove_reference_t<decltype(member)>, std::uint64_t>) member = next++;
        if constexpr (std::is_same_v<std::remove_reference_t<decltype(member)>, bool>) member = true;
    });
    EXPECT_EQ(selection, (settings::SignalSourceSelection{7, 8, true}));
}

// The signal table of the file format: each variant's number, name and
// parameter record, and the encoded size of its default parameters.
struct VariantRow {
    std::string_view name;
    std::string_view record;
    std::size_t encoded_size;
};
constexpr VariantRow kVariantTable[] = {
    {"Constant", "ConstantSignalParams", 9}, {"Sine", "SineSignalParams", 33}, {"Ramp", "RampSignalParams", 25},
    {"MixedSignal", "MixedSignalParams", 3}, {"Arbitrary", "ArbitrarySignalParams", 2},
};

TEST(SignalVariants, FollowTheFileFormatsTable) {
    ASSERT_EQ(std::size(kVariantTable), std::variant_size_v<signals::Signal>);
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        ([&] {
            const signals::Signal signal{std::in_place_index<I>};
            const VariantRow& row = kVariantTable[I];
            EXPECT_EQ(signals::variant_name(signal), row.name) << I;
            using Params = std::variant_alternative_t<I, signals::Signal>;
            EXPECT_EQ(fields::type_name<Params>, row.record) << I;
            postcard::ByteBuffer encoded;
            ASSERT_TRUE(postcard::serialize(signal, encoded).is_ok());
            ASSERT_EQ(encoded.size(), row.encoded_size) << row.name;
            EXPECT_EQ(encoded.data()[0], I) << row.name;
        }(), ...);
    }(std::make_index_sequence<std::variant_size_v<signals::Signal>>());
}

// The Protocol record adds nothing to the encoding of its settings.
TEST(ProtocolEncoding, IsTheEncodingOfItsSettings) {
    Protocol protocol;
    protocol.settings.signals.emplace_back(signals::MixedSignalParams{1, 300});
    postcard::ByteBuffer whole;
    postcard::ByteBuffer settings_only;
    ASSERT_TRUE(postcard::serialize(protocol, whole).is_ok());
    ASSERT_TRUE(postcard::serialize(protocol.settings, settings_only).is_ok());
    ASSERT_EQ(whole.size(), settings_only.size());
    EXPECT_TRUE(std::equal(whole.data(), whole.data() + whole.size(), settings_only.data()));
}

}  // namespace
}  // namespace protocols
