#pragma once

#include <cstdint>

#include "prioritymode/ClientSnapshot.h"

namespace quellbox {

// What the priority drawer and the preferences window ask of Priority Mode: switching it on
// and off, a snapshot of the active clients, and the edits of a client's priority and of the
// default priorities file. Answered in-process over the coordinator (LocalPriorityMode) or,
// in the desktop window, by the proxy of the engine process.
class PriorityModeControls {
public:
    // A client's priority: the higher, the sooner its packets go.
    static constexpr std::int32_t kLowestPriority = 0;
    static constexpr std::int32_t kHighestPriority = 10;

    virtual ~PriorityModeControls() = default;

    virtual void activate(bool on) = 0;
    virtual bool isActivated() const = 0;
    // The clients now, in table order; empty while Priority Mode is off.
    virtual ClientSnapshot clientSnapshot() = 0;
    // Sets the client's priority (0..10) and re-orders the table; false when the client is
    // gone or the priority is out of range.
    virtual bool setClientPriority(std::uint32_t ip, std::int32_t priority) = 0;
    // Stores the client's priority as its login's default (replacing an older entry); false
    // when the client is gone or the file cannot be written.
    virtual bool makeDefaultForLogin(std::uint32_t ip) = 0;
    // The default priorities file was edited elsewhere: read it again.
    virtual void reloadDefaultPriorities() = 0;
};

}  // namespace quellbox
