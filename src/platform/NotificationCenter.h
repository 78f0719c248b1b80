#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/PlistValue.h"

namespace quellbox {

// A named notification with the object that posted it and a dictionary of details.
struct Notification {
    std::string name;
    const void* object = nullptr;
    PlistValue::Dictionary userInfo;
};

// Delivers notifications synchronously, on the posting thread, to every observer of the
// notification's name, in the order the observers were added. Observers may be added and
// removed from any thread, also from inside a handler.
class NotificationCenter {
public:
    using Handler = std::function<void(const Notification&)>;
    using ObserverId = std::uint64_t;

    NotificationCenter() = default;
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    // The process's default centre.
    static NotificationCenter& defaultCenter();

    ObserverId addObserver(const std::string& name, Handler handler);
    void removeObserver(ObserverId observer);
    void postNotification(const std::string& name, const void* object,
                          PlistValue::Dictionary userInfo = {});

private:
    struct Observer {
        ObserverId id;
        std::string name;
        std::shared_ptr<Handler> handler;
    };
    std::mutex mutex_;
    std::vector<Observer> observers_;
    ObserverId nextId_ = 1;
};

}  // namespace quellbox
