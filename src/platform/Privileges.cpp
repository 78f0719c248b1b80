#include "platform/Privileges.h"

#include <sys/types.h>
#include <unistd.h>

#include <mutex>

#include "platform/SystemLog.h"

namespace quellbox {

namespace {
std::mutex& privilegeMutex() {
    static std::mutex mutex;
    return mutex;
}

bool lowerToRealUser() {
    if (geteuid() == getuid()) {
        return true;
    }
    if (seteuid(getuid()) != 0) {
        SystemLog::reportError("Quellbox Error : can't return to the real user");
        return false;
    }
    return true;
}
}  // namespace

bool Privileges::dropToRealUser() {
    std::lock_guard guard(privilegeMutex());
    if (getegid() != getgid() && setegid(getgid()) != 0) {
        SystemLog::reportError("Quellbox Error : can't return to the real group");
        return false;
    }
    return lowerToRealUser();
}

bool Privileges::canBecomeRoot() {
    uid_t real = 0;
    uid_t effective = 0;
    uid_t saved = 0;
    if (getresuid(&real, &effective, &saved) != 0) {
        return false;
    }
    return real == 0 || effective == 0 || saved == 0;
}

bool Privileges::runPrivileged(const std::function<void()>& work) {
    std::lock_guard guard(privilegeMutex());
    const bool alreadyRoot = geteuid() == 0;
    const bool raised = alreadyRoot || seteuid(0) == 0;
    work();
    if (raised && !alreadyRoot) {
        lowerToRealUser();
    }
    return raised;
}

}  // namespace quellbox
