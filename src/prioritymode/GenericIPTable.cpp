#include "prioritymode/GenericIPTable.h"

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

namespace quellbox {

std::uint32_t GenericIPTable::convertStringToLong(const std::string& address) {
    // inet_addr answers the network byte order, and INADDR_NONE for a text that is no
    // address, which converts to all 32 bits set.
    return ntohl(inet_addr(address.c_str()));
}

std::string GenericIPTable::convertLongToString(std::uint32_t ip) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", (ip >> 24) & 0xFFU, (ip >> 16) & 0xFFU,
                  (ip >> 8) & 0xFFU, ip & 0xFFU);
    return text;
}

void GenericIPTable::clear() {
    std::unordered_map<std::uint32_t, UserInfoPtr> released;
    std::lock_guard guard(IPTableLock);
    released.swap(ipTableDict_);
    ipArray_.clear();
}

int GenericIPTable::size() const {
    std::lock_guard guard(IPTableLock);
    return static_cast<int>(ipArray_.size());
}

std::unordered_map<std::uint32_t, GenericIPTable::UserInfoPtr> GenericIPTable::ipTableDict() const {
    std::lock_guard guard(IPTableLock);
    return ipTableDict_;
}

std::vector<std::uint32_t> GenericIPTable::ipArray() const {
    std::lock_guard guard(IPTableLock);
    return ipArray_;
}

bool GenericIPTable::longAlreadyInIPTable(std::uint32_t ip) const {
    std::lock_guard guard(IPTableLock);
    return ipTableDict_.contains(ip);
}

bool GenericIPTable::stringAlreadyInIPTable(const std::string& address) const {
    return longAlreadyInIPTable(convertStringToLong(address));
}

void GenericIPTable::linkThisUserInfo(UserInfoPtr info, std::uint32_t ip) {
    std::lock_guard guard(IPTableLock);
    ipTableDict_.insert_or_assign(ip, std::move(info));
    if (std::find(ipArray_.begin(), ipArray_.end(), ip) == ipArray_.end()) {
        ipArray_.push_back(ip);
    }
}

void GenericIPTable::linkThisUserInfo(UserInfoPtr info, const std::string& address) {
    linkThisUserInfo(std::move(info), convertStringToLong(address));
}

void GenericIPTable::removeThisIPLong(std::uint32_t ip) {
    UserInfoPtr released;
    std::lock_guard guard(IPTableLock);
    if (auto found = ipTableDict_.find(ip); found != ipTableDict_.end()) {
        released = std::move(found->second);
        ipTableDict_.erase(found);
    }
    std::erase(ipArray_, ip);
}

void GenericIPTable::removeThisIPString(const std::string& address) {
    removeThisIPLong(convertStringToLong(address));
}

void GenericIPTable::unLinkThisUserInfo(const UserInfoPtr& /*info*/, std::uint32_t ip) {
    removeThisIPLong(ip);
}

void GenericIPTable::unLinkThisUserInfo(const UserInfoPtr& /*info*/, const std::string& address) {
    removeThisIPString(address);
}

GenericIPTable::UserInfoPtr GenericIPTable::userInfoForIPLong(std::uint32_t ip) const {
    std::lock_guard guard(IPTableLock);
    const auto found = ipTableDict_.find(ip);
    return found == ipTableDict_.end() ? nullptr : found->second;
}

GenericIPTable::UserInfoPtr GenericIPTable::userInfoForIPString(const std::string& address) const {
    return userInfoForIPLong(convertStringToLong(address));
}

GenericIPTable::UserInfoPtr GenericIPTable::cleanOutDatedEntriesByPerformingSelector(
    DateSelector selector, bool andForceStoring, GenericIPTable* in, double whenInactiveSince) {
    UserInfoPtr found;
    std::uint32_t foundIp = 0;
    {
        std::lock_guard guard(IPTableLock);
        const auto now = std::chrono::system_clock::now();
        for (const std::uint32_t ip : ipArray_) {
            const UserInfoPtr info = userInfoForIPLong(ip);
            if (!info) {
                continue;
            }
            const double age = std::chrono::duration<double>(now - ((*info).*selector)()).count();
            if (std::fabs(age) > whenInactiveSince) {
                found = info;
                foundIp = ip;
                break;
            }
        }
    }
    if (!found) {
        return nullptr;
    }
    if (in != nullptr && (andForceStoring || !in->longAlreadyInIPTable(foundIp))) {
        in->linkThisUserInfo(found, foundIp);
    }
    unLinkThisUserInfo(found, foundIp);
    return found;
}

}  // namespace quellbox
