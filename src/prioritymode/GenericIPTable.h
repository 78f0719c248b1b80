#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "prioritymode/UserInfo.h"

namespace quellbox {

// Client records by IPv4 address: a dictionary from IP number (first octet most
// significant) to record, and the list of the numbers in display order, both guarded by one
// recursive lock. Used from the engine's threads and the GUI thread at once. Lock order:
// a table's lock, then a record's; no thread holds the locks of two tables at once.
class GenericIPTable {
public:
    using UserInfoPtr = std::shared_ptr<UserInfo>;
    // Which date of a record the housekeeping tests (&UserInfo::lastPacketDate or
    // &UserInfo::firstPacketDate).
    using DateSelector = UserInfo::Date (UserInfo::*)() const;

    GenericIPTable() = default;
    virtual ~GenericIPTable() = default;
    GenericIPTable(const GenericIPTable&) = delete;
    GenericIPTable& operator=(const GenericIPTable&) = delete;

    // Dotted text to IP number as inet_addr reads it (also its short, octal and hexadecimal
    // forms); a text that is no address gives 4294967295.
    static std::uint32_t convertStringToLong(const std::string& address);
    // IP number to "a.b.c.d".
    static std::string convertLongToString(std::uint32_t ip);

    virtual void clear();
    int size() const;
    // Snapshots taken under the lock: later changes of the table do not show in them.
    std::unordered_map<std::uint32_t, UserInfoPtr> ipTableDict() const;
    std::vector<std::uint32_t> ipArray() const;

    bool longAlreadyInIPTable(std::uint32_t ip) const;
    bool stringAlreadyInIPTable(const std::string& address) const;

    // Stores the record for the number, replacing any earlier one; a number not yet listed
    // is appended to the list.
    virtual void linkThisUserInfo(UserInfoPtr info, std::uint32_t ip);
    void linkThisUserInfo(UserInfoPtr info, const std::string& address);
    // Removes the number's record and every occurrence of it from the list.
    virtual void removeThisIPLong(std::uint32_t ip);
    void removeThisIPString(const std::string& address);
    // The record argument is not used: whatever the number maps to is removed.
    void unLinkThisUserInfo(const UserInfoPtr& info, std::uint32_t ip);
    void unLinkThisUserInfo(const UserInfoPtr& info, const std::string& address);

    UserInfoPtr userInfoForIPLong(std::uint32_t ip) const;
    UserInfoPtr userInfoForIPString(const std::string& address) const;

    // Takes out the earliest listed record whose date (chosen by `selector`) is more than
    // `whenInactiveSince` seconds away from now, in either direction, and answers it (null
    // when none is). With a storing table, the record is first added there, unless
    // `andForceStoring` is false and that table already holds the number. At most one record
    // per call. This table's lock is released before the storing table is touched.
    UserInfoPtr cleanOutDatedEntriesByPerformingSelector(DateSelector selector,
                                                         bool andForceStoring, GenericIPTable* in,
                                                         double whenInactiveSince);

protected:
    mutable std::recursive_mutex IPTableLock;
    std::unordered_map<std::uint32_t, UserInfoPtr> ipTableDict_;  // guarded by IPTableLock
    std::vector<std::uint32_t> ipArray_;                          // guarded by IPTableLock
};

}  // namespace quellbox
