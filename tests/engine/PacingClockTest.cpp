#include <gtest/gtest.h>

#include "engine/PacingClock.h"

namespace quellbox {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using Clock = PacingClock::Clock;

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

TEST(PacingClock, LatenessUpToTheBoundIsMadeUpAndBeyondItRestarts) {
    PacingClock pacing(milliseconds(2));
    Clock::time_point deadline = pacing.packetSent(1000, 1000.0, start, false);
    const auto step = PacingClock::packetTime(1000, 1000.0);
    // 2 ms late: still paced from the old deadline (a small catch-up).
    deadline = pacing.packetSent(1000, 1000.0, deadline + milliseconds(2), false);
    EXPECT_EQ(deadline, start + 2 * step);
    // More than 2 ms late: a restart from now, no burst for the lost time.
    const Clock::time_point late = deadline + milliseconds(2) + microseconds(1);
    EXPECT_EQ(pacing.packetSent(1000, 1000.0, late, false), late + step);
}

TEST(PacingClock, IdleGapNeverGivesCredit) {
    PacingClock pacing;
    const Clock::time_point deadline = pacing.packetSent(1024, 10.0, start, false);
    // The queue ran empty; the next packet comes 50 us after the deadline, well within the
    // lateness bound, yet pacing starts afresh from the moment it was sent.
    const Clock::time_point after = deadline + microseconds(50);
    EXPECT_EQ(pacing.packetSent(1024, 10.0, after, true), after + milliseconds(100));
    // A packet written before its deadline after an idle gap keeps the deadline: the lead
    // is owed, not forgiven.
    PacingClock early;
    early.packetSent(1024, 10.0, start, false);
    EXPECT_EQ(early.packetSent(1024, 10.0, start + milliseconds(1), true),
              start + milliseconds(200));
}

TEST(PacingClock, UnpacedDataDelaysThePacedPackets) {
    PacingClock pacing;
    Clock::time_point deadline = pacing.packetSent(1024, 10.0, start, false);
    // 1 KiB left unpaced meanwhile: the next paced packet waits 100 ms more.
    pacing.charge(1024, 10.0, start + milliseconds(10));
    deadline = pacing.packetSent(1024, 10.0, deadline, false);
    EXPECT_EQ(deadline, start + milliseconds(300));
}

TEST(PacingClock, ChargeWhileIdleStartsFromNow) {
    PacingClock pacing;
    pacing.packetSent(1024, 10.0, start, false);
    const Clock::time_point later = start + std::chrono::seconds(5);
    pacing.charge(1024, 10.0, later);
    // The queue had run empty; the paced packet at `later + 30 ms` still owes the 70 ms left.
    EXPECT_EQ(pacing.packetSent(1024, 10.0, later + milliseconds(30), true),
              later + milliseconds(200));
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

TEST(PacingClock, ResetForgetsTheDeadline) {
    PacingClock pacing;
    pacing.packetSent(1024, 10.0, start, false);
    pacing.reset();
    const Clock::time_point later = start + milliseconds(1);
    EXPECT_EQ(pacing.packetSent(1024, 10.0, later, false), later + milliseconds(100));
}

TEST(PacingClock, RateChangeTakesEffectWithTheNextPacket) {
    PacingClock pacing;
    Clock::time_point deadline = pacing.packetSent(1024, 10.0, start, false);
    deadline = pacing.packetSent(1024, 20.0, deadline, false);
    EXPECT_EQ(deadline, start + milliseconds(150));
}

}  // namespace
}  // namespace quellbox
