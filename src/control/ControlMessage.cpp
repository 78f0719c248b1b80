#include "control/ControlMessage.h"

namespace quellbox::control {

bool isAnswer(const Message& message) {
    return std::holds_alternative<HelloReply>(message) || std::holds_alternative<Result>(message) ||
           std::holds_alternative<SnapshotReply>(message);
}

bool isEvent(const Message& message) {
    return std::holds_alternative<Gauge>(message) || std::holds_alternative<RefreshView>(message) ||
           std::holds_alternative<Notice>(message) ||
           std::holds_alternative<SettingChanged>(message) ||
           std::holds_alternative<Traffic>(message);
}

}  // namespace quellbox::control
