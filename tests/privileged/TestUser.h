#pragma once

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "ProgramRun.h"

namespace quellbox::privileged {

// A throwaway system user of the test's own, in the group quellbox (who may shape traffic),
// removed again with its own group when the object goes. The group quellbox is made when
// missing and then stays, as an install leaves it: tests running at the same time share it.
class TestUser {
public:
    static constexpr const char* kShapingGroup = "quellbox";

    TestUser();
    ~TestUser();
    TestUser(const TestUser&) = delete;
    TestUser& operator=(const TestUser&) = delete;

    // Why the user cannot be made here (not root, no useradd), or the empty text once it is.
    std::string createOrWhyNot();

    uid_t uid() const { return uid_; }

    // The words that run a program as this user with its groups (setpriv), and with the
    // shaping rights as ambient capabilities when `withRights`: the engine as the service
    // manager starts it.
    std::vector<std::string> runAs(bool withRights) const;
    // Starts the run `options` describe (its command's program first) as this user, as runAs.
    std::unique_ptr<testing::ProgramRun> start(testing::ProgramRun::Options options,
                                               bool withRights) const;
    // Makes `folder` and everything in it this user's (the attacker's), the folder open to
    // everyone for reading.
    bool own(const std::filesystem::path& folder) const;

private:
    std::string name_;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
    bool created_ = false;
};

}  // namespace quellbox::privileged
