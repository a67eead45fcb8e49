// The client's policy classes against their contracts, without a thread or
// a peer: where the receive queue pauses and resumes reading, when an entry
// counts as too old, and that an unbounded send queue is never measured.
// The client's own tests cover how it calls them.
#include "client/MaxAge.h"
#include "client/ReceiveBackpressure.h"
#include "client/SendQueueLimit.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>

namespace {

TEST(ReceiveBackpressure, BlockPausesAtCapacityAndResumesAtHalf) {
    kavra::ReceiveBackpressure receive(100);
    receive.SetLength(100);
    EXPECT_TRUE(receive.Full());
    EXPECT_FALSE(receive.PausesReading()) << "Drop, the default, never pauses";

    receive.SetPolicy(kavra::ReceiveOverflow::Block);
    EXPECT_TRUE(receive.PausesReading());
    EXPECT_TRUE(receive.StillFullAfterPause());
    receive.SetLength(99);
    EXPECT_FALSE(receive.PausesReading());
    EXPECT_FALSE(receive.StillFullAfterPause());
    EXPECT_FALSE(receive.ResumesReading()) << "one PDU of room would wake the reader per frame";
    receive.SetLength(51);
    EXPECT_FALSE(receive.ResumesReading());
    receive.SetLength(50);
    EXPECT_TRUE(receive.ResumesReading());
    EXPECT_EQ(receive.Length(), 50u);
}

TEST(MaxAge, OnlyASetLimitExpiresEntries) {
    using Clock = kavra::MaxAge::Clock;
    const Clock::time_point longAgo = Clock::now() - std::chrono::hours(1);
    kavra::MaxAge age;
    EXPECT_FALSE(age.Expired(longAgo)) << "0 sets no limit";
    age.Set(60'000);
    EXPECT_TRUE(age.Expired(longAgo));
    EXPECT_FALSE(age.Expired(Clock::now()));
    EXPECT_EQ(age.Get(), 60'000u);
}

TEST(SendQueueLimit, AnUnboundedQueueIsNeverMeasured) {
    kavra::SendQueueLimit limit;
    int looks = 0;
    const auto length = [&looks] {
        ++looks;
        return std::size_t{3};
    };
    EXPECT_FALSE(limit.Reached(length));
    EXPECT_EQ(looks, 0);
    limit.Set(4);
    EXPECT_FALSE(limit.Reached(length));
    limit.Set(3);
    EXPECT_TRUE(limit.Reached(length));
    EXPECT_EQ(looks, 2);
}

} // namespace
