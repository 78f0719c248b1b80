#include "TestUser.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "NetNamespaces.h"

namespace quellbox::privileged {

namespace {

constexpr const char* kSetpriv = "/usr/bin/setpriv";
constexpr const char* kFlock = "/usr/bin/flock";

// useradd and groupadd of tests running at the same time would trip over each other's lock
// of /etc/passwd: each waits for the one before.
bool runLocked(std::vector<std::string> command) {
    command.insert(command.begin(), {kFlock, "/run/lock/quellbox-test-accounts"});
    return run(command);
}

}  // namespace

TestUser::TestUser() : name_("qbxtest" + std::to_string(::getpid())) {}

TestUser::~TestUser() {
    if (created_) {
        runLocked({"/usr/sbin/userdel", name_});
        if (::getgrnam(name_.c_str()) != nullptr) {
            runLocked({"/usr/sbin/groupdel", name_});
        }
    }
}

std::string TestUser::createOrWhyNot() {
    if (::geteuid() != 0) {
        return "needs root to make a user of its own (CI runs as root)";
    }
    for (const char* program : {"/usr/sbin/useradd", "/usr/sbin/groupadd", kSetpriv, kFlock}) {
        if (::access(program, X_OK) != 0) {
            return std::string(program) + " is not installed";
        }
    }
    // --force: a group made already (by an install or another test) is no failure.
    if (!runLocked({"/usr/sbin/groupadd", "--system", "--force", kShapingGroup})) {
        return "cannot make the group quellbox";
    }
    if (!runLocked({"/usr/sbin/useradd", "--system", "--user-group", "--no-create-home",
                    "--home-dir", "/nonexistent", "--shell", "/usr/sbin/nologin", "--groups",
                    kShapingGroup, name_})) {
        return "cannot make the user " + name_;
    }
    created_ = true;
    const passwd* entry = ::getpwnam(name_.c_str());
    if (entry == nullptr) {
        return "the new user " + name_ + " cannot be found";
    }
    uid_ = entry->pw_uid;
    gid_ = entry->pw_gid;
    return "";
}

std::vector<std::string> TestUser::runAs(bool withRights) const {
    std::vector<std::string> words{
        kSetpriv,       "--reuid", std::to_string(uid_), "--regid", std::to_string(gid_),
        "--init-groups"};
    if (withRights) {
        words.insert(words.end(), {"--inh-caps", "+net_admin,+net_raw", "--ambient-caps",
                                   "+net_admin,+net_raw"});
    }
    return words;
}

std::unique_ptr<testing::ProgramRun> TestUser::start(testing::ProgramRun::Options options,
                                                     bool withRights) const {
    const auto prefix = runAs(withRights);
    options.command.insert(options.command.begin(), prefix.begin(), prefix.end());
    auto run = std::make_unique<testing::ProgramRun>(std::move(options));
    EXPECT_TRUE(run->start());
    return run;
}

bool TestUser::own(const std::filesystem::path& folder) const {
    bool owned = ::chmod(folder.c_str(), 0755) == 0 && ::chown(folder.c_str(), uid_, gid_) == 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        owned = owned && ::chown(entry.path().c_str(), uid_, gid_) == 0;
    }
    return owned;
}

}  // namespace quellbox::privileged
