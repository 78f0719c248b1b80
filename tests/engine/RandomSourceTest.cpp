#include <gtest/gtest.h>
#include <stdlib.h>

#include "engine/RandomSource.h"

namespace quellbox {
namespace {

// From its construction and again after reseeding.
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
        source.seed(seed);
        srandom(seed);
        EXPECT_EQ(source.next(), random()) << "reseeded with " << seed;
    }
}

}  // namespace
}  // namespace quellbox
