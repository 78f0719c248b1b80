#include <gtest/gtest.h>
#include <stdlib.h>

#include "engine/RandomSource.h"

namespace quellbox {
namespace {

TEST(RandomSource, GivesTheSequenceOfTheCLibraryGenerator) {
    for (const unsigned int seed : {1u, 42u, 1700000000u}) {
        RandomSource source(seed);
        srandom(seed);
        for (int i = 0; i < 1000; ++i) {
            const long expected = random();
            const int32_t drawn = source.next();
            ASSERT_EQ(drawn, expected) << "seed " << seed << ", draw " << i;
            ASSERT_GE(drawn, 0);
            ASSERT_LE(drawn, RandomSource::maximum);
        }
    }
}

TEST(RandomSource, ReseedingRestartsTheSequence) {
    RandomSource source(5);
    const int32_t first = source.next();
    const int32_t second = source.next();
    source.seed(5);
    EXPECT_EQ(source.next(), first);
    EXPECT_EQ(source.next(), second);
}

TEST(RandomSource, SeedingFromTheTimeOfDayChangesTheSequence) {
    RandomSource source(1);
    RandomSource unseeded(1);
    ASSERT_TRUE(source.seedFromTimeOfDay());
    bool differs = false;
    for (int i = 0; i < 4; ++i) {
        differs = differs || source.next() != unseeded.next();
    }
    EXPECT_TRUE(differs);
}

}  // namespace
}  // namespace quellbox
