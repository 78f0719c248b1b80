#pragma once

#include <chrono>
#include <string>

namespace quellbox {

// The textual form of a date in diagnostic messages: local time with its offset,
// "2024-05-12 14:03:22 +0200".
class DateText {
public:
    static std::string describe(std::chrono::system_clock::time_point date);
};

}  // namespace quellbox
