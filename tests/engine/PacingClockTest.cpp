#include <gtest/gtest.h>

#include <vector>

#include "engine/PacingClock.h"

namespace quellbox {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using Clock = PacingClock::Clock;
using namespace std::chrono_literals;

const Clock::time_point start{std::chrono::seconds(1000)};

// Bytes over the rate in KiB/s; tiny rates wait long but within the clock's range.
TEST(PacingClock, PacketTimeIsBytesOverRateInKiBAtMostADay) {
    EXPECT_EQ(PacingClock::packetTime(1024, 10.0), milliseconds(100));
    EXPECT_EQ(PacingClock::packetTime(1500, 100.0 * 1024), std::chrono::nanoseconds(14305));
    EXPECT_EQ(PacingClock::packetTime(65535, 1e-30), std::chrono::hours(24));
    PacingClock pacing;
    EXPECT_EQ(pacing.packetSent(1500, 1e-30, start, false), start + std::chrono::hours(24));
}

TEST(PacingClock, DeadlineStartsFromNowThenAdvancesFromThePreviousOneSoOversleepIsNotLost) {
    PacingClock pacing;
    Clock::time_point deadline = pacing.packetSent(1024, 10.0, start, false);
    EXPECT_EQ(deadline, start + milliseconds(100));
    // Each sleep ends 80 us late; the next deadline still follows the previous one.
    for (int i = 2; i <= 50; ++i) {
        deadline = pacing.packetSent(1024, 10.0, deadline + microseconds(80), false);
        EXPECT_EQ(deadline, start + milliseconds(100) * i);
    }
}

// Each case a sequence of sends, charges and resets on one clock, with the deadline each send
// answers.
TEST(PacingClock, DeadlinesFollowTheSendsChargesAndResets) {
    enum class Op { send, sendAfterIdleGap, charge, reset };
    struct Step {
        Op op;
        Clock::duration at;
        Clock::duration deadline = {};
        std::int32_t bytes = 1024;
        double rate = 10.0;  // 1024 bytes occupy 100 ms
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
    };
    const Clock::duration step = PacingClock::packetTime(1000, 1000.0);
    const Case cases[] = {
        {"lateness up to the bound (2 ms) is made up, beyond it pacing restarts from now",
         {{Op::send, {}, step, 1000, 1000.0},
          {Op::send, step + 2ms, 2 * step, 1000, 1000.0},
          {Op::send, 2 * step + 2ms + 1us, 3 * step + 2ms + 1us, 1000, 1000.0}}},
        {"an idle gap gives no credit, even within the lateness bound",
         {{Op::send, {}, 100ms}, {Op::sendAfterIdleGap, 100050us, 200050us}}},
        {"a lead held at an idle gap is owed, not forgiven",
         {{Op::send, {}, 100ms}, {Op::sendAfterIdleGap, 1ms, 200ms}}},
        {"unpaced data delays the paced packets",
         {{Op::send, {}, 100ms}, {Op::charge, 10ms}, {Op::send, 100ms, 300ms}}},
        {"a charge while idle starts from now",
         {{Op::send, {}, 100ms}, {Op::charge, 5s}, {Op::sendAfterIdleGap, 5030ms, 5200ms}}},
        {"a reset forgets the deadline",
         {{Op::send, {}, 100ms}, {Op::reset, 1ms}, {Op::send, 1ms, 101ms}}},
        {"a new rate takes effect with the next packet",
         {{Op::send, {}, 100ms}, {Op::send, 100ms, 150ms, 1024, 20.0}}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        PacingClock pacing;
        for (const Step& s : test.steps) {
            if (s.op == Op::charge) {
                pacing.charge(s.bytes, s.rate, start + s.at);
            } else if (s.op == Op::reset) {
                pacing.reset();
            } else {
                const bool idle = s.op == Op::sendAfterIdleGap;
                EXPECT_EQ(pacing.packetSent(s.bytes, s.rate, start + s.at, idle) - start,
                          s.deadline);
            }
        }
    }
}

TEST(PacingClock, ChargesLeadNoFurtherThanTheBound) {
    PacingClock pacing(milliseconds(2), milliseconds(250));
    pacing.packetSent(1024, 10.0, start, false);
    for (int i = 0; i < 100; ++i) {
        pacing.charge(1024, 10.0, start);  // 10 s of unpaced data at once
    }
    EXPECT_EQ(pacing.packetSent(1024, 10.0, start, false), start + milliseconds(350));
    // A lead a slow paced packet holds is never shortened by a charge.
    PacingClock slow(milliseconds(2), milliseconds(250));
    const Clock::time_point far = slow.packetSent(10240, 10.0, start, false);  // 1 s
    slow.charge(1024, 10.0, start);
    EXPECT_EQ(slow.packetSent(1024, 10.0, start, false), far + milliseconds(100));
}

}  // namespace
}  // namespace quellbox
