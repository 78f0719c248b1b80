#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

#include "platform/SystemLog.h"

namespace quellbox {
namespace {

TEST(SystemLog, CaptureReceivesMessagesAndErrorReports) {
    SystemLogCapture capture;
    SystemLog::log("plain line");
    SystemLog::logf("LossProb = %f => drop now a packet", 0.25);
    errno = ENOENT;
    SystemLog::reportError("Quellbox Error : divert socket not created !");
    EXPECT_EQ(capture.lines(),
              (std::vector<std::string>{"plain line", "LossProb = 0.250000 => drop now a packet"}));
    ASSERT_EQ(capture.errorLines().size(), 1U);
    EXPECT_EQ(capture.errorLines()[0],
              "Quellbox Error : divert socket not created !: No such file or directory");
    EXPECT_EQ(errno, ENOENT);
}

TEST(SystemLog, NestedCapturesAndManyThreads) {
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
    EXPECT_EQ(outer.lines(), std::vector<std::string>{"after"});
}

}  // namespace
}  // namespace quellbox
