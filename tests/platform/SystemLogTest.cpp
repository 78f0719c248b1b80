#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

#include "platform/SystemLog.h"

namespace quellbox {
namespace {

TEST(SystemLog, NestedCapturesManyThreadsAndErrorReports) {
    SystemLogCapture outer;
    {
        SystemLogCapture inner;
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([] {
                for (int i = 0; i < 100; ++i) {
                    SystemLog::log("x");
                }
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
        EXPECT_EQ(inner.count("x"), 400);
    }
    SystemLog::log("after");
    errno = ENOENT;
    SystemLog::reportError("divert socket not created");
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(outer.lines(), std::vector<std::string>{"after"});
    EXPECT_EQ(outer.errorLines(),
              std::vector<std::string>{"divert socket not created: No such file or directory"});
}

}  // namespace
}  // namespace quellbox
