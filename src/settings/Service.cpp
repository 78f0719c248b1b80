#include "settings/Service.h"

#include "platform/LocalizedText.h"

namespace quellbox {

Service::Service() : Service(LocalizedText::lookup("NoName Service"), 0) {}

Service::Service(const std::string& name, std::int32_t servicePort)
    : name_(name), servicePort_(servicePort) {}

std::string Service::name() const {
    std::lock_guard guard(serviceLock);
    return name_;
}

void Service::setName(const std::string& name) {
    std::lock_guard guard(serviceLock);
    name_ = name;
}

}  // namespace quellbox
