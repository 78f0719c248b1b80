#include "prioritymode/IPTable.h"

#include <algorithm>
#include <chrono>

#include "platform/LocalizedText.h"
#include "platform/SystemLog.h"

namespace quellbox {

namespace {

// A long window at least this long is restarted when its rate is read.
constexpr double averageWindowSeconds = 90.0;
// A short window at least this long is restarted when its rate is read.
constexpr double instantaneousWindowSeconds = 15.0;

// Kilobytes per second of a window, in single precision; 0 for a window of no length.
float kilobytesPerSecond(const UserInfo::RateWindow& window) {
    float bytesPerSecond = 0.0F;
    if (window.seconds != 0.0) {
        bytesPerSecond = static_cast<float>(window.bytes) / static_cast<float>(window.seconds);
    }
    return bytesPerSecond * 0.0009765625F;
}

}  // namespace

void IPTable::linkThisUserInfo(UserInfoPtr info, std::uint32_t ip) {
    const bool ownUpload = info->screenName() == LocalizedText::lookup("ONE OF YOUR UPLOADS");
    {
        std::lock_guard guard(IPTableLock);
        ipTableDict_.insert_or_assign(ip, std::move(info));
        const bool listed = std::find(ipArray_.begin(), ipArray_.end(), ip) != ipArray_.end();
        if (ownUpload) {
            std::erase(ipArray_, ip);
            ipArray_.insert(ipArray_.begin(), ip);
        } else if (!listed) {
            ipArray_.push_back(ip);
        }
    }
    refreshAndReorder();
}

void IPTable::clear() {
    GenericIPTable::clear();
    refreshAndReorder();
}

void IPTable::removeThisIPLong(std::uint32_t ip) {
    GenericIPTable::removeThisIPLong(ip);
    refreshAndReorder();
}

void IPTable::refreshAndReorder() {
    std::int32_t maximum = 0;
    {
        std::lock_guard guard(IPTableLock);
        for (const std::uint32_t ip : ipArray_) {
            if (const auto found = ipTableDict_.find(ip); found != ipTableDict_.end()) {
                maximum = std::max(maximum, found->second->priority());
            }
        }
    }
    runningMaxPriority_.store(maximum, std::memory_order_relaxed);
}

int IPTable::numberOfRowsInTableView() const { return size(); }

std::optional<PlistValue> IPTable::objectValueForTableColumn(const std::string& identifier,
                                                             int row) {
    std::lock_guard guard(IPTableLock);
    const auto count = static_cast<int>(ipArray_.size());
    // The view may still show a row that an engine thread has just taken out.
    if (row < 0 || row >= count) {
        SystemLog::logf("ipArray count = %d, ETUDIER DE PRES CE NOMBRE !!!", count);
        SystemLog::log(
            "in -[IPTable tableView:objectValueForTableColumn:row:], the tableView and the ipArray "
            "are not well synchronized !, there are more lines in the view than in the iptable "
            "!!!\njust continue...");
        return std::nullopt;
    }
    const std::uint32_t ip = ipArray_[static_cast<size_t>(row)];
    const UserInfoPtr info = userInfoForIPLong(ip);
    if (identifier == "ipAdress") {
        return PlistValue(convertLongToString(ip));
    }
    if (!info) {
        return std::nullopt;
    }
    if (identifier == "priority") {
        return PlistValue(static_cast<std::int64_t>(info->priority()));
    }
    if (identifier == "avRate") {
        return PlistValue(kilobytesPerSecond(info->takeAverageRateWindow(averageWindowSeconds)));
    }
    if (identifier == "instantRate") {
        return PlistValue(kilobytesPerSecond(info->takeInstantaneousRateWindow(
            instantaneousWindowSeconds, std::chrono::system_clock::now())));
    }
    return info->valueForKey(identifier);
}

void IPTable::setObjectValue(const PlistValue& /*value*/, const std::string& /*identifier*/,
                             int /*row*/) {}

void IPTable::displayAllInfo(std::uint32_t ip) const {
    const UserInfoPtr info = userInfoForIPLong(ip);
    SystemLog::log("the user ip : " + convertLongToString(ip) + " has this user info :");
    if (info) {
        info->displayAllInfo();
    }
}

}  // namespace quellbox
