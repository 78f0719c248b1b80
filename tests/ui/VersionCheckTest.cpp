#include <gtest/gtest.h>

#include <optional>

#include "LocalHttpServer.h"
#include "WindowFixture.h"
#include "ui/VersionCheck.h"

namespace quellbox::testing {
namespace {

// Runs one fetch to its answer; false when none came in ten seconds.
bool fetchOnce(VersionCheck& check, const QString& server,
               std::optional<PlistValue::Dictionary>& answer) {
    bool answered = false;
    check.fetch(server, [&](std::optional<PlistValue::Dictionary> versionFile) {
        answered = true;
        answer = std::move(versionFile);
    });
    return processEventsUntil([&] { return answered; });
}

TEST(VersionCheckFetch, AServerThatNeverAnswersEndsAtTheTimeOut) {
    application();
    LocalHttpServer silent("", true);
    VersionCheck check(std::chrono::milliseconds(300));
    std::optional<PlistValue::Dictionary> answer = PlistValue::Dictionary{};
    ASSERT_TRUE(fetchOnce(check, silent.address(), answer));
    EXPECT_EQ(silent.requests(), 1);
    EXPECT_FALSE(answer);
}

TEST(VersionCheckFetch, OnlyHttpIsFetched) {
    application();
    VersionCheck check;
    for (const char* server : {"file:///etc", "ftp://127.0.0.1", "not a url", ""}) {
        std::optional<PlistValue::Dictionary> answer = PlistValue::Dictionary{};
        ASSERT_TRUE(fetchOnce(check, server, answer)) << server;
        EXPECT_FALSE(answer) << server;
    }
}

}  // namespace
}  // namespace quellbox::testing
