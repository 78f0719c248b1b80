#include "prioritymode/DateText.h"

#include <ctime>

namespace quellbox {

std::string DateText::describe(std::chrono::system_clock::time_point date) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(date);
    std::tm local{};
    if (localtime_r(&seconds, &local) == nullptr) {
        return std::to_string(static_cast<long long>(seconds));
    }
    char text[64];
    if (std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %z", &local) == 0) {
        return std::to_string(static_cast<long long>(seconds));
    }
    return text;
}

}  // namespace quellbox
