#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/Privileges.h"

namespace quellbox {
namespace {

TEST(Privileges, EffectiveUserIsTheRealOneAfterEveryPrivilegedCall) {
    uid_t inside = 12345;
    const bool raised = Privileges::runPrivileged([&] { inside = geteuid(); });
    EXPECT_EQ(geteuid(), getuid());
    EXPECT_EQ(raised, Privileges::canBecomeRoot());
    if (raised) {
        EXPECT_EQ(inside, 0U);
    } else {
        EXPECT_EQ(inside, getuid());
    }
}

TEST(Privileges, PrivilegedSectionsNeverInterleave) {
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                Privileges::runPrivileged([&] {
                    if (inside.fetch_add(1) != 0) {
                        ++overlaps;
                    }
                    std::this_thread::yield();
                    inside.fetch_sub(1);
                });
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(geteuid(), getuid());
}

}  // namespace
}  // namespace quellbox
