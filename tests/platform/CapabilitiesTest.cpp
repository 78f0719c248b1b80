#include <gtest/gtest.h>
#include <unistd.h>

#include "ChildProcess.h"
#include "platform/Capabilities.h"

namespace quellbox {
namespace {

// Any one of the real, effective and saved user ids being root is enough to become root
// again, so each alone counts; only a process with none of them at 0 is free of root.
TEST(Capabilities, AnyOneRootUserIdCounts) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to take the user ids apart (CI runs as root)";
    }
    constexpr uid_t kNobody = 65534;
    const struct {
        uid_t real, effective, saved;
        bool root;
    } cases[] = {
        {0, kNobody, kNobody, true},
        {kNobody, 0, kNobody, true},
        {kNobody, kNobody, 0, true},
        {kNobody, kNobody, kNobody, false},
    };
    for (const auto& c : cases) {
        const int answer = testing::runInChild([&] {
            if (::setresuid(c.real, c.effective, c.saved) != 0) {
                return 2;
            }
            return Capabilities::holdsAnyRootId() ? 1 : 0;
        });
        EXPECT_EQ(answer, c.root ? 1 : 0) << c.real << " " << c.effective << " " << c.saved;
    }
}

}  // namespace
}  // namespace quellbox
