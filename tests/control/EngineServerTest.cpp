// The engine's side of the control connection in this process, over a socket pair, with an
// engine that records what it is asked.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <mutex>
#include <thread>

#include "IdleEngineControls.h"
#include "TempDir.h"
#include "control/ControlChannel.h"
#include "control/EngineServer.h"
#include "platform/NotificationCenter.h"
#include "platform/ThreadRunLoop.h"
#include "platform/UserDefaults.h"
#include "prioritymode/IPMode.h"
#include "prioritymode/LocalPriorityMode.h"
#include "settings/PreferenceKeys.h"
#include "settings/Preferences.h"
#include "settings/RegisteredDefaults.h"

namespace quellbox::control {
namespace {

// Called on the server's main run loop, read by the test's thread.
class RecordingEngine : public testing::IdleEngineControls {
public:
    void setMaxQueueDelay(std::chrono::milliseconds bound) override {
        std::lock_guard guard(lock_);
        delayBounds_.push_back(bound);
    }

    std::vector<std::chrono::milliseconds> takeDelayBounds() {
        std::lock_guard guard(lock_);
        return std::exchange(delayBounds_, {});
    }

private:
    std::mutex lock_;
    std::vector<std::chrono::milliseconds> delayBounds_;
};

class EngineServerTest : public ::testing::Test {
protected:
    EngineServerTest() {
        auto store = std::make_shared<UserDefaults>(folder_ / "Quellbox.plist");
        RegisteredDefaults::registerWith(*store);
        preferences_ = std::make_unique<Preferences>(store);
        ipmode_ = std::make_unique<IPMode>(*preferences_);
        priorityMode_ = std::make_unique<LocalPriorityMode>(*ipmode_);
        runLoop_.start();
        int ends[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        window_ = std::make_unique<ControlChannel>(ends[0]);
        server_ = std::make_unique<EngineServer>(EngineServer::Collaborators{
            ends[1], engine_, *priorityMode_, *preferences_, notifications_, runLoop_, {}, {}});
        serving_ = std::thread([this] { ending_ = server_->serve(); });
        EXPECT_TRUE(window_->send(Hello{}));  // its reply is passed over by answer()
    }
    ~EngineServerTest() override {
        window_.reset();  // the window's close ends the serving
        serving_.join();
        EXPECT_EQ(ending_, "");
        server_.reset();
        runLoop_.stop();
    }

    // The engine's answer to the request, past any events sent before it.
    std::int32_t answer(const Message& request) {
        EXPECT_TRUE(window_->send(request));
        for (;;) {
            std::string error;
            const auto message = window_->receive(error);
            if (!message) {
                ADD_FAILURE() << "no answer: " << error;
                return -2;
            }
            if (const auto* result = std::get_if<Result>(&*message)) {
                return result->value;
            }
        }
    }

    testing::TempDir folder_;
    std::unique_ptr<Preferences> preferences_;
    RecordingEngine engine_;
    std::unique_ptr<IPMode> ipmode_;  // a Priority Mode that nobody switches on
    std::unique_ptr<LocalPriorityMode> priorityMode_;
    NotificationCenter notifications_;
    ThreadRunLoop runLoop_;
    std::unique_ptr<ControlChannel> window_;
    std::unique_ptr<EngineServer> server_;
    std::thread serving_;
    std::string ending_;
};

TEST_F(EngineServerTest, QueueDelayBoundIsCheckedStoredAndPassedToTheEngine) {
    using std::chrono::milliseconds;
    struct Case {
        const char* what;
        std::optional<PlistValue> value;
        std::optional<milliseconds> applied;  // none: refused, stored value kept
    };
    const Case cases[] = {
        {"off", PlistValue(0), milliseconds(0)},
        {"the longest", PlistValue(10000), milliseconds(10000)},
        {"removed: the default, off", std::nullopt, milliseconds(0)},
        {"negative", PlistValue(-1), std::nullopt},
        {"too long", PlistValue(10001), std::nullopt},
        {"a fraction", PlistValue(2.5), std::nullopt},
    };
    constexpr std::int64_t kBefore = 40;
    for (const auto& test : cases) {
        ASSERT_EQ(answer(SetSetting{keys::maxQueueDelay, PlistValue(kBefore)}), 0) << test.what;
        engine_.takeDelayBounds();

        EXPECT_EQ(answer(SetSetting{keys::maxQueueDelay, test.value}), test.applied ? 0 : -1)
            << test.what;
        const auto applied = engine_.takeDelayBounds();
        if (test.applied) {
            EXPECT_EQ(applied, std::vector{*test.applied}) << test.what;
            EXPECT_EQ(preferences_->integerForKey(keys::maxQueueDelay), test.applied->count())
                << test.what;
        } else {
            EXPECT_TRUE(applied.empty()) << test.what;
            const auto stored = preferences_->objectForKey(keys::maxQueueDelay);
            EXPECT_TRUE(stored == PlistValue(kBefore))
                << test.what << ": stored " << (stored ? stored->stringValue() : "nothing");
        }
    }
}

}  // namespace
}  // namespace quellbox::control
