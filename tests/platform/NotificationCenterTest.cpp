#include <gtest/gtest.h>

#include <thread>

#include "platform/NotificationCenter.h"

namespace quellbox {
namespace {

TEST(NotificationCenter, DeliversToObserversOfTheNameInOrderOnThePostingThread) {
    NotificationCenter center;
    std::vector<std::string> calls;
    const int sender = 0;
    center.addObserver("alpha", [&](const Notification& n) {
        EXPECT_EQ(n.object, &sender);
        EXPECT_EQ(n.userInfo.at("title"), PlistValue("t"));
        calls.push_back("first");
    });
    center.addObserver("beta", [&](const Notification&) { calls.push_back("other name"); });
    center.addObserver("alpha", [&](const Notification&) { calls.push_back("second"); });
    center.postNotification("alpha", &sender, {{"title", "t"}});
    EXPECT_EQ(calls, (std::vector<std::string>{"first", "second"}));

    std::thread::id deliveredOn;
    center.addObserver("gamma",
                       [&](const Notification&) { deliveredOn = std::this_thread::get_id(); });
    std::thread poster([&] { center.postNotification("gamma", nullptr); });
    const auto posterId = poster.get_id();
    poster.join();
    EXPECT_EQ(deliveredOn, posterId);
}

TEST(NotificationCenter, RemovedObserversAreNotCalledAndHandlersMayRemoveThemselves) {
    NotificationCenter center;
    int calls = 0;
    NotificationCenter::ObserverId self = 0;
    self = center.addObserver("n", [&](const Notification&) {
        ++calls;
        center.removeObserver(self);
    });
    center.postNotification("n", nullptr);
    center.postNotification("n", nullptr);
    EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace quellbox
