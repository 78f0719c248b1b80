#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/PlistValue.h"
#include "prioritymode/GenericIPTable.h"

namespace quellbox {

// The client table Priority Mode uses: a GenericIPTable that keeps the highest priority of
// its records for the engine's priority queue, lists the local machine's own uploads first,
// and is the data source of the priority drawer's table (one row per listed address). It
// answers with property-list values so that the GUI can wrap it in a model of its own.
class IPTable : public GenericIPTable {
public:
    IPTable() = default;

    // As the generic table, then the maximum priority falls to 0.
    void clear() override;
    using GenericIPTable::linkThisUserInfo;
    // As the generic table, except that a record named "ONE OF YOUR UPLOADS" goes to the
    // front of the list (once); then the maximum priority is recomputed.
    void linkThisUserInfo(UserInfoPtr info, std::uint32_t ip) override;
    // As the generic table, then the maximum priority is recomputed.
    void removeThisIPLong(std::uint32_t ip) override;

    // The highest priority among the records, never below 0; read without the table's lock
    // (a reader may see the value from just before the latest change).
    std::int32_t runningMaxPriority() const {
        return runningMaxPriority_.load(std::memory_order_relaxed);
    }
    // Recomputes runningMaxPriority; the order of the list does not change. Called after a
    // record's priority was changed.
    void refreshAndReorder();

    int numberOfRowsInTableView() const;
    // The cell of the row's address: "ipAdress" (dotted text), "priority" (integer), "avRate"
    // and "instantRate" (KB/s as single precision; reading them restarts a window that has
    // reached 90 s or 15 s), or the record's field of that name. Nothing for a row outside
    // the list or a name that is no field.
    std::optional<PlistValue> objectValueForTableColumn(const std::string& identifier, int row);
    // The drawer's cells cannot be edited: this does nothing.
    void setObjectValue(const PlistValue& value, const std::string& identifier, int row);

    // Writes the record of that address to the system log.
    void displayAllInfo(std::uint32_t ip) const;

private:
    std::atomic<std::int32_t> runningMaxPriority_{0};
};

}  // namespace quellbox
