#pragma once

#include <cstdint>

#include "prioritymode/PriorityModeControls.h"

namespace quellbox {

class IPMode;

// Priority Mode's controls answered by the coordinator of this process. The snapshot reads
// each row's cells as the drawer's table shows them, so reading the rate columns restarts a
// window that has run its length, once per snapshot. Callable from any thread, as the client
// tables and the default priorities are.
class LocalPriorityMode : public PriorityModeControls {
public:
    explicit LocalPriorityMode(IPMode& ipmode) : ipmode_(ipmode) {}

    void activate(bool on) override;
    bool isActivated() const override;
    ClientSnapshot clientSnapshot() override;
    bool setClientPriority(std::uint32_t ip, std::int32_t priority) override;
    bool makeDefaultForLogin(std::uint32_t ip) override;
    void reloadDefaultPriorities() override;

private:
    IPMode& ipmode_;
};

}  // namespace quellbox
