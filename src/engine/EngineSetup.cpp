#include "engine/EngineSetup.h"

#include "engine/RandomSource.h"
#include "engine/ThroughputLimiter.h"
#include "firewall/IpfwRule.h"
#include "firewall/PacketBackend.h"
#include "platform/NotificationCenter.h"
#include "prioritymode/IPMode.h"

namespace quellbox {

bool EngineSetup::configureShared(const std::string& backendName, RunLoop& mainRunLoop,
                                  Preferences& preferences, std::string& error) {
    auto backend = PacketBackend::named(backendName, &error);
    if (!backend) {
        return false;
    }
    ThroughputLimiter::configureShared([backend = *backend, &mainRunLoop, &preferences] {
        return std::make_unique<ThroughputLimiter>(ThroughputLimiter::Collaborators{
            backend.makeDivertSocket(), std::make_unique<IpfwRule>(backend.programs()), mainRunLoop,
            preferences, IPMode::sharedInstance(), NotificationCenter::defaultCenter(),
            RandomSource::shared()});
    });
    return true;
}

}  // namespace quellbox
