#include "platform/NotificationCenter.h"

#include <algorithm>
#include <memory>

namespace quellbox {

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter center;
    return center;
}

NotificationCenter::ObserverId NotificationCenter::addObserver(const std::string& name,
                                                               Handler handler) {
    std::lock_guard guard(mutex_);
    const ObserverId id = nextId_++;
    observers_.push_back({id, name, std::make_shared<Handler>(std::move(handler))});
    return id;
}

void NotificationCenter::removeObserver(ObserverId observer) {
    std::lock_guard guard(mutex_);
    std::erase_if(observers_, [observer](const Observer& o) { return o.id == observer; });
}

void NotificationCenter::postNotification(const std::string& name, const void* object,
                                          PlistValue::Dictionary userInfo) {
    // Handlers run outside the lock so that they may post or change observers themselves.
    std::vector<std::shared_ptr<Handler>> handlers;
    {
        std::lock_guard guard(mutex_);
        for (const auto& observer : observers_) {
            if (observer.name == name) {
                handlers.push_back(observer.handler);
            }
        }
    }
    const Notification notification{name, object, std::move(userInfo)};
    for (const auto& handler : handlers) {
        (*handler)(notification);
    }
}

}  // namespace quellbox
