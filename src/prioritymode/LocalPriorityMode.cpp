#include "prioritymode/LocalPriorityMode.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <string>

#include "platform/SystemLog.h"
#include "prioritymode/IPMode.h"
#include "prioritymode/IPTable.h"
#include "prioritymode/UserInfo.h"
#include "prioritymode/defaultPriorityParser.h"

namespace quellbox {

namespace {

std::string text(const std::optional<PlistValue>& cell) {
    return cell ? cell->stringValue() : std::string();
}

// The graph's rate: the short window as it stands, never restarted.
float sampledKilobytesPerSecond(UserInfo& client, UserInfo::Date now) {
    const UserInfo::RateWindow window =
        client.takeInstantaneousRateWindow(std::numeric_limits<double>::infinity(), now);
    return window.seconds > 0.0 ? static_cast<float>(window.bytes / window.seconds / 1024.0) : 0.0F;
}

// The cells of one row, or nothing when the client left or the rows moved while they were
// read (an engine thread adds and removes clients meanwhile).
std::optional<ClientSnapshot::Row> readRow(IPTable& table, int row, UserInfo::Date now) {
    const std::optional<PlistValue> address = table.objectValueForTableColumn("ipAdress", row);
    if (!address) {
        return std::nullopt;
    }
    ClientSnapshot::Row cells;
    cells.address = address->stringValue();
    cells.ip = GenericIPTable::convertStringToLong(cells.address);
    const auto client = table.userInfoForIPLong(cells.ip);
    if (!client) {
        return std::nullopt;
    }
    // Before the rate columns, which may restart the short window.
    cells.sampledRate = sampledKilobytesPerSecond(*client, now);
    cells.screenName = text(table.objectValueForTableColumn("screenName", row));
    cells.login = text(table.objectValueForTableColumn("login", row));
    cells.service = text(table.objectValueForTableColumn("usedService", row));
    const auto priority = table.objectValueForTableColumn("priority", row);
    cells.priority = priority ? static_cast<std::int32_t>(priority->integerValue()) : 0;
    const auto average = table.objectValueForTableColumn("avRate", row);
    cells.averageRate = average ? average->doubleValue() : 0.0;
    const auto instant = table.objectValueForTableColumn("instantRate", row);
    cells.instantRate = instant ? instant->doubleValue() : 0.0;
    if (text(table.objectValueForTableColumn("ipAdress", row)) != cells.address) {
        return std::nullopt;
    }
    return cells;
}

}  // namespace

void LocalPriorityMode::activate(bool on) { ipmode_.activate(on); }

bool LocalPriorityMode::isActivated() const { return ipmode_.isActivated(); }

ClientSnapshot LocalPriorityMode::clientSnapshot() {
    ClientSnapshot snapshot;
    IPTable* table = ipmode_.ipTable();
    if (!ipmode_.isActivated() || table == nullptr) {
        return snapshot;
    }
    const auto now = UserInfo::Date::clock::now();
    const int rows = table->numberOfRowsInTableView();
    for (int row = 0; row < rows; ++row) {
        auto cells = readRow(*table, row, now);
        // A client put in front meanwhile shifts the rows: the next row repeats this one.
        const bool listed = cells && std::any_of(snapshot.rows.begin(), snapshot.rows.end(),
                                                 [&](const ClientSnapshot::Row& other) {
                                                     return other.ip == cells->ip;
                                                 });
        if (cells && !listed) {
            snapshot.rows.push_back(std::move(*cells));
        }
    }
    return snapshot;
}

bool LocalPriorityMode::setClientPriority(std::uint32_t ip, std::int32_t priority) {
    IPTable* table = ipmode_.ipTable();
    if (priority < kLowestPriority || priority > kHighestPriority || table == nullptr) {
        return false;
    }
    const auto client = table->userInfoForIPLong(ip);
    if (!client) {
        return false;
    }
    client->setPriority(priority);
    table->refreshAndReorder();
    return true;
}

bool LocalPriorityMode::makeDefaultForLogin(std::uint32_t ip) {
    IPTable* table = ipmode_.ipTable();
    defaultPriorityParser* defaults = ipmode_.defaultPriorityParser();
    const auto client = table != nullptr ? table->userInfoForIPLong(ip) : nullptr;
    if (!client || defaults == nullptr) {
        return false;
    }
    const std::string login = client->login();
    if (defaults->containsEntryWithLogin(login)) {
        defaults->removeEntry(defaults->defaultPriorityForLogin(login), login);
    }
    if (!defaults->addEntry(client->priority(), login)) {
        SystemLog::log("error when adding an entry to default priority file !");
        return false;
    }
    return true;
}

void LocalPriorityMode::reloadDefaultPriorities() {
    if (defaultPriorityParser* defaults = ipmode_.defaultPriorityParser()) {
        defaults->parseQbxPrioFile();
    }
}

}  // namespace quellbox
