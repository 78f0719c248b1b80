#pragma once

#include <string>
#include <vector>

namespace quellbox {

// The system's network interfaces, for the interface menu of the preferences window.
class IPLayer {
public:
    // The names of all interfaces, in the system's index order; empty when the system
    // cannot list them (the failure is reported perror-style).
    static std::vector<std::string> getInterfacesList();
};

}  // namespace quellbox
