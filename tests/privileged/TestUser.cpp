#include "TestUser.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <unistd.h>

#include "NetNamespaces.h"

namespace quellbox::privileged {

namespace {

constexpr const char* kSetpriv = "/usr/bin/setpriv";

// useradd and groupadd of tests running at the same time would trip over each other's lock
// of /etc/passwd: one at a time.
class AccountsLock {
public:
    AccountsLock()
        : fd_(::open("/run/lock/quellbox-test-accounts", O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
        if (fd_ >= 0) {
            ::flock(fd_, LOCK_EX);
        }
    }
    ~AccountsLock() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    AccountsLock(const AccountsLock&) = delete;
    AccountsLock& operator=(const AccountsLock&) = delete;

private:
    int fd_;
};

}  // namespace

TestUser::TestUser() : name_("qbxtest" + std::to_string(::getpid())) {}

TestUser::~TestUser() {
    if (created_) {
        AccountsLock lock;
        run({"/usr/sbin/userdel", name_});
        if (::getgrnam(name_.c_str()) != nullptr) {
            run({"/usr/sbin/groupdel", name_});
        }
    }
}

std::string TestUser::createOrWhyNot() {
    if (::geteuid() != 0) {
        return "needs root to make a user of its own (CI runs as root)";
    }
    for (const char* program : {"/usr/sbin/useradd", "/usr/sbin/groupadd", kSetpriv}) {
        if (::access(program, X_OK) != 0) {
            return std::string(program) + " is not installed";
        }
    }
    AccountsLock lock;
    if (::getgrnam(kShapingGroup) == nullptr &&
        !run({"/usr/sbin/groupadd", "--system", kShapingGroup})) {
        return "cannot make the group quellbox";
    }
    if (!run({"/usr/sbin/useradd", "--system", "--user-group", "--no-create-home", "--home-dir",
              "/nonexistent", "--shell", "/usr/sbin/nologin", "--groups", kShapingGroup, name_})) {
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

}  // namespace quellbox::privileged
