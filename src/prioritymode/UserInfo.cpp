#include "prioritymode/UserInfo.h"

#include <utility>

#include "platform/LocalizedText.h"
#include "platform/SystemLog.h"
#include "prioritymode/DateText.h"

namespace quellbox {

namespace {

std::int32_t wrappingAdd(std::int32_t total, std::int32_t size) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(total) +
                                     static_cast<std::uint32_t>(size));
}

double secondsBetween(UserInfo::Date from, UserInfo::Date to) {
    return std::chrono::duration<double>(to - from).count();
}

// Replaces `field` under `lock`; the old value is destroyed after the lock is released.
template <typename T>
void replaceLocked(std::mutex& lock, T& field, T value) {
    {
        std::lock_guard guard(lock);
        std::swap(field, value);
    }
}

}  // namespace

UserInfo::UserInfo()
    : UserInfo(LocalizedText::lookup("Service"), 5, LocalizedText::lookup("Unknown"),
               "Unknown Login", std::chrono::system_clock::now()) {}

UserInfo::UserInfo(std::string service, std::int32_t priority, std::string name, std::string login,
                   Date date)
    : priority_(priority),
      usedService_(std::move(service)),
      screenName_(std::move(name)),
      login_(std::move(login)),
      lastPacketDate_(date),
      firstPacketDate_(date),
      lastInstantaneousRateDate_(std::chrono::system_clock::now()) {}

std::string UserInfo::usedService() const {
    std::lock_guard guard(userInfoLock);
    return usedService_;
}
void UserInfo::setUsedService(std::string service) {
    replaceLocked(userInfoLock, usedService_, std::move(service));
}

std::string UserInfo::screenName() const {
    std::lock_guard guard(userInfoLock);
    return screenName_;
}
void UserInfo::setScreenName(std::string name) {
    replaceLocked(userInfoLock, screenName_, std::move(name));
}

std::string UserInfo::login() const {
    std::lock_guard guard(userInfoLock);
    return login_;
}
void UserInfo::setLogin(std::string login) {
    replaceLocked(userInfoLock, login_, std::move(login));
}

UserInfo::Date UserInfo::lastPacketDate() const {
    std::lock_guard guard(userInfoLock);
    return lastPacketDate_;
}
void UserInfo::setLastPacketDate(Date date) { replaceLocked(userInfoLock, lastPacketDate_, date); }

UserInfo::Date UserInfo::firstPacketDate() const {
    std::lock_guard guard(userInfoLock);
    return firstPacketDate_;
}
void UserInfo::setFirstPacketDate(Date date) {
    replaceLocked(userInfoLock, firstPacketDate_, date);
}

UserInfo::Date UserInfo::lastInstantaneousRateDate() const {
    std::lock_guard guard(userInfoLock);
    return lastInstantaneousRateDate_;
}
void UserInfo::setLastInstantaneousRateDate(Date date) {
    replaceLocked(userInfoLock, lastInstantaneousRateDate_, date);
}

void UserInfo::setLastPacketSize(std::int32_t size) {
    if (size > 0) {
        bytesSent_.fetch_add(static_cast<std::uint64_t>(size), std::memory_order_relaxed);
    }
    std::lock_guard guard(userInfoLock);
    lastPacketSize_ = size;
    instantaneousRateTotalPacketsSize_ = wrappingAdd(instantaneousRateTotalPacketsSize_, size);
    totalDownloadSize_ = wrappingAdd(totalDownloadSize_, size);
}

std::int32_t UserInfo::instantaneousRateTotalPacketsSize() const {
    std::lock_guard guard(userInfoLock);
    return instantaneousRateTotalPacketsSize_;
}
void UserInfo::setInstantaneousRateTotalPacketsSize(std::int32_t size) {
    replaceLocked(userInfoLock, instantaneousRateTotalPacketsSize_, size);
}

std::int32_t UserInfo::totalDownloadSize() const {
    std::lock_guard guard(userInfoLock);
    return totalDownloadSize_;
}
void UserInfo::setTotalDownloadSize(std::int32_t size) {
    replaceLocked(userInfoLock, totalDownloadSize_, size);
}

UserInfo::RateWindow UserInfo::takeAverageRateWindow(double restartAfter) {
    std::lock_guard guard(userInfoLock);
    const RateWindow window{secondsBetween(firstPacketDate_, lastPacketDate_), totalDownloadSize_};
    if (window.seconds >= restartAfter) {
        firstPacketDate_ = lastPacketDate_;
        totalDownloadSize_ = 0;
    }
    return window;
}

UserInfo::RateWindow UserInfo::takeInstantaneousRateWindow(double restartAfter, Date now) {
    std::lock_guard guard(userInfoLock);
    const RateWindow window{secondsBetween(lastInstantaneousRateDate_, lastPacketDate_),
                            instantaneousRateTotalPacketsSize_};
    if (window.seconds >= restartAfter) {
        instantaneousRateTotalPacketsSize_ = 0;
        lastInstantaneousRateDate_ = now;
    }
    return window;
}

std::optional<PlistValue> UserInfo::valueForKey(const std::string& name) const {
    if (name == "priority") {
        return PlistValue(static_cast<std::int64_t>(priority()));
    }
    std::lock_guard guard(userInfoLock);
    if (name == "usedService") {
        return PlistValue(usedService_);
    }
    if (name == "screenName") {
        return PlistValue(screenName_);
    }
    if (name == "login") {
        return PlistValue(login_);
    }
    if (name == "lastPacketDate") {
        return PlistValue(lastPacketDate_);
    }
    if (name == "firstPacketDate") {
        return PlistValue(firstPacketDate_);
    }
    if (name == "totalDownloadSize") {
        return PlistValue(static_cast<std::int64_t>(totalDownloadSize_));
    }
    if (name == "lastInstantaneousRateDate") {
        return PlistValue(lastInstantaneousRateDate_);
    }
    if (name == "lastPacketSize") {
        return PlistValue(static_cast<std::int64_t>(lastPacketSize_));
    }
    if (name == "instantaneousRateTotalPacketsSize") {
        return PlistValue(static_cast<std::int64_t>(instantaneousRateTotalPacketsSize_));
    }
    return std::nullopt;
}

void UserInfo::displayAllInfo() const {
    const std::int32_t shownPriority = priority();
    std::string name;
    std::string shownLogin;
    Date first;
    Date last;
    {
        std::lock_guard guard(userInfoLock);
        name = screenName_;
        shownLogin = login_;
        first = firstPacketDate_;
        last = lastPacketDate_;
    }
    SystemLog::logf("\t- priority : %d", shownPriority);
    SystemLog::log("\t- loginName : " + name);
    SystemLog::log("\t- login : " + shownLogin);
    SystemLog::log("\t- firstPacketDate : " + DateText::describe(first));
    SystemLog::log("\t- lastPacketDate : " + DateText::describe(last));
}

}  // namespace quellbox
