#include "platform/Capabilities.h"

#include <linux/capability.h>
#include <sys/auxv.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace quellbox {

namespace {

constexpr std::uint32_t bit(int capability) { return 1U << (capability % 32); }

static_assert(CAP_NET_ADMIN < 32 && CAP_NET_RAW < 32, "both rights live in the first word");

// The calling thread's sets; false when the kernel refuses to tell.
bool readSets(__user_cap_data_struct (&data)[_LINUX_CAPABILITY_U32S_3]) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    return ::syscall(SYS_capget, &header, data) == 0;
}

}  // namespace

bool Capabilities::holdsNetAdmin() {
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    return readSets(data) && (data[0].effective & bit(CAP_NET_ADMIN)) != 0;
}

bool Capabilities::holdsAnyRootId() {
    uid_t real = 0;
    uid_t effective = 0;
    uid_t saved = 0;
    if (::getresuid(&real, &effective, &saved) != 0) {
        return true;  // unknown, so taken for the worst case
    }
    return real == 0 || effective == 0 || saved == 0;
}

bool Capabilities::isPrivileged() {
    if (::getauxval(AT_SECURE) != 0 || holdsAnyRootId()) {
        return true;
    }
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (!readSets(data)) {
        return true;
    }
    return (data[0].permitted | data[1].permitted) != 0;
}

Capabilities::ChildGrant Capabilities::prepareShapingGrant() {
    ChildGrant grant;
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (!readSets(data)) {
        return grant;
    }
    for (int word = 0; word < _LINUX_CAPABILITY_U32S_3; ++word) {
        grant.effective[word] = data[word].effective;
        grant.permitted[word] = data[word].permitted;
        grant.inheritable[word] = data[word].inheritable;
    }
    grant.netAdmin = (data[0].permitted & bit(CAP_NET_ADMIN)) != 0;
    grant.netRaw = (data[0].permitted & bit(CAP_NET_RAW)) != 0;
    grant.inheritable[0] |=
        (grant.netAdmin ? bit(CAP_NET_ADMIN) : 0U) | (grant.netRaw ? bit(CAP_NET_RAW) : 0U);
    return grant;
}

int Capabilities::applyInChild(const ChildGrant& grant) {
    if (!grant.netAdmin && !grant.netRaw) {
        return 0;
    }
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    for (int word = 0; word < _LINUX_CAPABILITY_U32S_3; ++word) {
        data[word].effective = grant.effective[word];
        data[word].permitted = grant.permitted[word];
        data[word].inheritable = grant.inheritable[word];
    }
    if (::syscall(SYS_capset, &header, data) != 0) {
        return -1;
    }
    // The kernel raises an ambient capability only when it is permitted and inheritable.
    if (grant.netAdmin &&
        ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, CAP_NET_ADMIN, 0UL, 0UL) != 0) {
        return -1;
    }
    if (grant.netRaw && ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, CAP_NET_RAW, 0UL, 0UL) != 0) {
        return -1;
    }
    return 0;
}

int Capabilities::dropAmbientInChild() {
    if (::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0UL, 0UL, 0UL) != 0 && errno != EINVAL) {
        return -1;  // EINVAL: a kernel without ambient capabilities, so none to clear
    }
    return 0;
}

}  // namespace quellbox
