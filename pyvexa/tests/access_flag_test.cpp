#include "access_flag.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace pyvexa {
namespace {

enum class Op { TakeShared, TakeExclusive, DropShared, DropExclusive };

struct Step {
    Op op;
    bool granted;  // for the two Take operations
};

// Applies the steps in order to one flag and checks each answer.
void run(const std::vector<Step>& steps) {
    AccessFlag flag;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const Step& step = steps[i];
        switch (step.op) {
            case Op::TakeShared: EXPECT_EQ(Shared::acquire(flag), step.granted) << "step " << i; break;
            case Op::TakeExclusive: EXPECT_EQ(Exclusive::acquire(flag), step.granted) << "step " << i; break;
            case Op::DropShared: Shared::release(flag); break;
            case Op::DropExclusive: Exclusive::release(flag); break;
        }
    }
}

struct Sequence {
    const char* name;
    std::vector<Step> steps;
};

class AccessSequence : public testing::TestWithParam<Sequence> {};

TEST_P(AccessSequence, GrantsOnlyWhatTheRulesAllow) { run(GetParam().steps); }

INSTANTIATE_TEST_SUITE_P(
    Flag, AccessSequence,
    testing::Values(
        // A writer waits for the last reader.
        Sequence{"ReadersShare",
                 {{Op::TakeShared, true}, {Op::TakeShared, true}, {Op::TakeExclusive, false},
                  {Op::DropShared, true}, {Op::TakeExclusive, false}, {Op::DropShared, true},
                  {Op::TakeExclusive, true}}},
        Sequence{"WriterIsAlone",
                 {{Op::TakeExclusive, true}, {Op::TakeShared, false}, {Op::TakeExclusive, false},
                  {Op::DropExclusive, true}, {Op::TakeShared, true}, {Op::DropShared, true},
                  {Op::TakeExclusive, true}}},
        Sequence{"RefusalLeavesNothing",
                 {{Op::TakeExclusive, true}, {Op::TakeShared, false}, {Op::TakeShared, false},
                  {Op::DropExclusive, true}, {Op::TakeExclusive, true}}}),
    [](const testing::TestParamInfo<Sequence>& info) { return std::string(info.param.name); });

TEST(AccessFlagThreads, WritersAreAloneAndReadersNeverMeetOne) {
    AccessFlag flag;
    std::atomic<int> writers_inside{0};
    std::atomic<int> readers_inside{0};
    std::atomic<int> overlaps{0};
    std::atomic<long> writes{0};
    std::atomic<int> waiting{4};
    constexpr int kRounds = 1000000;
    // All four start together, so that they really contend.
    auto start = [&] {
        waiting.fetch_sub(1);
        while (waiting.load() != 0) {
        }
    };

    // Two readers can hold the flag between them for a whole run on a busy
    // machine; a writer keeps trying until it has been in once, so the
    // check below never rests on no writes at all.
    auto writer = [&] {
        start();
        bool wrote = false;
        for (int i = 0; i < kRounds || !wrote; ++i) {
            if (!Exclusive::acquire(flag)) continue;
            wrote = true;
            if (writers_inside.fetch_add(1) != 0 || readers_inside.load() != 0) overlaps.fetch_add(1);
            writes.fetch_add(1);
            writers_inside.fetch_sub(1);
            Exclusive::release(flag);
        }
    };
    auto reader = [&] {
        start();
        for (int i = 0; i < kRounds; ++i) {
            if (!Shared::acquire(flag)) continue;
            readers_inside.fetch_add(1);
            if (writers_inside.load() != 0) overlaps.fetch_add(1);
            readers_inside.fetch_sub(1);
            Shared::release(flag);
        }
    };
    std::vector<std::thread> threads;
    threads.emplace_back(writer);
    threads.emplace_back(writer);
    threads.emplace_back(reader);
    threads.emplace_back(reader);
    for (std::thread& t : threads) t.join();

    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_GT(writes.load(), 0);
    // Everything was given back: a writer gets in at once.
    EXPECT_TRUE(Exclusive::acquire(flag));
}

}  // namespace
}  // namespace pyvexa
