#include "firewall/IPLayer.h"

#include <net/if.h>

#include "platform/SystemLog.h"

namespace quellbox {

std::vector<std::string> IPLayer::getInterfacesList() {
    std::vector<std::string> names;
    names.reserve(4);
    struct if_nameindex* index = if_nameindex();
    if (index == nullptr) {
        SystemLog::reportError("Quellbox Error : if_nameindex()");
        return names;
    }
    for (const struct if_nameindex* entry = index; entry->if_index != 0; ++entry) {
        names.emplace_back(entry->if_name);
    }
    if_freenameindex(index);
    return names;
}

}  // namespace quellbox
