#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "ChildProcess.h"
#include "platform/Capabilities.h"

namespace quellbox {
namespace {

// Any one of the real, effective and saved user ids being root is enough to become root
// again, so each alone counts; only a process with none of them at 0 is free of root. Such a
// process is privileged too, and so is root that gave up every capability (it can take them
// back by exec); a process without root ids or capabilities is not.
TEST(Capabilities, AnyOneRootUserIdCountsAndMakesTheProcessPrivileged) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to take the user ids apart (CI runs as root)";
    }
    constexpr uid_t kNobody = 65534;
    const struct {
        uid_t real, effective, saved;
        bool dropCapabilities;
        bool root;
    } cases[] = {
        {0, kNobody, kNobody, false, true},        {kNobody, 0, kNobody, false, true},
        {kNobody, kNobody, 0, false, true},        {0, 0, 0, true, true},
        {kNobody, kNobody, kNobody, false, false},
    };
    for (const auto& c : cases) {
        const int answer = testing::runInChild([&] {
            __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
            __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3]{};
            if (::setresuid(c.real, c.effective, c.saved) != 0 ||
                (c.dropCapabilities && ::syscall(SYS_capset, &header, none) != 0)) {
                return 4;
            }
            return (Capabilities::holdsAnyRootId() ? 1 : 0) |
                   (Capabilities::isPrivileged() ? 2 : 0);
        });
        EXPECT_EQ(answer, c.root ? 3 : 0) << c.real << " " << c.effective << " " << c.saved;
    }
}

}  // namespace
}  // namespace quellbox
