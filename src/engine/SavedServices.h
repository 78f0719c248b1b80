#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

namespace quellbox {

class EngineControls;
class Preferences;
class Service;

// The services list as the settings keep it, and what a front end does with it at start and
// at quit: load the stored names and ports (trimmed to equal length), re-apply the upload caps
// saved at the last quit, and the wind-down that lowers the rate in two steps and removes every
// divert rule. The desktop window and the headless mode share it.
class SavedServices {
public:
    using Sleep = std::function<void(std::chrono::milliseconds)>;

    // The stored services in table order, both flags false. The name and port lists are cut
    // from the end to the shorter one and stored back, whether or not anything was cut.
    static std::vector<std::shared_ptr<Service>> load(Preferences& preferences);
    // The stored "activatedULServices" padded with true up to `count` (not stored).
    static std::vector<bool> activatedFlags(const Preferences& preferences, std::size_t count);
    // Hands each service marked capped to the engine in row order and marks it; stops at the
    // first rule that cannot be added ("can't create rule !"). Answers the ports capped.
    static std::vector<int> reapplySavedCaps(EngineControls& engine,
                                             const std::vector<std::shared_ptr<Service>>& services,
                                             const std::vector<bool>& activated);
    // The rate stored under "DATARate" times 0.66666, half a second, times 0.33333, half a
    // second, then every upload-capped service's rule removed (results not checked).
    static void windDown(EngineControls& engine, const Preferences& preferences,
                         const std::vector<std::shared_ptr<Service>>& services, const Sleep& sleep);
};

}  // namespace quellbox
