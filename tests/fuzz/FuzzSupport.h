#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace quellbox {
class Preferences;
}

namespace quellbox::fuzzing {

// A private folder for the whole fuzzing process (files written by one input are replaced by
// the next), with a settings store over it and the system log kept quiet.
class FuzzWorld {
public:
    static FuzzWorld& instance();
    const std::filesystem::path& folder() const { return folder_; }
    // A fresh settings working copy for one input.
    std::unique_ptr<Preferences> freshPreferences() const;

private:
    FuzzWorld();
    std::filesystem::path folder_;
};

// Splits fuzz input into pieces at every byte equal to `separator`.
std::vector<std::string> split(const std::uint8_t* data, std::size_t size, char separator);

}  // namespace quellbox::fuzzing
